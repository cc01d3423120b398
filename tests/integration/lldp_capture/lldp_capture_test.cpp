// LLDPCapture::capture end to end: lldpd and hand-made frames on a veth pair
// between two test namespaces, the capture running inside the receiving one.
// The test build's limits: 2 s read timeout, 4 s decoding deadline.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "Lldp/LLDPCapture.h"
#include "Lldp/LLDPLimits.h"
#include "Lldp/LLDPReadDecoder.h"
#include "tests/integration/lldp_capture/capture_fixture.h"
#include "tests/integration/lldp_capture/fake_interface_list.h"

using lldp_test::Bytes;
using namespace lldp_test;
using namespace std::chrono_literals;

namespace {

const Bytes kSwitchMac = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e};

const char kLldpdConfig[] =
    "configure lldp tx-interval 1\n"
    "configure lldp tx-hold 120\n"
    "configure lldp portidsubtype ifname\n"
    "configure system hostname sw-test\n"
    "configure system capabilities enabled bridge,router\n";

struct Outcome {
    std::string first;
    std::string second;
    std::chrono::steady_clock::duration took;
};

Outcome captureIn(const lab::Netns& ns) {
    Outcome o;
    ns.runInside([&] {
        LLDPCapture capture;
        auto start = std::chrono::steady_clock::now();
        capture.capture(o.first, o.second);
        o.took = std::chrono::steady_clock::now() - start;
    });
    return o;
}

Bytes goodFrame(const std::string& port = "Gi1/0/12") {
    return lldpFrame({chassisMac(kSwitchMac), portId(5, text(port)), ttl(120),
                      capabilities(0x0014, 0x0014), endOfLldpdu()});
}

// lldpd takes a moment to start: waits (up to 15 s) until its first LLDP
// frame has reached `ifname`, so that the next one comes within one interval.
void waitForLldp(const lab::Netns& ns, const std::string& ifname) {
    ns.runInside([&] {
        int fd = bpf::open("/dev/bpf0", O_RDONLY);
        ASSERT_GE(fd, 0);
        LLDPCapture capture;
        ASSERT_EQ(capture.setOptions(fd, ifname.c_str()), 0);
        ASSERT_EQ(capture.setFilter(fd), 0);
        std::vector<uint8_t> buf(bpf::kBufferLength);
        bool seen = false;
        for (int i = 0; i < 8 && !seen; ++i) {
            ssize_t n = bpf::read(fd, buf.data(), buf.size());
            for (const CapturedFrame& f : splitRead(buf.data(), n > 0 ? size_t(n) : 0)) {
                seen = seen || (f.frame.size() > 14 && f.frame[12] == 0x88 && f.frame[13] == 0xcc);
            }
        }
        bpf::close(fd);
        ASSERT_TRUE(seen) << "no LLDP frame from lldpd";
    });
}

using LLDPCaptureTest = CaptureLab;

TEST_F(LLDPCaptureTest, LimitsOfThisTestBuild) {
    // The capture tests below count on these; the daemon has 120 s and 240 s.
    EXPECT_EQ(kLLDPReadTimeout.tv_sec, 2);
    EXPECT_EQ(kLLDPDecodeDeadlineSeconds, 4);
}

TEST_F(LLDPCaptureTest, LldpdAsTheSwitch) {
    lab::Lldpd lldpd(*tx, "vtx", kLldpdConfig);
    waitForLldp(*rx, "vrx");
    Outcome o = captureIn(*rx);
    EXPECT_EQ(o.first, "00:1a:2b:3c:4d:5e");
    EXPECT_EQ(o.second, "vtx");
}

