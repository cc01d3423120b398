#include "Lldp/LLDPReadDecoder.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cstring>

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
        text[i * 3] = kHex[mac[i] >> 4];
        text[i * 3 + 1] = kHex[mac[i] & 0x0f];
        if (i < 5) {
            text[i * 3 + 2] = ':';
        }
    }
    out.assign(text, sizeof(text));
}

uint32_t load32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof(v));
    return v;
}

uint16_t load16(const uint8_t* p) {
    uint16_t v;
    std::memcpy(&v, p, sizeof(v));
    return v;
}

// Walks the TLVs of one frame, the octets [p, end). Returns when the frame
// ends or a TLV is malformed; what was written and flagged stays.
void decodeTlvs(const uint8_t* p, const uint8_t* end, std::string& first, std::string& second,
                ReadFlags& flags) {
    while (p < end) {
        if (end - p < 2) {
            return;  // a header cut by the end of the frame
        }
        const uint8_t type = p[0] >> 1;
        const size_t length = (static_cast<size_t>(p[0] & 1) << 8) | p[1];
        const uint8_t* value = p + 2;
        const bool fits = length <= static_cast<size_t>(end - value);
        if (type == kTlvChassisId || type == kTlvPortId) {
            if (value >= end) {
                return;  // no subtype octet
            }
            const uint8_t subtype = value[0];
            if (type == kTlvChassisId) {
                if (subtype == kSubtypeMacAddress) {
                    if (length < 7 || !fits) {
                        return;
                    }
                    assignMacText(value + 1, first);
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
                        second.assign(reinterpret_cast<const char*>(value + 1), length - 1);
                        break;
                    case kPortSubtypeMacAddress:
                        if (length < 7) {
                            return;
                        }
                        assignMacText(value + 1, second);
                        break;
                    case kPortSubtypeNetworkAddress: {
                        if (length < 2) {
                            return;
                        }
                        const uint8_t family = value[1];
                        char text[47] = {};
                        if (family == kFamilyIPv4) {
                            if (length < 2 + 4 ||
                                inet_ntop(AF_INET, value + 2, text, 17) == nullptr) {
                                return;
                            }
                        } else if (family == kFamilyIPv6) {
                            if (length < 2 + 16 ||
                                inet_ntop(AF_INET6, value + 2, text, 47) == nullptr) {
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
            if (length != 0 && value < end && (value[0] & kCapabilityRefused) == 0) {
                flags.capabilitiesAccepted = true;
            }
        }
        // End of LLDPDU (type 0) does not stop the walk: what follows is read on.
        if (!fits) {
            return;  // a skipped TLV that runs past the frame: nothing after it
        }
        p = value + length;
    }
}

}  // namespace

bool decodeRead(const uint8_t* octets, size_t length, std::string& first, std::string& second) {
    ReadFlags flags;
    size_t record = 0;
    while (record < length) {
        if (length - record < bpf::kHdrFieldsLength) {
            break;
        }
        const uint32_t caplen = load32(octets + record + bpf::kHdrCaplenOffset);
        const uint16_t hdrlen = load16(octets + record + bpf::kHdrHdrlenOffset);
        if (hdrlen < bpf::kHdrFieldsLength) {
            break;  // would not move on: the rest of the read cannot be trusted
        }
        const size_t frameStart = record + hdrlen;
        if (frameStart < length) {
            const size_t frameEnd = caplen < length - frameStart ? frameStart + caplen : length;
            // Only LLDP data units carry TLVs; the other discovery protocols'
            // frames that the filter admits are passed over.
            if (frameEnd - frameStart >= kEthernetHeaderLength && octets[frameStart + 12] == 0x88 &&
                octets[frameStart + 13] == 0xcc) {
                decodeTlvs(octets + frameStart + kEthernetHeaderLength, octets + frameEnd, first,
                           second, flags);
            }
        }
        record = bpf::BPF_WORDALIGN(record + hdrlen + static_cast<size_t>(caplen));
    }
    return flags.macChassisSeen && flags.capabilitiesAccepted;
}

}  // namespace lldp
