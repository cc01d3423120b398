#include "tools/installer/cpio.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/base/fd.h"
#include "platform/base/handle.h"
#include "tools/installer/format.h"
#include "tools/installer/installer.h"

namespace installer {
namespace {

namespace fs = std::filesystem;

using ReadArchivePtr = base::Handle<struct archive, archive_read_free>;
using WriteArchivePtr = base::Handle<struct archive, archive_write_free>;

ReadArchivePtr openCpio(const PayloadSource& source) {
    ReadArchivePtr a(archive_read_new());
    if (!a) {
        return a;
    }
    archive_read_support_filter_gzip(a.get());
    archive_read_support_filter_none(a.get());
    archive_read_support_format_cpio(a.get());
    if (source.open(a.get()) != ARCHIVE_OK) {
        a.reset();
    }
    return a;
}

// True when `path` lies below one of `links`.
bool throughLink(const std::set<std::string>& links, const std::string& path) {
    for (size_t slash = path.find('/'); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        if (links.count(path.substr(0, slash)) != 0) {
            return true;
        }
    }
    return false;
}

std::string below(const std::string& destination, const std::string& relative) {
    if (destination.empty()) {
        return relative;
    }
    return relative.empty() ? destination : destination + "/" + relative;
}

// The headers of a cpio stream (odc "070707", newc "070701"/"070702"), read
// by this program rather than by libarchive: libarchive allocates whatever a
// header's name size says before it reads the name (a payload could make it
// ask for gigabytes), so every header is read and bounded here, in the first
// pass, and libarchive only extracts a stream whose headers all passed.
struct CpioEntry {
    std::string name;
    std::string hardlink;  // an earlier entry's name with the same file, if any
    mode_t type = 0;
};

class CpioWalker {
  public:
    // The longest name, and the longest symbolic link target, accepted.
    static constexpr uint64_t kMaxName = PATH_MAX;

    explicit CpioWalker(struct archive* raw) : raw_(raw) {}

    // The next entry: true with `entry` set; false at the trailer (error()
    // empty) or on a refusal (error() says why).
    bool next(CpioEntry& entry) {
        char magic[6];
        if (!read(magic, sizeof magic)) {
            return fail("truncated cpio header");
        }
        const std::string_view m(magic, sizeof magic);
        uint64_t dev = 0, ino = 0, mode = 0, nlink = 0, nameSize = 0, fileSize = 0;
        bool newc = false;
        if (m == "070701" || m == "070702") {
            newc = true;
            char h[104];
            uint64_t devMinor = 0;
            if (!read(h, sizeof h) || !number(h + 0, 8, 16, ino) || !number(h + 8, 8, 16, mode) ||
                !number(h + 32, 8, 16, nlink) || !number(h + 48, 8, 16, fileSize) ||
                !number(h + 56, 8, 16, dev) || !number(h + 64, 8, 16, devMinor) ||
                !number(h + 88, 8, 16, nameSize)) {
                return fail("damaged cpio header");
            }
            dev = (dev << 32) | devMinor;
        } else if (m == "070707") {
            char h[70];
            if (!read(h, sizeof h) || !number(h + 0, 6, 8, dev) || !number(h + 6, 6, 8, ino) ||
                !number(h + 12, 6, 8, mode) || !number(h + 30, 6, 8, nlink) ||
                !number(h + 53, 6, 8, nameSize) || !number(h + 59, 11, 8, fileSize)) {
                return fail("damaged cpio header");
            }
        } else {
            return fail("not a cpio archive");
        }
        if (nameSize == 0 || nameSize > kMaxName) {
            return fail("cpio entry name too long");
        }
        std::string name(static_cast<size_t>(nameSize), '\0');
        if (!read(name.data(), name.size()) || name.back() != '\0' ||
            name.find('\0') != name.size() - 1 || !skip(newc ? pad(6 + 104 + nameSize) : 0)) {
            return fail("damaged cpio entry name");
        }
        name.pop_back();
        if (name == "TRAILER!!!") {
            return false;
        }
        entry = CpioEntry{};
        entry.name = name;
        entry.type = static_cast<mode_t>(mode) & S_IFMT;
        if (entry.type == S_IFLNK && fileSize > kMaxName) {
            return fail("cpio link target too long: " + name);
        }
        // Entries of one file (nlink > 1, the same device and inode) are
        // hard links to the first of them, as libarchive reads them.
        if (nlink > 1 && entry.type != S_IFDIR) {
            const auto [it, first] = files_.emplace(std::make_pair(dev, ino), name);
            if (!first) {
                entry.hardlink = it->second;
            }
        }
        return skip(fileSize + (newc ? pad(fileSize) : 0));
    }

