// The BPF device stand-in on real AF_PACKET sockets inside test namespaces.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "Lldp/LLDPCapture.h"
#include "tests/integration/lldp_capture/capture_fixture.h"

using lldp_test::Bytes;
using namespace std::chrono_literals;

namespace {

const Bytes kLldpAddress = {0x01, 0x80, 0xc2, 0x00, 0x00, 0x0e};
const Bytes kHostA = {0x02, 0x00, 0x00, 0x00, 0x00, 0x0a};

// A device attached to `ifname` with immediate mode and a short read timeout.
int openAttached(const std::string& ifname, long timeoutMs = 300) {
    int fd = bpf::open("/dev/bpf0", O_RDONLY);
    if (fd < 0) {
        ADD_FAILURE() << "open /dev/bpf0: " << strerror(errno);
        return -1;
    }
    struct ifreq ifr {};
    std::strncpy(ifr.ifr_name, ifname.c_str(), IFNAMSIZ - 1);
    unsigned one = 1;
    struct timeval tv {
        timeoutMs / 1000, (timeoutMs % 1000) * 1000
    };
    EXPECT_EQ(bpf::ioctl(fd, bpf::BIOCSETIF, &ifr), 0) << strerror(errno);
    EXPECT_EQ(bpf::ioctl(fd, bpf::BIOCIMMEDIATE, &one), 0);
    EXPECT_EQ(bpf::ioctl(fd, bpf::BIOCSRTIMEOUT, &tv), 0);
    return fd;
}

TEST(BpfUnits, OneDescriptorPerUnitAndOnlyBpfNames) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root for packet sockets";
    }
    ASSERT_TRUE(bpf::busyUnits().empty());
    int a = bpf::open("/dev/bpf0", O_RDONLY);
    ASSERT_GE(a, 0);
    errno = 0;
    EXPECT_EQ(bpf::open("/dev/bpf0", O_RDONLY), -1);
    EXPECT_EQ(errno, EBUSY);
    int b = bpf::open("/dev/bpf255", O_RDONLY);
    ASSERT_GE(b, 0);
    EXPECT_EQ(bpf::busyUnits(), (std::vector<unsigned>{0, 255}));
    for (const char* bad : {"/dev/bpf256", "/dev/bpf01", "/dev/bpf", "/dev/bpfx", "/dev/bpf1x",
                            "/dev/tty", "/dev/bpf-1", "/dev/bpf4294967296"}) {
        errno = 0;
        EXPECT_EQ(bpf::open(bad, O_RDONLY), -1) << bad;
        EXPECT_EQ(errno, ENOENT) << bad;
    }
    EXPECT_EQ(bpf::open(nullptr, O_RDONLY), -1);
    EXPECT_EQ(bpf::open("/dev/bpf7", O_RDWR), -1);

    // Requests that need an attached interface, or a proper argument.
    unsigned dlt = 0;
    std::vector<uint8_t> buf(bpf::kBufferLength);
    EXPECT_EQ(bpf::ioctl(a, bpf::BIOCGDLT, &dlt), -1);
    EXPECT_EQ(bpf::ioctl(a, bpf::BIOCPROMISC), -1);
    errno = 0;
    EXPECT_EQ(bpf::read(a, buf.data(), buf.size()), -1);
    EXPECT_EQ(errno, ENXIO);
    unsigned blen = 0;
    EXPECT_EQ(bpf::ioctl(a, bpf::BIOCGBLEN, &blen), 0);
    EXPECT_EQ(blen, bpf::kBufferLength);
    errno = 0;
    EXPECT_EQ(bpf::read(a, buf.data(), blen - 4), -1);
    EXPECT_EQ(errno, EINVAL);
    struct timeval badTimeout {
        1, 1000000
    };
    EXPECT_EQ(bpf::ioctl(a, bpf::BIOCSRTIMEOUT, &badTimeout), -1);
    struct ifreq nowhere {};
    std::strcpy(nowhere.ifr_name, "xq-no-such-if");
    EXPECT_EQ(bpf::ioctl(a, bpf::BIOCSETIF, &nowhere), -1);
    // A name field without a terminator names nothing.
    std::memset(nowhere.ifr_name, 'x', IFNAMSIZ);
    EXPECT_EQ(bpf::ioctl(a, bpf::BIOCSETIF, &nowhere), -1);
    bpf::bpf_insn bad[] = {{0x06, 0, 0, 0}, {0xffff, 0, 0, 0}};
    bpf::bpf_program badProgram{2, bad};
    EXPECT_EQ(bpf::ioctl(a, bpf::BIOCSETF, &badProgram), -1);

    EXPECT_EQ(bpf::close(a), 0);
    EXPECT_EQ(bpf::close(a), -1);  // no longer a device
    EXPECT_EQ(bpf::ioctl(a, bpf::BIOCGBLEN, &blen), -1);
    EXPECT_EQ(bpf::busyUnits(), (std::vector<unsigned>{255}));
    int again = bpf::open("/dev/bpf0", O_RDONLY);
    EXPECT_GE(again, 0);
    bpf::close(again);
    bpf::close(b);
    EXPECT_TRUE(bpf::busyUnits().empty());
}

