#include "platform/copy/copy.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "platform/base/fd.h"

namespace copy {
namespace {

bool isUnsupportedCopy(int error) {
    return error == EXDEV || error == EINVAL || error == ENOSYS || error == EOPNOTSUPP;
}

// Copies [offset, offset + length) of `src` to the same offset of `dst`,
// inside the kernel where it can: copy_file_range, then sendfile, and only on
// a file system that offers neither, through a small bounded buffer. False on
// an error or when the source ends early (it shrank).
bool copyRange(int src, int dst, off_t offset, uint64_t length) {
    off_t in = offset;
    off_t out = offset;
    uint64_t left = length;
    constexpr size_t kChunk = size_t{1} << 30;
    bool useCopyFileRange = true;
    while (left > 0 && useCopyFileRange) {
        const ssize_t n = base::retryOnEintr([&] {
            return ::copy_file_range(src, &in, dst, &out, std::min<uint64_t>(left, kChunk), 0);
        });
        if (n < 0) {
            if (!isUnsupportedCopy(errno)) {
                return false;
            }
            useCopyFileRange = false;
            break;
        }
        if (n == 0) {
            return false;
        }
        left -= static_cast<uint64_t>(n);
    }
    if (left == 0) {
        return true;
    }
    // sendfile writes at the output's file position.
    bool useSendfile = ::lseek(dst, out, SEEK_SET) == out;
    while (left > 0 && useSendfile) {
        const ssize_t n = base::retryOnEintr(
            [&] { return ::sendfile(dst, src, &in, std::min<uint64_t>(left, kChunk)); });
        if (n < 0) {
            if (!isUnsupportedCopy(errno)) {
                return false;
            }
            useSendfile = false;
            break;
        }
        if (n == 0) {
            return false;
        }
        out += n;
        left -= static_cast<uint64_t>(n);
    }
    constexpr size_t kBuffer = size_t{256} * 1024;
    std::unique_ptr<char[]> buffer;
    if (left > 0) {
        buffer = std::make_unique_for_overwrite<char[]>(kBuffer);
    }
    while (left > 0) {
        const ssize_t n = base::retryOnEintr(
            [&] { return ::pread(src, buffer.get(), std::min<uint64_t>(left, kBuffer), in); });
        if (n <= 0 || !base::writeAllAt(dst, buffer.get(), static_cast<size_t>(n), out)) {
            return false;
        }
        out += n;
        in += n;
        left -= static_cast<uint64_t>(n);
    }
    return true;
}

}  // namespace

bool copyFileContent(int src, int dst, uint64_t size) {
    if (size == 0) {
        return true;
    }
    if (::ioctl(dst, FICLONE, src) == 0) {
        struct stat st;
        return ::fstat(dst, &st) == 0 && static_cast<uint64_t>(st.st_size) == size;
    }
    uint64_t pos = 0;
    while (pos < size) {
        off_t data = ::lseek(src, static_cast<off_t>(pos), SEEK_DATA);
        if (data < 0) {
            if (errno == ENXIO) {
                break;  // only a hole remains
            }
            data = static_cast<off_t>(pos);  // no hole information: all data
        }
        if (static_cast<uint64_t>(data) >= size) {
            break;
        }
        off_t hole = ::lseek(src, data, SEEK_HOLE);
        uint64_t end = hole < 0 ? size : std::min<uint64_t>(static_cast<uint64_t>(hole), size);
        if (end <= static_cast<uint64_t>(data)) {
            end = size;
        }
        if (!copyRange(src, dst, data, end - static_cast<uint64_t>(data))) {
            return false;
        }
        pos = end;
    }
    return ::ftruncate(dst, static_cast<off_t>(size)) == 0;
}

bool fileEndsAt(int fd, uint64_t size) {
    struct stat st;
    if (::fstat(fd, &st) != 0 || static_cast<uint64_t>(st.st_size) != size) {
        return false;
    }
    char extra;
    return base::retryOnEintr([&] { return ::pread(fd, &extra, 1, static_cast<off_t>(size)); }) ==
           0;
}

}  // namespace copy
