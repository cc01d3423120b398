#include "platform/base/fd.h"

#include <sys/socket.h>
#include <unistd.h>

namespace base {

void UniqueFd::reset(int fd) {
    if (fd_ >= 0 && fd_ != fd) {
        ::close(fd_);
    }
    fd_ = fd;
}

bool UniqueFd::close() {
    const int fd = release();
    return fd < 0 || ::close(fd) == 0;
}

ssize_t readFull(int fd, void* buffer, size_t size) {
    auto* at = static_cast<char*>(buffer);
    size_t done = 0;
    while (done < size) {
        const ssize_t n = retryOnEintr([&] { return ::read(fd, at + done, size - done); });
        if (n < 0) {
            return -1;
        }
        if (n == 0) {
            break;
        }
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

ssize_t readFullAt(int fd, void* buffer, size_t size, off_t offset) {
    auto* at = static_cast<char*>(buffer);
    size_t done = 0;
    while (done < size) {
        const ssize_t n = retryOnEintr(
            [&] { return ::pread(fd, at + done, size - done, offset + static_cast<off_t>(done)); });
        if (n < 0) {
            return -1;
        }
        if (n == 0) {
            break;
        }
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

bool readToEnd(int fd, std::string& out) {
    char chunk[65536];
    for (;;) {
        const ssize_t n = retryOnEintr([&] { return ::read(fd, chunk, sizeof chunk); });
        if (n < 0) {
            return false;
        }
        if (n == 0) {
            return true;
        }
        out.append(chunk, static_cast<size_t>(n));
    }
}

bool writeAll(int fd, const void* data, size_t size) {
    const auto* at = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = retryOnEintr([&] { return ::write(fd, at, size); });
        if (n <= 0) {
            if (n == 0) {
                errno = EIO;  // no progress: do not spin
            }
            return false;
        }
        at += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool writeAllAt(int fd, const void* data, size_t size, off_t offset) {
    const auto* at = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = retryOnEintr([&] { return ::pwrite(fd, at, size, offset); });
        if (n <= 0) {
            if (n == 0) {
                errno = EIO;
            }
            return false;
        }
        at += n;
        offset += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool writeAll(int fd, std::string_view bytes) {
    return writeAll(fd, bytes.data(), bytes.size());
}

bool sendAll(int fd, std::string_view bytes, int flags) {
    while (!bytes.empty()) {
        const ssize_t n =
            retryOnEintr([&] { return ::send(fd, bytes.data(), bytes.size(), flags); });
        if (n < 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

}  // namespace base