using BpfDevice = CaptureLab;

TEST_F(BpfDevice, LinkTypesFollowTheInterface) {
    rx->ip({"tuntap", "add", "mode", "tun", "name", "xqtun0"});
    rx->ip({"link", "set", "xqtun0", "up"});
    rx->runInside([] {
        struct Case {
            const char* ifname;
            unsigned dlt;
        };
        for (Case c : {Case{"vrx", bpf::DLT_EN10MB}, Case{"lo", bpf::DLT_NULL},
                       Case{"xqtun0", bpf::DLT_RAW}}) {
            int fd = openAttached(c.ifname);
            unsigned dlt = 99;
            EXPECT_EQ(bpf::ioctl(fd, bpf::BIOCGDLT, &dlt), 0);
            EXPECT_EQ(dlt, c.dlt) << c.ifname;
            LLDPCapture capture;
            EXPECT_EQ(capture.checkDlt(fd), c.dlt == bpf::DLT_EN10MB ? 0 : -1) << c.ifname;
            bpf::close(fd);
        }
    });
}

TEST_F(BpfDevice, OneReadReturnsEveryQueuedFrameAsAlignedRecords) {
    std::vector<Bytes> frames = {markedFrame(kLldpAddress, 0x88cc, 1, 61),
                                 markedFrame(kLldpAddress, 0x88cc, 2, 95),
                                 markedFrame(kLldpAddress, 0x88cc, 3, 1514)};
    rx->runInside([&] {
        int fd = openAttached("vrx");
        LLDPCapture capture;
        ASSERT_EQ(capture.setFilter(fd), 0);
        lab::sendFrames(*tx, "vtx", frames);
        std::this_thread::sleep_for(100ms);  // all three queued before the read
        std::vector<uint8_t> buf(bpf::kBufferLength, 0xee);
        ssize_t n = bpf::read(fd, buf.data(), buf.size());
        ASSERT_GT(n, 0);
        std::vector<CapturedFrame> got = splitRead(buf.data(), static_cast<size_t>(n));
        ASSERT_EQ(got.size(), 3u);
        for (size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(got[i].frame, frames[i]);
            EXPECT_EQ(got[i].caplen, frames[i].size());
            EXPECT_EQ(got[i].datalen, frames[i].size());
            EXPECT_EQ(got[i].hdrlen, 18);
            EXPECT_EQ(got[i].offset % 4, 0u);
        }
        // The read ends with the last frame, not with padding.
        EXPECT_EQ(static_cast<size_t>(n), got[2].offset + 18 + frames[2].size());
        // A time stamp of the receipt.
        int32_t sec = 0;
        std::memcpy(&sec, buf.data(), 4);
        EXPECT_LE(std::abs(static_cast<long>(sec) - static_cast<long>(time(nullptr))), 5);
        bpf::close(fd);
    });
}

