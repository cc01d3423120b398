#include "Lldp/LLDPCapture.h"

#include <fcntl.h>
#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>
#include <vector>

#include "Lldp/LLDPLimits.h"
#include "Lldp/LLDPReadDecoder.h"
#include "platform/netif/netif.h"

const bpf::bpf_insn LLDPCapture::BPF_INSN[25] = {
    {0x30, 0, 0, 0x00000000},    //  0 ldb [0]: first destination octet
    {0x54, 0, 0, 0x00000001},    //  1 and #1: group bit
    {0x15, 0, 16, 0x00000001},   //  2 group address, else to 19
    {0x28, 0, 0, 0x0000000c},    //  3 ldh [12]: EtherType
    {0x15, 0, 6, 0x000088cc},    //  4 LLDP, else to 11
    {0x20, 0, 0, 0x00000002},    //  5 ld [2]: destination octets 2 to 5
    {0x15, 2, 0, 0xc200000e},    //  6 01:80:c2:00:00:0e
    {0x15, 1, 0, 0xc2000003},    //  7 01:80:c2:00:00:03
    {0x15, 0, 2, 0xc2000000},    //  8 01:80:c2:00:00:00, else to 11
    {0x28, 0, 0, 0x00000000},    //  9 ldh [0]
    {0x15, 12, 13, 0x00000180},  // 10 01:80 accept, else drop
    {0x20, 0, 0, 0x00000002},    // 11 ld [2]
    {0x15, 0, 2, 0x52cccccc},    // 12 FDP 01:e0:52:cc:cc:cc, else to 15
    {0x28, 0, 0, 0x00000000},    // 13 ldh [0]
    {0x15, 8, 9, 0x000001e0},    // 14 accept, else drop
    {0x15, 1, 0, 0x0ccccccc},    // 15 CDP 01:00:0c:cc:cc:cc
    {0x15, 0, 2, 0x81000100},    // 16 SONMP 01:00:81:00:01:00, else to 19
    {0x28, 0, 0, 0x00000000},    // 17 ldh [0]
    {0x15, 4, 5, 0x00000100},    // 18 accept, else drop
    {0x20, 0, 0, 0x00000002},    // 19 ld [2]
    {0x15, 0, 3, 0x2b000000},    // 20 EDP 00:e0:2b:00:00:00, else drop
    {0x28, 0, 0, 0x00000000},    // 21 ldh [0]
    {0x15, 0, 1, 0x000000e0},    // 22 accept, else drop
    {0x06, 0, 0, 0x00040000},    // 23 accept up to 262144 octets
    {0x06, 0, 0, 0x00000000},    // 24 drop
};

namespace {

constexpr unsigned kLastUnit = 254;

// Interface names are at most IFNAMSIZ - 1 characters: copy the whole name
// that fits the field, terminated (a 15-character name is a valid one).
void copyName(char (&field)[IFNAMSIZ], const char* name) {
    size_t length = strnlen(name, IFNAMSIZ - 1);
    std::memcpy(field, name, length);
    field[length] = '\0';
}

std::vector<std::string> candidateInterfaces() {
    std::vector<std::string> candidates;
    for (const netif::SCNetworkInterface& interface : netif::SCNetworkInterfaceCopyAll()) {
        if (strcasecmp(netif::SCNetworkInterfaceGetInterfaceType(interface).c_str(),
                       netif::kSCNetworkInterfaceTypeIEEE80211) == 0) {
            continue;
        }
        const std::optional<std::string>& name = netif::SCNetworkInterfaceGetBSDName(interface);
        if (!name) {
            continue;
        }
        if (std::find(candidates.begin(), candidates.end(), *name) == candidates.end()) {
            candidates.push_back(*name);
        }
    }
    return candidates;
}

}  // namespace

void LLDPCapture::capture(std::string& first, std::string& second) {
    first.clear();
    second.clear();
    std::vector<std::string> candidates = candidateInterfaces();

    int fd = -1;
    for (unsigned unit = 0; unit <= kLastUnit && fd < 0; ++unit) {
        char device[32] = {};
        std::snprintf(device, sizeof(device), "/dev/bpf%u", unit);
        fd = bpf::open(device, O_RDONLY);
    }
    if (fd < 0) {
        return;
    }
    for (const std::string& name : candidates) {
        if (setOptions(fd, name.c_str()) != 0 || checkDlt(fd) != 0 || setFilter(fd) != 0) {
            continue;
        }
        if (readPackets(fd, first, second)) {
            break;
        }
    }
    bpf::close(fd);
}

int LLDPCapture::setOptions(const int& fd, const char* bsdName) {
    struct ifreq ifr {};
    copyName(ifr.ifr_name, bsdName);
    if (bpf::ioctl(fd, bpf::BIOCSETIF, &ifr) != 0) {
        return -1;
    }
    unsigned int immediate = 1;
    if (bpf::ioctl(fd, bpf::BIOCIMMEDIATE, &immediate) != 0) {
        return -1;
    }
    if (bpf::ioctl(fd, bpf::BIOCPROMISC) != 0) {
        return -1;
    }
    unsigned int seeSent = 0;
    if (bpf::ioctl(fd, bpf::BIOCSSEESENT, &seeSent) != 0) {
        return -1;
    }
    unsigned int headerComplete = 0;
    if (bpf::ioctl(fd, bpf::BIOCSHDRCMPLT, &headerComplete) != 0) {
        return -1;
    }
    struct timeval timeout = kLLDPReadTimeout;
    if (bpf::ioctl(fd, bpf::BIOCSRTIMEOUT, &timeout) != 0) {
        return -1;
    }
    return 0;
}

int LLDPCapture::checkDlt(const int& fd) {
    unsigned int dlt = 0;
    if (bpf::ioctl(fd, bpf::BIOCGDLT, &dlt) != 0 || dlt != bpf::DLT_EN10MB) {
        return -1;
    }
    return 0;
}

int LLDPCapture::setFilter(const int& fd) {
    bpf::bpf_program program{static_cast<unsigned>(std::size(BPF_INSN)),
                             const_cast<bpf::bpf_insn*>(BPF_INSN)};
    return bpf::ioctl(fd, bpf::BIOCSETF, &program) == 0 ? 0 : -1;
}

bool LLDPCapture::readPackets(const int& fd, std::string& first, std::string& second) {
    unsigned int bufferLength = 0;
    if (bpf::ioctl(fd, bpf::BIOCGBLEN, &bufferLength) != 0 || bufferLength == 0) {
        return false;
    }
    std::vector<uint8_t> buffer(bufferLength);
    const time_t deadline = time(nullptr) + kLLDPDecodeDeadlineSeconds;
    for (;;) {
        if (time(nullptr) >= deadline) {
            return false;
        }
        std::fill(buffer.begin(), buffer.end(), 0);
        ssize_t got = bpf::read(fd, buffer.data(), buffer.size());
        if (got <= 0) {
            return false;
        }
        if (lldp::decodeRead(buffer.data(), static_cast<size_t>(got), first, second)) {
            return true;
        }
    }
}
