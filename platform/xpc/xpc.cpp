#include "platform/xpc/xpc.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <thread>
#include <utility>

#include <sys/syscall.h>

#include "platform/xpc/wire.h"

// Older C library headers lack this (Linux 6.5). The C library's pidfd_open()
// declaration is not usable from C++ in glibc 2.36, hence syscall() below.
#ifndef SO_PEERPIDFD
#define SO_PEERPIDFD 77
#endif

namespace xpc {
namespace {

constexpr size_t kReadChunk = 64 * 1024;

dispatch::QueuePtr runtimeQueue() {
    return dispatch::get_global_queue(dispatch::QUEUE_PRIORITY_DEFAULT, 0);
}

bool sendAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

bool fillUnixAddress(const std::string& path, sockaddr_un& address, socklen_t& length) {
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        return false;
    }
    std::memcpy(address.sun_path, path.data(), path.size());
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
    return true;
}

int connectUnix(const std::string& path, int& error) {
    sockaddr_un address;
    socklen_t length = 0;
    if (!fillUnixAddress(path, address, length)) {
        error = ENAMETOOLONG;
        return -1;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = errno;
        return -1;
    }
    while (::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        if (errno == EINTR) {
            continue;
        }
        error = errno;
        ::close(fd);
        return -1;
    }
    return fd;
}

// Removes what is left at `path` by a listener that is gone. Refuses (false)
// when something else is there: a live listener or a file that is no socket.
bool clearStaleSocket(const std::string& path) {
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0) {
        return errno == ENOENT;
    }
    if (!S_ISSOCK(info.st_mode)) {
        return false;
    }
    int error = 0;
    const int probe = connectUnix(path, error);
    if (probe >= 0) {
        ::close(probe);
        return false;
    }
    if (error != ECONNREFUSED) {
        return false;
    }
    return ::unlink(path.c_str()) == 0 || errno == ENOENT;
}

int bindListeningSocket(const std::string& path) {
    sockaddr_un address;
    socklen_t length = 0;
    if (!fillUnixAddress(path, address, length) || !clearStaleSocket(path)) {
        return -1;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    // The unprivileged client must be able to connect; who may talk to the
    // service is decided per connection.
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
        ::chmod(path.c_str(), 0666) != 0 || ::listen(fd, SOMAXCONN) != 0) {
        const bool bound = errno != EADDRINUSE;
        ::close(fd);
        if (bound) {
            ::unlink(path.c_str());
        }
        return -1;
    }
    return fd;
}

bool parsePositive(const char* text, long& value) {
    if (text == nullptr || *text == '\0') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    value = std::strtol(text, &end, 10);
    return errno == 0 && *end == '\0' && value > 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// Values, interfaces, audit tokens

bool valueMatchesType(const Value& value, char code) {
    switch (code) {
        case 'c':
            return std::holds_alternative<bool>(value);
        case '@':
            return std::holds_alternative<std::optional<std::string>>(value);
        default:
            return false;
    }
}

bool valuesMatchTypes(const std::vector<Value>& values, std::string_view types) {
    if (values.size() != types.size()) {
        return false;
    }
    for (size_t i = 0; i < values.size(); ++i) {
        if (!valueMatchesType(values[i], types[i])) {
            return false;
        }
    }
    return true;
}

bool isValidTypeString(std::string_view types) {
    for (char code : types) {
        if (code != 'c' && code != '@') {
            return false;
        }
    }
    return true;
}

bool Interface::addMethod(std::string selector, std::string argumentTypes, std::string replyTypes,
                          Invoker invoker) {
    if (selector.empty() || method(selector) != nullptr || !isValidTypeString(argumentTypes) ||
        !isValidTypeString(replyTypes) || !invoker) {
        return false;
    }
    methods_.push_back(
        {std::move(selector), std::move(argumentTypes), std::move(replyTypes), std::move(invoker)});
    return true;
}

const MethodDescription* Interface::method(std::string_view selector) const {
    for (const MethodDescription& m : methods_) {
        if (m.selector == selector) {
            return &m;
        }
    }
    return nullptr;
}

namespace {
void storeInt32(AuditToken& token, size_t offset, int32_t value) {
    std::memcpy(token.data() + offset, &value, sizeof value);
}
int32_t loadInt32(const AuditToken& token, size_t offset) {
    int32_t value = 0;
    std::memcpy(&value, token.data() + offset, sizeof value);
    return value;
}
}  // namespace

pid_t audit_token_to_pid(const AuditToken& token) {
    return static_cast<pid_t>(loadInt32(token, 0));
}

int audit_token_to_pidfd(const AuditToken& token) {
    // Stored plus one, so that the all-zero token carries no descriptor.
    const int32_t stored = loadInt32(token, 4);
    return stored > 0 ? stored - 1 : -1;
}

// ---------------------------------------------------------------------------
// Reply

Reply::Reply(std::weak_ptr<Connection> connection, uint64_t seq, std::string replyTypes)
    : connection_(std::move(connection)),
      seq_(seq),
      replyTypes_(std::move(replyTypes)),
      called_(std::make_shared<std::atomic<bool>>(false)) {}

bool Reply::operator()(const std::vector<Value>& values) const {
    if (!called_ || called_->exchange(true)) {
        return false;
    }
    if (!valuesMatchTypes(values, replyTypes_)) {
        return false;
    }
    const std::shared_ptr<Connection> connection = connection_.lock();
    return connection && connection->sendReply(seq_, values);
}

bool Reply::wasCalled() const {
    return called_ && called_->load();
}

// ---------------------------------------------------------------------------
// Connection

Connection::Connection(Private, int fd, PeerCredentials peer)
    : peer_(peer), queue_(dispatch::queue_create("xpc.connection")), fd_(fd) {}

Connection::~Connection() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
    if (peer_.pidfd >= 0) {
        ::close(peer_.pidfd);
    }
}

