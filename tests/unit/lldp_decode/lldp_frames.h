// Building blocks for LLDP test frames and for the reads that carry them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "platform/bpf/bpf.h"

namespace lldp_test {

using Bytes = std::vector<uint8_t>;

// (resize and copy: GCC 12 at -O3 warns falsely about vector::insert here)
inline void append(Bytes& out, const Bytes& more) {
    size_t old = out.size();
    out.resize(old + more.size());
    if (!more.empty()) {
        std::memcpy(out.data() + old, more.data(), more.size());
    }
}

// Ethernet header: destination, source 00:1a:2b:3c:4d:5e, EtherType.
inline Bytes ethernet(const Bytes& dst, uint16_t etherType) {
    Bytes out = dst;
    append(out, {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e});
    out.push_back(static_cast<uint8_t>(etherType >> 8));
    out.push_back(static_cast<uint8_t>(etherType));
    return out;
}

inline const Bytes kNearestBridge = {0x01, 0x80, 0xc2, 0x00, 0x00, 0x0e};
inline const Bytes kCdpAddress = {0x01, 0x00, 0x0c, 0xcc, 0xcc, 0xcc};

// A TLV: 7-bit type, 9-bit length of the value (taken from the value unless
// `length` overrides it, for malformed TLVs).
inline Bytes tlv(unsigned type, const Bytes& value, int length = -1) {
    unsigned l = length < 0 ? static_cast<unsigned>(value.size()) : static_cast<unsigned>(length);
    Bytes out{static_cast<uint8_t>((type << 1) | ((l >> 8) & 1)), static_cast<uint8_t>(l & 0xff)};
    append(out, value);
    return out;
}

inline Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

inline Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) {
        append(out, p);
    }
    return out;
}

inline Bytes chassisMac(const Bytes& mac) {
    return tlv(1, cat({{4}, mac}));
}
inline Bytes portId(uint8_t subtype, const Bytes& value) {
    return tlv(2, cat({{subtype}, value}));
}
inline Bytes ttl(uint16_t seconds) {
    return tlv(3, {static_cast<uint8_t>(seconds >> 8), static_cast<uint8_t>(seconds)});
}
// System Capabilities: available and enabled fields, network order.
inline Bytes capabilities(uint16_t available, uint16_t enabled) {
    return tlv(7, {static_cast<uint8_t>(available >> 8), static_cast<uint8_t>(available),
                   static_cast<uint8_t>(enabled >> 8), static_cast<uint8_t>(enabled)});
}
inline Bytes endOfLldpdu() {
    return {0x00, 0x00};
}

inline Bytes lldpFrame(std::initializer_list<Bytes> tlvs) {
    Bytes out = ethernet(kNearestBridge, 0x88cc);
    for (const Bytes& t : tlvs) {
        append(out, t);
    }
    return out;
}

// One read of a capture device: each frame in a record (bpf_hdr, hdrlen 18
// unless given), records word-aligned; the read ends after the last frame.
struct Record {
    Bytes frame;
    uint32_t caplen;
    uint16_t hdrlen;
};

inline Record record(const Bytes& frame) {
    return {frame, static_cast<uint32_t>(frame.size()),
            static_cast<uint16_t>(bpf::kHdrFieldsLength)};
}

inline Bytes readOf(std::initializer_list<Record> records) {
    Bytes out;
    for (const Record& r : records) {
        out.resize(bpf::BPF_WORDALIGN(out.size()), 0);
        size_t start = out.size();
        // A header length shorter than the header's fields (malformed) still
        // gets the fields; the frame then follows them.
        out.resize(start + std::max<size_t>(r.hdrlen, bpf::kHdrFieldsLength), 0);
        uint32_t datalen = static_cast<uint32_t>(r.frame.size());
        std::memcpy(&out[start + bpf::kHdrCaplenOffset], &r.caplen, 4);
        std::memcpy(&out[start + bpf::kHdrDatalenOffset], &datalen, 4);
        std::memcpy(&out[start + bpf::kHdrHdrlenOffset], &r.hdrlen, 2);
        append(out, r.frame);
    }
    return out;
}

inline Bytes readOfFrames(std::initializer_list<Bytes> frames) {
    Bytes out;
    for (const Bytes& f : frames) {
        Bytes one = readOf({record(f)});
        out.resize(bpf::BPF_WORDALIGN(out.size()), 0);
        append(out, one);
    }
    return out;
}

}  // namespace lldp_test
