// The xpc runtime over real Unix sockets: the service side in this process
// with raw peers (or peer processes) writing the wire protocol, and the client
// side against a service in another process.
#include "platform/xpc/xpc.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/xpc/wire.h"
#include "tests/support/descriptors.h"
#include "tests/support/harness.h"
#include "tests/unit/xpc/test_service.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using xpc::Value;
using Status = xpc::ClientConnection::Status;

using xqtest::eventually;

size_t openDescriptors() {
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

struct TempDir {
    std::string path;
    TempDir() {
        char templ[] = "/tmp/xq-xpc-XXXXXX";
        path = ::mkdtemp(templ);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
};

std::string request(uint64_t seq, const std::string& selector, const std::string& types,
                    const std::vector<Value>& args = {}) {
    return xpc::wire::encodeRequest(seq, selector, types, args);
}

// A client that speaks the wire protocol by hand.
class RawPeer {
  public:
    enum class Read { Message, Closed, Timeout };

    explicit RawPeer(const std::string& path) {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~RawPeer() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    RawPeer(const RawPeer&) = delete;
    RawPeer& operator=(const RawPeer&) = delete;

    bool connected() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    bool send(std::string_view bytes) {
        while (!bytes.empty()) {
            const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n <= 0) {
                return false;
            }
            bytes.remove_prefix(static_cast<size_t>(n));
        }
        return true;
    }
    bool sendMessage(std::string_view body) { return send(xpc::wire::frame(body)); }
    void closeWriting() { ::shutdown(fd_, SHUT_WR); }

    Read read(std::string& body, std::chrono::milliseconds timeout = 5s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            if (frames_.next(body) == xpc::wire::FrameReader::Status::Message) {
                return Read::Message;
            }
            if (closed_) {
                return Read::Closed;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return Read::Timeout;
            }
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
                continue;
            }
            char chunk[65536];
            const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
            if (n <= 0) {
                closed_ = true;
            } else {
                frames_.append(chunk, static_cast<size_t>(n));
            }
        }
    }

    // The next reply, decoded; nullopt on close or timeout.
    std::optional<xpc::wire::ReplyMessage> readReply(std::chrono::milliseconds timeout = 5s) {
        std::string body;
        if (read(body, timeout) != Read::Message) {
            return std::nullopt;
        }
        xpc::wire::ReplyMessage reply;
        if (xpc::wire::decodeReply(body, reply) != xpc::wire::Decoded::Ok) {
            return std::nullopt;
        }
        return reply;
    }

    // True when the service closes the connection within the time, with no
    // message before that.
    bool closedWithoutReply(std::chrono::milliseconds timeout = 5s) {
        std::string body;
        return read(body, timeout) == Read::Closed;
    }

  private:
    int fd_ = -1;
    bool closed_ = false;
    xpc::wire::FrameReader frames_;
};

// What the delegate and the invalidation handlers saw; shared with handlers
// that may run after a test has ended.
struct Record {
    std::mutex mutex;
    std::vector<std::shared_ptr<xpc::Connection>> accepted;
    std::atomic<int> decisions{0};
    std::atomic<int> deciding{0};
    std::atomic<int> maxDeciding{0};
    std::atomic<int> invalidations{0};
    std::atomic<int> handlersOffQueue{0};
    std::atomic<bool> decidedOnMainThread{false};
    pid_t pidfdNames = 0;  // the pid that the first accepted pidfd names
};

pid_t pidOfPidfd(int pidfd) {
    std::ifstream info("/proc/self/fdinfo/" + std::to_string(pidfd));
    std::string line;
    while (std::getline(info, line)) {
        if (line.rfind("Pid:", 0) == 0) {
            return static_cast<pid_t>(std::stol(line.substr(4)));
        }
    }
    return 0;
}

class TestDelegate final : public xpc::ListenerDelegate {
  public:
    std::shared_ptr<Record> record = std::make_shared<Record>();
    std::shared_ptr<xqtest::Served> served = std::make_shared<xqtest::Served>();
    // Decides for the n-th connection (from 0); accepts all by default.
    std::function<bool(int)> decide;

    bool shouldAcceptNewConnection(xpc::Listener&,
                                   const std::shared_ptr<xpc::Connection>& connection) override {
        const int now = ++record->deciding;
        int seen = record->maxDeciding.load();
        while (now > seen && !record->maxDeciding.compare_exchange_weak(seen, now)) {
        }
        if (gettid() == getpid()) {
            record->decidedOnMainThread = true;
        }
        const int index = record->decisions++;
        const bool accept = decide ? decide(index) : true;
        if (accept) {
            connection->setExportedInterface(xqtest::testInterface());
            connection->setExportedObject(served);
            connection->resume();
            std::weak_ptr<xpc::Connection> weak = connection;
            connection->setInvalidationHandler([record = record, weak] {
                auto c = weak.lock();
                if (!c || dispatch::current_serial_queue() != c->queue().get()) {
                    ++record->handlersOffQueue;
                }
                ++record->invalidations;
            });
            connection->setInterruptionHandler([] {});
            std::lock_guard lock(record->mutex);
            if (record->accepted.empty()) {
                if (auto token = connection->auditToken()) {
                    record->pidfdNames = pidOfPidfd(xpc::audit_token_to_pidfd(*token));
                }
            }
            record->accepted.push_back(connection);
        }
        --record->deciding;
        return accept;
    }
};

