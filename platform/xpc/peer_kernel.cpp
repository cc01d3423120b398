// The socket options of Linux 6.5 that name a peer by pidfd. Kept apart from
// peer.cpp so that a test build can link peer_kernel_before_pidfd.cpp in
// their place and run the fallback on a newer kernel.
#include <sys/socket.h>

#include "platform/xpc/peer.h"

// Older C library headers lack them.
#ifndef SO_PASSPIDFD
#define SO_PASSPIDFD 76
#endif
#ifndef SO_PEERPIDFD
#define SO_PEERPIDFD 77
#endif

namespace xpc::kernel {

int peerPidfd(int socket) {
    int pidfd = -1;
    socklen_t length = sizeof pidfd;
    if (::getsockopt(socket, SOL_SOCKET, SO_PEERPIDFD, &pidfd, &length) != 0) {
        return -1;
    }
    return pidfd;
}

bool passPidfds(int socket) {
    const int on = 1;
    return ::setsockopt(socket, SOL_SOCKET, SO_PASSPIDFD, &on, sizeof on) == 0;
}

}  // namespace xpc::kernel