// lldpd also sending CDP, EDP, SONMP and FDP: their frames pass the filter,
// reach the reader and change nothing; the answer is the LLDP frame's.
TEST_F(LLDPCaptureTest, LldpdWithOtherDiscoveryProtocols) {
    lab::Lldpd lldpd(*tx, "vtx", kLldpdConfig, {"-l", "-ccc", "-ee", "-ss", "-ff"});
    waitForLldp(*rx, "vrx");
    std::vector<CapturedFrame> frames;
    rx->runInside([&] {
        int fd = bpf::open("/dev/bpf0", O_RDONLY);
        ASSERT_GE(fd, 0);
        LLDPCapture capture;
        ASSERT_EQ(capture.setOptions(fd, "vrx"), 0);
        ASSERT_EQ(capture.setFilter(fd), 0);
        // Two transmissions' worth.
        frames = readFor(fd, 2500ms);
        bpf::close(fd);
    });
    int lldp = 0, others = 0;
    for (const CapturedFrame& f : frames) {
        ASSERT_GE(f.frame.size(), 14u);
        bool isLldp = f.frame[12] == 0x88 && f.frame[13] == 0xcc;
        (isLldp ? lldp : others)++;
        if (!isLldp) {
            Bytes read = readOfFrames({f.frame});
            std::string first = "keep1", second = "keep2";
            EXPECT_FALSE(lldp::decodeRead(read.data(), read.size(), first, second));
            EXPECT_EQ(first, "keep1");
            EXPECT_EQ(second, "keep2");
        }
    }
    EXPECT_GE(lldp, 1);
    EXPECT_GE(others, 4) << "CDP, EDP, SONMP and FDP frames should pass the filter";

    Outcome o = captureIn(*rx);
    EXPECT_EQ(o.first, "00:1a:2b:3c:4d:5e");
    EXPECT_EQ(o.second, "vtx");
}

// Malformed frames end the walk of their own frame; the well-formed frame
// that follows still completes the capture.
TEST_F(LLDPCaptureTest, MalformedFramesBeforeAGoodOne) {
    std::vector<Bytes> frames = {
        // Port ID longer than the frame, unpadded (veth does not pad).
        cat({lldpFrame({chassisMac({0xde, 0xad, 0xbe, 0xef, 0, 1})}),
             tlv(2, cat({{5}, text("bad")}), 300)}),
        // Chassis ID MAC of length 6.
        lldpFrame({tlv(1, {4, 1, 2, 3, 4, 5}), portId(5, text("bad2")), capabilities(4, 4)}),
        // Network-address port with family 6, then capabilities never reached.
        lldpFrame({chassisMac({0xde, 0xad, 0xbe, 0xef, 0, 2}), portId(4, {6, 1, 2, 3, 4}),
                   capabilities(4, 4)}),
        // A CDP-addressed frame whose octets look like LLDP TLVs.
        cat({ethernet({0x01, 0x00, 0x0c, 0xcc, 0xcc, 0xcc}, 0x0800),
             chassisMac({0xba, 0xd0, 0, 0, 0, 3}), portId(5, text("garbage")), capabilities(0, 0)}),
        goodFrame("Te1/0/48"),
    };
    lab::RepeatingSender sender(*tx, "vtx", frames, 200ms);
    Outcome o = captureIn(*rx);
    EXPECT_EQ(o.first, "00:1a:2b:3c:4d:5e");
    EXPECT_EQ(o.second, "Te1/0/48");
}

// A switch port that tags its LLDP frames (802.1Q with a VLAN, a priority
// tag with VLAN 0, or 802.1ad around 802.1Q) is not answered: the filter sees
// the tag's EtherType at octet 12, as the original's does, and lets none of
// them reach the reader, so each read ends empty at its timeout. The same
// frame untagged is answered.
TEST_F(LLDPCaptureTest, TaggedLldpFramesAreNotAnswered) {
    const Bytes good = goodFrame("tagged");
    {
        lab::RepeatingSender sender(
            *tx, "vtx",
            {tagged(good, 0x8100, 0x0064), tagged(good, 0x8100, 0x0000),
             tagged(good, 0x8100, 0xe000), tagged(tagged(good, 0x8100, 0x0064), 0x88a8, 0x00c8)},
            100ms);
        Outcome o = captureIn(*rx);
        EXPECT_EQ(o.first, "");
        EXPECT_EQ(o.second, "");
        // One read timeout on vrx, not the decoding deadline: no frame came.
        EXPECT_LT(o.took, std::chrono::seconds(kLLDPDecodeDeadlineSeconds));
    }
    lab::RepeatingSender sender(*tx, "vtx", {good}, 100ms);
    Outcome o = captureIn(*rx);
    EXPECT_EQ(o.first, "00:1a:2b:3c:4d:5e");
    EXPECT_EQ(o.second, "tagged");
}

