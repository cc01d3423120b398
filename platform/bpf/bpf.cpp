#include "platform/bpf/bpf.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if_arp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>

#include "platform/base/cursor.h"
#include "platform/base/fd.h"

// linux/filter.h names the kernel's limit BPF_MAXINSNS; here that name is the
// device's own limit (bpf.h), which leaves room for the tagged-frame prefix.
#undef BPF_MAXINSNS

#ifndef PACKET_IGNORE_OUTGOING
#define PACKET_IGNORE_OUTGOING 23
#endif

namespace bpf {
namespace {

static_assert(sizeof(bpf_insn) == sizeof(sock_filter), "bpf_insn must match sock_filter");

// An 802.1Q / 802.1ad tag: 4 octets in front of the EtherType at octet 12.
constexpr size_t kVlanTagOffset = 12;
constexpr size_t kVlanTagLength = 4;
// Longer than any frame a packet socket delivers (GSO included).
constexpr size_t kLongestFrame = 16u << 20;
// The instructions put in front of a program in the kernel (attachFilter).
constexpr size_t kTaggedPrefixLength = 3;
static_assert(BPF_MAXINSNS + kTaggedPrefixLength == BPF_MAXINSNS_KERNEL,
              "the kernel must take the longest program with its prefix");
static_assert(BPF_WORDALIGN(kBufferLength) == kBufferLength, "buffer length must be aligned");

// Everything a device remembers. The descriptor number stays the same for the
// device's whole life; the socket behind it is replaced (dup3) whenever the
// attachment or the filter changes, so that the new socket's queue starts
// empty and holds only frames that the new settings accepted.
struct Device {
    int fd = -1;
    unsigned unit = 0;
    int ifindex = 0;  // 0: not attached
    unsigned short arphrd = 0;
    bool immediate = false;
    bool seeSent = true;
    bool headerComplete = false;
    bool promiscuous = false;
    struct timeval timeout {};
    std::vector<sock_filter> filter;  // empty: every frame passes
};

struct Table {
    std::mutex lock;
    std::array<int, kUnitCount> unitFd;
    std::unordered_map<int, std::shared_ptr<Device>> devices;
    Table() { unitFd.fill(-1); }
};

Table& table() {
    static Table* t = new Table;  // never destroyed: descriptors may outlive static teardown
    return *t;
}

std::shared_ptr<Device> lookup(int fd) {
    Table& t = table();
    std::lock_guard<std::mutex> guard(t.lock);
    auto it = t.devices.find(fd);
    if (it == t.devices.end()) {
        return nullptr;
    }
    return it->second;
}

// Releasing a packet socket waits for an RCU grace period (synchronize_net
// in the kernel): several milliseconds, more under load. close() must not
// make a capture wait for it between its completing read and its reply, so
// closed devices are released by workers of this module. Releases that run
// at the same time share one grace period, so a burst is spread over up to
// kMaxWorkers workers; each ends after a second without work.
class Reaper {
  public:
    void release(int sock) {
        std::lock_guard<std::mutex> guard(lock_);
        pending_.push_back(sock);
        if (idle_ == 0 && workers_ < kMaxWorkers) {
            ++workers_;
            std::thread([this] { work(); }).detach();
        } else {
            wake_.notify_one();
        }
    }

  private:
    static constexpr int kMaxWorkers = 16;

    void work() {
        std::unique_lock<std::mutex> guard(lock_);
        for (;;) {
            if (pending_.empty()) {
                ++idle_;
                bool woken = wake_.wait_for(guard, std::chrono::seconds(1),
                                            [this] { return !pending_.empty(); });
                --idle_;
                if (!woken) {
                    --workers_;
                    return;
                }
            }
            base::UniqueFd sock(pending_.back());
            pending_.pop_back();
            guard.unlock();
            sock.reset();
            guard.lock();
        }
    }

