// The capture command on the service object: a newer request cancels the
// older ones, only live requests are answered, from the capture's worker.
// The whole test process runs in a namespace "rx" wired to a namespace "tx"
// where frames are sent, so the captures see only test traffic.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "Main/XQSipLLDPObject.h"
#include "Main/XQSipLocationHelperXPCMgr.h"
#include "platform/bpf/bpf.h"
#include "tests/integration/lldp_capture/netns_lab.h"
#include "tests/unit/lldp_decode/lldp_frames.h"

using namespace lldp_test;
using namespace std::chrono_literals;

namespace {

std::unique_ptr<lab::Netns> gTx;
std::unique_ptr<lab::Netns> gRx;

// Moves the main thread, and so every thread it starts later (the dispatch
// workers included), into "rx" before any test runs.
class NamespaceEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        if (geteuid() != 0) {
            return;
        }
        gTx = std::make_unique<lab::Netns>("stx");
        gRx = std::make_unique<lab::Netns>("srx");
        lab::addVethPair(*gTx, "vtx", *gRx, "vrx");
        original_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        int fd = ::open(("/run/netns/" + gRx->name()).c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(setns(fd, CLONE_NEWNET), 0);
        ::close(fd);
    }
    void TearDown() override {
        if (original_ >= 0) {
            setns(original_, CLONE_NEWNET);
            ::close(original_);
        }
        gRx.reset();
        gTx.reset();
    }

  private:
    int original_ = -1;
};

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new NamespaceEnvironment);

const Bytes kSwitchMac = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e};

Bytes frameWithPort(const Bytes& port) {
    return lldpFrame({chassisMac(kSwitchMac), portId(5, port), ttl(120),
                      capabilities(0x0014, 0x0014), endOfLldpdu()});
}

// Replies of one request, and a token that lives as long as any copy of its
// reply callback: once it is gone, the request's task has ended for good.
struct Request {
    std::mutex lock;
    std::condition_variable changed;
    int replies = 0;
    XQNullableString chassis;
    XQNullableString port;
    std::thread::id thread;
    std::weak_ptr<int> alive;

    XQSipLocationXPCProtocol::StringStringReply reply() {
        auto token = std::make_shared<int>(0);
        alive = token;
        return [this, token](const XQNullableString& c, const XQNullableString& p) {
            std::lock_guard<std::mutex> guard(lock);
            ++replies;
            chassis = c;
            port = p;
            thread = std::this_thread::get_id();
            changed.notify_all();
        };
    }
    bool waitForReply(std::chrono::seconds limit = 15s) {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, limit, [&] { return replies > 0; });
    }
    // Waits until every copy of the reply callback is gone: the task ran its
    // capture, took its decision and was freed. A live request's record holds
    // its task block (and so the callback) until a newer request cancels it.
    bool waitUntilFinished(std::chrono::seconds limit = 15s) {
        auto end = std::chrono::steady_clock::now() + limit;
        while (!alive.expired()) {
            if (std::chrono::steady_clock::now() > end) {
                return false;
            }
            std::this_thread::sleep_for(10ms);
        }
        return true;
    }
    int count() {
        std::lock_guard<std::mutex> guard(lock);
        return replies;
    }
};

class LLDPCommand : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!gRx) {
            GTEST_SKIP() << "needs root for network namespaces and packet capture";
        }
        service = XQSipLocationHelperXPCMgr::initWithListener(
            nullptr, XQSipLocationHelperParts::compiledIn());
        ASSERT_TRUE(service);
    }
    void TearDown() override {
        if (!service) {
            return;
        }
        // A live record's task block holds the service (as the service lives
        // for the whole process in the daemon): clear the list, and let the
        // captures end, before letting go of it.
        service->cancelAllLLDPTask();
        for (int i = 0; i < 1000 && !bpf::busyUnits().empty(); ++i) {
            std::this_thread::sleep_for(10ms);
        }
        std::weak_ptr<XQSipLocationHelperXPCMgr> gone = service;
        service.reset();
        for (int i = 0; i < 500 && !gone.expired(); ++i) {
            std::this_thread::sleep_for(10ms);
        }
        EXPECT_TRUE(gone.expired()) << "the service object is kept alive";
    }

    // Waits until `n` captures hold a device (each blocked in its read).
    static bool waitForCaptures(size_t n) {
        for (int i = 0; i < 400; ++i) {
            if (bpf::busyUnits().size() >= n) {
                return true;
            }
            std::this_thread::sleep_for(5ms);
        }
        return false;
    }

    std::shared_ptr<XQSipLocationHelperXPCMgr> service;
};

