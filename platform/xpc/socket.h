// What the parts of this library share: the runtime's queue, connecting to a
// listener's path, and the layout of an audit token.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/base/fd.h"
#include "platform/dispatch/dispatch.h"
#include "platform/xpc/xpc.h"

namespace xpc::detail {

// How much a connection reads from its socket at a time.
constexpr size_t kReadChunk = size_t{64} * 1024;

// The queue on which connections read and run their handlers.
dispatch::QueuePtr runtimeQueue();

// The address of a socket at `path`; false when the path does not fit.
bool fillUnixAddress(const std::string& path, sockaddr_un& address, socklen_t& length);

// A connected socket to the listener at `path`, with the sender's
// credentials passed on every message; none with `error` set.
base::UniqueFd connectUnix(const std::string& path, int& error);

// Ending a connection's socket, called under its owner's lock: wakes a reader
// blocked in recv and a writer blocked in send (which holds `sendMutex`, so
// this must come before that lock is taken), then closes the descriptor
// unless a reader still uses it; that reader closes it on its way out
// (closeSocket). The descriptor is closed only under `sendMutex`.
void shutdownSocket(base::UniqueFd& fd, bool reading, std::mutex& sendMutex);
void closeSocket(base::UniqueFd& fd, std::mutex& sendMutex);

// The token of an accepted connection's process: its pid and its pidfd
// (-1 for none), read back by audit_token_to_pid / audit_token_to_pidfd.
AuditToken makeAuditToken(pid_t pid, int pidfd);

}  // namespace xpc::detail