class XpcService : public ::testing::Test {
  protected:
    void SetUp() override {
        path_ = dir_.path + "/service.sock";
        listener_ = xpc::Listener::listenerWithSocketPath(path_);
        ASSERT_TRUE(listener_->isValid());
        listener_->setDelegate(&delegate_);
        listener_->resume();
    }
    void TearDown() override {
        listener_->invalidate();
        // Decisions in flight still use the delegate.
        EXPECT_TRUE(eventually([&] { return delegate_.record->deciding.load() == 0; }));
    }

    // A round trip of "runWithReply:" on a fresh connection.
    bool serviceAnswers() {
        RawPeer peer(path_);
        if (!peer.sendMessage(request(1, "runWithReply:", "c"))) {
            return false;
        }
        auto reply = peer.readReply();
        return reply && reply->seq == 1 && reply->values == std::vector<Value>{true};
    }

    TempDir dir_;
    std::string path_;
    TestDelegate delegate_;
    std::shared_ptr<xpc::Listener> listener_;
};

// Runs a peer process with its standard output on a pipe.
class PeerProcess {
  public:
    explicit PeerProcess(std::vector<std::string> args, int listenFd = -1) {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) {
            return;
        }
        args.insert(args.begin(), XQ_XPC_TEST_PEER);
        if (listenFd >= 0) {
            // The socket-activation protocol: descriptor 3 and our pid.
            pid_ = xqtest::spawnActivated(args, listenFd, out[1]);
        } else {
            pid_ = ::fork();
            if (pid_ == 0) {
                std::vector<char*> argv;
                for (auto& a : args) {
                    argv.push_back(a.data());
                }
                argv.push_back(nullptr);
                ::dup2(out[1], 1);
                ::execv(argv[0], argv.data());
                ::_exit(127);
            }
        }
        ::close(out[1]);
        out_ = out[0];
    }
    ~PeerProcess() {
        stop();
        if (out_ >= 0) {
            ::close(out_);
        }
    }
    pid_t pid() const { return pid_; }

    // The next line of output; empty on end or timeout.
    std::string readLine(std::chrono::milliseconds timeout = 10s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const auto newline = buffer_.find('\n');
            if (newline != std::string::npos) {
                std::string line = buffer_.substr(0, newline);
                buffer_.erase(0, newline + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{out_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
                return {};
            }
            char chunk[256];
            const ssize_t n = ::read(out_, chunk, sizeof chunk);
            if (n <= 0) {
                return {};
            }
            buffer_.append(chunk, static_cast<size_t>(n));
        }
    }
    int wait() {
        int status = 0;
        if (pid_ > 0 && ::waitpid(pid_, &status, 0) == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        return -1;
    }
    void stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string buffer_;
};

// ---------------------------------------------------------------------------

TEST_F(XpcService, ServesAPeerProcessAndIdentifiesIt) {
    PeerProcess client({"client", path_});
    ASSERT_GT(client.pid(), 0);
    EXPECT_EQ(client.readLine(), "YES");
    EXPECT_EQ(client.wait(), 0);
    ASSERT_TRUE(eventually([&] { return delegate_.record->invalidations.load() == 1; }));

    std::shared_ptr<xpc::Connection> connection;
    {
        std::lock_guard lock(delegate_.record->mutex);
        ASSERT_EQ(delegate_.record->accepted.size(), 1u);
        connection = delegate_.record->accepted[0];
    }
    EXPECT_EQ(connection->processIdentifier(),
              client.pid() > 0 ? client.pid() : connection->processIdentifier());
    EXPECT_EQ(connection->effectiveUserIdentifier(), ::geteuid());
    EXPECT_EQ(connection->effectiveGroupIdentifier(), ::getegid());
    auto token = connection->auditToken();
    ASSERT_TRUE(token.has_value());
    EXPECT_EQ(xpc::audit_token_to_pid(*token), connection->processIdentifier());
    EXPECT_NE(connection->processIdentifier(), ::getpid());
    // While the client lived, its pidfd named it.
    EXPECT_EQ(delegate_.record->pidfdNames, connection->processIdentifier());
    EXPECT_GE(xpc::audit_token_to_pidfd(*token), 0);
    EXPECT_FALSE(delegate_.record->decidedOnMainThread);
    EXPECT_EQ(delegate_.record->handlersOffQueue.load(), 0);
    // Released once invalidated: the exported object and handlers.
    EXPECT_TRUE(eventually([&] { return connection->exportedObject().empty(); }));
}

TEST_F(XpcService, DropsRequestsThatDoNotFitAndKeepsTheConnection) {
    RawPeer peer(path_);
    ASSERT_TRUE(peer.connected());
    const std::vector<std::string> dropped = {
        request(1, "unknownWithReply:", "c"),
        request(2, "runWithReply:", "@"),
        request(3, "runWithReply:", "B"),
        request(4, "runWithReply:", "c", {true}),
        request(5, "echo:withReply:", "c@"),
        request(6, "echo:withReply:", "c@", {true}),
        request(7, "negate:withReply:", "c", {std::optional<std::string>("YES")}),
        request(8, "negate:withReply:", "c", {std::optional<std::string>()}),
        R"({"seq":9,"selector":"negate:withReply:","types":"c","args":[1]})",
        R"({"selector":"runWithReply:","types":"c","args":[]})",
        R"({"seq":-10,"selector":"runWithReply:","types":"c","args":[]})",
        R"({"seq":11,"selector":"runWithReply:","types":"c","args":{}})",
        R"({})",
    };
    for (const auto& body : dropped) {
        ASSERT_TRUE(peer.sendMessage(body));
    }
    ASSERT_TRUE(peer.sendMessage(request(100, "negate:withReply:", "c", {false})));
    // Requests are handled in order, so the first message back answers the
    // first request that fits: none of the others was answered.
    auto reply = peer.readReply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->seq, 100u);
    EXPECT_EQ(reply->values, std::vector<Value>{true});

    ASSERT_TRUE(peer.sendMessage(
        request(101, "echo:withReply:", "c@", {std::optional<std::string>("h\xc3\xa9llo")})));
    ASSERT_TRUE(
        peer.sendMessage(request(102, "echo:withReply:", "c@", {std::optional<std::string>()})));
    reply = peer.readReply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->seq, 101u);
    EXPECT_EQ(reply->values,
              (std::vector<Value>{true, std::optional<std::string>("h\xc3\xa9llo")}));
    reply = peer.readReply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->seq, 102u);
    EXPECT_EQ(reply->values, (std::vector<Value>{true, std::optional<std::string>()}));
    std::string body;
    EXPECT_EQ(peer.read(body, 200ms), RawPeer::Read::Timeout);
    EXPECT_EQ(delegate_.record->invalidations.load(), 0);
}