TEST_F(BpfDevice, ImmediateModeAndReadTimeout) {
    rx->runInside([&] {
        int fd = openAttached("vrx", 400);
        ASSERT_EQ(LLDPCapture().setFilter(fd), 0);  // no stray IPv6 traffic
        // Nothing arrives: the read returns empty after the timeout.
        std::vector<uint8_t> buf(bpf::kBufferLength);
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(bpf::read(fd, buf.data(), buf.size()), 0);
        EXPECT_GE(std::chrono::steady_clock::now() - start, 350ms);

        // A frame sent while the read waits ends it long before the timeout,
        // with that frame alone.
        unsigned none = 0;
        struct timeval tenSeconds {
            10, 0
        };
        ASSERT_EQ(bpf::ioctl(fd, bpf::BIOCSRTIMEOUT, &tenSeconds), 0);
        std::thread late([&] {
            std::this_thread::sleep_for(200ms);
            lab::sendFrames(*tx, "vtx", {markedFrame(kLldpAddress, 0x88cc, 9)});
        });
        start = std::chrono::steady_clock::now();
        ssize_t n = bpf::read(fd, buf.data(), buf.size());
        auto waited = std::chrono::steady_clock::now() - start;
        late.join();
        ASSERT_GT(n, 0);
        EXPECT_EQ(markersOf(splitRead(buf.data(), static_cast<size_t>(n))),
                  std::vector<uint8_t>{9});
        EXPECT_LT(waited, 5s);

        // Without immediate mode the read collects until its timeout.
        ASSERT_EQ(bpf::ioctl(fd, bpf::BIOCIMMEDIATE, &none), 0);
        struct timeval oneSecond {
            1, 0
        };
        ASSERT_EQ(bpf::ioctl(fd, bpf::BIOCSRTIMEOUT, &oneSecond), 0);
        std::thread two([&] {
            std::this_thread::sleep_for(100ms);
            lab::sendFrames(*tx, "vtx", {markedFrame(kLldpAddress, 0x88cc, 1)});
            std::this_thread::sleep_for(200ms);
            lab::sendFrames(*tx, "vtx", {markedFrame(kLldpAddress, 0x88cc, 2)});
        });
        n = bpf::read(fd, buf.data(), buf.size());
        two.join();
        ASSERT_GT(n, 0);
        EXPECT_EQ(markersOf(splitRead(buf.data(), static_cast<size_t>(n))),
                  (std::vector<uint8_t>{1, 2}));
        bpf::close(fd);
    });
}

TEST_F(BpfDevice, AttachingAndSettingTheFilterDiscardEarlierFrames) {
    rx->runInside([&] {
        int fd = openAttached("vrx");
        // Captured unfiltered, then discarded by BIOCSETF.
        lab::sendFrames(*tx, "vtx",
                        {markedFrame(kHostA, 0x0800, 1), markedFrame(kLldpAddress, 0x88cc, 2)});
        std::this_thread::sleep_for(100ms);
        LLDPCapture capture;
        ASSERT_EQ(capture.setFilter(fd), 0);
        lab::sendFrames(*tx, "vtx",
                        {markedFrame(kHostA, 0x0800, 3), markedFrame(kLldpAddress, 0x88cc, 4)});
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(markersOf(readUntilQuiet(fd)), std::vector<uint8_t>{4});

        // Queued, then discarded by attaching again; the filter stays.
        lab::sendFrames(*tx, "vtx", {markedFrame(kLldpAddress, 0x88cc, 5)});
        std::this_thread::sleep_for(100ms);
        struct ifreq ifr {};
        std::strcpy(ifr.ifr_name, "vrx");
        ASSERT_EQ(bpf::ioctl(fd, bpf::BIOCSETIF, &ifr), 0);
        lab::sendFrames(*tx, "vtx",
                        {markedFrame(kHostA, 0x0800, 6), markedFrame(kLldpAddress, 0x88cc, 7)});
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(markersOf(readUntilQuiet(fd)), std::vector<uint8_t>{7});
        bpf::close(fd);
    });
}

TEST_F(BpfDevice, SentFramesOnlyWhenAskedFor) {
    rx->runInside([&] {
        for (unsigned seeSent : {1u, 0u}) {
            int fd = openAttached("vrx");
            ASSERT_EQ(LLDPCapture().setFilter(fd), 0);
            ASSERT_EQ(bpf::ioctl(fd, bpf::BIOCSSEESENT, &seeSent), 0);
            lab::sendFrames(*rx, "vrx", {markedFrame(kLldpAddress, 0x88cc, 1)});  // our own
            lab::sendFrames(*tx, "vtx", {markedFrame(kLldpAddress, 0x88cc, 2)});  // the peer's
            std::this_thread::sleep_for(100ms);
            std::vector<uint8_t> markers = markersOf(readUntilQuiet(fd));
            std::sort(markers.begin(), markers.end());
            EXPECT_EQ(markers, seeSent ? (std::vector<uint8_t>{1, 2}) : std::vector<uint8_t>{2})
                << "see-sent " << seeSent;
            bpf::close(fd);
        }
    });
}

