// The service side: listeners, accepted connections and their replies.
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

#include "platform/base/fd.h"
#include "platform/xpc/socket.h"
#include "platform/xpc/wire.h"

namespace xpc {

using detail::kReadChunk;
using detail::runtimeQueue;

namespace {

// The connection whose request the calling thread is running (see
// Connection::currentConnection).
thread_local std::weak_ptr<Connection> tCurrentConnection;

// Names `connection` as the calling thread's current one for its lifetime.
class CurrentConnectionScope {
  public:
    explicit CurrentConnectionScope(const std::shared_ptr<Connection>& connection)
        : previous_(std::exchange(tCurrentConnection, connection)) {}
    ~CurrentConnectionScope() { tCurrentConnection = std::move(previous_); }
    CurrentConnectionScope(const CurrentConnectionScope&) = delete;
    CurrentConnectionScope& operator=(const CurrentConnectionScope&) = delete;

  private:
    std::weak_ptr<Connection> previous_;
};

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
    if (const base::UniqueFd probe = detail::connectUnix(path, error)) {
        return false;
    }
    if (error != ECONNREFUSED) {
        return false;
    }
    return ::unlink(path.c_str()) == 0 || errno == ENOENT;
}

base::UniqueFd bindListeningSocket(const std::string& path, const PeerAdmission& admission,
                                   std::string& error) {
    sockaddr_un address;
    socklen_t length = 0;
    if (!detail::fillUnixAddress(path, address, length)) {
        error = "cannot listen on " + path + ": the path is too long";
        return {};
    }
    if (!clearStaleSocket(path)) {
        error = "cannot listen on " + path + ": something else is there";
        return {};
    }
    base::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) {
        error = std::string("cannot make a socket: ") + std::strerror(errno);
        return {};
    }
    // The file system lets root and the admitted group connect; the kernel's
    // credentials of each peer are checked again at accept. The socket is not
    // listening before its owner and mode are set, so nobody connects early.
    const gid_t group = admission.group.value_or(0);
    const mode_t mode = admission.group ? 0660 : 0600;
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        error = "cannot listen on " + path + ": " + std::strerror(errno);
        return {};
    }
    const bool owned = ::geteuid() == 0 ? ::chown(path.c_str(), 0, group) == 0
                                        : !admission.group || ::chown(path.c_str(), -1, group) == 0;
    if (!owned || ::chmod(path.c_str(), mode) != 0 || ::listen(fd.get(), SOMAXCONN) != 0) {
        error = "cannot listen on " + path + ": " + std::strerror(errno);
        fd.reset();
        ::unlink(path.c_str());
        return {};
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
// Reply

// Shared by the copies of one request's handle. The request counts as
// answered once a call claims the reply or the last copy goes.
struct Reply::State {
    explicit State(std::weak_ptr<Connection> c) : connection(std::move(c)) {}
    State(const State&) = delete;
    State& operator=(const State&) = delete;
    ~State() { settle(); }

    void settle() {
        if (!settled.exchange(true)) {
            if (const std::shared_ptr<Connection> c = connection.lock()) {
                c->requestSettled();
            }
        }
    }

    std::weak_ptr<Connection> connection;
    std::atomic<bool> called{false};
    std::atomic<bool> settled{false};
};

Reply::Reply(std::weak_ptr<Connection> connection, uint64_t seq, std::string replyTypes)
    : state_(std::make_shared<State>(std::move(connection))),
      seq_(seq),
      replyTypes_(std::move(replyTypes)) {}

bool Reply::operator()(const std::vector<Value>& values) const {
    if (!state_ || state_->called.exchange(true)) {
        return false;
    }
    bool sent = false;
    if (valuesMatchTypes(values, replyTypes_)) {
        const std::shared_ptr<Connection> connection = state_->connection.lock();
        sent = connection && connection->sendReply(seq_, values);
    }
    state_->settle();
    return sent;
}

bool Reply::wasCalled() const {
    return state_ && state_->called.load();
}

// ---------------------------------------------------------------------------
// Connection

Connection::Connection(Private, base::UniqueFd fd, PeerProcess peer)
    : peer_(std::move(peer)),
      queue_(dispatch::queue_create("xpc.connection")),
      fd_(std::move(fd)) {}

Connection::~Connection() = default;

std::shared_ptr<Connection> Connection::fromAcceptedSocket(int fd) {
    base::UniqueFd owned(fd);
    const std::optional<KernelCredentials> credentials = kernelCredentials(owned.get());
    if (!credentials) {
        return nullptr;
    }
    return make(std::move(owned), *credentials);
}

std::shared_ptr<Connection> Connection::fromAcceptedSocket(ListenerKey /*key*/, base::UniqueFd fd,
                                                           const KernelCredentials& credentials) {
    return make(std::move(fd), credentials);
}

std::shared_ptr<Connection> Connection::make(base::UniqueFd fd,
                                             const KernelCredentials& credentials) {
    std::optional<PeerProcess> peer = PeerProcess::identify(fd.get(), credentials);
    const timeval sendTimeout{static_cast<time_t>(kSendTimeout.count()), 0};
    if (!peer ||
        ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout) != 0) {
        return nullptr;
    }
    return std::make_shared<Connection>(Private{}, std::move(fd), std::move(*peer));
}