    const std::string& error() const { return error_; }

  private:
    static uint64_t pad(uint64_t n) { return (4 - n % 4) % 4; }

    static bool number(const char* text, size_t width, unsigned base, uint64_t& value) {
        value = 0;
        for (size_t i = 0; i < width; ++i) {
            const char c = text[i];
            unsigned digit = 0;
            if (c >= '0' && c <= '9') {
                digit = static_cast<unsigned>(c - '0');
            } else if (base == 16 && c >= 'a' && c <= 'f') {
                digit = static_cast<unsigned>(c - 'a' + 10);
            } else if (base == 16 && c >= 'A' && c <= 'F') {
                digit = static_cast<unsigned>(c - 'A' + 10);
            } else {
                return false;
            }
            if (digit >= base) {
                return false;
            }
            value = value * base + digit;
        }
        return true;
    }

    bool fail(std::string why) {
        error_ = std::move(why);
        return false;
    }

    // Fills `out` from the decompressed stream; false at its end or on error.
    bool read(char* out, size_t n) {
        while (n > 0) {
            if (at_ == end_) {
                // One block, taken as it comes (not cleared per refill).
                if (!buffer_) {
                    buffer_ = std::make_unique_for_overwrite<char[]>(kBlock);
                }
                const la_ssize_t got = archive_read_data(raw_, buffer_.get(), kBlock);
                at_ = 0;
                end_ = got > 0 ? static_cast<size_t>(got) : 0;
                if (got <= 0) {
                    return false;
                }
            }
            const size_t take = std::min(n, end_ - at_);
            std::memcpy(out, buffer_.get() + at_, take);
            at_ += take;
            out += take;
            n -= take;
        }
        return true;
    }

    bool skip(uint64_t n) {
        char sink[4096];
        while (n > 0) {
            const size_t take = static_cast<size_t>(std::min<uint64_t>(n, sizeof sink));
            if (!read(sink, take)) {
                return fail("truncated cpio entry");
            }
            n -= take;
        }
        return true;
    }