std::shared_ptr<Connection> Connection::fromAcceptedSocket(int fd) {
    PeerCredentials peer;
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 ||
        credentials.pid <= 0) {
        ::close(fd);
        return nullptr;
    }
    peer.pid = credentials.pid;
    peer.uid = credentials.uid;
    peer.gid = credentials.gid;

    // The kernel names the process that connected, even if its id has since
    // been reused.
    int pidfd = -1;
    length = sizeof pidfd;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERPIDFD, &pidfd, &length) != 0) {
        // Older kernels: open the pid that SO_PEERCRED reported. This is the
        // weaker path: had the peer exited and its id been reused before this
        // call, the pidfd would name the newcomer.
        pidfd = static_cast<int>(::syscall(SYS_pidfd_open, peer.pid, 0));
    }
    if (pidfd >= 0) {
        ::fcntl(pidfd, F_SETFD, FD_CLOEXEC);
    }
    peer.pidfd = pidfd;

    // Every message will carry its sender's credentials, checked against
    // the peer captured here.
    const int on = 1;
    const timeval sendTimeout{static_cast<time_t>(kSendTimeout.count()), 0};
    if (::setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0 ||
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout) != 0) {
        ::close(fd);
        if (pidfd >= 0) {
            ::close(pidfd);
        }
        return nullptr;
    }
    return std::make_shared<Connection>(Private{}, fd, peer);
}

std::optional<AuditToken> Connection::auditToken() const {
    if (peer_.pidfd < 0) {
        return std::nullopt;
    }
    AuditToken token{};
    storeInt32(token, 0, static_cast<int32_t>(peer_.pid));
    storeInt32(token, 4, static_cast<int32_t>(peer_.pidfd + 1));
    return token;
}

void Connection::setExportedInterface(std::shared_ptr<Interface> interface) {
    std::lock_guard lock(mutex_);
    interface_ = std::move(interface);
}

std::shared_ptr<Interface> Connection::exportedInterface() const {
    std::lock_guard lock(mutex_);
    return interface_;
}

void Connection::setExportedObject(std::shared_ptr<void> object) {
    std::shared_ptr<void> previous;
    std::lock_guard lock(mutex_);
    if (invalidated_) {
        return;  // would never be released otherwise
    }
    previous = std::exchange(exportedObject_, std::move(object));
}

std::shared_ptr<void> Connection::exportedObject() const {
    std::lock_guard lock(mutex_);
    return exportedObject_;
}