// The capture filter in the kernel: each accepted and each dropped
// destination, sent in one burst and read back.
TEST_F(BpfDevice, CaptureFilterInTheKernel) {
    struct Case {
        Bytes dst;
        uint16_t type;
        bool passes;
    };
    const std::vector<Case> cases = {
        {{0x01, 0x80, 0xc2, 0x00, 0x00, 0x0e}, 0x88cc, true},
        {{0x01, 0x80, 0xc2, 0x00, 0x00, 0x03}, 0x88cc, true},
        {{0x01, 0x80, 0xc2, 0x00, 0x00, 0x00}, 0x88cc, true},
        {{0x01, 0xe0, 0x52, 0xcc, 0xcc, 0xcc}, 0x0800, true},
        {{0x01, 0x00, 0x0c, 0xcc, 0xcc, 0xcc}, 0x0040, true},
        {{0x01, 0x00, 0x0c, 0xcc, 0xcc, 0xcc}, 0x88cc, true},
        {{0x01, 0x00, 0x81, 0x00, 0x01, 0x00}, 0x8102, true},
        {{0x00, 0xe0, 0x2b, 0x00, 0x00, 0x00}, 0x00bb, true},
        {{0x01, 0x80, 0xc2, 0x00, 0x00, 0x0e}, 0x0800, false},
        {{0x01, 0x80, 0xc2, 0x00, 0x00, 0x02}, 0x88cc, false},
        {{0x02, 0x00, 0x00, 0x00, 0x00, 0x0a}, 0x88cc, false},
        {{0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5f}, 0x88cc, false},
        {{0xff, 0xff, 0xff, 0xff, 0xff, 0xff}, 0x88cc, false},
        {{0x01, 0x00, 0x81, 0x00, 0x01, 0x01}, 0x8102, false},
        {{0x00, 0xe0, 0x2b, 0x00, 0x00, 0x01}, 0x00bb, false},
    };
    std::vector<Bytes> frames;
    std::vector<uint8_t> expected;
    for (size_t i = 0; i < cases.size(); ++i) {
        frames.push_back(markedFrame(cases[i].dst, cases[i].type, static_cast<uint8_t>(i + 1)));
        if (cases[i].passes) {
            expected.push_back(static_cast<uint8_t>(i + 1));
        }
    }
    rx->runInside([&] {
        int fd = bpf::open("/dev/bpf0", O_RDONLY);
        ASSERT_GE(fd, 0);
        LLDPCapture capture;
        ASSERT_EQ(capture.setOptions(fd, "vrx"), 0);  // promiscuous: EDP's address is unicast
        ASSERT_EQ(capture.setFilter(fd), 0);
        struct timeval shortTimeout {
            0, 300000
        };
        ASSERT_EQ(bpf::ioctl(fd, bpf::BIOCSRTIMEOUT, &shortTimeout), 0);
        lab::sendFrames(*tx, "vtx", frames);
        EXPECT_EQ(markersOf(readUntilQuiet(fd)), expected);
        bpf::close(fd);
    });
}

// What a plain packet socket on `ifname` receives of one frame sent from
// the peer: its octets and the VLAN state of its auxiliary data.
struct Received {
    Bytes octets;
    bool tagMetadata = false;  // TP_STATUS_VLAN_VALID
    uint16_t tci = 0;
    uint16_t tpid = 0;
};

