#include "Lldp/LLDPReadDecoder.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <span>

#include "platform/base/cursor.h"

#include "platform/bpf/bpf.h"

namespace lldp {
namespace {

constexpr size_t kEthernetHeaderLength = 14;
constexpr uint8_t kTlvChassisId = 1;
constexpr uint8_t kTlvPortId = 2;
constexpr uint8_t kTlvSystemCapabilities = 7;
constexpr uint8_t kSubtypeMacAddress = 4;  // Chassis ID
constexpr uint8_t kPortSubtypeInterfaceAlias = 1;
constexpr uint8_t kPortSubtypeMacAddress = 3;
constexpr uint8_t kPortSubtypeNetworkAddress = 4;
constexpr uint8_t kPortSubtypeInterfaceName = 5;
constexpr uint8_t kPortSubtypeLocal = 7;
constexpr uint8_t kFamilyIPv4 = 1;
constexpr uint8_t kFamilyIPv6 = 2;
// Bit 0x2000 of the capabilities field in network order: a frame that sets it
// is not taken as the switch's.
constexpr uint8_t kCapabilityRefused = 0x20;

struct ReadFlags {
    bool macChassisSeen = false;
    bool capabilitiesAccepted = false;
};

// "%02x:%02x:%02x:%02x:%02x:%02x" without the cost of formatting.
void assignMacText(const uint8_t* mac, std::string& out) {
    static constexpr char kHex[] = "0123456789abcdef";
    char text[17];
    for (int i = 0; i < 6; ++i) {
        text[i * size_t{3}] = kHex[mac[i] >> 4];
        text[i * 3 + 1] = kHex[mac[i] & 0x0f];
        if (i < 5) {
            text[i * 3 + 2] = ':';
        }
    }
    out.assign(text, sizeof(text));
}

// Walks the TLVs of one frame. Returns when the frame ends or a TLV is
// malformed; what was written and flagged stays. A TLV whose value runs past
// the end of the frame is still looked at for what lies inside the frame (its
// subtype, the capabilities' first octet), and ends the walk.
void decodeTlvs(base::Cursor frame, std::string& first, std::string& second, ReadFlags& flags) {
    while (!frame.atEnd()) {
        const uint16_t header = frame.be16();
        if (!frame.ok()) {
            return;  // a header cut by the end of the frame
        }
        const uint8_t type = static_cast<uint8_t>(header >> 9);
        const size_t length = header & 0x1ff;
        const bool fits = length <= frame.remaining();
        // The value's octets as far as the frame holds them; reads below
        // check the length first, so they stay inside the TLV.
        base::Cursor value = frame;
        if (type == kTlvChassisId || type == kTlvPortId) {
            const uint8_t subtype = value.u8();
            if (!value.ok()) {
                return;  // no subtype octet
            }
            if (type == kTlvChassisId) {
                if (subtype == kSubtypeMacAddress) {
                    if (length < 7 || !fits) {
                        return;
                    }
                    assignMacText(value.bytes(6).data(), first);
                    flags.macChassisSeen = true;
                }
            } else if (length != 0) {
                if (!fits) {
                    return;
                }
                switch (subtype) {
                    case kPortSubtypeInterfaceAlias:
                    case kPortSubtypeInterfaceName:
                    case kPortSubtypeLocal:
                        second.assign(value.chars(length - 1));
                        break;
                    case kPortSubtypeMacAddress:
                        if (length < 7) {
                            return;
                        }
                        assignMacText(value.bytes(6).data(), second);
                        break;
                    case kPortSubtypeNetworkAddress: {
                        if (length < 2) {
                            return;
                        }
                        const uint8_t family = value.u8();
                        char text[47] = {};
                        if (family == kFamilyIPv4) {
                            if (length < 2 + 4 ||
                                inet_ntop(AF_INET, value.bytes(4).data(), text, 17) == nullptr) {
                                return;
                            }
                        } else if (family == kFamilyIPv6) {
                            if (length < 2 + 16 ||
                                inet_ntop(AF_INET6, value.bytes(16).data(), text, 47) == nullptr) {
                                return;
                            }
                        } else {
                            return;
                        }
                        second.assign(text);
                        break;
                    }
                    default:
                        break;
                }
            }
        } else if (type == kTlvSystemCapabilities) {
            const uint8_t capabilities = value.u8();
            if (length != 0 && value.ok() && (capabilities & kCapabilityRefused) == 0) {
                flags.capabilitiesAccepted = true;
            }
        }
        // End of LLDPDU (type 0) does not stop the walk: what follows is read on.
        if (!fits) {
            return;  // a skipped TLV that runs past the frame: nothing after it
        }
        frame.skip(length);
    }
}

}  // namespace

bool decodeRead(const uint8_t* octets, size_t length, std::string& first, std::string& second) {
    ReadFlags flags;
    const base::Cursor read(octets, length);
    size_t record = 0;
    while (record < length) {
        // The record's header, in this machine's byte order.
        const base::Cursor header = read.window(record, bpf::kHdrFieldsLength);
        if (!header.ok()) {
            break;
        }
        const uint32_t caplen = header.window(bpf::kHdrCaplenOffset, 4).native32();
        const uint16_t hdrlen = header.window(bpf::kHdrHdrlenOffset, 2).native16();
        if (hdrlen < bpf::kHdrFieldsLength) {
            break;  // would not move on: the rest of the read cannot be trusted
        }
        const size_t frameStart = record + hdrlen;
        if (frameStart < length) {
            // The captured octets, as far as the read holds them.
            base::Cursor frame =
                read.window(frameStart, std::min<size_t>(caplen, length - frameStart));
            const std::span<const uint8_t> ethernet = frame.bytes(kEthernetHeaderLength);
            // Only LLDP data units carry TLVs; the other discovery protocols'
            // frames that the filter admits are passed over.
            if (frame.ok() && ethernet[12] == 0x88 && ethernet[13] == 0xcc) {
                decodeTlvs(frame, first, second, flags);
            }
        }
        record = bpf::BPF_WORDALIGN(record + hdrlen + static_cast<size_t>(caplen));
    }
    return flags.macChassisSeen && flags.capabilitiesAccepted;
}

}  // namespace lldp