std::optional<AuditToken> Connection::auditToken() const {
    if (peer_.pidfd() < 0) {
        return std::nullopt;
    }
    return detail::makeAuditToken(peer_.credentials().pid, peer_.pidfd());
}

std::optional<base::ProcessUser> Connection::peerUser() const {
    return peer_.user();
}

std::shared_ptr<Connection> Connection::currentConnection() {
    return tCurrentConnection.lock();
}

void Connection::setExportedInterface(std::shared_ptr<Interface> interface) {
    std::lock_guard lock(mutex_);
    interface_ = std::move(interface);
}

std::shared_ptr<Interface> Connection::exportedInterface() const {
    std::lock_guard lock(mutex_);
    return interface_;
}

void Connection::setExportedObject(ExportedObject object) {
    ExportedObject previous;
    std::lock_guard lock(mutex_);
    if (invalidated_) {
        return;  // would never be released otherwise
    }
    previous = std::exchange(exportedObject_, std::move(object));
}

ExportedObject Connection::exportedObject() const {
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

void Connection::awaitDecision(ListenerKey /*key*/, std::shared_ptr<void> listenerSlot) {
    std::lock_guard lock(mutex_);
    awaitingDecision_ = true;
    listenerSlot_ = std::move(listenerSlot);
}

void Connection::decisionMade(ListenerKey /*key*/, bool accepted) {
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
        draining_ = false;
        slot = std::move(listenerSlot_);
        // Wakes a reader blocked in recvmsg and a writer blocked in send.
        detail::shutdownSocket(fd_, reading_, sendMutex_);
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
        ExportedObject object;
        std::lock_guard lock(self->mutex_);
        interruption = std::move(self->interruptionHandler_);
        self->interruptionHandler_ = nullptr;
        object = std::exchange(self->exportedObject_, ExportedObject());
    });
}

