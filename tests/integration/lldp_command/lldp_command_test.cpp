// runLLDPCaptureWithReply: over the real socket, from the signed client tool,
// to the test build of the daemon running inside the namespace "rx" (2 s read
// timeout, 4 s decoding deadline), with frames sent from "tx".
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <future>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>

#include "tests/integration/lldp_capture/netns_lab.h"
#include "tests/support/harness.h"
#include "tests/unit/lldp_decode/lldp_frames.h"

using namespace lldp_test;
using namespace std::chrono_literals;

namespace {

const Bytes kSwitchMac = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e};

Bytes completing(const Bytes& port) {
    return lldpFrame({chassisMac(kSwitchMac), portId(5, port), ttl(120),
                      capabilities(0x0014, 0x0014), endOfLldpdu()});
}

// Keeps a capture reading (until its deadline) without completing it.
Bytes incomplete() {
    return lldpFrame({chassisMac(kSwitchMac), portId(5, text("partial"))});
}

class LLDPCommandOverSocket : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "needs root for network namespaces and packet capture";
        }
        tx_ = std::make_unique<lab::Netns>("ctx");
        rx_ = std::make_unique<lab::Netns>("crx");
        lab::addVethPair(*tx_, "vtx", *rx_, "vrx");
        // Forked from a thread inside "rx": the daemon captures there.
        rx_->runInside([this] {
            daemon_ = std::make_unique<xqtest::ActivatedDaemon>(dir_.file("helper.sock"));
        });
        ASSERT_TRUE(daemon_->started()) << "socket activation did not start";
    }
    void TearDown() override {
        daemon_.reset();
        rx_.reset();
        tx_.reset();
    }

    xqtest::CommandResult client(const std::vector<std::string>& args) {
        return xqtest::runClient(daemon_->socketPath(), args, "", 20);
    }

    // Packet sockets open in "rx": one per running capture.
    size_t packetSockets() {
        size_t lines = 0;
        rx_->runInside([&] {
            std::ifstream in("/proc/thread-self/net/packet");
            std::string line;
            std::getline(in, line);  // header
            while (std::getline(in, line)) {
                ++lines;
            }
        });
        return lines;
    }
    bool waitForCaptures(size_t n) {
        for (int i = 0; i < 300; ++i) {
            if (packetSockets() >= n) {
                return true;
            }
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

    xqtest::TempDir dir_;
    std::unique_ptr<lab::Netns> tx_;
    std::unique_ptr<lab::Netns> rx_;
    std::unique_ptr<xqtest::ActivatedDaemon> daemon_;
};

TEST_F(LLDPCommandOverSocket, OneRequestGetsTheSwitchChassisAndPort) {
    lab::RepeatingSender sender(*tx_, "vtx", {completing(text("Gi1/0/12"))});
    auto r = client({"lldp"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "[\"00:1a:2b:3c:4d:5e\",\"Gi1/0/12\"]\n");
}

TEST_F(LLDPCommandOverSocket, NoNeighbourGivesTwoEmptyStrings) {
    auto r = client({"lldp"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "[\"\",\"\"]\n");
}

TEST_F(LLDPCommandOverSocket, PortTextThatIsNotUtf8GoesOutAsNil) {
    lab::RepeatingSender sender(*tx_, "vtx", {completing({'G', 'i', 0xff, '1'})});
    auto r = client({"lldp"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "[\"00:1a:2b:3c:4d:5e\",null]\n");
}

// A from one client; B from another while A's capture runs: A is never
// answered (its client waits until its timeout).
TEST_F(LLDPCommandOverSocket, NewerRequestFromAnotherClientCancelsTheFirst) {
    auto sender =
        std::make_unique<lab::RepeatingSender>(*tx_, "vtx", std::vector<Bytes>{incomplete()}, 50ms);
    auto a = std::async(std::launch::async, [this] { return client({"--timeout", "15", "lldp"}); });
    ASSERT_TRUE(waitForCaptures(1));
    // A's device settles (sockets it replaced while setting up are gone), so
    // that a second socket can only be B's.
    std::this_thread::sleep_for(300ms);
    ASSERT_EQ(packetSockets(), 1u);
    auto b = std::async(std::launch::async, [this] { return client({"--timeout", "15", "lldp"}); });
    ASSERT_TRUE(waitForCaptures(2));
    sender = std::make_unique<lab::RepeatingSender>(
        *tx_, "vtx", std::vector<Bytes>{completing(text("Gi1/0/7"))}, 50ms);
    auto rb = b.get();
    auto ra = a.get();
    EXPECT_EQ(rb.exitCode, 0) << rb.err;
    EXPECT_EQ(rb.out, "[\"00:1a:2b:3c:4d:5e\",\"Gi1/0/7\"]\n");
    EXPECT_NE(ra.exitCode, 0);
    EXPECT_EQ(ra.out, "");
}

// A, B and C in quick succession on one connection: only C is answered.
TEST_F(LLDPCommandOverSocket, OnlyTheLastOfThreeIsAnswered) {
    lab::RepeatingSender sender(*tx_, "vtx", {completing(text("Gi1/0/3"))}, 20ms);
    std::string input;
    for (int seq = 1; seq <= 3; ++seq) {
        input += nlohmann::json{{"seq", seq},
                                {"selector", "runLLDPCaptureWithReply:"},
                                {"types", "@@"},
                                {"args", nlohmann::json::array()}}
                     .dump() +
                 "\n";
    }
    auto r = xqtest::runCommand(
        {xqtest::clientPath(), "--socket", daemon_->socketPath(), "--timeout", "6", "session"},
        input, 30s);
    std::istringstream lines(r.out);
    std::string line;
    std::vector<nlohmann::json> replies;
    while (std::getline(lines, line)) {
        if (!line.empty()) {
            replies.push_back(nlohmann::json::parse(line));
        }
    }
    ASSERT_EQ(replies.size(), 1u) << r.out << r.err;
    EXPECT_EQ(replies[0]["seq"], 3);
    EXPECT_EQ(replies[0]["reply"], (nlohmann::json{"00:1a:2b:3c:4d:5e", "Gi1/0/3"}));
}

// A answered, then B: both are answered.
TEST_F(LLDPCommandOverSocket, AnsweredRequestThenANewOne) {
    lab::RepeatingSender sender(*tx_, "vtx", {completing(text("Gi1/0/1"))});
    // A stays connected after its reply: both are served by one process.
    auto a = std::async(std::launch::async, [this] {
        return client({"--linger", "6", "--timeout", "10", "lldp"});
    });
    std::this_thread::sleep_for(1500ms);
    auto rb = client({"lldp"});
    auto ra = a.get();
    EXPECT_EQ(rb.exitCode, 0) << rb.err;
    EXPECT_EQ(rb.out, "[\"00:1a:2b:3c:4d:5e\",\"Gi1/0/1\"]\n");
    EXPECT_EQ(ra.out, "[\"00:1a:2b:3c:4d:5e\",\"Gi1/0/1\"]\n") << ra.err;
}

}  // namespace