// Frames with a MAC chassis but no System Capabilities never complete the
// capture: it ends at the deadline with the decoded strings.
TEST_F(LLDPCaptureTest, NeverCompletingFramesEndAtTheDeadline) {
    lab::RepeatingSender sender(
        *tx, "vtx", {lldpFrame({chassisMac(kSwitchMac), portId(7, text("local 7")), ttl(120)})},
        100ms);
    Outcome o = captureIn(*rx);
    EXPECT_EQ(o.first, "00:1a:2b:3c:4d:5e");
    EXPECT_EQ(o.second, "local 7");
    EXPECT_GE(o.took, std::chrono::seconds(kLLDPDecodeDeadlineSeconds - 1));
}

TEST_F(LLDPCaptureTest, NoNeighbourGivesEmptyStrings) {
    Outcome o = captureIn(*rx);
    EXPECT_EQ(o.first, "");
    EXPECT_EQ(o.second, "");
    EXPECT_TRUE(bpf::busyUnits().empty());  // the device was closed
}

// Wi-Fi entries are skipped whatever the letter case of their type, and so
// is a second entry of the same name.
TEST_F(LLDPCaptureTest, WifiTypedEntriesAreSkipped) {
    lab::RepeatingSender sender(*tx, "vtx", {goodFrame()});
    for (const char* wifiType : {"IEEE80211", "ieee80211", "Ieee80211"}) {
        fake_netif::ScopedEdit edit([wifiType](std::vector<netif::SCNetworkInterface>& list) {
            for (netif::SCNetworkInterface& i : list) {
                if (i.bsdName == "vrx") {
                    i.type = wifiType;
                }
            }
        });
        Outcome o = captureIn(*rx);
        EXPECT_EQ(o.first, "") << wifiType;
        EXPECT_EQ(o.second, "") << wifiType;
        // Nothing was read: only lo remained, which is not Ethernet.
        EXPECT_LT(o.took, std::chrono::seconds(kLLDPReadTimeout.tv_sec)) << wifiType;
    }
    {
        // Entries without a name are passed over.
        fake_netif::ScopedEdit edit([](std::vector<netif::SCNetworkInterface>& list) {
            list.insert(list.begin(), netif::SCNetworkInterface{99, std::nullopt, "Ethernet"});
        });
        Outcome o = captureIn(*rx);
        EXPECT_EQ(o.first, "00:1a:2b:3c:4d:5e");
        EXPECT_EQ(o.second, "Gi1/0/12");
    }
}

// Two entries with the same name are tried once, at the first's place: with
// no neighbour that costs one read timeout, not two.
TEST_F(LLDPCaptureTest, DuplicateNamesAreTriedOnce) {
    fake_netif::ScopedEdit edit([](std::vector<netif::SCNetworkInterface>& list) {
        netif::SCNetworkInterface copy = list.back();
        ASSERT_EQ(copy.bsdName, "vrx");
        list.insert(list.begin(), copy);
    });
    Outcome o = captureIn(*rx);
    EXPECT_EQ(o.first, "");
    EXPECT_GE(o.took, std::chrono::seconds(kLLDPReadTimeout.tv_sec) - 100ms);
    EXPECT_LT(o.took, std::chrono::seconds(2 * kLLDPReadTimeout.tv_sec));
}

