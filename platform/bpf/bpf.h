// Berkeley Packet Filter devices in the manner of "/dev/bpf%u", on AF_PACKET.
//
// Units: the names "/dev/bpf0" to "/dev/bpf255" form one table per process.
// open() of a unit that an open descriptor already holds fails with EBUSY, as
// an open BPF device does, so a second capture running beside a first one
// takes the next number; any other name fails with ENOENT. The descriptor that
// open() returns is a real file descriptor (an AF_PACKET socket of the calling
// thread's network namespace) and must be given back with bpf::close(), which
// frees its unit.
//
// Requests: ioctl(fd, BIOCxxx, arg) with the argument types of the original
// requests. Each returns 0, or -1 with errno set (EBADF for a descriptor that
// bpf::open() did not return, EINVAL for an unusable argument or a request
// that needs an attached interface, ENXIO for an unknown interface). Settings
// made before BIOCSETIF stay in force across later attachments, except
// promiscuous mode, which belongs to the interface it was asked for.
//
// Captured frames:
// - nothing is captured before BIOCSETIF; attaching (also moving to another
//   interface) and BIOCSETF discard everything captured before, so after
//   either call a read returns only frames that arrived later and that the
//   filter in force accepted;
// - read() must be given exactly the buffer length that BIOCGBLEN reports. It
//   returns whole records, each a bpf_hdr followed by the frame's captured
//   octets, the next record at BPF_WORDALIGN(bh_hdrlen + bh_caplen): as many
//   queued frames as fit. A frame longer than the whole buffer is cut to fit.
//   With immediate mode a read returns as soon as one frame is there; without
//   it, when the buffer would overflow or the read timeout ends. With a read
//   timeout (BIOCSRTIMEOUT, zero meaning none) a read that finds no frame in
//   that time returns 0. -1 with errno for failures (ENXIO when not attached);
// - frames that this host sends are captured unless BIOCSSEESENT sets 0;
// - frames come as the wire carried them: Linux takes the outer 802.1Q or
//   802.1ad tag out of a received frame (into its metadata, read here with
//   PACKET_AUXDATA), and read() puts it back at octet 12 (TPID, then TCI), as
//   libpcap does, priority tags (VLAN 0) included. The program installed with
//   BIOCSETF judges that frame, tag included, exactly as the original's
//   device does: the kernel runs it on untagged frames, read() on the ones
//   that had a tag. bh_datalen counts the tag.
#pragma once

#include <net/if.h>
#include <sys/time.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace bpf {

using bpf_u_int32 = uint32_t;

// Data-link types reported by BIOCGDLT.
constexpr unsigned DLT_NULL = 0;  // loopback, as the original platform reports lo0
constexpr unsigned DLT_EN10MB = 1;
constexpr unsigned DLT_PPP = 9;
constexpr unsigned DLT_RAW = 12;  // interfaces without a link-layer header (tun)
constexpr unsigned DLT_IEEE802_11 = 105;
constexpr unsigned DLT_IEEE802_11_RADIO = 127;
constexpr unsigned DLT_USER0 = 147;  // any other link type of this platform

// One classic BPF instruction; the layout of the kernel's struct sock_filter.
struct bpf_insn {
    uint16_t code;
    uint8_t jt;
    uint8_t jf;
    bpf_u_int32 k;
};

struct bpf_program {
    unsigned int bf_len;
    bpf_insn* bf_insns;
};

// The longest program BIOCSETF accepts: the kernel's limit, less the three
// instructions that this device puts in front of a program (see read()).
constexpr unsigned BPF_MAXINSNS_KERNEL = 4096;
constexpr unsigned BPF_MAXINSNS = BPF_MAXINSNS_KERNEL - 3;

// Record header of a read, as the original delivers it to 64-bit processes:
// 32-bit seconds and microseconds, then the lengths. bh_hdrlen counts the
// header and the padding that follows it (18 here).
struct BPF_TIMEVAL {
    int32_t tv_sec;
    int32_t tv_usec;
};

