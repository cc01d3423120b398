// Decoding of the octets of one read from a capture device: the records of
// the read (bpf_hdr layout, word-aligned), the Ethernet frame of each, and the
// LLDP TLVs of each LLDP frame, into the two result strings of a capture.
//
// - first: the chassis identifier of a Chassis ID TLV of subtype 4 (MAC), as
//   lower-case MAC text "00:1a:2b:3c:4d:5e";
// - second: the port identifier of a Port ID TLV: subtypes 1, 5 and 7 as the
//   raw octets after the subtype (zero octets included), 3 as MAC text, 4 as
//   IPv4 or IPv6 text.
// Each decoded value replaces its string at once and stays there whatever
// comes after. Only frames with EtherType 0x88CC are decoded: frames of other
// discovery protocols, which the capture filter also lets through, change
// nothing.
//
// The result is true when, over all the read's records, a MAC chassis
// identifier was decoded and a System Capabilities TLV was accepted (its first
// value octet has bit 0x20 clear): the read completed the capture.
//
// A malformed TLV (too short, running past the captured frame, unusable
// address family) ends the walk of its own frame only; nothing is ever read
// outside `octets[0, length)` or past a record's captured length. A record
// whose header does not fit, or whose header length is shorter than the
// header, ends the walk of the read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace lldp {

bool decodeRead(const uint8_t* octets, size_t length, std::string& first, std::string& second);

}  // namespace lldp
