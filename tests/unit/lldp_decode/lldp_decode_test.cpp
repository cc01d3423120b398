// The decoding of one read: record walk, TLV walk and the two flags, fed with
// frames built here (the first one spelled out octet by octet).
#include <gtest/gtest.h>

#include <string>

#include "Lldp/LLDPReadDecoder.h"
#include "tests/unit/lldp_decode/lldp_frames.h"

using namespace lldp_test;

namespace {

struct Result {
    bool completed;
    std::string first;
    std::string second;
};

// Decodes `read` with strings that start as the given values.
Result decode(const Bytes& read, std::string first = "", std::string second = "") {
    bool done = lldp::decodeRead(read.data(), read.size(), first, second);
    return {done, first, second};
}

const Bytes kSwitchMac = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e};

// The frame a typical switch sends.
const Bytes kTypicalFrame = {
    // Ethernet: to 01:80:c2:00:00:0e from 00:1a:2b:3c:4d:5e, EtherType 0x88cc
    0x01, 0x80, 0xc2, 0x00, 0x00, 0x0e, 0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e, 0x88, 0xcc,
    // Chassis ID (type 1, length 7): subtype 4 (MAC), 00:1A:2B:3C:4D:5E
    0x02, 0x07, 0x04, 0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E,
    // Port ID (type 2, length 9): subtype 5 (interface name), "Gi1/0/12"
    0x04, 0x09, 0x05, 'G', 'i', '1', '/', '0', '/', '1', '2',
    // Time To Live (type 3, length 2): 120
    0x06, 0x02, 0x00, 0x78,
    // System Capabilities (type 7, length 4): 0x0014 available, 0x0014 enabled
    0x0e, 0x04, 0x00, 0x14, 0x00, 0x14,
    // End of LLDPDU
    0x00, 0x00};

TEST(LLDPDecodeRead, TypicalSwitchFrameCompletesTheCapture) {
    Result r = decode(readOfFrames({kTypicalFrame}));
    EXPECT_TRUE(r.completed);
    EXPECT_EQ(r.first, "00:1a:2b:3c:4d:5e");
    EXPECT_EQ(r.second, "Gi1/0/12");

    // Padded to 60 octets as real cards send it: the zero octets after the End
    // TLV are read as further empty TLVs and change nothing.
    Bytes padded = kTypicalFrame;
    padded.resize(60, 0);
    r = decode(readOfFrames({padded}));
    EXPECT_TRUE(r.completed);
    EXPECT_EQ(r.first, "00:1a:2b:3c:4d:5e");
    EXPECT_EQ(r.second, "Gi1/0/12");
}

TEST(LLDPDecodeRead, EmptyReadOrHeaderOnlyFramesChangeNothing) {
    Result r = decode({}, "keep1", "keep2");
    EXPECT_FALSE(r.completed);
    EXPECT_EQ(r.first, "keep1");
    EXPECT_EQ(r.second, "keep2");
    r = decode(readOfFrames({ethernet(kNearestBridge, 0x88cc)}), "keep1", "keep2");
    EXPECT_FALSE(r.completed);
    EXPECT_EQ(r.first, "keep1");
    EXPECT_EQ(r.second, "keep2");
    // Shorter than an Ethernet header.
    r = decode(readOfFrames({Bytes{0x01, 0x80, 0xc2}}), "keep1", "keep2");
    EXPECT_EQ(r.first, "keep1");
}