    struct archive* raw_;
    static constexpr size_t kBlock = size_t{64} * 1024;
    std::unique_ptr<char[]> buffer_;
    size_t at_ = 0;
    size_t end_ = 0;
    std::map<std::pair<uint64_t, uint64_t>, std::string> files_;
    std::string error_;
};

// First pass: every entry is read and judged before anything is written, so
// a refused payload leaves the target untouched.
std::optional<Failure> checkCpio(const PayloadSource& source, const Target& target,
                                 const std::string& destination, bool allowLinks) {
    // The decompressed stream as it is (libarchive's raw format), walked here.
    ReadArchivePtr a(archive_read_new());
    if (!a || archive_read_support_filter_gzip(a.get()) != ARCHIVE_OK ||
        archive_read_support_filter_none(a.get()) != ARCHIVE_OK ||
        archive_read_support_format_raw(a.get()) != ARCHIVE_OK ||
        source.open(a.get()) != ARCHIVE_OK) {
        return Failure{"cannot read the archive " + source.name()};
    }
    struct archive_entry* raw = nullptr;
    if (archive_read_next_header(a.get(), &raw) != ARCHIVE_OK) {
        return Failure{"cannot read the archive " + source.name()};
    }
    CpioWalker walker(a.get());
    const std::set<std::string> noPayloadLinks;
    std::set<std::string> symlinks;
    CpioEntry e;
    while (walker.next(e)) {
        std::string rel;
        if (!normalizeEntryName(e.name, rel)) {
            return Failure{"archive entry leaves the target: " + e.name};
        }
        std::string resolved;
        if (!e.hardlink.empty()) {
            std::string hrel;
            if (!allowLinks || !normalizeEntryName(e.hardlink, hrel) || hrel.empty() ||
                throughLink(symlinks, hrel) || symlinks.count(hrel) != 0) {
                return Failure{"hard link leaves the target: " + e.hardlink};
            }
            if (auto f = resolveInTarget(target, below(destination, hrel), noPayloadLinks, false,
                                         resolved)) {
                return f;
            }
        }
        const mode_t type = e.type;
        if (type != AE_IFREG && type != AE_IFDIR && !(allowLinks && type == AE_IFLNK)) {
            return Failure{"archive entry of a type not installed: " + rel};
        }
        if (rel.empty()) {
            continue;
        }
        if (throughLink(symlinks, rel)) {
            return Failure{"archive entry leaves the target through a symbolic link: " + rel};
        }
        if (auto f = resolveInTarget(target, below(destination, rel), noPayloadLinks,
                                     type == AE_IFDIR, resolved)) {
            return f;
        }
        if (type == AE_IFLNK) {
            symlinks.insert(rel);
        }
    }
    if (!walker.error().empty()) {
        return Failure{"damaged archive: " + walker.error()};
    }
    return std::nullopt;
}

// Second pass: writes the entries below `destination`. Each entry's path is
// resolved again against the target as it is now (system links crossed, the
// payload's own links never) and handed to the writer in its resolved form,
// which has no symbolic link in it: the writer refuses any it meets.
// Directories that already exist keep their owner and mode.
std::optional<Failure> extractCpio(const PayloadSource& source, const Target& target,
                                   const std::string& destination, bool keepOwners) {
    auto a = openCpio(source);
    if (!a) {
        return Failure{"cannot read the archive " + source.name()};
    }
    WriteArchivePtr w(archive_write_disk_new());
    if (!w) {
        return Failure{"out of memory"};
    }
    int flags = ARCHIVE_EXTRACT_PERM | ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_UNLINK |
                ARCHIVE_EXTRACT_SECURE_SYMLINKS | ARCHIVE_EXTRACT_SECURE_NODOTDOT |
                ARCHIVE_EXTRACT_SECURE_NOABSOLUTEPATHS;
    if (keepOwners) {
        flags |= ARCHIVE_EXTRACT_OWNER;
    }
    archive_write_disk_set_options(w.get(), flags);

    base::UniqueFd cwd(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (cwd.get() < 0 || ::fchdir(target.fd) != 0) {
        return Failure{"cannot enter the target"};
    }
    struct RestoreCwd {
        int fd;
        ~RestoreCwd() {
            if (::fchdir(fd) != 0) {
                std::perror("installer: fchdir");
            }
        }
    } restore{cwd.get()};

    auto failWith = [&](struct archive* x, const std::string& what) {
        const char* msg = archive_error_string(x);
        return Failure{what + ": " + (msg != nullptr ? msg : "unknown error")};
    };
    std::set<std::string> payloadLinks;
    struct archive_entry* e = nullptr;
    int r;
    while ((r = archive_read_next_header(a.get(), &e)) == ARCHIVE_OK) {
        std::string rel;
        if (!normalizeEntryName(archive_entry_pathname(e), rel)) {
            return Failure{"archive entry leaves the target"};
        }
        if (rel.empty()) {
            continue;  // the destination itself keeps its owner and mode
        }
        const bool isDirectory = archive_entry_filetype(e) == AE_IFDIR;
        std::string resolved;
        if (auto f = resolveInTarget(target, below(destination, rel), payloadLinks, isDirectory,
                                     resolved)) {
            return f;
        }
        struct stat st;
        if (resolved.empty() ||
            (isDirectory && ::fstatat(target.fd, resolved.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
             S_ISDIR(st.st_mode))) {
            continue;
        }
        archive_entry_copy_pathname(e, resolved.c_str());
        if (const char* hl = archive_entry_hardlink(e)) {
            std::string hrel;
            std::string hresolved;
            if (!normalizeEntryName(hl, hrel)) {
                return Failure{"hard link leaves the target"};
            }
            if (auto f = resolveInTarget(target, below(destination, hrel), payloadLinks, false,
                                         hresolved)) {
                return f;
            }
            archive_entry_copy_hardlink(e, hresolved.c_str());
        }
        if (archive_write_header(w.get(), e) != ARCHIVE_OK) {
            return failWith(w.get(), "cannot install " + rel);
        }
        if (archive_entry_filetype(e) == AE_IFLNK) {
            payloadLinks.insert(resolved);
        }
        if (archive_entry_size(e) > 0) {
            const void* buf;
            size_t size;
            la_int64_t offset;
            int rr;
            while ((rr = archive_read_data_block(a.get(), &buf, &size, &offset)) == ARCHIVE_OK) {
                if (archive_write_data_block(w.get(), buf, size, offset) != ARCHIVE_OK) {
                    return failWith(w.get(), "cannot write " + rel);
                }
            }
            if (rr != ARCHIVE_EOF) {
                return failWith(a.get(), "damaged archive at " + rel);
            }
        }
        if (archive_write_finish_entry(w.get()) != ARCHIVE_OK) {
            return failWith(w.get(), "cannot finish " + rel);
        }
    }
    if (r != ARCHIVE_EOF) {
        return failWith(a.get(), "damaged archive");
    }
    if (archive_write_close(w.get()) != ARCHIVE_OK) {
        return failWith(w.get(), "cannot complete the install");
    }
    return std::nullopt;
}

}  // namespace

std::optional<Failure> checkArchive(const std::string& what, const PayloadSource& source,
                                    const Target& target, const std::string& destination,
                                    bool allowLinks) {
    if (std::optional<std::string> format = unsupportedFormat(source)) {
        return Failure{what + " is " + *format +
                       "; this installer reads cpio archives, plain or gzip-compressed"};
    }
    return checkCpio(source, target, destination, allowLinks);
}

std::optional<Failure> unpackArchive(const std::string& what, const PayloadSource& source,
                                     const Target& target, const std::string& destination,
                                     bool allowLinks, bool keepOwners) {
    if (auto f = checkArchive(what, source, target, destination, allowLinks)) {
        return f;
    }
    return extractCpio(source, target, destination, keepOwners);
}

namespace {

// The payload's checks, and unless `checkOnly` its extraction, below
// `destination` of the target.
std::optional<std::string> payloadInto(const PayloadSource& source, int targetFd,
                                       const std::string& targetPath,
                                       const std::string& destination, bool keepOwners,
                                       bool checkOnly) {
    const Target top{targetFd, targetPath};
    std::string rel;
    std::string resolved;
    base::UniqueFd dest;
    std::optional<Failure> f;
    // The destination is made only once the whole archive passed its
    // checks: a refused payload leaves the target as it was.
    if (!normalizeEntryName(destination, rel)) {
        f = Failure{"install location not allowed: " + destination};
    } else if (!(f = resolveInTarget(top, rel, {}, true, resolved)) &&
               !(f = checkArchive("the Payload", source, top, resolved, true)) && !checkOnly &&
               !(f = openResolvedDirectory(top, resolved, dest))) {
        f = extractCpio(source, top, resolved, keepOwners);
    }
    if (f) {
        return f->reason;
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> installPayload(const std::string& archivePath, int targetFd,
                                          const std::string& targetPath,
                                          const std::string& destination, bool keepOwners) {
    return payloadInto({archivePath, {}}, targetFd, targetPath, destination, keepOwners, false);
}

std::optional<std::string> installPayload(std::span<const unsigned char> archive, int targetFd,
                                          const std::string& targetPath,
                                          const std::string& destination, bool keepOwners) {
    return payloadInto({"", archive}, targetFd, targetPath, destination, keepOwners, false);
}

std::optional<std::string> checkPayload(std::span<const unsigned char> archive, int targetFd,
                                        const std::string& targetPath,
                                        const std::string& destination) {
    return payloadInto({"", archive}, targetFd, targetPath, destination, false, true);
}

}  // namespace installer
