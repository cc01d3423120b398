// Two namespaces, "tx" (the switch side) and "rx" (the computer), joined by
// the veth pair vtx (MAC 00:1a:2b:3c:4d:5e) / vrx; and helpers to read what a
// capture device returns.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/bpf/bpf.h"
#include "tests/integration/lldp_capture/netns_lab.h"
#include "tests/unit/lldp_decode/lldp_frames.h"

class CaptureLab : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "needs root for network namespaces and packet capture";
        }
        tx = std::make_unique<lab::Netns>("tx");
        rx = std::make_unique<lab::Netns>("rx");
        lab::addVethPair(*tx, "vtx", *rx, "vrx");
    }
    std::unique_ptr<lab::Netns> tx;
    std::unique_ptr<lab::Netns> rx;
};

struct CapturedFrame {
    lldp_test::Bytes frame;
    uint32_t caplen;
    uint32_t datalen;
    uint16_t hdrlen;
    size_t offset;  // of the record in its read
};

// Splits the octets of one read into its records.
inline std::vector<CapturedFrame> splitRead(const uint8_t* buf, size_t n) {
    std::vector<CapturedFrame> out;
    size_t at = 0;
    while (at + bpf::kHdrFieldsLength <= n) {
        CapturedFrame f{};
        std::memcpy(&f.caplen, buf + at + bpf::kHdrCaplenOffset, 4);
        std::memcpy(&f.datalen, buf + at + bpf::kHdrDatalenOffset, 4);
        std::memcpy(&f.hdrlen, buf + at + bpf::kHdrHdrlenOffset, 2);
        f.offset = at;
        if (f.hdrlen < bpf::kHdrFieldsLength || at + f.hdrlen + f.caplen > n) {
            ADD_FAILURE() << "malformed record at " << at;
            break;
        }
        f.frame.assign(buf + at + f.hdrlen, buf + at + f.hdrlen + f.caplen);
        out.push_back(f);
        at = bpf::BPF_WORDALIGN(at + f.hdrlen + f.caplen);
    }
    return out;
}

// Reads until a read returns nothing (the device's timeout); all records.
inline std::vector<CapturedFrame> readUntilQuiet(int fd, std::vector<size_t>* readSizes = nullptr) {
    std::vector<CapturedFrame> all;
    std::vector<uint8_t> buf(bpf::kBufferLength);
    for (;;) {
        ssize_t n = bpf::read(fd, buf.data(), buf.size());
        if (n <= 0) {
            break;
        }
        if (readSizes != nullptr) {
            readSizes->push_back(static_cast<size_t>(n));
        }
        for (CapturedFrame& f : splitRead(buf.data(), static_cast<size_t>(n))) {
            all.push_back(std::move(f));
        }
    }
    return all;
}

// Reads for about `duration` (a read in progress at its end is finished).
inline std::vector<CapturedFrame> readFor(int fd, std::chrono::milliseconds duration) {
    std::vector<CapturedFrame> all;
    std::vector<uint8_t> buf(bpf::kBufferLength);
    auto end = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < end) {
        ssize_t n = bpf::read(fd, buf.data(), buf.size());
        if (n < 0) {
            break;
        }
        for (CapturedFrame& f : splitRead(buf.data(), static_cast<size_t>(n))) {
            all.push_back(std::move(f));
        }
    }
    return all;
}

// A frame to `dst` with EtherType `type` and the marker octet at 14.
inline lldp_test::Bytes markedFrame(const lldp_test::Bytes& dst, uint16_t type, uint8_t marker,
                                    size_t length = 60) {
    lldp_test::Bytes f = lldp_test::ethernet(dst, type);
    f.push_back(marker);
    f.resize(std::max(length, f.size()), 0);
    return f;
}

inline std::vector<uint8_t> markersOf(const std::vector<CapturedFrame>& frames) {
    std::vector<uint8_t> m;
    for (const CapturedFrame& f : frames) {
        if (f.frame.size() > 14) {
            m.push_back(f.frame[14]);
        }
    }
    return m;
}

// `frame` with a VLAN tag (TPID, TCI) inserted in front of its EtherType, as
// a switch port in trunk mode sends it: 802.1Q is TPID 0x8100, 802.1ad (the
// outer tag of QinQ) 0x88a8; a priority tag is 0x8100 with VLAN 0.
inline lldp_test::Bytes tagged(const lldp_test::Bytes& frame, uint16_t tpid, uint16_t tci) {
    lldp_test::Bytes out(frame.begin(), frame.begin() + 12);
    out.push_back(static_cast<uint8_t>(tpid >> 8));
    out.push_back(static_cast<uint8_t>(tpid));
    out.push_back(static_cast<uint8_t>(tci >> 8));
    out.push_back(static_cast<uint8_t>(tci));
    out.insert(out.end(), frame.begin() + 12, frame.end());
    return out;
}