void Connection::readLoop() {
    wire::FrameReader frames;
    std::string body;
    std::vector<char> chunk(kReadChunk);
    alignas(cmsghdr) char control[PeerProcess::kControlSpace];
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
        // The peer process ending is seen even while its socket stays open
        // elsewhere; end() wakes this with a shutdown of the socket.
        pollfd fds[2] = {{fd_.get(), POLLIN, 0}, {peer_.pidfd(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            end(EndReason::Broken);
            break;
        }
        if (fds[1].revents != 0) {
            end(EndReason::PeerExited);
            break;
        }
        iovec io{chunk.data(), chunk.size()};
        msghdr message{};
        message.msg_iov = &io;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t n = ::recvmsg(fd_.get(), &message, MSG_CMSG_CLOEXEC | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            end(EndReason::Broken);
            break;
        }
        if (n == 0) {
            if (frames.buffered() != 0) {
                end(EndReason::Violation);
            } else if (peerHungUp()) {
                end(EndReason::PeerClosed);
            } else {
                drain();
            }
            break;
        }
        // The kernel never returns bytes of two senders from one call, so the
        // credentials name the sender of every byte just read. Bytes from
        // anyone but the accepted peer end the connection before any of them
        // is looked at.
        if (!peer_.sentByPeer(message)) {
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
        detail::closeSocket(fd_, sendMutex_);
    }
}

bool Connection::peerHungUp() const {
    // A peer that closed its socket leaves this end hung up both ways; one
    // that only shut down its sending side leaves this end able to send.
    pollfd p{fd_.get(), 0, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR)) != 0;
}

void Connection::drain() {
    {
        std::unique_lock lock(mutex_);
        if (invalidated_) {
            return;
        }
        draining_ = true;
        if (unanswered_ == 0) {
            lock.unlock();
            end(EndReason::PeerClosed);
            return;
        }
    }
    // Replies go out from the queue or from any thread; the last one ends the
    // connection (requestSettled). Meanwhile, watch for the peer going away.
    for (;;) {
        pollfd fds[2] = {{fd_.get(), 0, 0}, {peer_.pidfd(), POLLIN, 0}};
        if (base::retryOnEintr([&] { return ::poll(fds, 2, -1); }) < 0) {
            end(EndReason::Broken);
            return;
        }
        if (isInvalidated()) {
            return;
        }
        if (fds[1].revents != 0) {
            end(EndReason::PeerExited);
            return;
        }
        if ((fds[0].revents & (POLLHUP | POLLERR)) != 0) {
            end(EndReason::PeerClosed);
            return;
        }
    }
}

void Connection::requestSettled() {
    bool done = false;
    {
        std::lock_guard lock(mutex_);
        if (unanswered_ > 0) {
            --unanswered_;
        }
        done = draining_ && unanswered_ == 0 && !invalidated_;
    }
    if (done) {
        end(EndReason::PeerClosed);
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
        ++unanswered_;
    }
    // The handle exists from now on, so that a request dropped before it runs
    // counts as answered.
    Reply reply(shared_from_this(), request.seq, request.method->replyTypes);
    auto run = [self = shared_from_this(), interface, size = body.size(),
                request = std::move(request), reply = std::move(reply)]() mutable {
        ExportedObject object;
        {
            std::lock_guard lock(self->mutex_);
            if (!self->dropPending_) {
                object = self->exportedObject_;
            }
        }
        // Without an exported object there is nothing to call.
        if (!object.empty()) {
            const CurrentConnectionScope scope(self);
            request.method->invoker(object, request.args, reply);
        }
        reply = Reply();
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
        if (!fd_) {
            return false;
        }
        sent = base::sendAll(fd_.get(), bytes, MSG_NOSIGNAL);
    }
    if (!sent) {
        end(EndReason::Broken);
    }
    return sent;
}

// ---------------------------------------------------------------------------
// Listener

struct Listener::Decision {
    std::chrono::steady_clock::time_point deadline;
    std::shared_ptr<Connection> connection;  // released once decided
    uid_t user = 0;
    std::atomic<bool> decided{false};
};

struct Listener::State {
    struct PerUser {
        size_t pending = 0;
        size_t open = 0;
    };

    std::mutex mutex;
    base::UniqueFd fd;
    base::UniqueFd wakeFd;
    bool resumed = false;
    bool invalidated = false;
    bool looping = false;
    std::string boundPath;
    std::string error;
    PeerAdmission admission;
    ListenerLimits limits;
    ListenerDelegate* delegate = nullptr;
    size_t pending = 0;  // decisions whose delegate has not returned
    size_t open = 0;
    std::map<uid_t, PerUser> users;
    // Decisions in the order they were offered, touched by the accept loop
    // only; deadlines therefore come in order too.
    std::vector<std::shared_ptr<Decision>> decisions;

    // Reserves a place for a connection of `user`, under `mutex`.
    bool reserve(uid_t user) {
        PerUser& mine = users[user];
        if (pending >= limits.pending || open >= limits.open ||
            mine.pending >= limits.pendingPerUser || mine.open >= limits.openPerUser) {
            if (mine.pending == 0 && mine.open == 0) {
                users.erase(user);
            }
            return false;
        }
        ++pending;
        ++open;
        ++mine.pending;
        ++mine.open;
        return true;
    }

    void release(uid_t user, bool decision, bool connection) {
        std::lock_guard lock(mutex);
        PerUser& mine = users[user];
        if (decision) {
            --pending;
            --mine.pending;
        }
        if (connection) {
            --open;
            --mine.open;
        }
        if (mine.pending == 0 && mine.open == 0) {
            users.erase(user);
        }
    }
};

Listener::Listener(Private, base::UniqueFd fd, std::string boundPath, PeerAdmission admission,
                   std::string error)
    : path_(std::move(boundPath)), state_(std::make_shared<State>()) {
    const int listening = fd.get();
    state_->fd = std::move(fd);
    state_->boundPath = path_;
    state_->admission = admission;
    state_->error = std::move(error);
    if (listening >= 0) {
        state_->wakeFd.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        if (!state_->wakeFd) {
            state_->error = std::string("cannot make an event descriptor: ") + std::strerror(errno);
        }
        // Set on the listening socket too: a client's first bytes may be
        // queued before accept() returns.
        const int on = 1;
        ::setsockopt(listening, SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
        kernel::passPidfds(listening);
    }
}

Listener::~Listener() {
    invalidate();
}

std::shared_ptr<Listener> Listener::initWithMachServiceName(const std::string& name,
                                                            PeerAdmission admission) {
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
        return listenerWithDescriptor(kFirstPassedDescriptor, admission);
    }
    return listenerWithSocketPath(socketPathForServiceName(name), admission);
}

std::shared_ptr<Listener> Listener::listenerWithSocketPath(const std::string& path,
                                                           PeerAdmission admission) {
    std::string error;
    base::UniqueFd fd = bindListeningSocket(path, admission, error);
    std::string bound = fd ? path : std::string();
    return std::make_shared<Listener>(Private{}, std::move(fd), std::move(bound), admission,
                                      std::move(error));
}

std::shared_ptr<Listener> Listener::listenerWithDescriptor(int fd, PeerAdmission admission) {
    base::UniqueFd owned(fd);
    int type = 0;
    int domain = 0;
    socklen_t length = sizeof type;
    socklen_t domainLength = sizeof domain;
    std::string error;
    if (fd < 0) {
        error = "no listening socket";
    } else if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 ||
               ::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &domainLength) != 0 ||
               type != SOCK_STREAM || domain != AF_UNIX) {
        error = "the socket passed for listening is not a Unix stream socket";
    } else if (::listen(fd, SOMAXCONN) != 0) {
        error = std::string("cannot listen on the socket passed: ") + std::strerror(errno);
    }
    if (!error.empty()) {
        owned.reset();
    }
    return std::make_shared<Listener>(Private{}, std::move(owned), std::string(), admission,
                                      std::move(error));
}

