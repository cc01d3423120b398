#include "Main/XQSipLocationHelperXPCMgr.h"

#include <unistd.h>

#include <cstdio>

#include "Lldp/LLDPCapture.h"
#include "Main/XQSipLLDPObject.h"
#include "Main/XQSipLocationCheckVersionHelper.h"
#include "platform/dispatch/dispatch.h"

XQSipLocationHelperXPCMgr::XQSipLocationHelperXPCMgr(XQSipLocationHelperParts parts)
    : _parts(std::move(parts)) {}

std::shared_ptr<XQSipLocationHelperXPCMgr> XQSipLocationHelperXPCMgr::init(
    XQSipLocationHelperParts parts) {
    // Besides root, only the client's group may connect; without that group
    // on the system, root alone.
    xpc::PeerAdmission admission;
    admission.group = xpc::PeerAdmission::groupNamed(parts.clientGroup.c_str());
    auto listener = xpc::Listener::initWithMachServiceName(parts.label, admission);
    return initWithListener(std::move(listener), std::move(parts));
}

std::shared_ptr<XQSipLocationHelperXPCMgr> XQSipLocationHelperXPCMgr::initWithListener(
    std::shared_ptr<xpc::Listener> listener, XQSipLocationHelperParts parts) {
    std::shared_ptr<XQSipLocationHelperXPCMgr> self(
        new XQSipLocationHelperXPCMgr(std::move(parts)));
    self->_lldpNotCancelArray.clear();
    self->_checkVersionHelper = self->_parts.checkVersionHelper;
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
    // Nothing else of this service runs yet.
    if (_parts.prepareTemporaryDirectory) {
        _parts.prepareTemporaryDirectory();
    }
    if (auto l = listener()) {
        l->resume();
    }
    dispatch::main();
}

bool XQSipLocationHelperXPCMgr::shouldAcceptNewConnection(
    xpc::Listener& listener, const std::shared_ptr<xpc::Connection>& connection) {
    // The signature check runs for every connection, also for those that the
    // next test then turns away.
    if (!_parts.isValidConnection || !_parts.isValidConnection(connection.get())) {
        return false;
    }
    if (&listener != this->listener().get() || !connection) {
        return false;
    }
    {
        // A connection whose decision was pending when the process began to
        // end would be served by nothing.
        std::lock_guard<std::mutex> guard(_commandsLock);
        if (_ending) {
            return false;
        }
    }
    connection->setExportedInterface(XQSipLocationXPCProtocolInterface());
    connection->setExportedObject(
        std::static_pointer_cast<XQSipLocationXPCProtocol>(shared_from_this()));
    connection->resume();
    std::weak_ptr<XQSipLocationHelperXPCMgr> weakSelf = weak_from_this();
    connection->setInvalidationHandler([weakSelf] {
        if (auto self = weakSelf.lock()) {
            self->terminateWhenCommandsEnd();
        }
        std::fflush(nullptr);
        _exit(0);
    });
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
    terminateWhenCommandsEnd();
}

bool XQSipLocationHelperXPCMgr::beginCommand() {
    std::lock_guard<std::mutex> guard(_commandsLock);
    if (_ending) {
        return false;
    }
    ++_runningCommands;
    return true;
}

void XQSipLocationHelperXPCMgr::endCommand() {
    std::lock_guard<std::mutex> guard(_commandsLock);
    --_runningCommands;
    _commandsChanged.notify_all();
}

void XQSipLocationHelperXPCMgr::terminateWhenCommandsEnd() {
    std::unique_lock<std::mutex> lock(_commandsLock);
    _ending = true;
    lock.unlock();
    // New clients wait in the socket's queue for the next process (under
    // socket activation the service manager keeps the socket).
    if (auto l = listener()) {
        l->invalidate();
    }
    lock.lock();
    _commandsChanged.wait(lock, [this] { return _runningCommands == 0; });
    // Other threads may be in the middle of an LLDP capture; running static
    // destructors under them would be undefined, so only the standard streams
    // are flushed.
    std::fflush(nullptr);
    _exit(0);
}