TEST_F(XpcService, MalformedMessagesEndOnlyTheirConnection) {
    struct Case {
        const char* name;
        std::string bytes;
        bool closeWriting;
    };
    const std::string overLimit = std::string("\x00\x10\x00\x01", 4) + "{}";
    const std::string good = xpc::wire::frame(request(1, "runWithReply:", "c"));
    const std::vector<Case> cases = {
        {"length over 1 MiB", overLimit, false},
        {"length 4 GiB", std::string("\xff\xff\xff\xff", 4), false},
        {"array", xpc::wire::frame("[1,2]"), false},
        {"number", xpc::wire::frame("42"), false},
        {"string", xpc::wire::frame("\"runWithReply:\""), false},
        {"null", xpc::wire::frame("null"), false},
        {"empty body", xpc::wire::frame(""), false},
        {"not JSON", xpc::wire::frame("{\"seq\":1,"), false},
        {"bad UTF-8", xpc::wire::frame("{\"seq\":1,\"selector\":\"\xc3\x28\"}"), false},
        {"deep array", xpc::wire::frame(std::string(200000, '[')), false},
        {"truncated body, then closed", good.substr(0, good.size() - 3), true},
        {"truncated length, then closed", good.substr(0, 2), true},
    };
    int expectedInvalidations = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RawPeer peer(path_);
        ASSERT_TRUE(peer.connected());
        ASSERT_TRUE(peer.send(c.bytes));
        if (c.closeWriting) {
            peer.closeWriting();
        }
        EXPECT_TRUE(peer.closedWithoutReply());
        ++expectedInvalidations;
        EXPECT_TRUE(eventually(
            [&] { return delegate_.record->invalidations.load() == expectedInvalidations; }));
    }
    EXPECT_TRUE(serviceAnswers());

    // A message of exactly the limit is still read and served.
    const std::string empty = request(7, "echo:withReply:", "c@", {std::optional<std::string>("")});
    const std::string body = request(
        7, "echo:withReply:", "c@",
        {std::optional<std::string>(std::string(xpc::kMaxMessageSize - empty.size(), 'p'))});
    ASSERT_EQ(body.size(), xpc::kMaxMessageSize);
    RawPeer peer(path_);
    ASSERT_TRUE(peer.sendMessage(body));
    auto reply = peer.readReply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->seq, 7u);
}

TEST_F(XpcService, ReassemblesSplitMessagesAndAHalfMessageStallsOnlyItsConnection) {
    RawPeer slow(path_);
    const std::string bytes = xpc::wire::frame(request(5, "negate:withReply:", "c", {true}));
    for (char c : bytes) {
        ASSERT_TRUE(slow.send(std::string_view(&c, 1)));
        std::this_thread::sleep_for(1ms);
    }
    auto reply = slow.readReply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->values, std::vector<Value>{false});

    // Half a message, then nothing: other connections go on.
    const std::string next = xpc::wire::frame(request(6, "runWithReply:", "c"));
    ASSERT_TRUE(slow.send(next.substr(0, 9)));
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(serviceAnswers());
    }
    std::string body;
    EXPECT_EQ(slow.read(body, 100ms), RawPeer::Read::Timeout);
    ASSERT_TRUE(slow.send(next.substr(9)));
    reply = slow.readReply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->seq, 6u);
}

TEST_F(XpcService, ALongRequestDelaysOnlyLaterRequestsOfItsConnection) {
    RawPeer busy(path_);
    ASSERT_TRUE(busy.sendMessage(request(1, "slowWithReply:", "c")));
    ASSERT_TRUE(busy.sendMessage(request(2, "runWithReply:", "c")));
    ASSERT_TRUE(eventually([&] { return delegate_.served->slowRunning.load() == 1; }));
    EXPECT_TRUE(serviceAnswers());
    std::string body;
    EXPECT_EQ(busy.read(body, 100ms), RawPeer::Read::Timeout);
    delegate_.served->release();
    auto first = busy.readReply();
    auto second = busy.readReply();
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->seq, 1u);
    EXPECT_EQ(second->seq, 2u);
}