void Listener::setLimits(const ListenerLimits& limits) {
    std::lock_guard lock(state_->mutex);
    state_->limits = limits;
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
    return state_->fd.valid() && state_->wakeFd.valid() && !state_->invalidated;
}

std::string Listener::errorDescription() const {
    std::lock_guard lock(state_->mutex);
    if (state_->invalidated) {
        return "the listener was invalidated";
    }
    return state_->error;
}

void Listener::resume() {
    std::lock_guard lock(state_->mutex);
    if (state_->resumed || state_->invalidated || !state_->fd || !state_->wakeFd) {
        return;
    }
    state_->resumed = true;
    state_->looping = true;
    dispatch::async(runtimeQueue(), [self = weak_from_this(), state = state_] {
        // Runs until invalidate(); holds the state, not the listener, so that
        // dropping the listener ends the loop.
        int timeout = -1;
        for (;;) {
            pollfd fds[2] = {{state->fd.get(), POLLIN, 0}, {state->wakeFd.get(), POLLIN, 0}};
            const int ready = ::poll(fds, 2, timeout);
            if (ready < 0 && errno != EINTR) {
                break;
            }
            if (fds[1].revents != 0) {
                break;
            }
            const std::shared_ptr<Listener> listener = self.lock();
            if (!listener) {
                break;
            }
            if (ready > 0 && fds[0].revents != 0) {
                const int fd = ::accept4(state->fd.get(), nullptr, nullptr, SOCK_CLOEXEC);
                if (fd >= 0) {
                    listener->offer(base::UniqueFd(fd));
                } else if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS ||
                           errno == ENOMEM) {
                    // Out of descriptors or memory: give the process a moment
                    // rather than spinning on the same pending connection.
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                }
            }
            timeout = listener->expireDecisions();
        }
        std::lock_guard stateLock(state->mutex);
        state->looping = false;
        if (state->invalidated) {
            state->fd.reset();
        }
    });
}