    std::mutex lock_;
    std::condition_variable wake_;
    std::vector<int> pending_;
    int workers_ = 0;
    int idle_ = 0;
};

Reaper& reaper() {
    static Reaper* r = new Reaper;  // never destroyed: its worker may outlive main
    return *r;
}

int fail(int error) {
    errno = error;
    return -1;
}

// "/dev/bpf" followed by a unit number written without leading zeros.
bool parseUnit(const char* path, unsigned& unit) {
    static constexpr char kPrefix[] = "/dev/bpf";
    if (path == nullptr || std::strncmp(path, kPrefix, sizeof(kPrefix) - 1) != 0) {
        return false;
    }
    const char* digits = path + sizeof(kPrefix) - 1;
    size_t count = std::strlen(digits);
    if (count == 0 || count > 3 || (count > 1 && digits[0] == '0')) {
        return false;
    }
    unsigned value = 0;
    for (size_t i = 0; i < count; ++i) {
        if (digits[i] < '0' || digits[i] > '9') {
            return false;
        }
        value = value * 10 + static_cast<unsigned>(digits[i] - '0');
    }
    if (value >= kUnitCount) {
        return false;
    }
    unit = value;
    return true;
}

int setIgnoreOutgoing(int sock, bool ignore) {
    int value = ignore ? 1 : 0;
    return setsockopt(sock, SOL_PACKET, PACKET_IGNORE_OUTGOING, &value, sizeof(value));
}

// Linux takes an 802.1Q or 802.1ad tag out of a received frame before a
// packet socket's filter sees it (the tag goes to the frame's metadata), so
// the kernel cannot run the program on the frame as the wire carried it.
// Three instructions in front of the program let every frame that had a tag
// through whole; read() puts the tag back and runs the program on that frame
// (runProgram). Untagged frames meet the program in the kernel, unchanged.
constexpr sock_filter kPassTagged[kTaggedPrefixLength] = {
    {BPF_LD | BPF_B | BPF_ABS, 0, 0, static_cast<uint32_t>(SKF_AD_OFF + SKF_AD_VLAN_TAG_PRESENT)},
    {BPF_JMP | BPF_JEQ | BPF_K, 1, 0, 0},  // no tag: on to the program
    {BPF_RET | BPF_K, 0, 0, 0xFFFFFFFFu},  // a tag: the whole frame, judged in read()
};

int attachFilter(int sock, const std::vector<sock_filter>& filter) {
    if (filter.empty()) {
        int dummy = 0;
        if (setsockopt(sock, SOL_SOCKET, SO_DETACH_FILTER, &dummy, sizeof(dummy)) != 0 &&
            errno != ENOENT) {
            return -1;
        }
        return 0;
    }
    std::vector<sock_filter> program(std::begin(kPassTagged), std::end(kPassTagged));
    program.insert(program.end(), filter.begin(), filter.end());
    sock_fprog prog{};
    prog.len = static_cast<unsigned short>(program.size());
    prog.filter = program.data();
    return setsockopt(sock, SOL_SOCKET, SO_ATTACH_FILTER, &prog, sizeof(prog));
}

// The classic BPF machine, as the original's device runs a program on each
// frame: `frame` holds `caplen` octets of a frame `wirelen` long. Returns how
// many octets to keep (0: drop). A load outside the captured octets, a
// division by zero or a jump out of the program drops the frame. The kernel
// has already checked the program; this interpreter does not rely on it.
uint32_t runProgram(const std::vector<sock_filter>& prog, const uint8_t* frame, size_t caplen,
                    size_t wirelen) {
    uint32_t a = 0, x = 0;
    uint32_t mem[BPF_MEMWORDS] = {};
    const base::Cursor captured(frame, caplen);
    auto load = [&](uint64_t at, unsigned width, uint32_t* out) {
        base::Cursor field = captured.window(at, width);
        *out = width == 4 ? field.be32() : width == 2 ? field.be16() : field.u8();
        return field.ok();
    };
    for (size_t pc = 0; pc < prog.size(); ++pc) {
        const sock_filter& in = prog[pc];
        const uint32_t k = in.k;
        const unsigned width = BPF_SIZE(in.code) == BPF_W ? 4 : BPF_SIZE(in.code) == BPF_H ? 2 : 1;
        switch (BPF_CLASS(in.code)) {
            case BPF_LD:
                switch (BPF_MODE(in.code)) {
                    case BPF_ABS:
                        if (!load(k, width, &a)) {
                            return 0;
                        }
                        break;
                    case BPF_IND:
                        if (!load(uint64_t(x) + k, width, &a)) {
                            return 0;
                        }
                        break;
                    case BPF_LEN:
                        a = static_cast<uint32_t>(wirelen);
                        break;
                    case BPF_IMM:
                        a = k;
                        break;
                    case BPF_MEM:
                        if (k >= BPF_MEMWORDS) {
                            return 0;
                        }
                        a = mem[k];
                        break;
                    default:
                        return 0;
                }
                break;
            case BPF_LDX:
                switch (BPF_MODE(in.code)) {
                    case BPF_IMM:
                        x = k;
                        break;
                    case BPF_MEM:
                        if (k >= BPF_MEMWORDS) {
                            return 0;
                        }
                        x = mem[k];
                        break;
                    case BPF_LEN:
                        x = static_cast<uint32_t>(wirelen);
                        break;
                    case BPF_MSH: {
                        uint32_t b = 0;
                        if (!load(k, 1, &b)) {
                            return 0;
                        }
                        x = (b & 0x0F) << 2;
                        break;
                    }
                    default:
                        return 0;
                }
                break;
            case BPF_ST:
            case BPF_STX:
                if (k >= BPF_MEMWORDS) {
                    return 0;
                }
                mem[k] = BPF_CLASS(in.code) == BPF_ST ? a : x;
                break;
            case BPF_ALU: {
                const uint32_t v = BPF_SRC(in.code) == BPF_X ? x : k;
                switch (BPF_OP(in.code)) {
                    case BPF_ADD:
                        a += v;
                        break;
                    case BPF_SUB:
                        a -= v;
                        break;
                    case BPF_MUL:
                        a *= v;
                        break;
                    case BPF_DIV:
                        if (v == 0) {
                            return 0;
                        }
                        a /= v;
                        break;
                    case BPF_MOD:
                        if (v == 0) {
                            return 0;
                        }
                        a %= v;
                        break;
                    case BPF_AND:
                        a &= v;
                        break;
                    case BPF_OR:
                        a |= v;
                        break;
                    case BPF_XOR:
                        a ^= v;
                        break;
                    case BPF_LSH:
                        a = v < 32 ? a << v : 0;
                        break;
                    case BPF_RSH:
                        a = v < 32 ? a >> v : 0;
                        break;
                    case BPF_NEG:
                        a = 0u - a;
                        break;
                    default:
                        return 0;
                }
                break;
            }
            case BPF_JMP: {
                if (BPF_OP(in.code) == BPF_JA) {
                    pc += k;
                    break;
                }
                const uint32_t v = BPF_SRC(in.code) == BPF_X ? x : k;
                bool taken = false;
                switch (BPF_OP(in.code)) {
                    case BPF_JEQ:
                        taken = a == v;
                        break;
                    case BPF_JGT:
                        taken = a > v;
                        break;
                    case BPF_JGE:
                        taken = a >= v;
                        break;
                    case BPF_JSET:
                        taken = (a & v) != 0;
                        break;
                    default:
                        return 0;
                }
                pc += taken ? in.jt : in.jf;
                break;
            }
            case BPF_RET:
                return BPF_RVAL(in.code) == BPF_A ? a : k;
            case BPF_MISC:
                if (BPF_MISCOP(in.code) == BPF_TAX) {
                    x = a;
                } else {
                    a = x;
                }
                break;
            default:
                return 0;
        }
    }
    return 0;  // ran off the end
}

// The VLAN tag that the kernel took out of a received frame, from the
// frame's auxiliary data (as libpcap reads it); nothing for an untagged one.
struct VlanTag {
    uint16_t tpid;
    uint16_t tci;
};

std::optional<VlanTag> takenTag(const tpacket_auxdata& aux) {
    // Kernels before TP_STATUS_VLAN_VALID marked a tag only by a non-zero TCI.
    if (aux.tp_vlan_tci == 0 && (aux.tp_status & TP_STATUS_VLAN_VALID) == 0) {
        return std::nullopt;
    }
    const uint16_t tpid =
        (aux.tp_status & TP_STATUS_VLAN_TPID_VALID) != 0 ? aux.tp_vlan_tpid : ETH_P_8021Q;
    return VlanTag{tpid, aux.tp_vlan_tci};
}

int addPromiscuous(int sock, int ifindex) {
    packet_mreq mreq{};
    mreq.mr_ifindex = ifindex;
    mreq.mr_type = PACKET_MR_PROMISC;
    return setsockopt(sock, SOL_PACKET, PACKET_ADD_MEMBERSHIP, &mreq, sizeof(mreq));
}

// A new socket for `dev` bound to `ifindex` with `filter`: every setting is in
// place before the bind, so no frame reaches its queue unfiltered. Returns the
// socket or -1 with errno.
int makeBoundSocket(const Device& dev, int ifindex, const std::vector<sock_filter>& filter,
                    bool promiscuous) {
    base::UniqueFd owned(socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0));
    if (!owned) {
        return -1;
    }
    const int sock = owned.get();
    int on = 1;
    bool ok = setsockopt(sock, SOL_SOCKET, SO_TIMESTAMP, &on, sizeof(on)) == 0 &&
              setsockopt(sock, SOL_PACKET, PACKET_AUXDATA, &on, sizeof(on)) == 0 &&
              (dev.seeSent || setIgnoreOutgoing(sock, true) == 0) &&
              attachFilter(sock, filter) == 0;
    if (ok) {
        sockaddr_ll sll{};
        sll.sll_family = AF_PACKET;
        sll.sll_protocol = htons(ETH_P_ALL);
        sll.sll_ifindex = ifindex;
        ok = bind(sock, reinterpret_cast<sockaddr*>(&sll), sizeof(sll)) == 0 &&
             (!promiscuous || addPromiscuous(sock, ifindex) == 0);
    }
    if (!ok) {
        int saved = errno;
        owned.reset();
        errno = saved;
        return -1;
    }
    return owned.release();
}

// Puts `sock` behind the device's descriptor number; the old socket, with
// everything it had queued, is released by the reaper (a second descriptor
// keeps it open through dup3, so that dup3 does not wait for the release
// while frames queue up on the new socket).
int replaceSocket(Device& dev, int sock) {
    base::UniqueFd incoming(sock);
    base::UniqueFd old(fcntl(dev.fd, F_DUPFD_CLOEXEC, 0));
    if (!old || dup3(incoming.get(), dev.fd, O_CLOEXEC) < 0) {
        int saved = errno;
        old.reset();
        incoming.reset();
        errno = saved;
        return -1;
    }
    incoming.reset();  // dev.fd holds the new socket: no release here
    reaper().release(old.release());
    return 0;
}

unsigned dltOf(unsigned short arphrd) {
    switch (arphrd) {
        case ARPHRD_ETHER:
            return DLT_EN10MB;
        case ARPHRD_LOOPBACK:
            return DLT_NULL;
        case ARPHRD_NONE:
            return DLT_RAW;
        case ARPHRD_PPP:
            return DLT_PPP;
        case ARPHRD_IEEE80211:
            return DLT_IEEE802_11;
        case ARPHRD_IEEE80211_RADIOTAP:
            return DLT_IEEE802_11_RADIO;
        default:
            return DLT_USER0;
    }
}

using Clock = std::chrono::steady_clock;

// Milliseconds for poll() until `deadline`, rounded up; -1 without a deadline.
int pollTimeout(bool hasDeadline, Clock::time_point deadline) {
    if (!hasDeadline) {
        return -1;
    }
    auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) {
        return 0;
    }
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::min<long long>(ms, 24LL * 3600 * 1000));
}