Received receivePlain(const lab::Netns& peer, const std::string& peerIf, const std::string& ifname,
                      const Bytes& frame) {
    Received r;
    int sock = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
    EXPECT_GE(sock, 0);
    int on = 1;
    EXPECT_EQ(setsockopt(sock, SOL_PACKET, PACKET_AUXDATA, &on, sizeof(on)), 0);
    sockaddr_ll at{};
    at.sll_family = AF_PACKET;
    at.sll_protocol = htons(ETH_P_ALL);
    at.sll_ifindex = static_cast<int>(if_nametoindex(ifname.c_str()));
    EXPECT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&at), sizeof(at)), 0);
    struct timeval tv {
        1, 0
    };
    setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    lab::sendFrames(peer, peerIf, {frame});
    for (int i = 0; i < 20; ++i) {
        uint8_t buf[2048];
        alignas(cmsghdr) uint8_t control[CMSG_SPACE(sizeof(tpacket_auxdata))];
        iovec iov{buf, sizeof(buf)};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof(control);
        ssize_t n = recvmsg(sock, &msg, 0);
        if (n <= 0) {
            break;
        }
        if (std::memcmp(buf, frame.data(), 12) != 0) {
            continue;  // other traffic (IPv6 neighbour discovery)
        }
        r.octets.assign(buf, buf + n);
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level == SOL_PACKET && c->cmsg_type == PACKET_AUXDATA) {
                tpacket_auxdata aux{};
                std::memcpy(&aux, CMSG_DATA(c), sizeof(aux));
                r.tagMetadata = (aux.tp_status & TP_STATUS_VLAN_VALID) != 0;
                r.tci = aux.tp_vlan_tci;
                r.tpid = aux.tp_vlan_tpid;
            }
        }
        break;
    }
    close(sock);
    return r;
}

// VLAN-tagged frames. Linux hands a packet socket the outer tag as metadata,
// not in the frame (checked first, on a plain packet socket, so that this
// test exercises what it means to); the device puts the tag back, so a read
// returns each frame as the wire carried it, and the program judges that
// frame: the LLDP filter drops tagged LLDP frames, as the original's does,
// and still lets a tagged frame to the CDP address through.
TEST_F(BpfDevice, TaggedFramesComeAsTheWireCarriedThemAndMeetTheProgram) {
    const Bytes lldp = markedFrame(kLldpAddress, 0x88cc, 1, 60);
    const Bytes dot1q = tagged(lldp, 0x8100, 0x0064);  // VLAN 100
    const Bytes priority = tagged(markedFrame(kLldpAddress, 0x88cc, 2), 0x8100, 0xa000);  // VLAN 0
    const Bytes priorityZero = tagged(markedFrame(kLldpAddress, 0x88cc, 3), 0x8100, 0x0000);
    const Bytes qinq =
        tagged(tagged(markedFrame(kLldpAddress, 0x88cc, 4), 0x8100, 0x0064), 0x88a8, 0x00c8);
    const Bytes untagged = markedFrame(kLldpAddress, 0x88cc, 5);
    const Bytes cdp =
        tagged(markedFrame({0x01, 0x00, 0x0c, 0xcc, 0xcc, 0xcc}, 0x2000, 6), 0x8100, 0x0064);
    const Bytes unicast = tagged(markedFrame(kHostA, 0x0800, 7), 0x8100, 0x0064);

    rx->runInside([&] {
        const Received plain = receivePlain(*tx, "vtx", "vrx", dot1q);
        EXPECT_TRUE(plain.tagMetadata) << "the kernel kept the tag in the frame";
        EXPECT_EQ(plain.tci, 0x0064);
        EXPECT_EQ(plain.tpid, 0x8100);
        EXPECT_EQ(plain.octets, lldp) << "received without its tag";
        const Received outer = receivePlain(*tx, "vtx", "vrx", qinq);
        EXPECT_TRUE(outer.tagMetadata);
        EXPECT_EQ(outer.tpid, 0x88a8);

        // No program: every frame, whole.
        const std::vector<Bytes> all = {dot1q, priority, priorityZero, qinq, untagged, cdp};
        int fd = openAttached("vrx");
        lab::sendFrames(*tx, "vtx", all);
        std::this_thread::sleep_for(100ms);
        std::vector<CapturedFrame> got = readUntilQuiet(fd);
        std::vector<Bytes> ours;
        for (const CapturedFrame& f : got) {
            const unsigned type = f.frame.size() >= 14 ? f.frame[12] << 8 | f.frame[13] : 0;
            if (type == 0x8100 || type == 0x88a8 || type == 0x88cc) {  // not IPv6 chatter
                ours.push_back(f.frame);
                EXPECT_EQ(f.caplen, f.frame.size());
                EXPECT_EQ(f.datalen, f.frame.size());
            }
        }
        EXPECT_EQ(ours, all);

        // The LLDP filter, on the frames as the wire carried them.
        LLDPCapture capture;
        ASSERT_EQ(capture.setOptions(fd, "vrx"), 0);
        ASSERT_EQ(capture.setFilter(fd), 0);
        struct timeval shortTimeout {
            0, 300000
        };
        ASSERT_EQ(bpf::ioctl(fd, bpf::BIOCSRTIMEOUT, &shortTimeout), 0);
        lab::sendFrames(*tx, "vtx", {dot1q, priority, priorityZero, qinq, untagged, cdp, unicast});
        got = readUntilQuiet(fd);
        ASSERT_EQ(got.size(), 2u);
        EXPECT_EQ(got[0].frame, untagged);
        EXPECT_EQ(got[1].frame, cdp);

        // A program that reads the tag: VLAN 100 only, 20 octets of it.
        bpf::bpf_insn vlan100[] = {
            {0x28, 0, 0, 12},      // ldh [12]
            {0x15, 0, 4, 0x8100},  // 802.1Q, else drop
            {0x28, 0, 0, 14},      // ldh [14]: TCI
            {0x54, 0, 0, 0x0fff},  // and #0xfff: VLAN
            {0x15, 0, 1, 100},     // VLAN 100, else drop
            {0x06, 0, 0, 20},      // keep 20 octets
            {0x06, 0, 0, 0},       // drop
        };
        bpf::bpf_program program{7, vlan100};
        ASSERT_EQ(bpf::ioctl(fd, bpf::BIOCSETF, &program), 0);
        const Bytes vlan200 = tagged(markedFrame(kLldpAddress, 0x88cc, 8), 0x8100, 0x00c8);
        lab::sendFrames(*tx, "vtx", {untagged, vlan200, dot1q});
        got = readUntilQuiet(fd);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].frame, Bytes(dot1q.begin(), dot1q.begin() + 20));
        EXPECT_EQ(got[0].caplen, 20u);
        EXPECT_EQ(got[0].datalen, dot1q.size());

        // The same cut made by the kernel, on an untagged frame: the record
        // still gives the length on the wire.
        bpf::bpf_insn first20[] = {{0x06, 0, 0, 20}};
        bpf::bpf_program cut{1, first20};
        ASSERT_EQ(bpf::ioctl(fd, bpf::BIOCSETF, &cut), 0);
        lab::sendFrames(*tx, "vtx", {untagged});
        const Bytes head(untagged.begin(), untagged.begin() + 20);
        bool seen = false;
        for (const CapturedFrame& f : readUntilQuiet(fd)) {
            EXPECT_EQ(f.caplen, 20u);
            if (f.frame == head) {  // not IPv6 chatter, which the program also keeps
                seen = true;
                EXPECT_EQ(f.datalen, untagged.size());
            }
        }
        EXPECT_TRUE(seen);
        bpf::close(fd);
    });
}

