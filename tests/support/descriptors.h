// Descriptor passing over a Unix socket (SCM_RIGHTS), as a peer that hands
// its connection on does it.
#pragma once

#include <sys/types.h>

#include <string>

namespace xqtest {

// Sends `bytes` (at least one) over `socket` with `fd` attached; returns what
// sendmsg returns (the bytes sent, or -1).
ssize_t sendWithDescriptor(int socket, const std::string& bytes, int fd);

// Receives one byte over `socket` and the descriptor attached to it; -1 when
// nothing came or no descriptor was attached.
int receiveDescriptor(int socket);

}  // namespace xqtest
