#include "platform/xpc/peer.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/base/fd.h"
#include "platform/base/proc.h"

// Linux 6.5; older C library headers lack it.
#ifndef SCM_PIDFD
#define SCM_PIDFD 0x04
#endif

namespace xpc {
namespace {

// The file system of pidfds from Linux 6.9 on: one inode per process.
constexpr long kPidfsMagic = 0x50494446;

// The "Pid:" line of a pidfd's fdinfo: the pid it names in this process's
// namespace, -1 once it has been reaped; nullopt when it cannot be read.
bool readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    const int n = base::retryOnEintr([&] { return ::poll(&p, 1, 0); });
    return n != 0;  // readable, or poll failed: either way not a live process
}

// The effective ids on the "Uid:" and "Gid:" lines of /proc/<pid>/status.
bool currentIdsMatch(pid_t pid, const KernelCredentials& credentials) {
    const std::string status = "/proc/" + std::to_string(pid) + "/status";
    // Real, effective, saved and file-system ids, in that order.
    const auto uids = base::procNumbers(status, "Uid:");
    const auto gids = base::procNumbers(status, "Gid:");
    return uids && gids && uids->size() >= 2 && gids->size() >= 2 &&
           static_cast<uid_t>((*uids)[1]) == credentials.uid &&
           static_cast<gid_t>((*gids)[1]) == credentials.gid;
}

}  // namespace

std::optional<gid_t> PeerAdmission::groupNamed(const char* name) {
    if (name == nullptr || *name == '\0') {
        return std::nullopt;
    }
    const std::string_view text(name);
    if (text.find_first_not_of("0123456789") == std::string_view::npos) {
        gid_t gid = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), gid);
        if (error != std::errc() || end != text.data() + text.size() ||
            gid == static_cast<gid_t>(-1)) {
            return std::nullopt;
        }
        return gid;
    }
    struct group entry {};
    struct group* found = nullptr;
    std::vector<char> buffer(4096);
    for (;;) {
        const int error = ::getgrnam_r(name, &entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (error != 0 || found == nullptr) {
            return std::nullopt;
        }
        return found->gr_gid;
    }
}

std::optional<KernelCredentials> kernelCredentials(int socket) {
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (::getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 ||
        length != sizeof credentials || credentials.pid <= 0) {
        return std::nullopt;
    }
    return KernelCredentials{credentials.pid, credentials.uid, credentials.gid};
}

bool admitted(const KernelCredentials& credentials, const PeerAdmission& admission) {
    if (credentials.uid == 0) {
        return true;
    }
    return admission.group.has_value() && credentials.gid == *admission.group;
}

PeerProcess::PeerProcess(KernelCredentials credentials, base::UniqueFd pidfd, bool pidfdsPassed)
    : credentials_(credentials), pidfd_(std::move(pidfd)), pidfdsPassed_(pidfdsPassed) {
    struct statfs fs {};
    struct stat st {};
    if (::fstatfs(pidfd_.get(), &fs) == 0 && fs.f_type == kPidfsMagic &&
        ::fstat(pidfd_.get(), &st) == 0) {
        pidfs_ = true;
        inode_ = st.st_ino;
    }
}

std::optional<PeerProcess> PeerProcess::identify(int socket) {
    const std::optional<KernelCredentials> credentials = kernelCredentials(socket);
    if (!credentials) {
        return std::nullopt;
    }
    return identify(socket, *credentials);
}

std::optional<PeerProcess> PeerProcess::identify(int socket, const KernelCredentials& credentials) {
    base::UniqueFd pidfd(kernel::peerPidfd(socket));
    if (!pidfd) {
        if (errno != ENOPROTOOPT) {
            return std::nullopt;
        }
        // The kernel cannot name the process that connected. Open the pid it
        // recorded, and accept it only while that process still has the
        // credentials recorded at connect and has not exited since the check
        // (a pid is reused only after its process has been reaped).
        pidfd.reset(static_cast<int>(::syscall(SYS_pidfd_open, credentials.pid, 0)));
        if (!pidfd) {
            return std::nullopt;
        }
        if (!currentIdsMatch(credentials.pid, credentials) || readable(pidfd.get())) {
            return std::nullopt;
        }
    }
    ::fcntl(pidfd.get(), F_SETFD, FD_CLOEXEC);
    PeerProcess peer(credentials, std::move(pidfd), false);

    const int on = 1;
    if (kernel::passPidfds(socket)) {
        peer.pidfdsPassed_ = true;
    } else if (errno != ENOPROTOOPT) {
        return std::nullopt;
    }
    if (::setsockopt(socket, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) {
        return std::nullopt;
    }
    return peer;
}

bool PeerProcess::exited() const {
    return !pidfd_ || readable(pidfd_.get());
}

std::optional<base::ProcessUser> PeerProcess::user() const {
    if (exited()) {
        return std::nullopt;
    }
    std::optional<base::ProcessUser> user = base::processUser(credentials_.pid);
    // Alive after the read: the pid named this process all along (a pid is
    // reused only after its process has exited and been reaped).
    if (!user || exited()) {
        return std::nullopt;
    }
    return user;
}

bool PeerProcess::sentByPeer(msghdr& message) const {
    const ucred* sender = nullptr;
    base::UniqueFd senderPidfd;
    bool pidfdSeen = false;
    bool ok = (message.msg_flags & MSG_CTRUNC) == 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level != SOL_SOCKET) {
            ok = false;
            continue;
        }
        if (c->cmsg_type == SCM_CREDENTIALS && c->cmsg_len >= CMSG_LEN(sizeof(ucred))) {
            sender = reinterpret_cast<const ucred*>(CMSG_DATA(c));
        } else if (c->cmsg_type == SCM_PIDFD && c->cmsg_len >= CMSG_LEN(sizeof(int))) {
            // A negative value is the kernel's error in making the pidfd.
            int fd = -1;
            std::memcpy(&fd, CMSG_DATA(c), sizeof fd);
            if (pidfdSeen && senderPidfd) {
                ok = false;
            }
            pidfdSeen = true;
            senderPidfd.reset(fd);
        } else if (c->cmsg_type == SCM_RIGHTS) {
            // Descriptors are not part of the protocol: close what came, and
            // do not take the bytes that came with them.
            const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (size_t i = 0; i < count; ++i) {
                int passed = -1;
                std::memcpy(&passed, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
                const base::UniqueFd dropped(passed);
            }
            ok = false;
        } else {
            ok = false;
        }
    }
    if (sender == nullptr || sender->pid != credentials_.pid) {
        ok = false;
    }
    if (ok && pidfdsPassed_) {
        if (!senderPidfd) {
            ok = false;
        } else if (pidfs_) {
            struct stat st {};
            struct stat mine {};
            ok = ::fstat(senderPidfd.get(), &st) == 0 && ::fstat(pidfd_.get(), &mine) == 0 &&
                 st.st_dev == mine.st_dev && st.st_ino == inode_;
        } else {
            const std::optional<long> pid = base::pidOfPidfd(senderPidfd.get());
            ok = pid && *pid == credentials_.pid && !exited();
        }
    } else if (ok) {
        ok = !exited();
    }
    return ok;
}

}  // namespace xpc