struct bpf_hdr {
    BPF_TIMEVAL bh_tstamp;
    bpf_u_int32 bh_caplen;   // octets of the frame in the record
    bpf_u_int32 bh_datalen;  // octets of the frame on the wire
    uint16_t bh_hdrlen;      // from record start to frame start
};

// Offsets of the header fields in a record; bh_hdrlen ends at octet 18.
constexpr size_t kHdrCaplenOffset = 8;
constexpr size_t kHdrDatalenOffset = 12;
constexpr size_t kHdrHdrlenOffset = 16;
constexpr size_t kHdrFieldsLength = 18;

// Records are aligned to 4 octets.
constexpr size_t BPF_ALIGNMENT = sizeof(int32_t);
constexpr size_t BPF_WORDALIGN(size_t x) {
    return (x + (BPF_ALIGNMENT - 1)) & ~(BPF_ALIGNMENT - 1);
}

// Number of units, "/dev/bpf0" to "/dev/bpf255".
constexpr unsigned kUnitCount = 256;

// The buffer length that BIOCGBLEN reports and read() requires.
constexpr unsigned kBufferLength = 32768;

// Request tags: ioctl(fd, BIOCSETIF, &ifr) reads as it does on the original.
struct BIOCSETIF_t {};
struct BIOCIMMEDIATE_t {};
struct BIOCPROMISC_t {};
struct BIOCSSEESENT_t {};
struct BIOCSHDRCMPLT_t {};
struct BIOCSRTIMEOUT_t {};
struct BIOCGDLT_t {};
struct BIOCSETF_t {};
struct BIOCGBLEN_t {};
inline constexpr BIOCSETIF_t BIOCSETIF{};
inline constexpr BIOCIMMEDIATE_t BIOCIMMEDIATE{};
inline constexpr BIOCPROMISC_t BIOCPROMISC{};
inline constexpr BIOCSSEESENT_t BIOCSSEESENT{};
inline constexpr BIOCSHDRCMPLT_t BIOCSHDRCMPLT{};
inline constexpr BIOCSRTIMEOUT_t BIOCSRTIMEOUT{};
inline constexpr BIOCGDLT_t BIOCGDLT{};
inline constexpr BIOCSETF_t BIOCSETF{};
inline constexpr BIOCGBLEN_t BIOCGBLEN{};

// Opens the unit that `path` names ("/dev/bpf%u"); `oflag` must be O_RDONLY
// (the device is never written). Returns a descriptor or -1 with errno.
[[nodiscard]] int open(const char* path, int oflag);
// Closes a descriptor from open() and frees its unit at once; -1 with EBADF
// otherwise. The kernel's release of the socket (an RCU grace period, several
// milliseconds) is left to a background worker of this module, which ends
// after a second without work, so that close() does not block.
int close(int fd);
[[nodiscard]] ssize_t read(int fd, void* buf, size_t nbytes);

// Attaches to the interface named in ifr_name (up to IFNAMSIZ - 1 octets,
// also without a terminator in the field).
int ioctl(int fd, BIOCSETIF_t, const struct ifreq* ifr);
int ioctl(int fd, BIOCIMMEDIATE_t, const unsigned int* on);
// Promiscuous mode on the attached interface until it is detached or closed.
int ioctl(int fd, BIOCPROMISC_t);
int ioctl(int fd, BIOCSSEESENT_t, const unsigned int* seeSent);
// Recorded only: it concerns writes, which this device does not offer.
int ioctl(int fd, BIOCSHDRCMPLT_t, const unsigned int* complete);
int ioctl(int fd, BIOCSRTIMEOUT_t, const struct timeval* timeout);
int ioctl(int fd, BIOCGDLT_t, unsigned int* dlt);
// Installs a copy of the program unchanged; a program of length 0 removes the
// filter. The kernel checks the program: an invalid one fails with EINVAL.
int ioctl(int fd, BIOCSETF_t, const bpf_program* program);
int ioctl(int fd, BIOCGBLEN_t, unsigned int* length);

// Units held at this moment, in increasing order (for diagnostics and tests).
std::vector<unsigned> busyUnits();

}  // namespace bpf