TEST_F(LLDPCommand, OneRequestIsAnsweredFromItsWorker) {
    lab::RepeatingSender sender(*gTx, "vtx", {frameWithPort(text("Gi1/0/12"))});
    Request a;
    service->runLLDPCaptureWithReply(a.reply());
    ASSERT_TRUE(a.waitForReply());
    EXPECT_EQ(a.chassis, "00:1a:2b:3c:4d:5e");
    EXPECT_EQ(a.port, "Gi1/0/12");
    EXPECT_NE(a.thread, std::this_thread::get_id());
    // Answered, its record stays listed until the next request.
    ASSERT_EQ(service->lldpNotCancelArray().size(), 1u);
    EXPECT_FALSE(service->isLLDPTaskCancel(service->lldpNotCancelArray()[0]));
    EXPECT_FALSE(a.alive.expired());
    service->cancelAllLLDPTask();
    ASSERT_TRUE(a.waitUntilFinished());
    EXPECT_EQ(a.count(), 1);
}

TEST_F(LLDPCommand, NoNeighbourIsAnsweredWithEmptyStrings) {
    Request a;
    service->runLLDPCaptureWithReply(a.reply());
    ASSERT_TRUE(a.waitForReply());
    EXPECT_EQ(a.chassis, "");
    EXPECT_EQ(a.port, "");
}

TEST_F(LLDPCommand, NewerRequestCancelsTheRunningOne) {
    Request a, b;
    service->runLLDPCaptureWithReply(a.reply());
    ASSERT_TRUE(waitForCaptures(1));
    std::weak_ptr<XQSipLLDPObject> recordA = service->lldpNotCancelArray().at(0);
    service->runLLDPCaptureWithReply(b.reply());
    // Both captures run at once, on two devices.
    ASSERT_TRUE(waitForCaptures(2));
    EXPECT_EQ(bpf::busyUnits(), (std::vector<unsigned>{0, 1}));
    {
        lab::RepeatingSender sender(*gTx, "vtx", {frameWithPort(text("Gi1/0/12"))});
        ASSERT_TRUE(b.waitForReply());
        ASSERT_TRUE(a.waitUntilFinished());
        service->cancelAllLLDPTask();
        ASSERT_TRUE(b.waitUntilFinished());
    }
    EXPECT_EQ(a.count(), 0);
    EXPECT_EQ(b.count(), 1);
    EXPECT_EQ(b.chassis, "00:1a:2b:3c:4d:5e");
    // A's record went with its task: nothing keeps a cancelled record alive.
    EXPECT_TRUE(recordA.expired());
}

TEST_F(LLDPCommand, OnlyTheLastOfThreeIsAnswered) {
    Request a, b, c;
    service->runLLDPCaptureWithReply(a.reply());
    service->runLLDPCaptureWithReply(b.reply());
    service->runLLDPCaptureWithReply(c.reply());
    ASSERT_EQ(service->lldpNotCancelArray().size(), 1u);
    ASSERT_TRUE(waitForCaptures(3));
    {
        lab::RepeatingSender sender(*gTx, "vtx", {frameWithPort(text("Gi1/0/3"))});
        ASSERT_TRUE(c.waitForReply());
        ASSERT_TRUE(a.waitUntilFinished());
        ASSERT_TRUE(b.waitUntilFinished());
        service->cancelAllLLDPTask();
        ASSERT_TRUE(c.waitUntilFinished());
    }
    EXPECT_EQ(a.count(), 0);
    EXPECT_EQ(b.count(), 0);
    EXPECT_EQ(c.count(), 1);
    EXPECT_EQ(c.port, "Gi1/0/3");
}