void Connection::setInvalidationHandler(std::function<void()> handler) {
    std::function<void()> previous;
    std::lock_guard lock(mutex_);
    if (!handlerCalled_) {
        previous = std::exchange(invalidationHandler_, std::move(handler));
    }
}

void Connection::setInterruptionHandler(std::function<void()> handler) {
    std::function<void()> previous;
    std::lock_guard lock(mutex_);
    if (!handlerCalled_) {
        previous = std::exchange(interruptionHandler_, std::move(handler));
    }
}

void Connection::resume() {
    std::lock_guard lock(mutex_);
    if (resumed_) {
        return;
    }
    resumed_ = true;
    if (!awaitingDecision_ && !invalidated_) {
        startReading();
    }
}

void Connection::decisionMade(bool accepted) {
    if (!accepted) {
        invalidate();
        return;
    }
    std::lock_guard lock(mutex_);
    awaitingDecision_ = false;
    if (resumed_ && !invalidated_) {
        startReading();
    }
}

// Called with mutex_ held.
void Connection::startReading() {
    reading_ = true;
    dispatch::async(runtimeQueue(), [self = shared_from_this()] { self->readLoop(); });
}

void Connection::invalidate() {
    end(EndReason::Invalidated);
}

bool Connection::isInvalidated() const {
    std::lock_guard lock(mutex_);
    return invalidated_;
}

void Connection::end(EndReason reason) {
    std::shared_ptr<void> slot;
    {
        std::lock_guard lock(mutex_);
        if (invalidated_) {
            return;
        }
        invalidated_ = true;
        // Requests already read from a peer that simply closed still run;
        // after anything else, nothing more is served.
        dropPending_ = reason != EndReason::PeerClosed;
        slot = std::move(listenerSlot_);
        // Wakes a reader blocked in recvmsg and a writer blocked in send.
        ::shutdown(fd_, SHUT_RDWR);
        if (!reading_) {
            std::lock_guard sendLock(sendMutex_);
            ::close(fd_);
            fd_ = -1;
        }
    }
    roomForRequests_.notify_all();
    // Queued behind the requests already on the queue, so it runs after them.
    dispatch::async(queue_, [self = shared_from_this()] {
        std::function<void()> handler;
        {
            std::lock_guard lock(self->mutex_);
            handler = std::move(self->invalidationHandler_);
            self->invalidationHandler_ = nullptr;
            self->handlerCalled_ = true;
        }
        if (handler) {
            handler();
        }
        // Handlers and the exported object may refer back to the connection;
        // releasing them here breaks such cycles.
        std::function<void()> interruption;
        std::shared_ptr<void> object;
        std::lock_guard lock(self->mutex_);
        interruption = std::move(self->interruptionHandler_);
        self->interruptionHandler_ = nullptr;
        object = std::move(self->exportedObject_);
        self->exportedObject_ = nullptr;
    });
}

void Connection::readLoop() {
    wire::FrameReader frames;
    std::string body;
    std::vector<char> chunk(kReadChunk);
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
    bool keepReading = true;
    while (keepReading) {
        {
            std::unique_lock lock(mutex_);
            roomForRequests_.wait(lock, [this] {
                return invalidated_ || (queuedRequests_ < kMaxQueuedRequests &&
                                        queuedBytes_ < kMaxQueuedRequestBytes);
            });
            if (invalidated_) {
                break;
            }
        }
        iovec io{chunk.data(), chunk.size()};
        msghdr message{};
        message.msg_iov = &io;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t n = ::recvmsg(fd_, &message, MSG_CMSG_CLOEXEC);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            end(EndReason::Broken);
            break;
        }
        if (n == 0) {
            end(frames.buffered() == 0 ? EndReason::PeerClosed : EndReason::Violation);
            break;
        }
        // The kernel never returns bytes of two senders from one call, so the
        // credentials name the sender of every byte just read. Bytes without
        // credentials or from anyone but the accepted peer end the connection
        // before any of them is looked at.
        const ucred* sender = nullptr;
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS &&
                c->cmsg_len >= CMSG_LEN(sizeof(ucred))) {
                sender = reinterpret_cast<const ucred*>(CMSG_DATA(c));
            } else if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) {
                // Descriptors are not part of the protocol; close what came.
                const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
                for (size_t i = 0; i < count; ++i) {
                    int passed = -1;
                    std::memcpy(&passed, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
                    ::close(passed);
                }
            }
        }
        if (sender == nullptr || sender->pid != peer_.pid ||
            (message.msg_flags & MSG_CTRUNC) != 0) {
            end(EndReason::Violation);
            break;
        }
        frames.append(chunk.data(), static_cast<size_t>(n));
        for (;;) {
            const wire::FrameReader::Status status = frames.next(body);
            if (status == wire::FrameReader::Status::NeedMore) {
                break;
            }
            if (status == wire::FrameReader::Status::TooLarge) {
                end(EndReason::Violation);
                keepReading = false;
                break;
            }
            handleMessage(body, keepReading);
            if (!keepReading) {
                break;
            }
        }
    }
    std::lock_guard lock(mutex_);
    reading_ = false;
    if (invalidated_) {
        std::lock_guard sendLock(sendMutex_);
        ::close(fd_);
        fd_ = -1;
    }
}

