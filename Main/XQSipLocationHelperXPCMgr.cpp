#include "Main/XQSipLocationHelperXPCMgr.h"

#include <unistd.h>

#include <cstdio>

#include "Common/XQCompiledPaths.h"
#include "Common/XQSipCheckXPCSignatureHelper.h"
#include "Lldp/LLDPCapture.h"
#include "Main/XQSipLLDPObject.h"
#include "Main/XQSipLocationCheckVersionHelper.h"
#include "platform/dispatch/dispatch.h"

namespace {

constexpr const char* kServiceName = "lx.pelk.XQSipLocationHelper";

// Ends the process with status 0 at once. Other threads may be in the middle
// of a capture or an install; running static destructors under them would be
// undefined, so only the standard streams are flushed.
[[noreturn]] void terminateService() {
    std::fflush(nullptr);
    _exit(0);
}

}  // namespace

std::shared_ptr<XQSipLocationHelperXPCMgr> XQSipLocationHelperXPCMgr::init() {
    // Besides root, only the client's group may connect; without that group
    // on the system, root alone.
    xpc::PeerAdmission admission;
    admission.group = xpc::PeerAdmission::groupNamed(xq::paths::kClientGroup);
    return initWithListener(xpc::Listener::initWithMachServiceName(kServiceName, admission));
}

std::shared_ptr<XQSipLocationHelperXPCMgr> XQSipLocationHelperXPCMgr::initWithListener(
    std::shared_ptr<xpc::Listener> listener) {
    std::shared_ptr<XQSipLocationHelperXPCMgr> self(new XQSipLocationHelperXPCMgr());
    self->_lldpNotCancelArray.clear();
    self->_checkVersionHelper = std::make_shared<XQSipLocationCheckVersionHelper>();
    {
        std::lock_guard<std::mutex> guard(self->_listenerLock);
        self->_listener = std::move(listener);
    }
    if (self->_listener) {
        // The listener refers back to the service without owning it.
        self->_listener->setDelegate(self.get());
    }
    self->_lldpCapture = std::make_unique<LLDPCapture>();
    return self;
}

XQSipLocationHelperXPCMgr::~XQSipLocationHelperXPCMgr() {
    _lldpCapture.reset();
    _checkVersionHelper.reset();
    _lldpNotCancelArray.clear();
    std::shared_ptr<xpc::Listener> listener;
    {
        std::lock_guard<std::mutex> guard(_listenerLock);
        listener = std::move(_listener);
    }
    if (listener) {
        listener->setDelegate(nullptr);
        listener->invalidate();
    }
}

std::shared_ptr<xpc::Listener> XQSipLocationHelperXPCMgr::listener() const {
    std::lock_guard<std::mutex> guard(_listenerLock);
    return _listener;
}

void XQSipLocationHelperXPCMgr::run() {
    if (auto l = listener()) {
        l->resume();
    }
    dispatch::main();
}

bool XQSipLocationHelperXPCMgr::shouldAcceptNewConnection(
    xpc::Listener& listener, const std::shared_ptr<xpc::Connection>& connection) {
    // The signature check runs for every connection, also for those that the
    // next test then turns away.
    if (!XQSipCheckXPCSignatureHelper::isValidConnection(connection.get())) {
        return false;
    }
    if (&listener != this->listener().get() || !connection) {
        return false;
    }
    connection->setExportedInterface(XQSipLocationXPCProtocolInterface());
    connection->setExportedObject(
        std::static_pointer_cast<XQSipLocationXPCProtocol>(shared_from_this()));
    connection->resume();
    connection->setInvalidationHandler([] { terminateService(); });
    connection->setInterruptionHandler([] {});
    return true;
}

void XQSipLocationHelperXPCMgr::runLocationHelperWithReply(BoolReply reply) {
    if (reply) {
        reply(true);
    }
}

void XQSipLocationHelperXPCMgr::exitLocationHelperWithReply(StringReply reply) {
    if (reply) {
        reply(std::string("Location helper terminate start"));
    }
    terminateService();
}
