// A kernel before Linux 6.5 (Debian 12's 6.1), as the peer identification
// sees it: neither SO_PEERPIDFD nor SO_PASSPIDFD exists. Linked into test
// builds in place of peer_kernel.cpp, so that the fallback runs here too.
#include <cerrno>

#include "platform/xpc/peer.h"

namespace xpc::kernel {

int peerPidfd(int /*socket*/) {
    errno = ENOPROTOOPT;
    return -1;
}

bool passPidfds(int /*socket*/) {
    errno = ENOPROTOOPT;
    return false;
}

}  // namespace xpc::kernel