enum class Drain { kMore, kFull, kError };

// Moves queued frames into records at `buf + *end` until the queue is empty
// or the next frame does not fit. *end is the end of the last record's frame.
// A frame whose tag the kernel took out gets it back at octet 12, and then
// meets the device's program, which the kernel did not run on it.
Drain drainQueue(const Device& dev, unsigned char* buf, size_t nbytes, size_t* end) {
    for (;;) {
        // A look at the next frame first: its length, where it came from, its
        // time and its auxiliary data. The first receive of a frame is the
        // one that gets its length on the wire right (the kernel keeps that
        // number where the sender's address then goes), so the look asks for
        // everything but the octets.
        sockaddr_ll from{};
        alignas(cmsghdr) unsigned char
            control[CMSG_SPACE(sizeof(timeval)) + CMSG_SPACE(sizeof(tpacket_auxdata))];
        iovec none{nullptr, 0};
        msghdr peek{};
        peek.msg_name = &from;
        peek.msg_namelen = sizeof(from);
        peek.msg_iov = &none;
        peek.msg_iovlen = 1;
        peek.msg_control = control;
        peek.msg_controllen = sizeof(control);
        const ssize_t wire = base::retryOnEintr(
            [&] { return recvmsg(dev.fd, &peek, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT); });
        if (wire < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                return Drain::kMore;
            }
            return Drain::kError;
        }
        timeval stamp{};
        std::optional<tpacket_auxdata> aux;
        for (cmsghdr* c = CMSG_FIRSTHDR(&peek); c != nullptr; c = CMSG_NXTHDR(&peek, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMP) {
                std::memcpy(&stamp, CMSG_DATA(c), sizeof(stamp));
            } else if (c->cmsg_level == SOL_PACKET && c->cmsg_type == PACKET_AUXDATA &&
                       c->cmsg_len >= CMSG_LEN(sizeof(tpacket_auxdata))) {
                aux.emplace();
                std::memcpy(&*aux, CMSG_DATA(c), sizeof(tpacket_auxdata));
            }
        }
        size_t start = *end == 0 ? 0 : BPF_WORDALIGN(*end);
        size_t room = start + kHdrFieldsLength <= nbytes ? nbytes - start - kHdrFieldsLength : 0;
        if (static_cast<size_t>(wire) + kVlanTagLength > room && *end != 0) {
            return Drain::kFull;  // it goes into the next read
        }
        // The frame is received 4 octets in, so that a tag fits in front of
        // its EtherType; a frame larger than the whole buffer is cut.
        unsigned char* frame = buf + start + kHdrFieldsLength;
        const size_t space = room > kVlanTagLength ? room - kVlanTagLength : 0;
        const size_t caplen = std::min(static_cast<size_t>(wire), space);
        iovec iov{frame + kVlanTagLength, caplen};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        const ssize_t got =
            base::retryOnEintr([&] { return recvmsg(dev.fd, &msg, MSG_TRUNC | MSG_DONTWAIT); });
        if (got < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                return Drain::kMore;
            }
            return Drain::kError;
        }
        if (!dev.seeSent && from.sll_pkttype == PACKET_OUTGOING) {
            std::memset(frame, 0, caplen + kVlanTagLength);
            continue;
        }
        if (stamp.tv_sec == 0 && stamp.tv_usec == 0) {
            gettimeofday(&stamp, nullptr);
        }
        size_t captured = std::min(caplen, static_cast<size_t>(got));
        // Octets on the wire: the frame's length before the kernel's program
        // cut it; a length that cannot be that one is not taken.
        size_t wirelen = static_cast<size_t>(got);
        if (aux && aux->tp_len >= wirelen && aux->tp_len <= kLongestFrame) {
            wirelen = aux->tp_len;
        }
        const std::optional<VlanTag> tag = aux ? takenTag(*aux) : std::nullopt;
        if (tag && captured >= kVlanTagOffset) {
            std::memmove(frame, frame + kVlanTagLength, kVlanTagOffset);
            frame[kVlanTagOffset] = static_cast<unsigned char>(tag->tpid >> 8);
            frame[kVlanTagOffset + 1] = static_cast<unsigned char>(tag->tpid);
            frame[kVlanTagOffset + 2] = static_cast<unsigned char>(tag->tci >> 8);
            frame[kVlanTagOffset + 3] = static_cast<unsigned char>(tag->tci);
            captured += kVlanTagLength;
            wirelen += kVlanTagLength;
            if (!dev.filter.empty()) {
                const uint32_t keep = runProgram(dev.filter, frame, captured, wirelen);
                if (keep == 0) {
                    std::memset(frame, 0, captured);
                    continue;
                }
                captured = std::min<size_t>(captured, keep);
            }
        } else {
            std::memmove(frame, frame + kVlanTagLength, captured);
            std::memset(frame + captured, 0, kVlanTagLength);
        }
        int32_t sec = static_cast<int32_t>(stamp.tv_sec);
        int32_t usec = static_cast<int32_t>(stamp.tv_usec);
        bpf_u_int32 cap32 = static_cast<bpf_u_int32>(captured);
        bpf_u_int32 wire32 = static_cast<bpf_u_int32>(wirelen);
        uint16_t hdrlen = static_cast<uint16_t>(kHdrFieldsLength);
        std::memset(buf + start, 0, kHdrFieldsLength);
        std::memcpy(buf + start, &sec, sizeof(sec));
        std::memcpy(buf + start + 4, &usec, sizeof(usec));
        std::memcpy(buf + start + kHdrCaplenOffset, &cap32, sizeof(cap32));
        std::memcpy(buf + start + kHdrDatalenOffset, &wire32, sizeof(wire32));
        std::memcpy(buf + start + kHdrHdrlenOffset, &hdrlen, sizeof(hdrlen));
        *end = start + kHdrFieldsLength + captured;
        if (*end >= nbytes) {
            return Drain::kFull;
        }
    }
}

}  // namespace