TEST_F(XpcService, ManyRequestsInFlightAreAllAnsweredInOrder) {
    RawPeer peer(path_);
    constexpr int kRequests = 2000;  // well past the per-connection queue cap
    std::string batch;
    for (int i = 1; i <= kRequests; ++i) {
        batch += xpc::wire::frame(request(i, "negate:withReply:", "c", {i % 2 == 0}));
    }
    std::thread writer([&] { EXPECT_TRUE(peer.send(batch)); });
    for (int i = 1; i <= kRequests; ++i) {
        auto reply = peer.readReply();
        ASSERT_TRUE(reply) << i;
        ASSERT_EQ(reply->seq, static_cast<uint64_t>(i));
        ASSERT_EQ(reply->values, std::vector<Value>{i % 2 != 0});
    }
    writer.join();
}

TEST_F(XpcService, AClientThatOutrunsItsQueueIsNoLongerReadUntilItCatchesUp) {
    RawPeer peer(path_);
    ASSERT_TRUE(peer.sendMessage(request(1, "slowWithReply:", "c")));
    ASSERT_TRUE(eventually([&] { return delegate_.served->slowRunning.load() == 1; }));
    // More bytes of waiting requests than the service queues per connection
    // plus what the socket buffers: the writer must stall until the long
    // request has finished.
    const std::string big(1000 * 1000, 'b');
    std::string batch;
    for (int i = 2; i <= 5; ++i) {
        batch += xpc::wire::frame(
            request(i, "record:withReply:", "", {std::optional<std::string>(big)}));
    }
    std::atomic<bool> written{false};
    std::thread writer([&] {
        EXPECT_TRUE(peer.send(batch));
        written = true;
    });
    // Unchecked, the service reads it all in well under this time.
    EXPECT_FALSE(eventually([&] { return written.load(); }, 3s));
    delegate_.served->release();
    for (uint64_t seq = 1; seq <= 5; ++seq) {
        auto reply = peer.readReply();
        ASSERT_TRUE(reply) << seq;
        EXPECT_EQ(reply->seq, seq);
    }
    writer.join();
    EXPECT_TRUE(written.load());
    EXPECT_EQ(delegate_.served->recordedCopy(), std::vector<std::string>(4, big));
}

TEST_F(XpcService, RepliesFromAnotherThreadAreSentAtMostOnce) {
    RawPeer peer(path_);
    ASSERT_TRUE(peer.sendMessage(request(1, "replyTwiceLaterWithReply:", "@")));
    ASSERT_TRUE(peer.sendMessage(request(2, "wrongReplyWithReply:", "c")));
    ASSERT_TRUE(peer.sendMessage(request(3, "keepReplyWithReply:", "c")));
    ASSERT_TRUE(eventually([&] {
        std::lock_guard lock(delegate_.served->mutex);
        return delegate_.served->keptReplies.size() == 1;
    }));
    xpc::Reply kept;
    {
        std::lock_guard lock(delegate_.served->mutex);
        kept = delegate_.served->keptReplies[0];
    }
    // Answered later, from a thread of the test.
    std::thread([kept] { EXPECT_TRUE(kept({false})); }).join();
    EXPECT_FALSE(kept({true}));
    EXPECT_TRUE(kept.wasCalled());

    std::vector<xpc::wire::ReplyMessage> replies;
    while (auto reply = peer.readReply(300ms)) {
        replies.push_back(*reply);
    }
    ASSERT_EQ(replies.size(), 2u);
    // The later reply and the kept one may come in either order.
    std::sort(replies.begin(), replies.end(),
              [](const auto& a, const auto& b) { return a.seq < b.seq; });
    EXPECT_EQ(replies[0].seq, 1u);
    EXPECT_EQ(replies[0].values, std::vector<Value>{std::optional<std::string>("first")});
    EXPECT_EQ(replies[1].seq, 3u);
    EXPECT_EQ(replies[1].values, std::vector<Value>{false});
    EXPECT_EQ(delegate_.served->recordedCopy(), std::vector<std::string>{"wrong reply refused"});

    // A reply whose connection has gone is a harmless no-op.
    ASSERT_TRUE(peer.sendMessage(request(4, "keepReplyWithReply:", "c")));
    ASSERT_TRUE(eventually([&] {
        std::lock_guard lock(delegate_.served->mutex);
        return delegate_.served->keptReplies.size() == 2;
    }));
    {
        std::lock_guard lock(delegate_.served->mutex);
        kept = delegate_.served->keptReplies[1];
    }
    ::shutdown(peer.fd(), SHUT_RDWR);
    ASSERT_TRUE(eventually([&] { return delegate_.record->invalidations.load() == 1; }));
    EXPECT_FALSE(kept({true}));
}