void Connection::handleMessage(std::string_view body, bool& keepReading) {
    const std::shared_ptr<Interface> interface = exportedInterface();
    wire::Request request;
    switch (wire::decodeRequest(body, interface.get(), request)) {
        case wire::Decoded::Fatal:
            end(EndReason::Violation);
            keepReading = false;
            return;
        case wire::Decoded::Dropped:
            return;
        case wire::Decoded::Ok:
            break;
    }
    {
        std::lock_guard lock(mutex_);
        if (invalidated_) {
            keepReading = false;
            return;
        }
        ++queuedRequests_;
        queuedBytes_ += body.size();
    }
    auto run = [self = shared_from_this(), interface, size = body.size(),
                request = std::move(request)] {
        std::shared_ptr<void> object;
        {
            std::lock_guard lock(self->mutex_);
            if (!self->dropPending_) {
                object = self->exportedObject_;
            }
        }
        // Without an exported object there is nothing to call.
        if (object) {
            const Reply reply(self, request.seq, request.method->replyTypes);
            request.method->invoker(object, request.args, reply);
        }
        self->requestFinished(size);
    };
    dispatch::async(queue_, std::move(run));
}

void Connection::requestFinished(size_t size) {
    {
        std::lock_guard lock(mutex_);
        --queuedRequests_;
        queuedBytes_ -= size;
    }
    roomForRequests_.notify_all();
}

bool Connection::sendReply(uint64_t seq, const std::vector<Value>& values) {
    const std::string bytes = wire::frame(wire::encodeReply(seq, values));
    if (bytes.size() - 4 > kMaxMessageSize) {
        return false;
    }
    if (isInvalidated()) {
        return false;
    }
    bool sent = false;
    {
        // Never take mutex_ while holding sendMutex_: end() takes them the
        // other way round.
        std::lock_guard lock(sendMutex_);
        if (fd_ < 0) {
            return false;
        }
        sent = sendAll(fd_, bytes);
    }
    if (!sent) {
        end(EndReason::Broken);
    }
    return sent;
}

// ---------------------------------------------------------------------------
// Listener

std::string socketPathForServiceName(const std::string& name) {
    return "/run/" + name + ".sock";
}

struct Listener::State {
    std::mutex mutex;
    int fd = -1;
    int wakeFd = -1;
    bool resumed = false;
    bool invalidated = false;
    bool looping = false;
    std::string boundPath;
    ListenerDelegate* delegate = nullptr;
    std::atomic<size_t> pending{0};
    std::atomic<size_t> open{0};

    ~State() {
        if (fd >= 0) {
            ::close(fd);
        }
        if (wakeFd >= 0) {
            ::close(wakeFd);
        }
    }
};

Listener::Listener(Private, int fd, std::string boundPath)
    : path_(std::move(boundPath)), state_(std::make_shared<State>()) {
    state_->fd = fd;
    state_->boundPath = path_;
    if (fd >= 0) {
        state_->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        // Set on the listening socket too: a client's first bytes may be
        // queued before accept() returns.
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
    }
}

Listener::~Listener() {
    invalidate();
}