int open(const char* path, int oflag) {
    unsigned unit = 0;
    if (!parseUnit(path, unit)) {
        return fail(ENOENT);
    }
    if ((oflag & O_ACCMODE) != O_RDONLY) {
        return fail(EINVAL);
    }
    Table& t = table();
    std::lock_guard<std::mutex> guard(t.lock);
    if (t.unitFd[unit] >= 0) {
        return fail(EBUSY);
    }
    // Protocol 0: the socket receives nothing until BIOCSETIF binds it.
    int sock = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        return -1;
    }
    auto dev = std::make_shared<Device>();
    dev->fd = sock;
    dev->unit = unit;
    t.unitFd[unit] = sock;
    t.devices[sock] = dev;
    return sock;
}

int close(int fd) {
    Table& t = table();
    {
        std::lock_guard<std::mutex> guard(t.lock);
        auto it = t.devices.find(fd);
        if (it == t.devices.end()) {
            return fail(EBADF);
        }
        t.unitFd[it->second->unit] = -1;
        t.devices.erase(it);
    }
    // The unit is free at once; the descriptor goes when the socket has been
    // released. Until then its number cannot be handed out again, so the
    // table never holds a stale entry for it.
    reaper().release(fd);
    return 0;
}

ssize_t read(int fd, void* buf, size_t nbytes) {
    std::shared_ptr<Device> dev = lookup(fd);
    if (!dev) {
        return fail(EBADF);
    }
    if (nbytes != kBufferLength) {
        return fail(EINVAL);
    }
    if (buf == nullptr) {
        return fail(EFAULT);
    }
    if (dev->ifindex == 0) {
        return fail(ENXIO);
    }
    auto* out = static_cast<unsigned char*>(buf);
    bool hasDeadline = dev->timeout.tv_sec != 0 || dev->timeout.tv_usec != 0;
    Clock::time_point deadline = Clock::now() + std::chrono::seconds(dev->timeout.tv_sec) +
                                 std::chrono::microseconds(dev->timeout.tv_usec);
    size_t end = 0;
    for (;;) {
        Drain state = drainQueue(*dev, out, nbytes, &end);
        if (state == Drain::kError) {
            return end != 0 ? static_cast<ssize_t>(end) : -1;
        }
        if (state == Drain::kFull || (dev->immediate && end != 0)) {
            return static_cast<ssize_t>(end);
        }
        pollfd p{dev->fd, POLLIN, 0};
        // The time left is worked out again after an interruption.
        const int ready =
            base::retryOnEintr([&] { return poll(&p, 1, pollTimeout(hasDeadline, deadline)); });
        if (ready < 0) {
            return end != 0 ? static_cast<ssize_t>(end) : -1;
        }
        if (ready == 0) {
            return static_cast<ssize_t>(end);  // read timeout: whatever is stored
        }
        if ((p.revents & (POLLERR | POLLNVAL)) != 0 && (p.revents & POLLIN) == 0) {
            return end != 0 ? static_cast<ssize_t>(end) : fail(ENXIO);
        }
    }
}