TEST(LLDPDecodeRead, EveryPortIdSubtype) {
    const Bytes caps = capabilities(0x0014, 0x0014);
    struct Case {
        const char* what;
        Bytes port;
        std::string expected;  // with "previous" as the string's start value
        bool walkEnds;         // the TLVs after the Port ID are not decoded
    };
    const Case cases[] = {
        {"1 interface alias", portId(1, text("uplink to core")), "uplink to core", false},
        {"1 with length 1", portId(1, {}), "", false},
        {"2 port component", portId(2, text("comp")), "previous", false},
        {"3 MAC", portId(3, {0xAB, 0x0C, 0x00, 0xFF, 0x10, 0x9a}), "ab:0c:00:ff:10:9a", false},
        {"3 MAC with extra octets", portId(3, {1, 2, 3, 4, 5, 6, 7, 8}), "01:02:03:04:05:06",
         false},
        {"3 MAC too short", portId(3, {1, 2, 3, 4, 5}), "previous", true},
        {"4 IPv4", portId(4, {1, 192, 0, 2, 7}), "192.0.2.7", false},
        {"4 IPv6", portId(4, {2, 0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7}),
         "2001:db8::7", false},
        {"4 IPv4 too short", portId(4, {1, 192, 0, 2}), "previous", true},
        {"4 IPv6 too short", portId(4, {2, 0x20, 0x01, 0x0d, 0xb8}), "previous", true},
        {"4 family 6", portId(4, {6, 1, 2, 3, 4, 5, 6}), "previous", true},
        {"4 without family", portId(4, {}), "previous", true},
        {"5 interface name", portId(5, text("Gi1/0/12")), "Gi1/0/12", false},
        {"6 agent circuit", portId(6, text("circuit")), "previous", false},
        {"7 locally assigned", portId(7, text("port 12")), "port 12", false},
        {"other subtype", portId(42, text("x")), "previous", false},
        {"length 0", tlv(2, {}), "previous", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes frame = lldpFrame({chassisMac(kSwitchMac), c.port, ttl(120), caps, endOfLldpdu()});
        Result r = decode(readOfFrames({frame}), "", "previous");
        EXPECT_EQ(r.second, c.expected);
        EXPECT_EQ(r.first, "00:1a:2b:3c:4d:5e");
        EXPECT_EQ(r.completed, !c.walkEnds);
    }
}

TEST(LLDPDecodeRead, ChassisIdSubtypes) {
    const Bytes caps = capabilities(0x0014, 0x0014);
    // MAC text is lower case.
    Result r = decode(readOfFrames({lldpFrame(
        {chassisMac({0xAB, 0x0C, 0xDE, 0xF0, 0x01, 0x9F}), portId(5, text("p")), caps})}));
    EXPECT_TRUE(r.completed);
    EXPECT_EQ(r.first, "ab:0c:de:f0:01:9f");

    // Subtypes other than 4 are skipped: no completion, the first string keeps
    // its value, the rest of the frame is still decoded.
    for (uint8_t subtype : {1, 2, 3, 5, 6, 7}) {
        SCOPED_TRACE(static_cast<int>(subtype));
        Bytes chassis = tlv(1, cat({{subtype}, text("sw-test")}));
        r = decode(readOfFrames({lldpFrame({chassis, portId(5, text("Gi1/0/3")), caps})}), "old");
        EXPECT_FALSE(r.completed);
        EXPECT_EQ(r.first, "old");
        EXPECT_EQ(r.second, "Gi1/0/3");
    }

    // Subtype 4 with length 6 (one MAC octet missing) ends the walk: the Port
    // ID after it is not decoded.
    Bytes shortMac = tlv(1, {4, 0x00, 0x1a, 0x2b, 0x3c, 0x4d});
    r = decode(readOfFrames({lldpFrame({shortMac, portId(5, text("Gi1/0/3")), caps})}), "old",
               "oldport");
    EXPECT_FALSE(r.completed);
    EXPECT_EQ(r.first, "old");
    EXPECT_EQ(r.second, "oldport");

    // A longer MAC value: its first six octets count.
    r = decode(readOfFrames({lldpFrame({tlv(1, {4, 1, 2, 3, 4, 5, 6, 7, 8}), caps})}));
    EXPECT_TRUE(r.completed);
    EXPECT_EQ(r.first, "01:02:03:04:05:06");
}

TEST(LLDPDecodeRead, MalformedTlvsEndTheWalkOfTheirFrameOnly) {
    const Bytes caps = capabilities(0x0014, 0x0014);
    struct Case {
        const char* what;
        Bytes frame;
        std::string first;
        std::string second;
    };
    const Case cases[] = {
        // Port ID claims 40 octets, 9 are there: walk ends, no capabilities.
        {"Port ID runs past the frame",
         cat({lldpFrame({chassisMac(kSwitchMac)}), tlv(2, cat({{5}, text("Gi1/0/12")}), 40)}),
         "00:1a:2b:3c:4d:5e", "old"},
        // Chassis ID MAC claims 300 octets.
        {"Chassis ID runs past the frame",
         cat({lldpFrame({}), tlv(1, cat({{4}, kSwitchMac}), 300), portId(5, text("x")), caps}),
         "old", "old"},
        // Chassis ID header is the last two octets: no subtype octet.
        {"Chassis ID without subtype", cat({lldpFrame({portId(5, text("p1"))}), Bytes{0x02, 0x07}}),
         "old", "p1"},
        // Port ID header only.
        {"Port ID without subtype", cat({lldpFrame({chassisMac(kSwitchMac)}), Bytes{0x04, 0x09}}),
         "00:1a:2b:3c:4d:5e", "old"},
        // A lone octet after the last TLV: half a TLV header.
        {"half a TLV header",
         cat({lldpFrame({chassisMac(kSwitchMac), portId(5, text("p"))}), {0x02}}),
         "00:1a:2b:3c:4d:5e", "p"},
        // A skipped TLV (TTL) whose length runs past the end.
        {"skipped TLV runs past the frame",
         cat({lldpFrame({chassisMac(kSwitchMac)}), tlv(3, {0, 120}, 511)}), "00:1a:2b:3c:4d:5e",
         "old"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // Alone: the walk ends where the TLV is malformed.
        Result r = decode(readOfFrames({c.frame}), "old", "old");
        EXPECT_FALSE(r.completed);
        EXPECT_EQ(r.first, c.first);
        EXPECT_EQ(r.second, c.second);
        // Followed by a good frame in the same read: that one is decoded.
        r = decode(readOfFrames({c.frame, kTypicalFrame}), "old", "old");
        EXPECT_TRUE(r.completed);
        EXPECT_EQ(r.first, "00:1a:2b:3c:4d:5e");
        EXPECT_EQ(r.second, "Gi1/0/12");
    }
}

TEST(LLDPDecodeRead, CapturedLengthBoundsTheFrame) {
    // The record captured only the first 20 octets of the frame; the octets
    // after them in the read belong to no TLV.
    Bytes frame = kTypicalFrame;
    Record cut{frame, 20, 18};
    Result r = decode(readOf({cut}), "old", "old");
    EXPECT_FALSE(r.completed);
    EXPECT_EQ(r.first, "old");
    // A record that claims more octets than the read holds is walked up to the
    // end of the read.
    Record longer{frame, 4000, 18};
    r = decode(readOf({longer}));
    EXPECT_TRUE(r.completed);
    EXPECT_EQ(r.second, "Gi1/0/12");
}

TEST(LLDPDecodeRead, EndOfLldpduDoesNotEndTheWalk) {
    Bytes frame = lldpFrame({chassisMac(kSwitchMac), endOfLldpdu(), portId(5, text("after-end")),
                             capabilities(0x0004, 0x0004), endOfLldpdu()});
    Result r = decode(readOfFrames({frame}));
    EXPECT_TRUE(r.completed);
    EXPECT_EQ(r.second, "after-end");
    // An End TLV with a length skips its value like any other TLV.
    frame = lldpFrame(
        {chassisMac(kSwitchMac), tlv(0, {0xff, 0xff}), portId(7, text("x")), capabilities(0, 0)});
    r = decode(readOfFrames({frame}));
    EXPECT_TRUE(r.completed);
    EXPECT_EQ(r.second, "x");
}

TEST(LLDPDecodeRead, CapabilitiesTestIsBit0x20OfTheFirstValueOctet) {
    struct Case {
        Bytes caps;
        bool accepted;
    };
    const Case cases[] = {
        {capabilities(0x0014, 0x0014), true},
        {capabilities(0x0020, 0x0020), true},   // field 0x0020: first octet 0x00
        {capabilities(0x2000, 0x0000), false},  // first octet 0x20
        {capabilities(0xffff, 0xffff), false},
        {capabilities(0xdfff, 0x0000), true},
        {tlv(7, {}), false},     // no value
        {tlv(7, {0x00}), true},  // one octet is enough for the test
    };
    for (const Case& c : cases) {
        Result r = decode(readOfFrames({lldpFrame({chassisMac(kSwitchMac), c.caps})}));
        EXPECT_EQ(r.completed, c.accepted) << testing::PrintToString(c.caps);
        EXPECT_EQ(r.first, "00:1a:2b:3c:4d:5e");
    }
    // A refusing TLV does not undo an accepting one in the same read.
    Result r = decode(readOfFrames({lldpFrame(
        {chassisMac(kSwitchMac), capabilities(0x0014, 0x0014), capabilities(0x2000, 0x2000)})}));
    EXPECT_TRUE(r.completed);
}

TEST(LLDPDecodeRead, FramesOfOneReadCompleteTogetherButReadsDoNot) {
    // First frame: MAC chassis, no capabilities. Second: capabilities and a
    // locally assigned chassis.
    Bytes first = lldpFrame(
        {chassisMac({0x00, 0x11, 0x22, 0x33, 0x44, 0x55}), portId(5, text("Gi1/0/1")), ttl(120)});
    Bytes second = lldpFrame({tlv(1, cat({{7}, text("sw2")})), portId(5, text("Gi2/0/2")),
                              capabilities(0x0004, 0x0004)});
    Result r = decode(readOfFrames({first, second}));
    EXPECT_TRUE(r.completed);
    EXPECT_EQ(r.first, "00:11:22:33:44:55");
    EXPECT_EQ(r.second, "Gi2/0/2");

    // The flags live for one read: the same frames in two reads do not
    // complete, though the strings carry over.
    std::string s1, s2;
    Bytes read1 = readOfFrames({first});
    Bytes read2 = readOfFrames({second});
    EXPECT_FALSE(lldp::decodeRead(read1.data(), read1.size(), s1, s2));
    EXPECT_FALSE(lldp::decodeRead(read2.data(), read2.size(), s1, s2));
    EXPECT_EQ(s1, "00:11:22:33:44:55");
    EXPECT_EQ(s2, "Gi2/0/2");
}

TEST(LLDPDecodeRead, ZeroOctetsInsidePortTextAreKept) {
    Bytes frame = lldpFrame(
        {chassisMac(kSwitchMac), portId(5, {'G', 'i', 0, '1', 0}), capabilities(0x14, 0x14)});
    Result r = decode(readOfFrames({frame}));
    EXPECT_TRUE(r.completed);
    EXPECT_EQ(r.second, std::string("Gi\0001\000", 5));
}

TEST(LLDPDecodeRead, FramesOfOtherProtocolsAreSkipped) {
    // These pass the capture filter by their destination alone. Their octets,
    // read as TLVs, would give a chassis and a port.
    Bytes lldpLike = cat({chassisMac({0xde, 0xad, 0xbe, 0xef, 0x00, 0x01}),
                          portId(5, text("garbage")), capabilities(0, 0)});
    const Bytes frames[] = {
        // Any EtherType to the CDP address.
        cat({ethernet(kCdpAddress, 0x0800), lldpLike}),
        // An 802.3 length frame with LLC/SNAP to the CDP address, then TLVs.
        cat({ethernet(kCdpAddress, static_cast<uint16_t>(8 + lldpLike.size())),
             {0xaa, 0xaa, 0x03, 0x00, 0x00, 0x0c, 0x20, 0x00},
             lldpLike}),
        // EDP, SONMP, FDP addresses.
        cat({ethernet({0x00, 0xe0, 0x2b, 0x00, 0x00, 0x00}, 0x00bb), lldpLike}),
        cat({ethernet({0x01, 0x00, 0x81, 0x00, 0x01, 0x00}, 0x8102), lldpLike}),
        cat({ethernet({0x01, 0xe0, 0x52, 0xcc, 0xcc, 0xcc}, 0x0040), lldpLike}),
        // 0x88cd is not LLDP.
        cat({ethernet(kNearestBridge, 0x88cd), lldpLike}),
    };
    for (const Bytes& frame : frames) {
        Result r = decode(readOfFrames({frame}), "keep1", "keep2");
        EXPECT_FALSE(r.completed);
        EXPECT_EQ(r.first, "keep1");
        EXPECT_EQ(r.second, "keep2");
        // Nor do they lend a flag to an LLDP frame of the same read.
        Bytes macOnly = lldpFrame({chassisMac(kSwitchMac), portId(5, text("Gi1/0/12"))});
        r = decode(readOfFrames({frame, macOnly}));
        EXPECT_FALSE(r.completed);
        EXPECT_EQ(r.second, "Gi1/0/12");
    }
}

TEST(LLDPDecodeRead, RecordWalk) {
    // Frames of odd lengths: each next record starts word-aligned.
    Bytes a = lldpFrame({chassisMac(kSwitchMac), portId(5, text("odd"))});  // 14+9+6
    Bytes b = lldpFrame({capabilities(0x14, 0x14), portId(5, text("oddest"))});
    ASSERT_NE(a.size() % 4, 0u);
    Bytes read = readOfFrames({a, b});
    ASSERT_GT(read.size(), 18 + a.size() + 18 + b.size());  // padding between records
    Result r = decode(read);
    EXPECT_TRUE(r.completed);
    EXPECT_EQ(r.second, "oddest");

    // A header longer than 18 octets: the frame starts where bh_hdrlen says.
    r = decode(readOf({Record{a, static_cast<uint32_t>(a.size()), 24}, record(b)}));
    EXPECT_TRUE(r.completed);
    EXPECT_EQ(r.first, "00:1a:2b:3c:4d:5e");

    // A record header cut by the end of the read ends the walk.
    Bytes cutHeader = readOfFrames({kTypicalFrame});
    Bytes tail = readOfFrames({kTypicalFrame});
    cutHeader.resize(bpf::BPF_WORDALIGN(cutHeader.size()), 0);
    cutHeader.insert(cutHeader.end(), tail.begin(), tail.begin() + 12);
    r = decode(cutHeader);
    EXPECT_TRUE(r.completed);

    // A header length shorter than the header (0 would never move on) ends
    // the walk of the read instead of looping.
    r = decode(readOf({Record{kTypicalFrame, 0, 0}, record(kTypicalFrame)}), "old", "old");
    EXPECT_FALSE(r.completed);
    EXPECT_EQ(r.first, "old");
    r = decode(readOf({record(a), Record{kTypicalFrame, 100, 4}, record(b)}));
    EXPECT_FALSE(r.completed);
    EXPECT_EQ(r.second, "odd");
}

}  // namespace
