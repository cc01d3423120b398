#include "Common/XQDaemonToolHelper.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/fsuid.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "Common/XQCompiledPaths.h"
#include "platform/base/fd.h"
#include "platform/base/handle.h"
#include "platform/base/path.h"
#include "platform/bundle/bundle.h"
#include "platform/copy/copy.h"

namespace {

constexpr size_t kTemplateBufferSize = 1024;
constexpr const char* kFallbackPrefix = "lx.pelk.tmp";
constexpr mode_t kStagedFileMode = 0700;

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

// The private directories this process made and still uses, each with the
// descriptor that holds its lock (flock, exclusive). The lock is what tells a
// later sweep of the temporary directory that the directory is in use; it is
// released with the descriptor, and by the kernel when the process dies.
class PrivateDirectoryLocks {
  public:
    static PrivateDirectoryLocks& shared() {
        // Never destroyed: threads may still make or remove directories
        // while the process exits.
        static auto* locks = new PrivateDirectoryLocks();
        return *locks;
    }
    void hold(const std::string& path, base::UniqueFd fd) {
        std::lock_guard<std::mutex> guard(mutex_);
        fds_.insert_or_assign(path, std::move(fd));
    }
    void release(const std::string& path) {
        std::lock_guard<std::mutex> guard(mutex_);
        fds_.erase(path);
    }

  private:
    std::mutex mutex_;
    std::map<std::string, base::UniqueFd> fds_;
};

constexpr size_t kRandomCharacters = 8;
constexpr char kNameAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr size_t kNameAlphabetSize = sizeof kNameAlphabet - 1;
constexpr int kNameAttempts = 100;

// Eight characters of the alphabet from the kernel's random source, without
// modulo bias (bytes past the last whole multiple of the alphabet are drawn
// again).
std::optional<std::string> randomName() {
    std::string out;
    constexpr unsigned kLimit = 256 - (256 % kNameAlphabetSize);
    while (out.size() < kRandomCharacters) {
        unsigned char bytes[16];
        const ssize_t n = base::retryOnEintr([&] { return ::getrandom(bytes, sizeof bytes, 0); });
        if (n < 0) {
            return std::nullopt;
        }
        for (ssize_t i = 0; i < n && out.size() < kRandomCharacters; ++i) {
            if (bytes[i] < kLimit) {
                out.push_back(kNameAlphabet[bytes[i] % kNameAlphabetSize]);
            }
        }
    }
    return out;
}

bool isNameCharacter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

std::string privateDirectoryPrefix() {
    return bundle::objectForInfoDictionaryKey("CFBundleIdentifier")
               .value_or(std::string(kFallbackPrefix)) +
           ".";
}

// --- Opening a file as a user -------------------------------------------------

// Opens the regular file at `path` for reading with the calling thread's
// file-system identity. The O_PATH lookup opens nothing (no FIFO's writer
// wakes, no device's driver runs); the file is then opened for reading
// through the lookup's own /proc entry, which names that inode whatever
// happens to the path meanwhile, with the read permission checked as any
// open checks it.
base::UniqueFd openRegularForReading(const std::string& path) {
    const base::UniqueFd found(::open(path.c_str(), O_PATH | O_CLOEXEC));
    struct stat st;
    if (!found || ::fstat(found.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return {};
    }
    const std::string self = "/proc/self/fd/" + std::to_string(found.get());
    base::UniqueFd fd(::open(self.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    struct stat opened;
    if (!fd || ::fstat(fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode) ||
        opened.st_dev != st.st_dev || opened.st_ino != st.st_ino) {
        return {};
    }
    return fd;
}

// Gives the calling thread `user`'s file-system identity: supplementary
// groups, then file-system group and user. Linux keeps all three per thread;
// the raw system call is used for the groups because the C library's
// setgroups() changes every thread of the process. Taking a file-system user
// other than root also clears the file-system capabilities (reading or
// searching anything) from the thread's effective set. False unless all
// three took.
bool takeFileSystemIdentity(const base::ProcessUser& user) {
    if (::syscall(SYS_setgroups, user.groups.size(), user.groups.data()) != 0) {
        return false;
    }
    // setfsgid and setfsuid return the previous id and report no error: an
    // invalid id (-1) reads the current one back.
    ::setfsgid(user.gid);
    if (static_cast<gid_t>(::setfsgid(static_cast<gid_t>(-1))) != user.gid) {
        return false;
    }
    ::setfsuid(user.uid);
    return static_cast<uid_t>(::setfsuid(static_cast<uid_t>(-1))) == user.uid;
}

}  // namespace

base::UniqueFd XQDaemonToolHelper::openRegularFileAs(const std::string& path,
                                                     const base::ProcessUser& user) {
    if (path.empty()) {
        return {};
    }
    // The thread's identity goes with the thread: it ends right after the
    // open, so no thread ever returns to other work with the user's
    // identity, even where changing back could fail.
    int opened = -1;
    try {
        std::thread opener([&] {
            if (takeFileSystemIdentity(user)) {
                opened = openRegularForReading(path).release();
            }
        });
        opener.join();
    } catch (const std::system_error&) {
        return {};  // no thread could be started
    }
    return base::UniqueFd(opened);
}

std::optional<std::string> XQDaemonToolHelper::getRandomlyDirectory() {
    const std::string stem =
        base::joinPath(xq::paths::kTemporaryDirectory, privateDirectoryPrefix());
    if (stem.size() + kRandomCharacters + 1 > kTemplateBufferSize ||
        stem.find('\0') != std::string::npos) {
        return std::nullopt;
    }
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        std::optional<std::string> suffix = randomName();
        if (!suffix) {
            return std::nullopt;
        }
        const std::string path = stem + *suffix;
        if (::mkdir(path.c_str(), 0700) != 0) {
            if (errno == EEXIST) {
                continue;
            }
            return std::nullopt;
        }
        base::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!fd) {
            continue;  // a sweep of another process took it before the lock
        }
        // The lock, then a look that the directory is still the one made here:
        // a sweep may have locked and removed it in between.
        struct stat held;
        struct stat named;
        if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0 || ::fstat(fd.get(), &held) != 0 ||
            held.st_nlink == 0 || ::lstat(path.c_str(), &named) != 0 ||
            named.st_dev != held.st_dev || named.st_ino != held.st_ino) {
            continue;
        }
        PrivateDirectoryLocks::shared().hold(path, std::move(fd));
        return path;
    }
    return std::nullopt;
}