int ioctl(int fd, BIOCSETIF_t, const struct ifreq* ifr) {
    std::shared_ptr<Device> dev = lookup(fd);
    if (!dev) {
        return fail(EBADF);
    }
    if (ifr == nullptr) {
        return fail(EFAULT);
    }
    size_t length = strnlen(ifr->ifr_name, IFNAMSIZ);
    if (length == 0 || length == IFNAMSIZ) {
        return fail(ENXIO);
    }
    struct ifreq query {};
    std::memcpy(query.ifr_name, ifr->ifr_name, length);
    if (::ioctl(dev->fd, SIOCGIFINDEX, &query) != 0) {
        return fail(ENXIO);
    }
    int ifindex = query.ifr_ifindex;
    if (::ioctl(dev->fd, SIOCGIFHWADDR, &query) != 0) {
        return fail(ENXIO);
    }
    unsigned short arphrd = query.ifr_hwaddr.sa_family;
    int sock = makeBoundSocket(*dev, ifindex, dev->filter, false);
    if (sock < 0 || replaceSocket(*dev, sock) != 0) {
        return -1;
    }
    dev->ifindex = ifindex;
    dev->arphrd = arphrd;
    dev->promiscuous = false;
    return 0;
}

int ioctl(int fd, BIOCIMMEDIATE_t, const unsigned int* on) {
    std::shared_ptr<Device> dev = lookup(fd);
    if (!dev) {
        return fail(EBADF);
    }
    if (on == nullptr) {
        return fail(EFAULT);
    }
    dev->immediate = *on != 0;
    return 0;
}

