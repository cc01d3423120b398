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

base::UniqueFd connectUnix(const std::string& path, int& error) {
    sockaddr_un address;
    socklen_t length = 0;
    if (!fillUnixAddress(path, address, length)) {
        error = ENAMETOOLONG;
        return {};
    }
    base::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) {
        error = errno;
        return {};
    }
    // The service reads the sender of every message from the kernel. From
    // Linux 6.16 on, a listener's option to ask for them is copied when a
    // connection is made, not when it is accepted; for a service started by
    // that very connection, bytes sent in the moment of its accept would
    // otherwise come without them (and end the connection). Asked for here,
    // they always come.
    const int on = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
    if (base::retryOnEintr([&] {
            return ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), length);
        }) != 0) {
        error = errno;
        return {};
    }
    return fd;
}

void shutdownSocket(base::UniqueFd& fd, bool reading, std::mutex& sendMutex) {
    if (!fd) {
        return;
    }
    ::shutdown(fd.get(), SHUT_RDWR);
    if (!reading) {
        closeSocket(fd, sendMutex);
    }
}

void closeSocket(base::UniqueFd& fd, std::mutex& sendMutex) {
    std::lock_guard lock(sendMutex);
    fd.reset();
}

}  // namespace xpc::detail
