// The LLDP capture command and the cancellation of older requests: a newer
// request cancels every older one, whose capture then runs to its end
// unanswered.
#include <memory>
#include <string>

#include "Lldp/LLDPCapture.h"
#include "Main/XQSipLLDPObject.h"
#include "Main/XQSipLocationHelperXPCMgr.h"
#include "platform/dispatch/dispatch.h"

void XQSipLocationHelperXPCMgr::runLLDPCaptureWithReply(StringStringReply reply) {
    cancelAllLLDPTask();
    auto object = std::make_shared<XQSipLLDPObject>();
    std::weak_ptr<XQSipLLDPObject> weakObject = object;
    std::shared_ptr<XQSipLocationHelperXPCMgr> self = shared_from_this();
    object->setTaskBlock([self, reply, weakObject]() {
        if (!self->_lldpCapture) {
            if (reply) {
                reply(std::string(), std::string());
            }
            return;
        }
        // Nil when a newer request cancelled this one before it started.
        std::shared_ptr<XQSipLLDPObject> strongObject = weakObject.lock();
        std::string first;
        std::string second;
        self->_lldpCapture->capture(first, second);
        XQNullableString chassis = XQSipLLDPReplyString(first);
        XQNullableString port = XQSipLLDPReplyString(second);
        if (!self->isLLDPTaskCancel(strongObject)) {
            if (reply) {
                reply(chassis, port);
            }
        }
    });
    addLLDPTaskObject(object);
    dispatch::async(dispatch::get_global_queue(dispatch::QUEUE_PRIORITY_DEFAULT, 0),
                    object->taskBlock());
}

void XQSipLocationHelperXPCMgr::cancelAllLLDPTask() {
    std::lock_guard<std::mutex> guard(_lldpNotCancelArrayLock);
    _lldpNotCancelArray.clear();
}

void XQSipLocationHelperXPCMgr::addLLDPTaskObject(const std::shared_ptr<XQSipLLDPObject>& object) {
    std::lock_guard<std::mutex> guard(_lldpNotCancelArrayLock);
    _lldpNotCancelArray.push_back(object);
}

bool XQSipLocationHelperXPCMgr::isLLDPTaskCancel(const std::shared_ptr<XQSipLLDPObject>& object) {
    if (!object) {
        return true;
    }
    std::lock_guard<std::mutex> guard(_lldpNotCancelArrayLock);
    for (const std::shared_ptr<XQSipLLDPObject>& listed : _lldpNotCancelArray) {
        if (listed == object) {
            return false;
        }
    }
    return true;
}