int ioctl(int fd, BIOCPROMISC_t) {
    std::shared_ptr<Device> dev = lookup(fd);
    if (!dev) {
        return fail(EBADF);
    }
    if (dev->ifindex == 0) {
        return fail(EINVAL);
    }
    if (dev->promiscuous) {
        return 0;
    }
    if (addPromiscuous(dev->fd, dev->ifindex) != 0) {
        return -1;
    }
    dev->promiscuous = true;
    return 0;
}

int ioctl(int fd, BIOCSSEESENT_t, const unsigned int* seeSent) {
    std::shared_ptr<Device> dev = lookup(fd);
    if (!dev) {
        return fail(EBADF);
    }
    if (seeSent == nullptr) {
        return fail(EFAULT);
    }
    bool see = *seeSent != 0;
    if (setIgnoreOutgoing(dev->fd, !see) != 0) {
        return -1;
    }
    dev->seeSent = see;
    return 0;
}

int ioctl(int fd, BIOCSHDRCMPLT_t, const unsigned int* complete) {
    std::shared_ptr<Device> dev = lookup(fd);
    if (!dev) {
        return fail(EBADF);
    }
    if (complete == nullptr) {
        return fail(EFAULT);
    }
    dev->headerComplete = *complete != 0;
    return 0;
}