void Listener::offer(base::UniqueFd fd) {
    const std::shared_ptr<State> state = state_;
    // Decided on what the kernel recorded at connect, before anything else
    // is done for the peer.
    const std::optional<KernelCredentials> credentials = kernelCredentials(fd.get());
    bool reserved = false;
    if (credentials) {
        std::lock_guard lock(state->mutex);
        reserved = admitted(*credentials, state->admission) && state->reserve(credentials->uid);
    }
    if (!reserved) {
        return;
    }
    const uid_t user = credentials->uid;
    std::shared_ptr<Connection> connection =
        Connection::fromAcceptedSocket(Connection::ListenerKey(), std::move(fd), *credentials);
    if (!connection) {
        state->release(user, true, true);
        return;
    }
    connection->awaitDecision(Connection::ListenerKey(),
                              std::shared_ptr<void>(state.get(), [state, user](void*) {
                                  state->release(user, false, true);
                              }));
    auto decision = std::make_shared<Decision>();
    decision->connection = connection;
    decision->user = user;
    {
        std::lock_guard lock(state->mutex);
        decision->deadline = std::chrono::steady_clock::now() + state->limits.decisionDeadline;
    }
    state->decisions.push_back(decision);
    dispatch::async(runtimeQueue(), [listener = shared_from_this(), connection, decision] {
        ListenerDelegate* delegate = nullptr;
        {
            std::lock_guard lock(listener->state_->mutex);
            if (!listener->state_->invalidated) {
                delegate = listener->state_->delegate;
            }
        }
        const bool accepted =
            delegate != nullptr && delegate->shouldAcceptNewConnection(*listener, connection);
        listener->finishDecision(decision, accepted);
        listener->state_->release(decision->user, true, false);
    });
}

void Listener::finishDecision(const std::shared_ptr<Decision>& decision, bool accepted) {
    if (decision->decided.exchange(true)) {
        return;  // refused at its deadline already
    }
    std::shared_ptr<Connection> connection;
    {
        std::lock_guard lock(state_->mutex);
        connection = std::move(decision->connection);
    }
    if (connection) {
        connection->decisionMade(Connection::ListenerKey(), accepted);
    }
}

int Listener::expireDecisions() {
    std::vector<std::shared_ptr<Decision>>& decisions = state_->decisions;
    const auto now = std::chrono::steady_clock::now();
    size_t kept = 0;
    for (size_t i = 0; i < decisions.size(); ++i) {
        const std::shared_ptr<Decision>& decision = decisions[i];
        if (!decision->decided.load() && decision->deadline <= now) {
            finishDecision(decision, false);
        }
        if (!decision->decided.load()) {
            decisions[kept++] = decision;
        }
    }
    decisions.resize(kept);
    if (decisions.empty()) {
        return -1;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(decisions.front()->deadline - now) +
        std::chrono::milliseconds(1);
    return static_cast<int>(std::max<long long>(left.count(), 1));
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
        [[maybe_unused]] ssize_t ignored = ::write(state_->wakeFd.get(), &one, sizeof one);
    } else {
        state_->fd.reset();
    }
}

}  // namespace xpc
