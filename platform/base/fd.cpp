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

namespace {

// Calls `step(done)` (one read of what is left after `done` bytes) until all
// `size` bytes are in, the input ends or an error comes.
template <class Step>
ssize_t fill(size_t size, Step step) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = retryOnEintr([&] { return step(done); });
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

// Calls `step(done)` (one write of what is left after `done` bytes) until all
// `size` bytes are out or an error comes.
template <class Step>
bool drain(size_t size, Step step) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = retryOnEintr([&] { return step(done); });
        if (n <= 0) {
            if (n == 0) {
                errno = EIO;  // no progress: do not spin
            }
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

ssize_t readFull(int fd, void* buffer, size_t size) {
    auto* at = static_cast<char*>(buffer);
    return fill(size, [&](size_t done) { return ::read(fd, at + done, size - done); });
}

ssize_t readFullAt(int fd, void* buffer, size_t size, off_t offset) {
    auto* at = static_cast<char*>(buffer);
    return fill(size, [&](size_t done) {
        return ::pread(fd, at + done, size - done, offset + static_cast<off_t>(done));
    });
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
    return drain(size, [&](size_t done) { return ::write(fd, at + done, size - done); });
}

bool writeAllAt(int fd, const void* data, size_t size, off_t offset) {
    const auto* at = static_cast<const char*>(data);
    return drain(size, [&](size_t done) {
        return ::pwrite(fd, at + done, size - done, offset + static_cast<off_t>(done));
    });
}

bool writeAll(int fd, std::string_view bytes) {
    return writeAll(fd, bytes.data(), bytes.size());
}

bool sendAll(int fd, std::string_view bytes, int flags) {
    return drain(bytes.size(), [&](size_t done) {
        return ::send(fd, bytes.data() + done, bytes.size() - done, flags);
    });
}

}  // namespace base