int ioctl(int fd, BIOCSRTIMEOUT_t, const struct timeval* timeout) {
    std::shared_ptr<Device> dev = lookup(fd);
    if (!dev) {
        return fail(EBADF);
    }
    if (timeout == nullptr) {
        return fail(EFAULT);
    }
    if (timeout->tv_sec < 0 || timeout->tv_usec < 0 || timeout->tv_usec >= 1000000) {
        return fail(EINVAL);
    }
    dev->timeout = *timeout;
    return 0;
}

int ioctl(int fd, BIOCGDLT_t, unsigned int* dlt) {
    std::shared_ptr<Device> dev = lookup(fd);
    if (!dev) {
        return fail(EBADF);
    }
    if (dlt == nullptr) {
        return fail(EFAULT);
    }
    if (dev->ifindex == 0) {
        return fail(EINVAL);
    }
    *dlt = dltOf(dev->arphrd);
    return 0;
}

int ioctl(int fd, BIOCSETF_t, const bpf_program* program) {
    std::shared_ptr<Device> dev = lookup(fd);
    if (!dev) {
        return fail(EBADF);
    }
    if (program == nullptr) {
        return fail(EFAULT);
    }
    std::vector<sock_filter> filter;
    if (program->bf_len != 0) {
        if (program->bf_insns == nullptr || program->bf_len > BPF_MAXINSNS) {
            return fail(EINVAL);
        }
        filter.resize(program->bf_len);
        std::memcpy(filter.data(), program->bf_insns, program->bf_len * sizeof(sock_filter));
    }
    if (dev->ifindex == 0) {
        // Unbound: nothing is queued, so the filter can go on in place.
        if (attachFilter(dev->fd, filter) != 0) {
            return fail(EINVAL);
        }
    } else {
        int sock = makeBoundSocket(*dev, dev->ifindex, filter, dev->promiscuous);
        if (sock < 0 || replaceSocket(*dev, sock) != 0) {
            return -1;
        }
    }
    dev->filter = std::move(filter);
    return 0;
}

int ioctl(int fd, BIOCGBLEN_t, unsigned int* length) {
    std::shared_ptr<Device> dev = lookup(fd);
    if (!dev) {
        return fail(EBADF);
    }
    if (length == nullptr) {
        return fail(EFAULT);
    }
    *length = kBufferLength;
    return 0;
}

std::vector<unsigned> busyUnits() {
    Table& t = table();
    std::lock_guard<std::mutex> guard(t.lock);
    std::vector<unsigned> units;
    for (unsigned u = 0; u < kUnitCount; ++u) {
        if (t.unitFd[u] >= 0) {
            units.push_back(u);
        }
    }
    return units;
}

}  // namespace bpf
