// The client side: a connection to a listener, with synchronous and
// asynchronous requests.
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

using detail::connectUnix;
using detail::kReadChunk;
using detail::runtimeQueue;

// ---------------------------------------------------------------------------
// ClientConnection

struct ClientConnection::State : std::enable_shared_from_this<ClientConnection::State> {
    struct Pending {
        std::string replyTypes;
        std::function<void(Result)> callback;
    };

    explicit State(base::UniqueFd descriptor) : fd(std::move(descriptor)) {}

    mutable std::mutex mutex;
    mutable std::condition_variable endedChanged;
    bool ended = false;
    bool reading = false;
    uint64_t nextSeq = 1;
    std::map<uint64_t, Pending> pending;
    std::function<void()> invalidationHandler;

    std::mutex sendMutex;
    base::UniqueFd fd;  // closing guarded by sendMutex

    void start() {
        std::lock_guard lock(mutex);
        reading = true;
        dispatch::async(runtimeQueue(), [self = shared_from_this()] { self->readLoop(); });
    }

    bool write(std::string_view bytes) {
        bool sent = false;
        {
            std::lock_guard lock(sendMutex);
            sent = fd.valid() && base::sendAll(fd.get(), bytes, MSG_NOSIGNAL);
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
            // fd is closed only under both locks, so it is stable here.
            detail::shutdownSocket(fd, reading, sendMutex);
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
            const ssize_t n =
                base::retryOnEintr([&] { return ::recv(fd.get(), chunk.data(), chunk.size(), 0); });
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
        detail::closeSocket(fd, sendMutex);
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
        std::function<void(Result)> refused;
        {
            std::lock_guard lock(mutex);
            if (!ended) {
                seq = nextSeq++;
                pending.emplace(seq, Pending{replyTypes, std::move(callback)});
            } else {
                refused = std::move(callback);
            }
        }
        if (seq == 0) {
            if (refused) {
                refused(Result{Status::ConnectionEnded, {}});
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
    base::UniqueFd fd = connectSocket(path, error);
    if (!fd) {
        return nullptr;
    }
    return withDescriptor(fd.release());
}

base::UniqueFd ClientConnection::connectSocket(const std::string& path, std::string* error) {
    int code = 0;
    base::UniqueFd fd = connectUnix(path, code);
    if (!fd && error != nullptr) {
        *error = std::strerror(code);
    }
    return fd;
}

std::unique_ptr<ClientConnection> ClientConnection::withDescriptor(int fd) {
    if (fd < 0) {
        return nullptr;
    }
    auto state = std::make_shared<State>(base::UniqueFd(fd));
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
    std::function<void()> late;
    {
        std::lock_guard lock(state_->mutex);
        if (state_->ended) {
            late = std::move(handler);
        } else {
            state_->invalidationHandler = std::move(handler);
        }
    }
    if (late) {
        dispatch::async(runtimeQueue(), std::move(late));
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
    return state_->fd.get();
}

}  // namespace xpc