// A 15-character name attaches that interface, not the one named by its first
// 14 characters.
TEST_F(BpfDevice, FifteenCharacterInterfaceName) {
    lab::addVethPair(*tx, "vtxlong", *rx, "vethfifteenchr0", "00:1a:2b:3c:4d:01");
    lab::addVethPair(*tx, "vtxshort", *rx, "vethfifteenchr", "00:1a:2b:3c:4d:02");
    rx->runInside([&] {
        int fd = bpf::open("/dev/bpf0", O_RDONLY);
        ASSERT_GE(fd, 0);
        LLDPCapture capture;
        ASSERT_EQ(capture.setOptions(fd, "vethfifteenchr0"), 0);
        ASSERT_EQ(capture.setFilter(fd), 0);
        struct timeval shortTimeout {
            0, 300000
        };
        ASSERT_EQ(bpf::ioctl(fd, bpf::BIOCSRTIMEOUT, &shortTimeout), 0);
        lab::sendFrames(*tx, "vtxshort", {markedFrame(kLldpAddress, 0x88cc, 14)});
        lab::sendFrames(*tx, "vtxlong", {markedFrame(kLldpAddress, 0x88cc, 15)});
        EXPECT_EQ(markersOf(readUntilQuiet(fd)), std::vector<uint8_t>{15});
        bpf::close(fd);
    });
}

}  // namespace
