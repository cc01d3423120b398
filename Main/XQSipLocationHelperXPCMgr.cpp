#include "Main/XQSipLocationHelperXPCMgr.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <thread>

#include "Lldp/LLDPCapture.h"
#include "Main/XQSipLLDPObject.h"
#include "Main/XQSipLocationCheckVersionHelper.h"
#include "platform/dispatch/dispatch.h"

namespace {

// The write end of the pipe through which the SIGTERM handler wakes the
// thread that ends the process (-1 until run() makes it).
std::atomic<int> gTerminationPipe{-1};

}  // namespace

extern "C" {
// Only what is safe in a signal handler: one write, errno kept.
static void onTerminationSignal(int /*signal*/) {
    const int savedErrno = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(gTerminationPipe.load(), &byte, 1);
    errno = savedErrno;
}
}

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
    const std::shared_ptr<XQSipLocationHelperXPCMgr> self = shared_from_this();
    // The service manager's stop (SIGTERM) ends the process as the exit
    // operation does: the running install or uninstall finishes first. The
    // handler only writes to a pipe; a thread of its own does the rest.
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) == 0) {
        gTerminationPipe.store(pipe[1]);
        struct sigaction action {};
        action.sa_handler = onTerminationSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        ::sigaction(SIGTERM, &action, nullptr);
        dispatch::async(dispatch::get_global_queue(dispatch::QUEUE_PRIORITY_DEFAULT, 0),
                        [self, readEnd = pipe[0]] {
                            char byte = 0;
                            while (::read(readEnd, &byte, 1) < 0 && errno == EINTR) {
                            }
                            self->terminateWhenCommandsEnd();
                        });
    }
    dispatch::async(dispatch::get_global_queue(dispatch::QUEUE_PRIORITY_DEFAULT, 0),
                    [self] { self->endWhenIdle(); });
    if (auto l = listener()) {
        l->resume();
    }
    dispatch::main();
}

bool XQSipLocationHelperXPCMgr::shouldAcceptNewConnection(
    xpc::Listener& listener, const std::shared_ptr<xpc::Connection>& connection) {
    // From here until it is refused or ends, the connection holds the idle
    // timer.
    {
        std::lock_guard<std::mutex> guard(_commandsLock);
        ++_connections;
    }
    const auto refuse = [this] {
        connectionEnded();
        return false;
    };
    // The signature check runs for every connection, also for those that the
    // next test then turns away.
    if (!_parts.isValidConnection || !_parts.isValidConnection(connection.get())) {
        return refuse();
    }
    if (&listener != this->listener().get() || !connection) {
        return refuse();
    }
    {
        // A connection whose decision was pending when the process began to
        // end would be served by nothing.
        std::lock_guard<std::mutex> guard(_commandsLock);
        if (_ending) {
            return refuse();
        }
    }
    connection->setExportedInterface(XQSipLocationXPCProtocolInterface());
    connection->setExportedObject(
        std::static_pointer_cast<XQSipLocationXPCProtocol>(shared_from_this()));
    connection->resume();
    // The end of a client's connection ends nothing else: the process stays
    // for the next client until it has been idle for kIdleLifetime.
    std::weak_ptr<XQSipLocationHelperXPCMgr> weakSelf = weak_from_this();
    auto counted = std::make_shared<std::atomic<bool>>(true);
    const auto ended = [weakSelf, counted] {
        if (counted->exchange(false)) {
            if (auto self = weakSelf.lock()) {
                self->connectionEnded();
            }
        }
    };
    connection->setInvalidationHandler(ended);
    connection->setInterruptionHandler([] {});
    // A connection can end before its handler is set (refused at the
    // listener's decision deadline while this ran): its end is counted here
    // then, and only once.
    if (connection->isInvalidated()) {
        ended();
    }
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
    // The client that asked, to drop the command if it leaves while waiting
    // (none when the service object is called directly).
    const std::shared_ptr<xpc::Connection> connection = xpc::Connection::currentConnection();
    std::unique_lock<std::mutex> lock(_commandsLock);
    if (_ending) {
        return false;
    }
    const uint64_t turn = _nextCommandTurn++;
    _commandTurns.push_back(turn);
    for (;;) {
        if (_ending || (connection && connection->isInvalidated())) {
            std::erase(_commandTurns, turn);
            noteIfIdle();
            _commandsChanged.notify_all();
            return false;
        }
        if (_commandTurns.front() == turn && !_commandRunning) {
            _commandRunning = true;
            return true;
        }
        // A client's departure is seen by the connection's reader at once,
        // but its invalidation handler waits behind this request on the
        // connection's queue: look again now and then.
        _commandsChanged.wait_for(lock, std::chrono::milliseconds(100));
    }
}

void XQSipLocationHelperXPCMgr::endCommand() {
    std::lock_guard<std::mutex> guard(_commandsLock);
    _commandRunning = false;
    _commandTurns.pop_front();
    noteIfIdle();
    _commandsChanged.notify_all();
}

void XQSipLocationHelperXPCMgr::connectionEnded() {
    std::lock_guard<std::mutex> guard(_commandsLock);
    --_connections;
    noteIfIdle();
    _commandsChanged.notify_all();
}

void XQSipLocationHelperXPCMgr::noteIfIdle() {
    if (isIdle()) {
        _idleSince = std::chrono::steady_clock::now();
    }
}

void XQSipLocationHelperXPCMgr::endWhenIdle() {
    std::unique_lock<std::mutex> lock(_commandsLock);
    while (!_ending) {
        if (!isIdle()) {
            _commandsChanged.wait(lock);
            continue;
        }
        const auto deadline = _idleSince + kIdleLifetime;
        if (std::chrono::steady_clock::now() >= deadline) {
            // Decided under the lock that every new connection takes first:
            // one whose decision begins after this is refused, and its client
            // is served by the next process.
            endProcess(lock);
        }
        _commandsChanged.wait_until(lock, deadline);
    }
}

void XQSipLocationHelperXPCMgr::terminateWhenCommandsEnd() {
    std::unique_lock<std::mutex> lock(_commandsLock);
    endProcess(lock);
}

void XQSipLocationHelperXPCMgr::endProcess(std::unique_lock<std::mutex>& lock) {
    _ending = true;
    _commandsChanged.notify_all();
    lock.unlock();
    // New clients wait in the socket's queue for the next process (under
    // socket activation the service manager keeps the socket).
    if (auto l = listener()) {
        l->invalidate();
    }
    lock.lock();
    // Commands waiting for their turn leave at once; the running one
    // finishes, replies and removes its staged copy.
    _commandsChanged.wait(lock, [this] { return _commandTurns.empty(); });
    lock.unlock();
    std::this_thread::sleep_until(_started + kMinimumLifetime);
    // Other threads may be in the middle of an LLDP capture; running static
    // destructors under them would be undefined, so only the standard streams
    // are flushed.
    std::fflush(nullptr);
    _exit(0);
}