std::shared_ptr<Listener> Listener::initWithMachServiceName(const std::string& name) {
    const char* listenPid = std::getenv("LISTEN_PID");
    const char* listenFds = std::getenv("LISTEN_FDS");
    long pid = 0;
    long count = 0;
    const bool activated = parsePositive(listenPid, pid) && parsePositive(listenFds, count) &&
                           pid == static_cast<long>(::getpid());
    if (listenPid != nullptr || listenFds != nullptr) {
        // Children must not believe the descriptors are theirs.
        ::unsetenv("LISTEN_PID");
        ::unsetenv("LISTEN_FDS");
        ::unsetenv("LISTEN_FDNAMES");
    }
    if (activated) {
        constexpr int kFirstPassedDescriptor = 3;
        ::fcntl(kFirstPassedDescriptor, F_SETFD, FD_CLOEXEC);
        return listenerWithDescriptor(kFirstPassedDescriptor);
    }
    return listenerWithSocketPath(socketPathForServiceName(name));
}

std::shared_ptr<Listener> Listener::listenerWithSocketPath(const std::string& path) {
    const int fd = bindListeningSocket(path);
    return std::make_shared<Listener>(Private{}, fd, fd >= 0 ? path : std::string());
}

std::shared_ptr<Listener> Listener::listenerWithDescriptor(int fd) {
    int type = 0;
    socklen_t length = sizeof type;
    if (fd >= 0 && (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 ||
                    type != SOCK_STREAM || ::listen(fd, SOMAXCONN) != 0)) {
        ::close(fd);
        fd = -1;
    }
    return std::make_shared<Listener>(Private{}, fd, std::string());
}

void Listener::setDelegate(ListenerDelegate* delegate) {
    std::lock_guard lock(state_->mutex);
    state_->delegate = delegate;
}

ListenerDelegate* Listener::delegate() const {
    std::lock_guard lock(state_->mutex);
    return state_->delegate;
}

bool Listener::isValid() const {
    std::lock_guard lock(state_->mutex);
    return state_->fd >= 0 && state_->wakeFd >= 0 && !state_->invalidated;
}

void Listener::resume() {
    std::lock_guard lock(state_->mutex);
    if (state_->resumed || state_->invalidated || state_->fd < 0 || state_->wakeFd < 0) {
        return;
    }
    state_->resumed = true;
    state_->looping = true;
    dispatch::async(runtimeQueue(), [self = weak_from_this(), state = state_] {
        // Runs until invalidate(); holds the state, not the listener, so that
        // dropping the listener ends the loop.
        for (;;) {
            pollfd fds[2] = {{state->fd, POLLIN, 0}, {state->wakeFd, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                break;
            }
            if (fds[1].revents != 0) {
                break;
            }
            const int fd = ::accept4(state->fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                    // Out of descriptors or memory: give the process a moment
                    // rather than spinning on the same pending connection.
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                }
                continue;
            }
            const std::shared_ptr<Listener> listener = self.lock();
            if (!listener) {
                ::close(fd);
                break;
            }
            listener->offer(fd);
        }
        std::lock_guard stateLock(state->mutex);
        state->looping = false;
        if (state->invalidated && state->fd >= 0) {
            ::close(state->fd);
            state->fd = -1;
        }
    });
}

void Listener::offer(int fd) {
    const std::shared_ptr<State> state = state_;
    if (state->open.load() >= kMaxOpenConnections ||
        state->pending.load() >= kMaxPendingConnections) {
        ::close(fd);
        return;
    }
    std::shared_ptr<Connection> connection = Connection::fromAcceptedSocket(fd);
    if (!connection) {
        return;
    }
    ++state->open;
    ++state->pending;
    {
        std::lock_guard lock(connection->mutex_);
        connection->awaitingDecision_ = true;
        connection->listenerSlot_ =
            std::shared_ptr<void>(state.get(), [state](void*) { --state->open; });
    }
    dispatch::async(runtimeQueue(), [listener = shared_from_this(), connection] {
        ListenerDelegate* delegate = nullptr;
        {
            std::lock_guard lock(listener->state_->mutex);
            if (!listener->state_->invalidated) {
                delegate = listener->state_->delegate;
            }
        }
        const bool accepted =
            delegate != nullptr && delegate->shouldAcceptNewConnection(*listener, connection);
        --listener->state_->pending;
        connection->decisionMade(accepted);
    });
}

