// LLDP capture over the wired interfaces: listens on each non-Wi-Fi interface
// in the system's order, through one BPF device per capture with the LLDP
// filter, until the frames of one read give the neighbouring switch's chassis
// MAC and an acceptable System Capabilities TLV.
//
// The object has no state: any number of captures may run on it at once, each
// on a device (unit) of its own. A capture blocks its thread; its length is
// bounded by the limits of Lldp/LLDPLimits.h per interface. Nothing is
// reported but the two strings, which capture() empties first and the frames
// fill (see Lldp/LLDPReadDecoder.h); a field that the completing read did not
// write keeps what an earlier frame gave it.
#pragma once

#include <string>

#include "platform/bpf/bpf.h"

class LLDPCapture {
  public:
    LLDPCapture() = default;
    ~LLDPCapture() = default;

    // The capture: first gets the chassis MAC text, second the port text.
    void capture(std::string& first, std::string& second);

    // The steps of a capture on one interface, in the order capture() uses
    // them; public so that they can be exercised on a device one by one.
    // 0 when attached to `bsdName` and all settings made; -1 at the first
    // request that fails (the later ones are not made).
    int setOptions(const int& fd, const char* bsdName);
    // 0 when the attached interface is Ethernet (DLT_EN10MB), else -1.
    int checkDlt(const int& fd);
    // 0 when BPF_INSN is installed, else -1.
    int setFilter(const int& fd);
    // Reads and decodes until a read completes the capture (true), a read
    // comes back empty or fails, or the decoding deadline passes (false).
    bool readPackets(const int& fd, std::string& first, std::string& second);

    // The kernel filter: LLDP frames to the three LLDP addresses, and any
    // frame to the addresses of CDP, FDP, SONMP and EDP.
    static const bpf::bpf_insn BPF_INSN[25];
};