TEST_F(XpcService, InvalidationHandlerRunsOnceOnTheConnectionsQueue) {
    {
        RawPeer peer(path_);
        ASSERT_TRUE(peer.sendMessage(request(1, "runWithReply:", "c")));
        ASSERT_TRUE(peer.readReply());
    }  // the peer closes
    ASSERT_TRUE(eventually([&] { return delegate_.record->invalidations.load() == 1; }));

    // Invalidated by the service: the peer sees the end, the handler runs once
    // however many times the end is caused.
    RawPeer peer(path_);
    ASSERT_TRUE(peer.sendMessage(request(1, "runWithReply:", "c")));
    ASSERT_TRUE(peer.readReply());
    std::shared_ptr<xpc::Connection> connection;
    {
        std::lock_guard lock(delegate_.record->mutex);
        ASSERT_EQ(delegate_.record->accepted.size(), 2u);
        connection = delegate_.record->accepted[1];
    }
    EXPECT_FALSE(connection->isInvalidated());
    connection->invalidate();
    connection->invalidate();
    EXPECT_TRUE(connection->isInvalidated());
    EXPECT_TRUE(peer.closedWithoutReply());
    ASSERT_TRUE(eventually([&] { return delegate_.record->invalidations.load() == 2; }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(delegate_.record->invalidations.load(), 2);
    EXPECT_EQ(delegate_.record->handlersOffQueue.load(), 0);
    EXPECT_TRUE(serviceAnswers());
}

TEST_F(XpcService, RequestsNotStartedWhenTheServiceInvalidatesAreDropped) {
    RawPeer peer(path_);
    ASSERT_TRUE(peer.sendMessage(request(1, "slowWithReply:", "c")));
    ASSERT_TRUE(peer.sendMessage(
        request(2, "record:withReply:", "", {std::optional<std::string>("after")})));
    ASSERT_TRUE(eventually([&] { return delegate_.served->slowRunning.load() == 1; }));
    std::shared_ptr<xpc::Connection> connection;
    {
        std::lock_guard lock(delegate_.record->mutex);
        connection = delegate_.record->accepted.at(0);
    }
    connection->invalidate();
    delegate_.served->release();
    ASSERT_TRUE(eventually([&] { return delegate_.record->invalidations.load() == 1; }));
    EXPECT_TRUE(delegate_.served->recordedCopy().empty());
    EXPECT_TRUE(peer.closedWithoutReply());
}

TEST_F(XpcService, AForkedChildWritingOnTheInheritedSocketEndsTheConnection) {
    for (int variant = 0; variant < 3; ++variant) {
        SCOPED_TRACE(variant);
        const int before = delegate_.record->invalidations.load();
        const std::string name = "parent" + std::to_string(variant);
        RawPeer peer(path_);
        ASSERT_TRUE(peer.sendMessage(
            request(1, "record:withReply:", "", {std::optional<std::string>(name)})));
        ASSERT_TRUE(peer.readReply());

        const std::string childRequest = xpc::wire::frame(
            request(2, "record:withReply:", "", {std::optional<std::string>("child")}));
        if (variant == 2) {
            // The parent begins a request and the child completes it.
            ASSERT_TRUE(peer.send(childRequest.substr(0, 10)));
            std::this_thread::sleep_for(20ms);
        }
        const pid_t child = ::fork();
        if (child == 0) {
            // Only write(2) and _exit(2) here: this process has other threads.
            const std::string& bytes = childRequest;
            const size_t from = variant == 2 ? 10 : 0;
            const size_t count = variant == 1 ? 10 : bytes.size() - from;
            ssize_t ignored = ::write(peer.fd(), bytes.data() + from, count);
            ::_exit(ignored < 0 ? 1 : 0);
        }
        ASSERT_GT(child, 0);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        if (variant == 1) {
            // The parent completes the child's half message.
            peer.send(childRequest.substr(10));
        }
        EXPECT_TRUE(peer.closedWithoutReply());
        EXPECT_TRUE(
            eventually([&] { return delegate_.record->invalidations.load() == before + 1; }));
    }
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(delegate_.served->recordedCopy(),
              (std::vector<std::string>{"parent0", "parent1", "parent2"}));

    // Holding an inherited socket without writing on it is no offence.
    RawPeer peer(path_);
    const pid_t child = ::fork();
    if (child == 0) {
        ::_exit(0);
    }
    ::waitpid(child, nullptr, 0);
    ASSERT_TRUE(peer.sendMessage(request(9, "runWithReply:", "c")));
    auto reply = peer.readReply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->seq, 9u);
}

TEST_F(XpcService, DescriptorsPassedAlongEndTheConnection) {
    const size_t descriptorsBefore = openDescriptors();
    RawPeer peer(path_);
    const std::string bytes = xpc::wire::frame(request(1, "runWithReply:", "c"));
    ASSERT_EQ(xqtest::sendWithDescriptor(peer.fd(), bytes, STDIN_FILENO), ssize_t(bytes.size()));
    EXPECT_TRUE(peer.closedWithoutReply());
    EXPECT_TRUE(eventually([&] { return delegate_.record->invalidations.load() == 1; }));
    // Nothing passed in is left open in the service: once the connection
    // object is gone, only the peer's own socket remains.
    {
        std::lock_guard lock(delegate_.record->mutex);
        delegate_.record->accepted.clear();
    }
    EXPECT_TRUE(eventually([&] { return openDescriptors() <= descriptorsBefore + 1; }))
        << openDescriptors() << " descriptors, " << descriptorsBefore << " before";
}

TEST_F(XpcService, RequestWrittenBeforeTheConnectionIsAcceptedIsServed) {
    std::atomic<bool> release{false};
    delegate_.decide = [&](int) {
        eventually([&] { return release.load(); });
        return true;
    };
    // Written the moment connect() returns, before the service accepts.
    RawPeer peer(path_);
    ASSERT_TRUE(peer.sendMessage(request(1, "runWithReply:", "c")));
    std::string body;
    EXPECT_EQ(peer.read(body, 100ms), RawPeer::Read::Timeout);
    release = true;
    auto reply = peer.readReply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->seq, 1u);
}

