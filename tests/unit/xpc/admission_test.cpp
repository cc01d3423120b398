// Who a listener admits, decided on the kernel's credentials of each peer at
// connect, and the per-user caps on decisions. Peers are forked processes
// that take other users' credentials (needs root).
#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/xpc/wire.h"
#include "platform/xpc/xpc.h"
#include "tests/support/harness.h"
#include "tests/unit/xpc/test_service.h"

namespace {

using namespace std::chrono_literals;

// Accepts everything it is asked about (after `hold`, while it is set), and
// counts.
class CountingDelegate final : public xpc::ListenerDelegate {
  public:
    std::atomic<int> asked{0};
    std::atomic<int> deciding{0};
    std::atomic<bool> hold{false};
    std::shared_ptr<xqtest::Served> served = std::make_shared<xqtest::Served>();

    bool shouldAcceptNewConnection(xpc::Listener&,
                                   const std::shared_ptr<xpc::Connection>& connection) override {
        ++asked;
        ++deciding;
        while (hold.load()) {
            std::this_thread::sleep_for(2ms);
        }
        connection->setExportedInterface(xqtest::testInterface());
        connection->setExportedObject(served);
        connection->resume();
        --deciding;
        return true;
    }
};

using xqtest::eventually;

enum Fate { kServed = 0, kClosed = 1, kWaiting = 2, kFailed = 3 };

// A peer process: connects with `connectAs` (effective ids and groups), then
// sends with `sendAs` (root may switch between), and exits with its Fate
// within `wait`.
pid_t startPeer(const std::string& path, xqtest::Identity connectAs, xqtest::Identity sendAs,
                std::chrono::milliseconds wait) {
    const std::string frame = xpc::wire::frame(
        xpc::wire::encodeRequest(1, "runWithReply:", "c", std::vector<xpc::Value>{}));
    const pid_t pid = ::fork();
    if (pid != 0) {
        return pid;
    }
    auto become = [](const xqtest::Identity& who) {
        return ::seteuid(0) == 0 && ::setgroups(who.groups.size(), who.groups.data()) == 0 &&
               ::setegid(who.gid) == 0 && ::seteuid(who.uid) == 0;
    };
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (!become(connectAs) ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        _exit(kFailed);
    }
    if (!become(sendAs)) {
        _exit(kFailed);
    }
    if (::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) != ssize_t(frame.size())) {
        _exit(kClosed);
    }
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(wait.count())) <= 0) {
        _exit(kWaiting);
    }
    char byte = 0;
    _exit(::recv(fd, &byte, 1, 0) > 0 ? kServed : kClosed);
}

int fateOf(pid_t peer) {
    int status = 0;
    ::waitpid(peer, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class Admission : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string why = xqtest::testIdentitiesUnavailable();
        if (!why.empty()) {
            GTEST_SKIP() << why;
        }
        group_ = xqtest::testClientGroup();
        user_ = xqtest::testUser(0);
        other_ = xqtest::testUser(1);
        path_ = dir_.file("admission.sock");
        xpc::PeerAdmission admission;
        admission.group = group_;
        listener_ = xpc::Listener::listenerWithSocketPath(path_, admission);
        ASSERT_TRUE(listener_->isValid()) << listener_->errorDescription();
        listener_->setDelegate(&delegate_);
    }
    void TearDown() override {
        if (listener_) {
            delegate_.hold = false;
            listener_->invalidate();
            EXPECT_TRUE(eventually([&] { return delegate_.deciding.load() == 0; }));
        }
    }

    xqtest::TempDir dir_;
    gid_t group_ = 0;
    uid_t user_ = 0;
    uid_t other_ = 0;
    std::string path_;
    CountingDelegate delegate_;
    std::shared_ptr<xpc::Listener> listener_;
};

TEST_F(Admission, TheGroupAtConnectDecidesBeforeTheDelegateIsAsked) {
    listener_->resume();
    const xqtest::Identity inGroup{user_, group_, {}};
    // Member by a supplementary group: the file system lets it connect, the
    // listener does not.
    const xqtest::Identity supplementary{user_, user_, {group_}};
    EXPECT_EQ(fateOf(startPeer(path_, inGroup, inGroup, 5s)), kServed);
    EXPECT_EQ(fateOf(startPeer(path_, supplementary, supplementary, 5s)), kClosed);
    // Taking the group after connecting (as a process that executes the
    // setgid client after connect would) changes nothing.
    EXPECT_EQ(fateOf(startPeer(path_, supplementary, inGroup, 5s)), kClosed);
    // Root is admitted whatever its group.
    const xqtest::Identity root{0, user_, {}};
    EXPECT_EQ(fateOf(startPeer(path_, root, root, 5s)), kServed);
    EXPECT_EQ(delegate_.asked.load(), 2);
}

TEST_F(Admission, OneUsersPendingDecisionsDoNotHoldUpAnothers) {
    xpc::ListenerLimits limits;
    limits.pendingPerUser = 2;
    listener_->setLimits(limits);
    listener_->resume();
    delegate_.hold = true;
    const xqtest::Identity first{user_, group_, {}};
    const xqtest::Identity second{other_, group_, {}};
    std::vector<pid_t> held;
    for (int i = 0; i < 2; ++i) {
        held.push_back(startPeer(path_, first, first, 20s));
    }
    ASSERT_TRUE(eventually([&] { return delegate_.deciding.load() == 2; }));
    // A third from the same user is turned away at once...
    EXPECT_EQ(fateOf(startPeer(path_, first, first, 5s)), kClosed);
    // ...while another user's connection is still decided.
    const pid_t another = startPeer(path_, second, second, 20s);
    EXPECT_TRUE(eventually([&] { return delegate_.deciding.load() == 3; }));
    delegate_.hold = false;
    EXPECT_EQ(fateOf(another), kServed);
    for (pid_t p : held) {
        EXPECT_EQ(fateOf(p), kServed);
    }
    EXPECT_EQ(delegate_.asked.load(), 3);
}

}  // namespace