void XQDaemonToolHelper::removePrivateDirectory(const std::string& directory) {
    if (directory.empty()) {
        return;
    }
    base::removeTree(directory);
    PrivateDirectoryLocks::shared().release(directory);
}

bool XQDaemonToolHelper::makeTemporaryDirectoryIfMissing() {
    if (::mkdir(xq::paths::kTemporaryDirectory, 0700) != 0 && errno != EEXIST) {
        return false;
    }
    struct stat st;
    return ::stat(xq::paths::kTemporaryDirectory, &st) == 0 && S_ISDIR(st.st_mode);
}

size_t XQDaemonToolHelper::removeAbandonedPrivateDirectories() {
    const std::string prefix = privateDirectoryPrefix();
    base::UniqueFd tmp(::open(xq::paths::kTemporaryDirectory, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (tmp.get() < 0) {
        return 0;
    }
    std::vector<std::string> candidates;
    {
        base::UniqueFd listFd(::dup(tmp.get()));
        const base::Handle<DIR, ::closedir> dir(listFd ? ::fdopendir(listFd.get()) : nullptr);
        if (!dir) {
            return 0;
        }
        (void)listFd.release();  // the directory stream owns it now
        while (struct dirent* e = ::readdir(dir.get())) {
            std::string name = e->d_name;
            if (name.size() == prefix.size() + kRandomCharacters && name.rfind(prefix, 0) == 0 &&
                std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix.size()), name.end(),
                            isNameCharacter)) {
                candidates.push_back(std::move(name));
            }
        }
    }
    size_t removed = 0;
    for (const std::string& name : candidates) {
        // A directory, not a link to one; its lock free means no living
        // process uses it (this process's own are held through other
        // descriptors, so they count as taken too).
        base::UniqueFd fd(
            ::openat(tmp.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (fd.get() < 0 || ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
            continue;
        }
        std::error_code ec;
        std::filesystem::remove_all(base::joinPath(xq::paths::kTemporaryDirectory, name), ec);
        if (!ec) {
            ++removed;
        }
    }
    return removed;
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
    if (sourcePath.empty()) {
        return std::nullopt;
    }
    const base::UniqueFd src = openRegularForReading(sourcePath);
    if (!src) {
        return std::nullopt;
    }
    return copyRegularFileToPrivateDirectory(src.get(), dstFileName);
}

std::optional<std::string> XQDaemonToolHelper::copyRegularFileToPrivateDirectory(
    int sourceFd, const std::string& dstFileName) {
    if (sourceFd < 0 || dstFileName.empty()) {
        return std::nullopt;
    }
    const std::string name = lastPathComponent(dstFileName);
    if (name.empty() || name == "/" || name == "." || name == "..") {
        return std::nullopt;
    }
    struct stat st;
    if (::fstat(sourceFd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0 ||
        static_cast<uint64_t>(st.st_size) > kMaxStagedFileSize) {
        return std::nullopt;
    }
    const uint64_t size = static_cast<uint64_t>(st.st_size);

    std::optional<std::string> dir = getRandomlyDirectory();
    if (!dir || dir->empty()) {
        return std::nullopt;
    }
    const std::string staged = base::joinPath(*dir, name);
    base::UniqueFd dst(::open(staged.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                              kStagedFileMode));
    bool ok = dst.get() >= 0;
    if (ok) {
        // The umask may have narrowed the mode given to open; ownership and
        // mode are set on the descriptor so they apply to this very file.
        ok = ::fchown(dst.get(), 0, 0) == 0 && ::fchmod(dst.get(), kStagedFileMode) == 0 &&
             copy::copyFileContent(sourceFd, dst.get(), size);
        // A source that grew or shrank while it was copied is refused rather
        // than followed, so a writer on the other side cannot make this run
        // on; so is a file whose size does not tell its length (procfs).
        ok = ok && copy::fileEndsAt(sourceFd, size);
        ok = dst.close() && ok;
    }
    if (!ok) {
        removePrivateDirectory(*dir);
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
        const std::string dir = stagedPath.substr(0, slash);
        ::rmdir(dir.c_str());
        PrivateDirectoryLocks::shared().release(dir);
    }
}