void Listener::invalidate() {
    std::lock_guard lock(state_->mutex);
    if (state_->invalidated) {
        return;
    }
    state_->invalidated = true;
    if (!state_->boundPath.empty()) {
        ::unlink(state_->boundPath.c_str());
    }
    if (state_->looping) {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t ignored = ::write(state_->wakeFd, &one, sizeof one);
    } else if (state_->fd >= 0) {
        ::close(state_->fd);
        state_->fd = -1;
    }
}

// ---------------------------------------------------------------------------
// ClientConnection

struct ClientConnection::State : std::enable_shared_from_this<ClientConnection::State> {
    struct Pending {
        std::string replyTypes;
        std::function<void(Result)> callback;
    };

    explicit State(int descriptor) : fd(descriptor) {}
    ~State() {
        if (fd >= 0) {
            ::close(fd);
        }
    }

    mutable std::mutex mutex;
    mutable std::condition_variable endedChanged;
    bool ended = false;
    bool reading = false;
    uint64_t nextSeq = 1;
    std::map<uint64_t, Pending> pending;
    std::function<void()> invalidationHandler;

    std::mutex sendMutex;
    int fd = -1;  // closing guarded by sendMutex

    void start() {
        std::lock_guard lock(mutex);
        reading = true;
        dispatch::async(runtimeQueue(), [self = shared_from_this()] { self->readLoop(); });
    }

    bool write(std::string_view bytes) {
        bool sent = false;
        {
            std::lock_guard lock(sendMutex);
            sent = fd >= 0 && sendAll(fd, bytes);
        }
        if (!sent) {
            end();
        }
        return sent;
    }

    void end() {
        std::map<uint64_t, Pending> abandoned;
        std::function<void()> handler;
        {
            std::lock_guard lock(mutex);
            if (ended) {
                return;
            }
            ended = true;
            abandoned.swap(pending);
            handler = std::move(invalidationHandler);
            invalidationHandler = nullptr;
            // fd is closed only under both locks, so it is stable here. The
            // shutdown also wakes a writer blocked in send() while holding
            // sendMutex, which must happen before that lock is taken.
            if (fd >= 0) {
                ::shutdown(fd, SHUT_RDWR);
                if (!reading) {
                    std::lock_guard sendLock(sendMutex);
                    ::close(fd);
                    fd = -1;
                }
            }
        }
        endedChanged.notify_all();
        for (auto& [seq, request] : abandoned) {
            if (request.callback) {
                request.callback(Result{Status::ConnectionEnded, {}});
            }
        }
        if (handler) {
            handler();
        }
    }

    void readLoop() {
        wire::FrameReader frames;
        std::string body;
        std::vector<char> chunk(kReadChunk);
        bool keepReading = true;
        while (keepReading) {
            const ssize_t n = ::recv(fd, chunk.data(), chunk.size(), 0);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                break;
            }
            frames.append(chunk.data(), static_cast<size_t>(n));
            for (;;) {
                const wire::FrameReader::Status status = frames.next(body);
                if (status == wire::FrameReader::Status::NeedMore) {
                    break;
                }
                wire::ReplyMessage reply;
                if (status == wire::FrameReader::Status::TooLarge ||
                    wire::decodeReply(body, reply) == wire::Decoded::Fatal) {
                    keepReading = false;
                    break;
                }
                deliver(std::move(reply));
            }
        }
        end();
        std::lock_guard lock(mutex);
        reading = false;
        std::lock_guard sendLock(sendMutex);
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    }

    void deliver(wire::ReplyMessage reply) {
        std::function<void(Result)> callback;
        {
            std::lock_guard lock(mutex);
            auto it = pending.find(reply.seq);
            // A reply for no outstanding request, or one of the wrong form, is
            // ignored; the request stays outstanding.
            if (it == pending.end() || !valuesMatchTypes(reply.values, it->second.replyTypes)) {
                return;
            }
            callback = std::move(it->second.callback);
            pending.erase(it);
        }
        if (callback) {
            callback(Result{Status::Replied, std::move(reply.values)});
        }
    }

    // Registers the request and writes it; 0 if the connection has ended.
    uint64_t send(const std::string& selector, const std::string& replyTypes,
                  const std::vector<Value>& args, std::function<void(Result)> callback) {
        uint64_t seq = 0;
        {
            std::lock_guard lock(mutex);
            if (!ended) {
                seq = nextSeq++;
                pending.emplace(seq, Pending{replyTypes, std::move(callback)});
            }
        }
        if (seq == 0) {
            if (callback) {
                callback(Result{Status::ConnectionEnded, {}});
            }
            return 0;
        }
        // A failed write ends the connection, which answers the request.
        write(wire::frame(wire::encodeRequest(seq, selector, replyTypes, args)));
        return seq;
    }
};