// lo (not Ethernet) and a tun interface (no link header) come before vrx in
// the namespace's list; both are passed over without a read, so the answer
// comes well within one read timeout.
TEST_F(LLDPCaptureTest, NonEthernetInterfacesAreSkippedWithoutARead) {
    auto other = std::make_unique<lab::Netns>("rx2");
    other->ip({"tuntap", "add", "mode", "tun", "name", "xqtun0"});
    other->ip({"link", "set", "xqtun0", "up"});
    other->ip({"link", "set", "lo", "up"});
    lab::addVethPair(*tx, "vtx2", *other, "vrx2", "00:1a:2b:3c:4d:5e");
    std::vector<std::string> names;
    other->runInside([&] {
        for (const auto& i : netif::systemInterfaces()) {
            names.push_back(*i.bsdName + "/" + i.type);
        }
    });
    ASSERT_EQ(names, (std::vector<std::string>{"lo/Loopback", "xqtun0/Other", "vrx2/Ethernet"}));
    lab::RepeatingSender sender(*tx, "vtx2", {goodFrame("tun-test")});
    Outcome o = captureIn(*other);
    EXPECT_EQ(o.second, "tun-test");
    EXPECT_LT(o.took, std::chrono::seconds(kLLDPReadTimeout.tv_sec));
}

// The first interface's frames never complete; the second's do. The answer is
// the second's, with the port that the first left where the second frame has
// none that the reader takes.
TEST_F(LLDPCaptureTest, SecondInterfaceCompletesWhatTheFirstBegan) {
    lab::addVethPair(*tx, "vtxb", *rx, "vrxb", "00:1a:2b:3c:4d:5f");
    lab::RepeatingSender first(
        *tx, "vtx", {lldpFrame({chassisMac({0, 0, 0, 0, 0, 1}), portId(5, text("p-first"))})},
        100ms);
    lab::RepeatingSender second(
        *tx, "vtxb",
        {lldpFrame({chassisMac({0, 0, 0, 0, 0, 2}), portId(2, text("component")),
                    capabilities(0x14, 0x14)})},
        100ms);
    Outcome o = captureIn(*rx);
    EXPECT_EQ(o.first, "00:00:00:00:00:02");
    EXPECT_EQ(o.second, "p-first");
}

// Two captures at once, each on a device of its own; with every unit taken a
// capture reads nothing.
TEST_F(LLDPCaptureTest, ConcurrentCapturesUseTheirOwnUnits) {
    Outcome a, b;
    std::thread ta = rx->startInside([&] { LLDPCapture().capture(a.first, a.second); });
    auto waitForUnits = [](size_t n) {
        for (int i = 0; i < 200 && bpf::busyUnits().size() < n; ++i) {
            std::this_thread::sleep_for(5ms);
        }
        return bpf::busyUnits();
    };
    EXPECT_EQ(waitForUnits(1), std::vector<unsigned>{0});
    std::thread tb = rx->startInside([&] { LLDPCapture().capture(b.first, b.second); });
    EXPECT_EQ(waitForUnits(2), (std::vector<unsigned>{0, 1}));
    {
        lab::RepeatingSender sender(*tx, "vtx", {goodFrame()});
        ta.join();
        tb.join();
    }
    EXPECT_EQ(a.first, "00:1a:2b:3c:4d:5e");
    EXPECT_EQ(b.first, "00:1a:2b:3c:4d:5e");
    EXPECT_EQ(a.second, "Gi1/0/12");
    EXPECT_EQ(b.second, "Gi1/0/12");
    EXPECT_TRUE(bpf::busyUnits().empty());

    // Units 0 to 254 held elsewhere: unit 255 is never tried.
    std::vector<int> held;
    for (unsigned u = 0; u < 255; ++u) {
        int fd = bpf::open(("/dev/bpf" + std::to_string(u)).c_str(), O_RDONLY);
        ASSERT_GE(fd, 0) << u;
        held.push_back(fd);
    }
    lab::RepeatingSender sender(*tx, "vtx", {goodFrame()});
    Outcome none = captureIn(*rx);
    EXPECT_EQ(none.first, "");
    EXPECT_EQ(none.second, "");
    EXPECT_EQ(bpf::busyUnits().size(), 255u);
    for (int fd : held) {
        bpf::close(fd);
    }
}

}  // namespace
