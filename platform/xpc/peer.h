// Who is at the other end of an accepted Unix stream socket, as the kernel
// tells it, and whether a message came from that same process.
//
// - admit(): the kernel's credentials of the peer (SO_PEERCRED, captured when
//   the peer called connect, not now) checked against the admission rule: its
//   effective user was root, or its effective group was the admitted group.
//   A peer that has since executed another program still carries the
//   credentials it had at connect.
// - identify(): a pidfd for the connecting process (SO_PEERPIDFD, which the
//   kernel took at connect), and every later message made to carry its
//   sender's pidfd (SO_PASSPIDFD / SCM_PIDFD) and credentials
//   (SO_PASSCRED / SCM_CREDENTIALS). Only where the kernel lacks an option
//   (ENOPROTOOPT, before Linux 6.5) does it fall back: pidfd_open() of the pid
//   SO_PEERCRED reported, confirmed against the process's current
//   credentials, and per-message checks by pid while the checked process
//   lives. Any other failure refuses the peer.
// - sentByPeer(): true only when the credentials received with a message name
//   the identified process: by pidfd identity where the kernel passes pidfds
//   (the pidfs inode, or where pidfds have no inode of their own, the pid of a
//   process that has not exited), otherwise by pid while the identified
//   process has not exited. A process that took over the pid of one that
//   exited is never taken for it.
// - exited(): the identified process has terminated (its pidfd is readable).
// - user(): the user on whose behalf the identified process runs now: its
//   real user and group and its supplementary groups (/proc/<pid>/status),
//   taken only while that process has not exited, so never those of a
//   process that took over its pid.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <optional>

#include "platform/base/fd.h"
#include "platform/base/proc.h"

namespace xpc {

// The kernel's record of the connecting process (SO_PEERCRED).
struct KernelCredentials {
    pid_t pid = 0;
    uid_t uid = static_cast<uid_t>(-1);  // effective user at connect
    gid_t gid = static_cast<gid_t>(-1);  // effective group at connect
};

// Effective group (besides root) whose members may connect; nullopt admits
// root alone.
struct PeerAdmission {
    std::optional<gid_t> group;

    // The group with this name, or with this number when `name` is all
    // digits; nullopt when there is no such group.
    static std::optional<gid_t> groupNamed(const char* name);
};

// SO_PEERCRED of an accepted socket; nullopt if the kernel does not say.
std::optional<KernelCredentials> kernelCredentials(int socket);

bool admitted(const KernelCredentials& credentials, const PeerAdmission& admission);

// How one connection's messages are tied to the process that connected.
class PeerProcess {
  public:
    // Takes the peer's pidfd and turns on credential passing on `socket`.
    // nullopt refuses the peer.
    static std::optional<PeerProcess> identify(int socket, const KernelCredentials& credentials);
    // For a socket made by socketpair() or otherwise without a listener.
    static std::optional<PeerProcess> identify(int socket);

    PeerProcess(PeerProcess&& other) noexcept = default;
    PeerProcess& operator=(PeerProcess&&) = delete;
    PeerProcess(const PeerProcess&) = delete;

    const KernelCredentials& credentials() const { return credentials_; }
    int pidfd() const { return pidfd_.get(); }
    // True where every message carries its sender's pidfd.
    bool pidfdsPassed() const { return pidfdsPassed_; }

    // Room for the control messages one recvmsg() may bring.
    static constexpr size_t kControlSpace = 512;
    // Looks at the control messages of one recvmsg(): closes every descriptor
    // they carry, and answers whether the bytes came from this process (never
    // for bytes that came with descriptors or with truncated control data).
    bool sentByPeer(msghdr& message) const;
    bool exited() const;
    // nullopt when the process has exited or its ids cannot be read.
    std::optional<base::ProcessUser> user() const;

  private:
    PeerProcess(KernelCredentials credentials, base::UniqueFd pidfd, bool pidfdsPassed);

    KernelCredentials credentials_;
    base::UniqueFd pidfd_;
    bool pidfdsPassed_ = false;
    bool pidfs_ = false;  // pidfds have an inode per process (Linux 6.9+)
    ino_t inode_ = 0;
};

// The two socket options that the fallback depends on, one call each, in a
// file of their own so that a build can stand in an older kernel for them.
namespace kernel {
// SO_PEERPIDFD; -1 with errno set on failure (ENOPROTOOPT: no such option).
int peerPidfd(int socket);
// SO_PASSPIDFD on; false with errno set on failure.
bool passPidfds(int socket);
}  // namespace kernel

}  // namespace xpc
