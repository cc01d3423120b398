#include "Common/XQDaemonToolHelper.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "Common/XQCompiledPaths.h"
#include "platform/bundle/bundle.h"

namespace {

constexpr size_t kTemplateBufferSize = 1024;
constexpr const char* kFallbackPrefix = "lx.pelk.tmp";
constexpr mode_t kStagedFileMode = 0700;

class ScopedFd {
  public:
    explicit ScopedFd(int fd) : fd_(fd) {}
    ScopedFd(const ScopedFd&) = delete;
    ScopedFd& operator=(const ScopedFd&) = delete;
    ~ScopedFd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int get() const { return fd_; }
    // Closes now and reports whether the close succeeded (a write error can
    // first show up here).
    bool close() {
        int fd = fd_;
        fd_ = -1;
        return fd < 0 || ::close(fd) == 0;
    }

  private:
    int fd_;
};

// The last path component as the platform's path handling gives it: trailing
// slashes do not count, so "a/b/" ends in "b".
std::string lastPathComponent(const std::string& path) {
    size_t end = path.find_last_not_of('/');
    if (end == std::string::npos) {
        return path.empty() ? std::string() : std::string("/");
    }
    size_t start = path.rfind('/', end);
    start = (start == std::string::npos) ? 0 : start + 1;
    return path.substr(start, end - start + 1);
}

std::string joinPath(const std::string& dir, const std::string& name) {
    if (!dir.empty() && dir.back() == '/') {
        return dir + name;
    }
    return dir + "/" + name;
}

// The staging buffer: anonymous memory the size of the package, asked for in
// huge pages where the kernel offers them, so that reading a large package
// does not pay a page fault per 4 KiB; it is not zero-filled first, since
// the read overwrites all of it. (The package file itself is never mapped:
// its bytes are read once, through the descriptor that was checked.)
class StagingBuffer {
  public:
    StagingBuffer() = default;
    StagingBuffer(const StagingBuffer&) = delete;
    StagingBuffer& operator=(const StagingBuffer&) = delete;
    ~StagingBuffer() {
        if (data_ != nullptr) {
            ::munmap(data_, size_);
        }
    }
    bool allocate(size_t size) {
        size_ = size;
        if (size == 0) {
            return true;
        }
        void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) {
            return false;
        }
        ::madvise(p, size, MADV_HUGEPAGE);
        data_ = static_cast<char*>(p);
        return true;
    }
    char* data() const { return data_; }
    size_t size() const { return size_; }

  private:
    char* data_ = nullptr;
    size_t size_ = 0;
};

// Reads the whole of a regular file from its descriptor. The size comes from
// fstat on that same descriptor, so the buffer is allocated once and exactly;
// a file that shrinks or grows while it is read is refused rather than
// followed, so a writer on the other side cannot make this read run on.
bool readWholeRegularFile(int fd, off_t size, StagingBuffer& out) {
    if (size < 0 || static_cast<unsigned long long>(size) > SIZE_MAX / 2 ||
        !out.allocate(static_cast<size_t>(size))) {
        return false;
    }
    size_t done = 0;
    while (done < out.size()) {
        ssize_t n = ::read(fd, out.data() + done, out.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (n == 0) {
            return false;  // shorter than fstat said
        }
        done += static_cast<size_t>(n);
    }
    char extra;
    for (;;) {
        ssize_t n = ::read(fd, &extra, 1);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return n == 0;  // anything past the size it had means it changed
    }
}

bool writeAll(int fd, const StagingBuffer& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

std::optional<std::string> XQDaemonToolHelper::getRandomlyDirectory() {
    std::string prefix = bundle::objectForInfoDictionaryKey("CFBundleIdentifier")
                             .value_or(std::string(kFallbackPrefix));
    std::string path = joinPath(xq::paths::kTemporaryDirectory, prefix + ".XXXXXXXX");
    if (path.size() + 1 > kTemplateBufferSize || path.find('\0') != std::string::npos) {
        return std::nullopt;
    }
    char buffer[kTemplateBufferSize];
    std::memcpy(buffer, path.c_str(), path.size() + 1);
    if (::mkdtemp(buffer) == nullptr) {
        return std::nullopt;
    }
    return std::string(buffer);
}

bool XQDaemonToolHelper::isSymbolicLinkWithPath(const std::string& path) {
    struct stat st;
    if (path.empty() || ::stat(path.c_str(), &st) != 0) {
        return false;
    }
    if (::lstat(path.c_str(), &st) != 0) {
        return false;
    }
    return S_ISLNK(st.st_mode);
}

bool XQDaemonToolHelper::isHardLinkWithPath(const std::string& path) {
    struct stat st;
    if (path.empty() || ::stat(path.c_str(), &st) != 0) {
        return false;
    }
    if (::lstat(path.c_str(), &st) != 0) {
        return false;
    }
    return S_ISREG(st.st_mode) && st.st_nlink >= 2;
}

std::optional<std::string> XQDaemonToolHelper::copyRegularFileToPrivateDirectory(
    const std::string& sourcePath, const std::string& dstFileName) {
    if (sourcePath.empty() || dstFileName.empty()) {
        return std::nullopt;
    }
    const std::string name = lastPathComponent(dstFileName);
    if (name.empty() || name == "/" || name == "." || name == "..") {
        return std::nullopt;
    }

    // A look before opening spares a device the side effects of an open; the
    // decision itself is taken on the descriptor below, since the path can
    // be re-pointed between the two.
    struct stat st;
    if (::stat(sourcePath.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return std::nullopt;
    }
    // O_NONBLOCK: a FIFO swapped in after the look must not block the open.
    ScopedFd src(::open(sourcePath.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (src.get() < 0 || ::fstat(src.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return std::nullopt;
    }
    StagingBuffer content;
    if (!readWholeRegularFile(src.get(), st.st_size, content)) {
        return std::nullopt;
    }
    src.close();

    std::optional<std::string> dir = getRandomlyDirectory();
    if (!dir || dir->empty()) {
        return std::nullopt;
    }
    const std::string staged = joinPath(*dir, name);
    ScopedFd dst(::open(staged.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                        kStagedFileMode));
    bool ok = dst.get() >= 0;
    if (ok) {
        // The umask may have narrowed the mode given to open; ownership and
        // mode are set on the descriptor so they apply to this very file.
        ok = ::fchown(dst.get(), 0, 0) == 0 && ::fchmod(dst.get(), kStagedFileMode) == 0 &&
             writeAll(dst.get(), content);
        ok = dst.close() && ok;
        if (!ok) {
            ::unlink(staged.c_str());
        }
    }
    if (!ok) {
        ::rmdir(dir->c_str());
        return std::nullopt;
    }
    return staged;
}

void XQDaemonToolHelper::removeStagedFile(const std::string& stagedPath) {
    if (stagedPath.empty()) {
        return;
    }
    ::unlink(stagedPath.c_str());
    size_t slash = stagedPath.find_last_of('/');
    if (slash != std::string::npos && slash > 0) {
        ::rmdir(stagedPath.substr(0, slash).c_str());
    }
}
