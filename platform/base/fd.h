// File descriptors: one owner that closes what it holds, and the read and
// write loops that every caller of read(2)/write(2) needs (a signal handler
// running during the call makes it fail with EINTR, and a pipe or socket may
// move fewer bytes than asked).
#pragma once

#include <sys/types.h>
#include <cerrno>
#include <cstddef>
#include <string>
#include <string_view>

namespace base {

// Owns one descriptor (or none: -1) and closes it when destroyed or reset.
// Moving hands the descriptor over; the moved-from owner holds none.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    [[nodiscard]] int get() const { return fd_; }
    [[nodiscard]] bool valid() const { return fd_ >= 0; }
    explicit operator bool() const { return valid(); }
    // Closes the descriptor held (if any) and holds `fd` instead.
    void reset(int fd = -1);
    // Closes now and tells whether close(2) succeeded (a write error on some
    // file systems shows up only there); true when none was held.
    [[nodiscard]] bool close();
    // Gives up the descriptor without closing it.
    [[nodiscard]] int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_ = -1;
};

// Calls `call` again for as long as it fails with EINTR; returns its last
// result (errno is that call's when the result is negative).
template <class Call>
auto retryOnEintr(Call call) -> decltype(call()) {
    for (;;) {
        auto result = call();
        if (!(result < 0 && errno == EINTR)) {
            return result;
        }
    }
}

// Reads until `size` bytes are in or the end of the input comes first.
// Returns the number of bytes read (less than `size` only at end of input),
// or -1 with errno on an error.
[[nodiscard]] ssize_t readFull(int fd, void* buffer, size_t size);

// Reads `size` bytes at `offset` of a file (pread), as readFull.
[[nodiscard]] ssize_t readFullAt(int fd, void* buffer, size_t size, off_t offset);

// Appends everything up to end of input to `out`. False (errno set) on an
// error; what was read before it stays appended.
[[nodiscard]] bool readToEnd(int fd, std::string& out);

// Writes all of `bytes`; false (errno set) on an error.
[[nodiscard]] bool writeAll(int fd, std::string_view bytes);
[[nodiscard]] bool writeAll(int fd, const void* data, size_t size);

// Writes all of `size` bytes at `offset` of a file (pwrite).
[[nodiscard]] bool writeAllAt(int fd, const void* data, size_t size, off_t offset);

// As writeAll, through send(2) with `flags` (MSG_NOSIGNAL for a socket whose
// peer may be gone).
[[nodiscard]] bool sendAll(int fd, std::string_view bytes, int flags);

}  // namespace base