TEST_F(LLDPCommand, AnsweredRequestThenANewOne) {
    lab::RepeatingSender sender(*gTx, "vtx", {frameWithPort(text("Gi1/0/1"))});
    Request a, b;
    service->runLLDPCaptureWithReply(a.reply());
    ASSERT_TRUE(a.waitForReply());
    service->runLLDPCaptureWithReply(b.reply());
    ASSERT_TRUE(b.waitForReply());
    ASSERT_TRUE(a.waitUntilFinished());
    service->cancelAllLLDPTask();
    ASSERT_TRUE(b.waitUntilFinished());
    EXPECT_EQ(a.count(), 1);
    EXPECT_EQ(b.count(), 1);
    EXPECT_EQ(b.port, "Gi1/0/1");
}

TEST_F(LLDPCommand, PortTextAsTheReplyCarriesIt) {
    struct Case {
        Bytes port;
        XQNullableString expected;
    };
    const Case cases[] = {
        {text("Gi1/0/12"), "Gi1/0/12"},    {{'G', 'i', 0, '9'}, "Gi"},  // ends at the zero octet
        {{'p', 0xc3, 0xa9}, "p\xc3\xa9"},                               // UTF-8 é
        {{'p', 0xff, 'x'}, std::nullopt},                               // not UTF-8: nil
        {{'p', 0xc0, 0x80}, std::nullopt},                              // overlong
        {{'o', 'k', 0, 0xff}, "ok"},  // invalid only after the end
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.port));
        lab::RepeatingSender sender(*gTx, "vtx", {frameWithPort(c.port)});
        Request r;
        service->runLLDPCaptureWithReply(r.reply());
        ASSERT_TRUE(r.waitForReply());
        EXPECT_EQ(r.port, c.expected);
        EXPECT_EQ(r.chassis, "00:1a:2b:3c:4d:5e");
        service->cancelAllLLDPTask();
        ASSERT_TRUE(r.waitUntilFinished());
    }
}

TEST_F(LLDPCommand, TaskListMethods) {
    EXPECT_TRUE(service->isLLDPTaskCancel(nullptr));
    auto record = std::make_shared<XQSipLLDPObject>();
    EXPECT_TRUE(service->isLLDPTaskCancel(record));
    service->addLLDPTaskObject(record);
    EXPECT_FALSE(service->isLLDPTaskCancel(record));
    // Identity, not equality of content.
    EXPECT_TRUE(service->isLLDPTaskCancel(std::make_shared<XQSipLLDPObject>()));
    service->cancelAllLLDPTask();
    EXPECT_TRUE(service->isLLDPTaskCancel(record));
    EXPECT_TRUE(service->lldpNotCancelArray().empty());
}

TEST(XQSipLLDPReplyString, Utf8OrNil) {
    EXPECT_EQ(XQSipLLDPReplyString(""), "");
    EXPECT_EQ(XQSipLLDPReplyString("00:1a:2b:3c:4d:5e"), "00:1a:2b:3c:4d:5e");
    EXPECT_EQ(XQSipLLDPReplyString(std::string("a\0b", 3)), "a");
    EXPECT_EQ(XQSipLLDPReplyString("\xe2\x82\xac \xf0\x9f\x98\x80"),
              "\xe2\x82\xac \xf0\x9f\x98\x80");
    for (const char* bad : {"\x80", "\xff", "a\xc3", "\xe2\x82", "\xed\xa0\x80" /* surrogate */,
                            "\xf4\x90\x80\x80" /* above U+10FFFF */, "\xe0\x80\xaf" /* overlong */,
                            "\xf8\x88\x80\x80\x80"}) {
        EXPECT_EQ(XQSipLLDPReplyString(bad), std::nullopt) << testing::PrintToString(bad);
    }
}

}  // namespace
