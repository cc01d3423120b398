#include "platform/xpc/socket.h"

#include "platform/base/fd.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace xpc::detail {

dispatch::QueuePtr runtimeQueue() {
    return dispatch::get_global_queue(dispatch::QUEUE_PRIORITY_DEFAULT, 0);
}

bool fillUnixAddress(const std::string& path, sockaddr_un& address, socklen_t& length) {
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        return false;
    }
    std::memcpy(address.sun_path, path.data(), path.size());
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
    return true;
}

int connectUnix(const std::string& path, int& error) {
    sockaddr_un address;
    socklen_t length = 0;
    if (!fillUnixAddress(path, address, length)) {
        error = ENAMETOOLONG;
        return -1;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = errno;
        return -1;
    }
    // The service reads the sender of every message from the kernel. From
    // Linux 6.16 on, a listener's option to ask for them is copied when a
    // connection is made, not when it is accepted; for a service started by
    // that very connection, bytes sent in the moment of its accept would
    // otherwise come without them (and end the connection). Asked for here,
    // they always come.
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
    if (base::retryOnEintr([&] {
            return ::connect(fd, reinterpret_cast<const sockaddr*>(&address), length);
        }) != 0) {
        error = errno;
        ::close(fd);
        return -1;
    }
    return fd;
}

void shutdownSocket(int& fd, bool reading, std::mutex& sendMutex) {
    if (fd < 0) {
        return;
    }
    ::shutdown(fd, SHUT_RDWR);
    if (!reading) {
        closeSocket(fd, sendMutex);
    }
}

void closeSocket(int& fd, std::mutex& sendMutex) {
    std::lock_guard lock(sendMutex);
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

}  // namespace xpc::detail
