// The capture filter, run over frames by a small classic BPF interpreter of
// the instructions it uses (the kernel's own run is in the capture tests).
#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>

#include "Lldp/LLDPCapture.h"
#include "tests/unit/lldp_decode/lldp_frames.h"

using namespace lldp_test;

namespace {

// Returns the filter's verdict (octets to keep, 0 to drop). Loads past the
// frame drop it, as the kernel does.
uint32_t runFilter(const bpf::bpf_insn* program, size_t length, const Bytes& frame) {
    uint32_t a = 0;
    for (size_t pc = 0; pc < length; ++pc) {
        const bpf::bpf_insn& in = program[pc];
        auto need = [&](size_t n) { return in.k <= frame.size() && frame.size() - in.k >= n; };
        switch (in.code) {
            case 0x30:  // ldb [k]
                if (!need(1))
                    return 0;
                a = frame[in.k];
                break;
            case 0x28:  // ldh [k]
                if (!need(2))
                    return 0;
                a = (uint32_t{frame[in.k]} << 8) | frame[in.k + 1];
                break;
            case 0x20:  // ld [k]
                if (!need(4))
                    return 0;
                a = (uint32_t{frame[in.k]} << 24) | (uint32_t{frame[in.k + 1]} << 16) |
                    (uint32_t{frame[in.k + 2]} << 8) | frame[in.k + 3];
                break;
            case 0x54:  // and #k
                a &= in.k;
                break;
            case 0x15:  // jeq #k
                pc += (a == in.k) ? in.jt : in.jf;
                break;
            case 0x06:  // ret #k
                return in.k;
            default:
                ADD_FAILURE() << "unexpected opcode " << in.code;
                return 0;
        }
    }
    ADD_FAILURE() << "program ran off its end";
    return 0;
}

uint32_t verdict(const Bytes& dst, uint16_t etherType) {
    Bytes frame = ethernet(dst, etherType);
    frame.resize(60, 0);
    return runFilter(LLDPCapture::BPF_INSN, std::size(LLDPCapture::BPF_INSN), frame);
}

TEST(LLDPFilterProgram, AcceptsLldpToTheThreeLldpAddresses) {
    ASSERT_EQ(std::size(LLDPCapture::BPF_INSN), 25u);
    for (uint8_t last : {0x0e, 0x03, 0x00}) {
        EXPECT_EQ(verdict({0x01, 0x80, 0xc2, 0x00, 0x00, last}, 0x88cc), 0x40000u) << int(last);
        // Not as another EtherType.
        EXPECT_EQ(verdict({0x01, 0x80, 0xc2, 0x00, 0x00, last}, 0x0800), 0u) << int(last);
    }
}

TEST(LLDPFilterProgram, AcceptsOtherDiscoveryAddressesWhateverTheEtherType) {
    const Bytes accepted[] = {
        {0x01, 0xe0, 0x52, 0xcc, 0xcc, 0xcc},  // FDP
        {0x01, 0x00, 0x0c, 0xcc, 0xcc, 0xcc},  // CDP
        {0x01, 0x00, 0x81, 0x00, 0x01, 0x00},  // SONMP
        {0x00, 0xe0, 0x2b, 0x00, 0x00, 0x00},  // EDP
    };
    for (const Bytes& dst : accepted) {
        for (uint16_t type : {0x88cc, 0x0800, 0x0026, 0x2000}) {
            EXPECT_EQ(verdict(dst, type), 0x40000u) << testing::PrintToString(dst) << type;
        }
    }
}

TEST(LLDPFilterProgram, DropsEverythingElse) {
    const Bytes dropped[] = {
        {0x01, 0x80, 0xc2, 0x00, 0x00, 0x02},  // slow protocols
        {0x01, 0x80, 0xc2, 0x00, 0x00, 0x01},
        {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e},  // unicast
        {0xff, 0xff, 0xff, 0xff, 0xff, 0xff},  // broadcast
        {0x01, 0x00, 0x81, 0x00, 0x01, 0x01},  // SONMP's other address
        {0x00, 0xe0, 0x2b, 0x00, 0x00, 0x01},
        {0x01, 0xe0, 0x2b, 0x00, 0x00, 0x00},  // EDP's octets as a group address
        {0x03, 0x80, 0xc2, 0x00, 0x00, 0x0e},  // LLDP's octets 1 to 5 after another first
        {0x01, 0x81, 0xc2, 0x00, 0x00, 0x0e},
        {0x00, 0x00, 0x0c, 0xcc, 0xcc, 0xcc},  // CDP's octets as unicast
        {0x01, 0x00, 0x0c, 0xcc, 0xcc, 0xcd},
        {0x01, 0xe1, 0x52, 0xcc, 0xcc, 0xcc},
    };
    for (const Bytes& dst : dropped) {
        EXPECT_EQ(verdict(dst, 0x88cc), 0u) << testing::PrintToString(dst);
        EXPECT_EQ(verdict(dst, 0x0800), 0u) << testing::PrintToString(dst);
    }
}

}  // namespace