TEST_F(XpcService, RefusedConnectionIsClosedAndTheNextIsServed) {
    delegate_.decide = [](int index) { return index != 0; };
    RawPeer refused(path_);
    // The refusal may close the connection before the write: no check.
    refused.sendMessage(request(1, "runWithReply:", "c"));
    EXPECT_TRUE(refused.closedWithoutReply());
    EXPECT_TRUE(serviceAnswers());

    // Without a delegate, nobody can accept.
    listener_->setDelegate(nullptr);
    RawPeer unasked(path_);
    unasked.sendMessage(request(1, "runWithReply:", "c"));
    EXPECT_TRUE(unasked.closedWithoutReply());
    listener_->setDelegate(&delegate_);
    EXPECT_TRUE(serviceAnswers());
    // Only the accepted connections had handlers to run.
    EXPECT_EQ(delegate_.record->decisions.load(), 3);
    EXPECT_TRUE(eventually([&] { return delegate_.record->invalidations.load() == 2; }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(delegate_.record->invalidations.load(), 2);
}

TEST_F(XpcService, AConnectionFloodIsCappedAndTheServiceRecovers) {
    // Every peer here is the same user: the totals are what is tested.
    xpc::ListenerLimits limits;
    limits.pendingPerUser = limits.pending;
    limits.openPerUser = limits.open;
    listener_->setLimits(limits);
    const size_t descriptorsBefore = openDescriptors();
    std::atomic<bool> release{false};
    delegate_.decide = [&](int) {
        eventually([&] { return release.load(); }, 20s);
        return true;
    };
    constexpr size_t kFlood = 150;
    std::vector<std::unique_ptr<RawPeer>> peers;
    for (size_t i = 0; i < kFlood; ++i) {
        peers.push_back(std::make_unique<RawPeer>(path_));
        ASSERT_TRUE(peers.back()->connected());
    }
    ASSERT_TRUE(eventually(
        [&] { return delegate_.record->deciding.load() == int(xpc::kMaxPendingConnections); }));
    // Everything past the decision cap is closed without waiting.
    size_t closed = 0;
    for (auto& peer : peers) {
        closed += peer->closedWithoutReply(200ms) ? 1 : 0;
    }
    EXPECT_EQ(closed, kFlood - xpc::kMaxPendingConnections);
    EXPECT_LE(delegate_.record->maxDeciding.load(), int(xpc::kMaxPendingConnections));
    release = true;
    ASSERT_TRUE(eventually([&] { return delegate_.record->deciding.load() == 0; }));
    peers.clear();
    ASSERT_TRUE(eventually([&] {
        return delegate_.record->invalidations.load() == int(xpc::kMaxPendingConnections);
    }));

    // Accepted connections are capped too; closing them frees their places.
    // One at a time, so that the decision cap does not come into play.
    delegate_.decide = nullptr;
    for (size_t i = 0; i < xpc::kMaxOpenConnections + 10; ++i) {
        peers.push_back(std::make_unique<RawPeer>(path_));
        // Over the cap the service may have closed before the write.
        const bool sent = peers.back()->sendMessage(request(i, "runWithReply:", "c"));
        if (i < xpc::kMaxOpenConnections) {
            ASSERT_TRUE(sent);
            EXPECT_TRUE(peers.back()->readReply()) << i;
        } else {
            EXPECT_TRUE(peers.back()->closedWithoutReply()) << i;
        }
    }
    peers.clear();
    EXPECT_TRUE(eventually([&] { return serviceAnswers(); }));

    // Nothing of the flood is left open.
    {
        std::lock_guard lock(delegate_.record->mutex);
        delegate_.record->accepted.clear();
    }
    EXPECT_TRUE(eventually([&] { return openDescriptors() <= descriptorsBefore + 2; }))
        << openDescriptors() << " descriptors, " << descriptorsBefore << " before";
}

TEST_F(XpcService, APeerThatOnlyStopsSendingGetsTheRepliesOfWhatItSent) {
    RawPeer peer(path_);
    ASSERT_TRUE(peer.sendMessage(request(1, "slowWithReply:", "c")));
    ASSERT_TRUE(peer.sendMessage(request(2, "replyTwiceLaterWithReply:", "@")));
    ASSERT_TRUE(peer.sendMessage(request(3, "keepReplyWithReply:", "c")));
    ASSERT_TRUE(peer.sendMessage(request(4, "keepReplyWithReply:", "c")));
    peer.closeWriting();
    ASSERT_TRUE(eventually([&] { return delegate_.served->slowRunning.load() == 1; }));
    delegate_.served->release();
    auto first = peer.readReply();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->seq, 1u);
    auto second = peer.readReply();
    ASSERT_TRUE(second);
    EXPECT_EQ(second->seq, 2u);
    // Two requests are neither answered nor abandoned: the connection stays.
    ASSERT_TRUE(eventually([&] {
        std::lock_guard lock(delegate_.served->mutex);
        return delegate_.served->keptReplies.size() == 2;
    }));
    std::string body;
    EXPECT_EQ(peer.read(body, 300ms), RawPeer::Read::Timeout);
    EXPECT_EQ(delegate_.record->invalidations.load(), 0);
    // One answered from another thread, the other abandoned: then it ends.
    std::vector<xpc::Reply> kept;
    {
        std::lock_guard lock(delegate_.served->mutex);
        kept.swap(delegate_.served->keptReplies);
    }
    std::thread([reply = kept[0]] { reply({true}); }).join();
    auto third = peer.readReply();
    ASSERT_TRUE(third);
    EXPECT_EQ(third->seq, 3u);
    EXPECT_EQ(peer.read(body, 300ms), RawPeer::Read::Timeout);
    kept.clear();
    EXPECT_TRUE(peer.closedWithoutReply());
    EXPECT_TRUE(eventually([&] { return delegate_.record->invalidations.load() == 1; }));
}

TEST_F(XpcService, APeerThatClosesIsNotWaitedFor) {
    auto peer = std::make_unique<RawPeer>(path_);
    ASSERT_TRUE(peer->sendMessage(request(1, "keepReplyWithReply:", "c")));
    ASSERT_TRUE(eventually([&] {
        std::lock_guard lock(delegate_.served->mutex);
        return delegate_.served->keptReplies.size() == 1;
    }));
    // The request is still unanswered; the peer is gone.
    peer.reset();
    EXPECT_TRUE(eventually([&] { return delegate_.record->invalidations.load() == 1; }));
}

TEST_F(XpcService, ADecisionPastItsDeadlineRefusesTheConnection) {
    xpc::ListenerLimits limits;
    limits.decisionDeadline = 200ms;
    listener_->setLimits(limits);
    std::atomic<bool> release{false};
    delegate_.decide = [&](int index) {
        if (index == 0) {
            eventually([&] { return release.load(); }, 20s);
        }
        return true;
    };
    RawPeer late(path_);
    late.sendMessage(request(1, "runWithReply:", "c"));
    EXPECT_TRUE(late.closedWithoutReply(5s));
    // Others are decided meanwhile.
    EXPECT_TRUE(serviceAnswers());
    // The late answer, a YES, changes nothing for the refused connection.
    release = true;
    ASSERT_TRUE(eventually([&] { return delegate_.record->deciding.load() == 0; }));
    EXPECT_TRUE(eventually([&] { return delegate_.record->invalidations.load() == 1; }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(delegate_.record->invalidations.load(), 1);
}

// ---------------------------------------------------------------------------

TEST(XpcListener, BindsItsPathForRootAndTheAdmittedGroupAndReplacesOnlyAStaleSocket) {
    TempDir dir;
    const std::string path = dir.path + "/s.sock";
    {
        // Root alone without a group.
        auto listener = xpc::Listener::listenerWithSocketPath(path);
        ASSERT_TRUE(listener->isValid());
        struct stat info;
        ASSERT_EQ(::stat(path.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u);
    }
    {
        xpc::PeerAdmission admission;
        admission.group = ::getegid();
        auto listener = xpc::Listener::listenerWithSocketPath(path, admission);
        ASSERT_TRUE(listener->isValid()) << listener->errorDescription();
        EXPECT_EQ(listener->socketPath(), path);
        struct stat info;
        ASSERT_EQ(::stat(path.c_str(), &info), 0);
        EXPECT_TRUE(S_ISSOCK(info.st_mode));
        EXPECT_EQ(info.st_mode & 0777, 0660u);
        EXPECT_EQ(info.st_gid, ::getegid());

        // A live listener is not taken over.
        auto second = xpc::Listener::listenerWithSocketPath(path);
        EXPECT_FALSE(second->isValid());
        EXPECT_NE(second->errorDescription().find(path), std::string::npos)
            << second->errorDescription();
        listener->invalidate();
        EXPECT_FALSE(listener->isValid());
        EXPECT_NE(::access(path.c_str(), F_OK), 0);
    }
    // A socket left behind by a process that died is replaced.
    const int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(stale);
    auto listener = xpc::Listener::listenerWithSocketPath(path);
    EXPECT_TRUE(listener->isValid());
    listener->invalidate();

    // Anything else at the path is left alone.
    std::ofstream(path) << "data";
    auto refused = xpc::Listener::listenerWithSocketPath(path);
    EXPECT_FALSE(refused->isValid());
    std::ifstream in(path);
    std::string content;
    in >> content;
    EXPECT_EQ(content, "data");
    EXPECT_FALSE(
        xpc::Listener::listenerWithSocketPath(dir.path + "/" + std::string(200, 'x'))->isValid());
}

TEST(XpcListener, TakesTheSocketActivationDescriptor) {
    TempDir dir;
    const std::string path = dir.path + "/activated.sock";
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(fd, 16), 0);
    PeerProcess service({"activated", "xq.test.not-bound"}, fd);
    ::close(fd);
    EXPECT_EQ(service.readLine(), "LISTEN_PID unset LISTEN_FDS unset");
    ASSERT_EQ(service.readLine(), "ready");
    EXPECT_NE(::access("/run/xq.test.not-bound.sock", F_OK), 0);
    auto client = xpc::ClientConnection::connectToPath(path);
    ASSERT_TRUE(client);
    auto result = client->sendSync("runWithReply:", "c", {}, 5s);
    ASSERT_EQ(result.status, Status::Replied);
    EXPECT_EQ(result.values, std::vector<Value>{true});
}

TEST(XpcListener, WithoutActivationForThisProcessBindsTheServicePath) {
    const std::string name = "xq-xpc-test-" + std::to_string(::getpid());
    ::setenv("LISTEN_PID", "1", 1);  // meant for another process
    ::setenv("LISTEN_FDS", "1", 1);
    auto listener = xpc::Listener::initWithMachServiceName(name);
    EXPECT_EQ(std::getenv("LISTEN_PID"), nullptr);
    EXPECT_EQ(std::getenv("LISTEN_FDS"), nullptr);
    ASSERT_TRUE(listener->isValid());
    EXPECT_EQ(listener->socketPath(), "/run/" + name + ".sock");
    EXPECT_EQ(::access(listener->socketPath().c_str(), F_OK), 0);
    listener->invalidate();
    EXPECT_NE(::access(("/run/" + name + ".sock").c_str(), F_OK), 0);
}

TEST(XpcClient, TalksToAServiceInAnotherProcess) {
    TempDir dir;
    const std::string path = dir.path + "/peer.sock";
    PeerProcess service({"server", path});
    ASSERT_EQ(service.readLine(), "ready");

    std::string error;
    EXPECT_EQ(xpc::ClientConnection::connectToPath(dir.path + "/missing.sock", &error), nullptr);
    EXPECT_FALSE(error.empty());

    auto client = xpc::ClientConnection::connectToPath(path, &error);
    ASSERT_TRUE(client) << error;
    std::atomic<int> invalidations{0};
    client->setInvalidationHandler([&] { ++invalidations; });

    auto result = client->sendSync("runWithReply:", "c", {}, 5s);
    ASSERT_EQ(result.status, Status::Replied);
    EXPECT_EQ(result.values, std::vector<Value>{true});
    result = client->sendSync("echo:withReply:", "c@", {std::optional<std::string>("x y")}, 5s);
    EXPECT_EQ(result.values, (std::vector<Value>{true, std::optional<std::string>("x y")}));
    result = client->sendSync("echo:withReply:", "c@", {std::optional<std::string>()}, 5s);
    EXPECT_EQ(result.values, (std::vector<Value>{true, std::optional<std::string>()}));
    result = client->sendSync("negate:withReply:", "c", {true}, 5s);
    EXPECT_EQ(result.values, std::vector<Value>{false});

    // Dropped by the service: no reply, and the connection still works.
    result = client->sendSync("unknownWithReply:", "c", {}, 200ms);
    EXPECT_EQ(result.status, Status::TimedOut);
    result = client->sendSync("runWithReply:", "@", {}, 200ms);
    EXPECT_EQ(result.status, Status::TimedOut);

    // Many at once, answered by sequence number.
    std::mutex mutex;
    std::condition_variable done;
    int answered = 0;
    bool allRight = true;
    for (int i = 0; i < 200; ++i) {
        client->sendAsync("negate:withReply:", "c", {i % 3 == 0},
                          [&, i](xpc::ClientConnection::Result r) {
                              std::lock_guard lock(mutex);
                              allRight = allRight && r.status == Status::Replied &&
                                         r.values == std::vector<Value>{i % 3 != 0};
                              ++answered;
                              done.notify_all();
                          });
    }
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(done.wait_for(lock, 10s, [&] { return answered == 200; }));
        EXPECT_TRUE(allRight);
    }

    // The service process goes away: an outstanding request ends, the
    // invalidation handler runs once, later requests end at once.
    std::atomic<int> endedStatus{-1};
    client->sendAsync("keepReplyWithReply:", "c", {}, [&](xpc::ClientConnection::Result r) {
        endedStatus = static_cast<int>(r.status);
    });
    std::this_thread::sleep_for(50ms);
    service.stop();
    EXPECT_TRUE(client->waitForInvalidation(5s));
    EXPECT_TRUE(client->isInvalidated());
    EXPECT_TRUE(eventually([&] { return endedStatus.load() == int(Status::ConnectionEnded); }));
    EXPECT_EQ(invalidations.load(), 1);
    EXPECT_EQ(client->sendSync("runWithReply:", "c", {}, 1s).status, Status::ConnectionEnded);
    EXPECT_FALSE(client->sendRaw("x"));
}

TEST(XpcClient, WorksOverASocketPairWithoutAListener) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    auto connection = xpc::Connection::fromAcceptedSocket(pair[0]);
    ASSERT_TRUE(connection);
    EXPECT_EQ(connection->processIdentifier(), ::getpid());
    auto token = connection->auditToken();
    ASSERT_TRUE(token);
    EXPECT_EQ(pidOfPidfd(xpc::audit_token_to_pidfd(*token)), ::getpid());
    connection->setExportedInterface(xqtest::testInterface());
    connection->setExportedObject(std::make_shared<xqtest::Served>());
    std::atomic<int> invalidations{0};
    connection->setInvalidationHandler([&] { ++invalidations; });

    auto client = xpc::ClientConnection::withDescriptor(pair[1]);
    ASSERT_TRUE(client);
    // Nothing is served before resume().
    EXPECT_EQ(client->sendSync("runWithReply:", "c", {}, 100ms).status, Status::TimedOut);
    connection->resume();
    auto result = client->sendSync("negate:withReply:", "c", {false}, 5s);
    ASSERT_EQ(result.status, Status::Replied);
    EXPECT_EQ(result.values, std::vector<Value>{true});
    client.reset();  // closes
    EXPECT_TRUE(eventually([&] { return invalidations.load() == 1; }));
    EXPECT_TRUE(connection->isInvalidated());
}

TEST(XpcClient, ServerSideEndOnBadBytesIsSeenByTheClient) {
    TempDir dir;
    const std::string path = dir.path + "/peer.sock";
    PeerProcess service({"server", path});
    ASSERT_EQ(service.readLine(), "ready");
    auto client = xpc::ClientConnection::connectToPath(path);
    ASSERT_TRUE(client);
    ASSERT_EQ(client->sendSync("runWithReply:", "c", {}, 5s).status, Status::Replied);
    EXPECT_TRUE(client->sendRawMessage("[]"));
    EXPECT_TRUE(client->waitForInvalidation(5s));
    // The service itself is still there for others.
    auto next = xpc::ClientConnection::connectToPath(path);
    ASSERT_TRUE(next);
    EXPECT_EQ(next->sendSync("runWithReply:", "c", {}, 5s).status, Status::Replied);
}

}  // namespace