ClientConnection::ClientConnection(std::shared_ptr<State> state) : state_(std::move(state)) {}

std::unique_ptr<ClientConnection> ClientConnection::connectToPath(const std::string& path,
                                                                  std::string* error) {
    int code = 0;
    const int fd = connectUnix(path, code);
    if (fd < 0) {
        if (error != nullptr) {
            *error = std::strerror(code);
        }
        return nullptr;
    }
    return withDescriptor(fd);
}

std::unique_ptr<ClientConnection> ClientConnection::withDescriptor(int fd) {
    if (fd < 0) {
        return nullptr;
    }
    auto state = std::make_shared<State>(fd);
    state->start();
    return std::make_unique<ClientConnection>(state);
}

ClientConnection::~ClientConnection() {
    state_->end();
}

namespace {
constexpr std::chrono::microseconds kSyncSpin{200};
}  // namespace

ClientConnection::Result ClientConnection::sendSync(const std::string& selector,
                                                    const std::string& replyTypes,
                                                    const std::vector<Value>& args,
                                                    std::chrono::milliseconds timeout) {
    struct Waiter {
        std::mutex mutex;
        std::condition_variable done;
        std::optional<Result> result;
    };
    auto waiter = std::make_shared<Waiter>();
    const uint64_t seq = state_->send(selector, replyTypes, args, [waiter](Result result) {
        std::lock_guard lock(waiter->mutex);
        waiter->result = std::move(result);
        waiter->done.notify_all();
    });
    std::unique_lock lock(waiter->mutex);
    // A reply usually comes back within a few tens of microseconds. Parking on
    // the condition variable at once would add a wake-up of this thread to
    // every round trip, so look for the reply for a short while first.
    const auto spinUntil = std::chrono::steady_clock::now() + kSyncSpin;
    while (!waiter->result && std::chrono::steady_clock::now() < spinUntil) {
        lock.unlock();
        std::this_thread::yield();
        lock.lock();
    }
    if (waiter->done.wait_for(lock, timeout, [&] { return waiter->result.has_value(); })) {
        return std::move(*waiter->result);
    }
    lock.unlock();
    {
        std::lock_guard stateLock(state_->mutex);
        state_->pending.erase(seq);
    }
    lock.lock();
    if (waiter->result) {
        return std::move(*waiter->result);
    }
    return Result{Status::TimedOut, {}};
}

uint64_t ClientConnection::sendAsync(const std::string& selector, const std::string& replyTypes,
                                     const std::vector<Value>& args,
                                     std::function<void(Result)> callback) {
    return state_->send(selector, replyTypes, args, std::move(callback));
}

bool ClientConnection::sendRaw(std::string_view bytes) {
    return state_->write(bytes);
}

bool ClientConnection::sendRawMessage(std::string_view body) {
    return state_->write(wire::frame(body));
}

void ClientConnection::setInvalidationHandler(std::function<void()> handler) {
    bool alreadyEnded = false;
    {
        std::lock_guard lock(state_->mutex);
        alreadyEnded = state_->ended;
        if (!alreadyEnded) {
            state_->invalidationHandler = std::move(handler);
        }
    }
    if (alreadyEnded && handler) {
        dispatch::async(runtimeQueue(), std::move(handler));
    }
}

bool ClientConnection::isInvalidated() const {
    std::lock_guard lock(state_->mutex);
    return state_->ended;
}

bool ClientConnection::waitForInvalidation(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(state_->mutex);
    return state_->endedChanged.wait_for(lock, timeout, [this] { return state_->ended; });
}

void ClientConnection::invalidate() {
    state_->end();
}

int ClientConnection::descriptor() const {
    std::lock_guard lock(state_->sendMutex);
    return state_->fd;
}

}  // namespace xpc
