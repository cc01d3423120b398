#include "tools/installer/installer.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/fd.h"
#include "platform/process/process.h"
#include "platform/xar/handles.h"
#include "platform/xar/xar.h"
#include "platform/xml/xml.h"

namespace installer {
namespace {

namespace fs = std::filesystem;

// The reason an install failed, for the one line the tool prints.
struct Failure {
    std::string reason;
};

struct ReadArchiveFree {
    void operator()(struct archive* a) const { archive_read_free(a); }
};
struct WriteArchiveFree {
    void operator()(struct archive* a) const { archive_write_free(a); }
};

// A private working directory, removed with everything in it at the end.
class WorkDir {
  public:
    explicit WorkDir(const std::string& fallback) {
        const char* tmp = std::getenv("TMPDIR");
        for (const std::string& base :
             {std::string((tmp != nullptr && *tmp == '/') ? tmp : "/tmp"), fallback}) {
            std::string templ = base + "/xq-installer.XXXXXXXX";
            std::vector<char> buf(templ.begin(), templ.end());
            buf.push_back('\0');
            if (::mkdtemp(buf.data()) != nullptr) {
                path_ = buf.data();
                return;
            }
        }
    }
    ~WorkDir() {
        if (!path_.empty()) {
            std::error_code ec;
            fs::remove_all(path_, ec);
        }
    }
    WorkDir(const WorkDir&) = delete;
    WorkDir& operator=(const WorkDir&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

std::vector<std::string> splitComponents(const std::string& relative) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= relative.size()) {
        size_t slash = relative.find('/', start);
        if (slash == std::string::npos) {
            slash = relative.size();
        }
        if (slash > start) {
            out.push_back(relative.substr(start, slash - start));
        }
        start = slash + 1;
    }
    return out;
}

// --- Archive members ----------------------------------------------------------

// Every member of the package, extracted (and so checksum-verified) into the
// work directory under its own relative path.
struct Members {
    std::set<std::string> files;        // relative paths of extracted members
    std::set<std::string> directories;  // members that hold others
    std::string root;                   // where they were extracted
};

std::optional<Failure> extractMembers(const std::string& pkgPath, const std::string& into,
                                      Members& out) {
    xar::ArchivePtr archive(xar_open(pkgPath.c_str(), READ));
    if (!archive) {
        return Failure{
            "cannot open the package as a XAR archive (or its table of contents "
            "does not match its checksum)"};
    }
    xar::IterPtr iter(xar_iter_new());
    if (!iter) {
        return Failure{"out of memory"};
    }
    std::vector<std::pair<std::string, xar_file_t>> members;
    for (xar_file_t f = xar_file_first(archive.get(), iter.get()); f != nullptr;
         f = xar_file_next(iter.get())) {
        char* raw = xar_get_safe_path(f);
        if (raw == nullptr) {
            return Failure{"a package member has no name"};
        }
        std::string path(raw);
        std::free(raw);
        std::string relative;
        if (!normalizeEntryName(path, relative) || relative.empty()) {
            return Failure{"package member name not allowed: " + path};
        }
        // A member without a type is a file, as libxar takes it; a directory
        // member may have no children (an empty folder of the product).
        const char* type = nullptr;
        if (xar_prop_get(f, "type", &type) == 0 && std::strcmp(type, "file") != 0) {
            if (std::strcmp(type, "directory") != 0) {
                return Failure{"package member " + relative + " is of type \"" + type +
                               "\", not a file or a directory"};
            }
            out.directories.insert(relative);
        }
        members.emplace_back(relative, f);
    }
    for (const auto& [path, f] : members) {
        (void)f;
        for (size_t slash = path.find('/'); slash != std::string::npos;
             slash = path.find('/', slash + 1)) {
            out.directories.insert(path.substr(0, slash));
        }
    }
    out.root = into;
    for (const auto& [path, f] : members) {
        if (out.directories.count(path) != 0) {
            continue;
        }
        std::string dest = into + "/" + path;
        std::error_code ec;
        fs::create_directories(fs::path(dest).parent_path(), ec);
        if (ec) {
            return Failure{"cannot create " + fs::path(dest).parent_path().string()};
        }
        if (xar_extract_tofile(archive.get(), f, dest.c_str()) != 0) {
            return Failure{"package member " + path + " is damaged (checksum or encoding)"};
        }
        out.files.insert(path);
    }
    return std::nullopt;
}

// --- Metadata -------------------------------------------------------------------

// What the install reads from the package's metadata.
struct XmlCollector final : xml::Handler {
    // Distribution: the text of each pkg-ref element, in document order.
    std::vector<std::string> pkgRefs;
    int pkgRefDepth = 0;
    std::string text;
    // PackageInfo: the pkg-info element's install-location and identifier.
    std::optional<std::string> installLocation;
    std::optional<std::string> identifier;

    void startElement(const char* name, const char** atts) override {
        if (std::strcmp(name, "pkg-ref") == 0) {
            pkgRefDepth++;
            text.clear();
        } else if (std::strcmp(name, "pkg-info") == 0) {
            for (size_t i = 0; atts[i] != nullptr && atts[i + 1] != nullptr; i += 2) {
                if (std::strcmp(atts[i], "install-location") == 0) {
                    installLocation = atts[i + 1];
                } else if (std::strcmp(atts[i], "identifier") == 0) {
                    identifier = atts[i + 1];
                }
            }
        }
    }
    void endElement(const char* name) override {
        if (std::strcmp(name, "pkg-ref") == 0 && pkgRefDepth > 0) {
            pkgRefDepth--;
            pkgRefs.push_back(text);
            text.clear();
        }
    }
    void characters(const char* s, size_t len) override {
        if (pkgRefDepth > 0 && text.size() < 4096) {
            text.append(s, len);
        }
    }
};

// Why the file could not be read: None when it was read whole. A document
// with entity declarations or an external subset is refused unread.
xml::Refusal parseXmlFile(const std::string& path, XmlCollector& c) {
    xml::Parser parser(c);
    return parser.parseFile(path) ? xml::Refusal::None : parser.refusal();
}

// The reader refused the document itself, rather than finding it not
// well-formed or unreadable.
bool refusedOutright(xml::Refusal why) {
    return why == xml::Refusal::ExternalDeclarations || why == xml::Refusal::EntityDeclaration ||
           why == xml::Refusal::Memory;
}

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    size_t e = s.find_last_not_of(" \t\r\n");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

std::string percentDecode(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() &&
            std::isxdigit(static_cast<unsigned char>(s[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(s[i + 2]))) {
            out.push_back(static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16)));
            i += 2;
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

// The components to install, as member directories ("" for a flat package).
std::optional<Failure> findComponents(const Members& m, std::vector<std::string>& components) {
    if (m.files.count("Distribution") == 0) {
        if (m.files.count("Payload") == 0 && m.files.count("Scripts") == 0) {
            return Failure{"the package has neither a Payload nor Scripts"};
        }
        components.push_back("");
        return std::nullopt;
    }
    auto isComponent = [&](const std::string& dir) {
        return m.directories.count(dir) != 0 && dir.find('/') == std::string::npos &&
               (m.files.count(dir + "/Payload") != 0 || m.files.count(dir + "/Scripts") != 0 ||
                m.files.count(dir + "/PackageInfo") != 0);
    };
    XmlCollector dist;
    const xml::Refusal distribution = parseXmlFile(m.root + "/Distribution", dist);
    if (refusedOutright(distribution)) {
        // Its choice of components cannot be known: installing every one
        // instead could install what it leaves out.
        return Failure{
            "the Distribution is refused by the XML reader (entities, an external "
            "subset, or too large to parse)"};
    }
    if (distribution == xml::Refusal::None) {
        std::set<std::string> seen;
        for (const std::string& ref : dist.pkgRefs) {
            std::string t = trim(ref);
            if (t.empty() || t[0] != '#') {
                continue;
            }
            std::string name = percentDecode(t.substr(1));
            if (!isComponent(name)) {
                return Failure{"the Distribution names a missing component: " + name};
            }
            if (seen.insert(name).second) {
                components.push_back(name);
            }
        }
    }
    if (components.empty()) {
        // No readable choice of components: install every one the product holds.
        for (const std::string& dir : m.directories) {
            if (isComponent(dir)) {
                components.push_back(dir);
            }
        }
    }
    if (components.empty()) {
        return Failure{"the product archive holds no component package"};
    }
    return std::nullopt;
}

// --- The target -------------------------------------------------------------------

// Where archives are unpacked: an open directory and the path it was opened
// at, with no symbolic link in it.
struct Target {
    int fd = -1;
    std::string path;
};

std::string joinComponents(const std::vector<std::string>& components) {
    std::string out;
    for (const std::string& c : components) {
        out += (out.empty() ? "" : "/") + c;
    }
    return out;
}

constexpr int kMaxLinkHops = 40;

// A symbolic link that only root can have made or pointed where it points:
// owned by root, in a directory owned by root that no one else may write to.
// That is the system's own layout (Debian's /bin -> usr/bin), never a link a
// user could have planted.
bool isSystemLink(const struct stat& link, const struct stat& directory) {
    return link.st_uid == 0 && directory.st_uid == 0 &&
           (directory.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

bool readLinkAt(int dir, const std::string& path, std::string& text) {
    std::vector<char> buf(PATH_MAX + 1);
    ssize_t n = ::readlinkat(dir, path.c_str(), buf.data(), buf.size());
    if (n <= 0 || static_cast<size_t>(n) >= buf.size()) {
        return false;
    }
    text.assign(buf.data(), static_cast<size_t>(n));
    return true;
}

// Resolves `relative` (normalised, below the target) to the path it names
// below the target with every symbolic link on the way resolved. No link is
// crossed except a system link (isSystemLink) that this payload did not make
// (`payloadLinks`, resolved paths) and that leads to a place inside the
// target. Components that do not exist yet are kept as they are. A final
// component that is a symbolic link is resolved only when `followFinal` (a
// directory entry meeting an existing directory); otherwise it is the entry
// itself, which the extraction replaces. `resolved` gets the result, "" for
// the target itself.
std::optional<Failure> resolveInTarget(const Target& target, const std::string& relative,
                                       const std::set<std::string>& payloadLinks, bool followFinal,
                                       std::string& resolved) {
    std::deque<std::string> pending;
    for (std::string& c : splitComponents(relative)) {
        pending.push_back(std::move(c));
    }
    std::vector<std::string> done;  // existing directories, then missing names
    bool missing = false;
    int hops = 0;
    while (!pending.empty()) {
        std::string comp = std::move(pending.front());
        pending.pop_front();
        if (comp == ".") {
            continue;
        }
        if (comp == "..") {
            // Only a link's text brings one; what `done` holds are real
            // directories, so the parent is the one before.
            if (done.empty() || missing) {
                return Failure{"a symbolic link on the way leads out of the target: " + relative};
            }
            done.pop_back();
            continue;
        }
        if (missing) {
            done.push_back(std::move(comp));
            continue;
        }
        const std::string parent = joinComponents(done);
        done.push_back(std::move(comp));
        const std::string here = joinComponents(done);
        struct stat st;
        if (::fstatat(target.fd, here.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT) {
                missing = true;
                continue;
            }
            return Failure{"cannot examine " + here + ": " + std::strerror(errno)};
        }
        const bool last = pending.empty();
        if (S_ISDIR(st.st_mode) || (last && (!S_ISLNK(st.st_mode) || !followFinal))) {
            continue;
        }
        if (!S_ISLNK(st.st_mode)) {
            return Failure{"archive entry " + relative + " needs " + here +
                           " to be a directory, and it is not"};
        }
        struct stat dir;
        if (payloadLinks.count(here) != 0 ||
            ::fstatat(target.fd, parent.empty() ? "." : parent.c_str(), &dir,
                      AT_SYMLINK_NOFOLLOW) != 0 ||
            !isSystemLink(st, dir)) {
            return Failure{"archive entry leaves the target through a symbolic link: " + relative +
                           " (at " + here + ")"};
        }
        std::string text;
        if (++hops > kMaxLinkHops || !readLinkAt(target.fd, here, text)) {
            return Failure{"cannot follow the symbolic link " + here};
        }
        done.pop_back();
        std::vector<std::string> head;
        if (text[0] == '/') {
            // An absolute link names a place on the system: it must lie in
            // the target, and is then followed from the target's top.
            const std::string& top = target.path;
            if (top != "/" && (text.compare(0, top.size(), top) != 0 ||
                               (text.size() > top.size() && text[top.size()] != '/'))) {
                return Failure{"the symbolic link " + here + " leads out of the target (" + text +
                               ")"};
            }
            head = splitComponents(top == "/" ? text : text.substr(top.size()));
            done.clear();
        } else {
            head = splitComponents(text);
        }
        pending.insert(pending.begin(), head.begin(), head.end());
    }
    resolved = joinComponents(done);
    return std::nullopt;
}

// Opens (creating where missing, mode 0755) the directory at the resolved
// path `resolved` below the target, never following a symbolic link: one that
// appeared since the path was resolved makes this fail.
std::optional<Failure> openResolvedDirectory(const Target& target, const std::string& resolved,
                                             base::UniqueFd& out) {
    base::UniqueFd cur(::dup(target.fd));
    if (cur.get() < 0) {
        return Failure{"cannot open the target"};
    }
    for (const std::string& comp : splitComponents(resolved)) {
        if (::mkdirat(cur.get(), comp.c_str(), 0755) != 0 && errno != EEXIST) {
            return Failure{"cannot create the install location (" + comp + ")"};
        }
        base::UniqueFd next(
            ::openat(cur.get(), comp.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (next.get() < 0) {
            return Failure{"install location component " + comp +
                           " is not a directory (or is a symbolic link)"};
        }
        cur = std::move(next);
    }
    out = std::move(cur);
    return std::nullopt;
}

// --- Archive formats ---------------------------------------------------------------

// A payload archive to read: a file, or bytes already in memory (the same
// checks and the same extraction either way).
struct PayloadSource {
    std::string path;                      // the file; empty for bytes in memory
    std::span<const unsigned char> bytes;  // used when `path` is not a file

    bool inMemory() const { return path.empty(); }
    std::string name() const {
        return inMemory() ? std::string("Payload") : fs::path(path).filename().string();
    }
    // Opens the already set-up libarchive reader `a` on the payload.
    int open(struct archive* a) const {
        if (inMemory()) {
            return archive_read_open_memory(a, bytes.data(), bytes.size());
        }
        return archive_read_open_filename(a, path.c_str(), 1 << 16);
    }
};

bool startsWith(const unsigned char* data, size_t size, std::string_view magic, size_t at = 0) {
    return size >= at + magic.size() && std::memcmp(data + at, magic.data(), magic.size()) == 0;
}

bool isCpio(const unsigned char* data, size_t size) {
    return startsWith(data, size, "070707") || startsWith(data, size, "070701") ||
           startsWith(data, size, "070702") ||
           (size >= 2 &&
            ((data[0] == 0xc7 && data[1] == 0x71) || (data[0] == 0x71 && data[1] == 0xc7)));
}

// What a stream that is not cpio is, by its first bytes.
std::string nameFormat(const unsigned char* data, size_t size) {
    if (size == 0) {
        return "empty";
    }
    struct Magic {
        std::string_view bytes;
        size_t offset;
        const char* name;
    };
    static const Magic kMagics[] = {
        {"pbzx", 0, "a pbzx stream (Apple's chunked xz or lzfse)"},
        {std::string_view("\xfd"
                          "7zXZ\0",
                          6),
         0, "xz-compressed"},
        {"BZh", 0, "bzip2-compressed"},
        {"\x28\xb5\x2f\xfd", 0, "zstd-compressed"},
        {"\x04\x22\x4d\x18", 0, "lz4-compressed"},
        {std::string_view("\x5d\0\0", 3), 0, "lzma-compressed"},
        {"PK\x03\x04", 0, "a zip archive"},
        {"xar!", 0, "a XAR archive"},
        {"ustar", 257, "a tar archive"},
        {"bvx", 0, "an lzfse stream"},
    };
    for (const Magic& m : kMagics) {
        if (startsWith(data, size, m.bytes, m.offset)) {
            return m.name;
        }
    }
    char hex[3 * 8 + 1] = "";
    for (size_t i = 0; i < size && i < 8; ++i) {
        std::snprintf(hex + 3 * i, 4, "%02x ", data[i]);
    }
    std::string first(hex);
    first.pop_back();
    return "of no known format (first bytes " + first + ")";
}

// Nothing when the payload is a cpio archive, plain or compressed with gzip
// (what the system installer's payloads are and this tool reads); otherwise
// what it is, for the error message.
std::optional<std::string> unsupportedFormat(const PayloadSource& source) {
    base::UniqueFd fd;
    if (!source.inMemory()) {
        fd.reset(::open(source.path.c_str(), O_RDONLY | O_CLOEXEC));
    }
    auto readAt = [&](unsigned char* buf, size_t len, off_t offset) -> ssize_t {
        if (source.inMemory()) {
            const size_t at = static_cast<size_t>(offset);
            const size_t got =
                at < source.bytes.size() ? std::min(len, source.bytes.size() - at) : 0;
            std::memcpy(buf, source.bytes.data() + at, got);
            return static_cast<ssize_t>(got);
        }
        return fd.get() < 0 ? -1 : ::pread(fd.get(), buf, len, offset);
    };
    unsigned char head[512];
    ssize_t n = readAt(head, sizeof head, 0);
    if (n < 0) {
        return std::string("unreadable");
    }
    const size_t size = static_cast<size_t>(n);
    if (isCpio(head, size)) {
        return std::nullopt;
    }
    if (size < 2 || head[0] != 0x1f || head[1] != 0x8b) {
        return nameFormat(head, size);
    }
    // gzip: look at what it holds.
    unsigned char inner[512];
    z_stream z{};
    if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) {
        return std::string("gzip-compressed data that cannot be inflated");
    }
    unsigned char in[4096];
    off_t offset = 0;
    int r = Z_OK;
    z.next_out = inner;
    z.avail_out = sizeof inner;
    while (z.avail_out > 0 && r == Z_OK) {
        if (z.avail_in == 0) {
            ssize_t got = readAt(in, sizeof in, offset);
            if (got <= 0) {
                break;
            }
            offset += got;
            z.next_in = in;
            z.avail_in = static_cast<uInt>(got);
        }
        r = inflate(&z, Z_NO_FLUSH);
    }
    const size_t innerSize = sizeof inner - z.avail_out;
    inflateEnd(&z);
    if (r != Z_OK && r != Z_STREAM_END && innerSize == 0) {
        return std::string("damaged gzip-compressed data");
    }
    if (isCpio(inner, innerSize)) {
        return std::nullopt;
    }
    return "gzip-compressed data " + nameFormat(inner, innerSize).insert(0, "that is ");
}

// --- cpio payloads ----------------------------------------------------------

std::unique_ptr<struct archive, ReadArchiveFree> openCpio(const PayloadSource& source) {
    std::unique_ptr<struct archive, ReadArchiveFree> a(archive_read_new());
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

    static constexpr size_t kBlock = size_t{64} * 1024;
    struct archive* raw_;
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
    std::unique_ptr<struct archive, ReadArchiveFree> a(archive_read_new());
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
    std::unique_ptr<struct archive, WriteArchiveFree> w(archive_write_disk_new());
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

// One archive of a component (its Payload or its Scripts) below
// `destination`: its format named if it is not one this tool reads, then
// checked whole, then written.
// Its format named if it is not one this tool reads, then checked whole:
// nothing when it may be written.
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

// --- Scripts --------------------------------------------------------------------

std::optional<Failure> runScript(const std::string& dir, const std::string& name,
                                 const std::vector<std::string>& args) {
    std::string path = dir + "/" + name;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
        return std::nullopt;  // no such script: nothing to run
    }
    if (!S_ISREG(st.st_mode)) {
        return Failure{name + " is not a regular file"};
    }
    // Scripts run from their own directory, as the system installer runs them.
    base::UniqueFd cwd(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (cwd.get() < 0 || ::chdir(dir.c_str()) != 0) {
        return Failure{"cannot enter the scripts directory"};
    }
    process::Result res = process::run({path, args, false});
    if (::fchdir(cwd.get()) != 0) {
        return Failure{"cannot return from the scripts directory"};
    }
    if (!res.launched) {
        return Failure{name + " cannot be run: " + std::strerror(res.launchError)};
    }
    if (!res.exited || res.terminationStatus != 0) {
        return Failure{name + (res.exited ? " exited with status " : " was ended by signal ") +
                       std::to_string(res.terminationStatus)};
    }
    return std::nullopt;
}

struct Options {
    std::string pkg;
    std::string target;
    bool runScripts = true;
};

std::optional<Failure> install(const Options& opt) {
    char resolved[PATH_MAX];
    if (::realpath(opt.target.c_str(), resolved) == nullptr) {
        return Failure{"the target " + opt.target + " does not exist"};
    }
    const std::string target = resolved;
    base::UniqueFd targetFd(::open(target.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (targetFd.get() < 0) {
        return Failure{"the target " + target + " is not a directory"};
    }
    const Target top{targetFd.get(), target};
    std::string pkgPath = opt.pkg;
    if (pkgPath.empty() || pkgPath[0] != '/') {
        std::error_code ec;
        pkgPath = fs::absolute(pkgPath, ec).string();
    }

    WorkDir work(fs::path(pkgPath).parent_path().string());
    if (work.path().empty()) {
        return Failure{"cannot create a working directory"};
    }
    Members members;
    if (auto f = extractMembers(pkgPath, work.path() + "/members", members)) {
        return f;
    }
    std::vector<std::string> components;
    if (auto f = findComponents(members, components)) {
        return f;
    }
    std::printf("installer: Package name is %s\n", fs::path(pkgPath).filename().c_str());
    std::printf("installer: Installing at base path %s\n", target.c_str());
    std::fflush(stdout);

    int index = 0;
    for (const std::string& comp : components) {
        const std::string prefix = comp.empty() ? std::string() : comp + "/";
        std::string location = "/";
        if (members.files.count(prefix + "PackageInfo") != 0) {
            XmlCollector info;
            if (parseXmlFile(members.root + "/" + prefix + "PackageInfo", info) !=
                xml::Refusal::None) {
                return Failure{"the PackageInfo of " + (comp.empty() ? "the package" : comp) +
                               " is not well-formed"};
            }
            if (info.installLocation && !info.installLocation->empty()) {
                location = *info.installLocation;
            }
        }
        std::string locRel;
        if (location[0] != '/' || !normalizeEntryName(location.substr(1), locRel)) {
            return Failure{"install location not allowed: " + location};
        }
        // The location is resolved below the target as payload paths are
        // (system links crossed), and made if it is missing.
        std::string destination;
        base::UniqueFd dest;
        if (auto f = resolveInTarget(top, locRel, {}, true, destination)) {
            return f;
        }
        if (auto f = openResolvedDirectory(top, destination, dest)) {
            return f;
        }
        const std::string destPath = locRel.empty()  ? target
                                     : target == "/" ? "/" + locRel
                                                     : target + "/" + locRel;
        const std::vector<std::string> scriptArgs = {pkgPath, destPath, target, "/"};
        const std::string name = comp.empty() ? std::string("the package") : comp;

        std::string scriptsDir;
        if (members.files.count(prefix + "Scripts") != 0) {
            const std::string dir = work.path() + "/scripts-" + std::to_string(index);
            if (::mkdir(dir.c_str(), 0700) != 0) {
                return Failure{"cannot create the scripts directory"};
            }
            base::UniqueFd sfd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            if (sfd.get() < 0) {
                return Failure{"cannot open the scripts directory"};
            }
            if (auto f = unpackArchive("the Scripts of " + name,
                                       {members.root + "/" + prefix + "Scripts"},
                                       Target{sfd.get(), dir}, "", false, false)) {
                return f;
            }
            if (opt.runScripts) {
                scriptsDir = dir;
            }
        }
        if (!scriptsDir.empty()) {
            ::setenv("PACKAGE_PATH", pkgPath.c_str(), 1);
            ::setenv("DSTVOLUME", target.c_str(), 1);
            ::setenv("DSTROOT", destPath.c_str(), 1);
            ::setenv("INSTALLER_TEMP", work.path().c_str(), 1);
            if (auto f = runScript(scriptsDir, "preinstall", scriptArgs)) {
                return f;
            }
        }
        if (members.files.count(prefix + "Payload") != 0) {
            if (auto f = unpackArchive("the Payload of " + name,
                                       {members.root + "/" + prefix + "Payload"}, top, destination,
                                       true, true)) {
                return f;
            }
        }
        if (!scriptsDir.empty()) {
            if (auto f = runScript(scriptsDir, "postinstall", scriptArgs)) {
                return f;
            }
        }
        ++index;
    }
    return std::nullopt;
}

constexpr const char* kUsage = "usage: installer -pkg <path> -target <directory>\n";
constexpr const char* kTestUsage =
    "usage: installer-test -pkg <path> -target <directory> [-test-skip-scripts]\n";

}  // namespace

bool normalizeEntryName(const std::string& name, std::string& relative) {
    if (name.find('\0') != std::string::npos || (!name.empty() && name[0] == '/')) {
        return false;
    }
    std::string out;
    for (const std::string& comp : splitComponents(name)) {
        if (comp == ".") {
            continue;
        }
        if (comp == "..") {
            return false;
        }
        out += (out.empty() ? "" : "/") + comp;
    }
    relative = out;
    return true;
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
    if (!normalizeEntryName(destination, rel)) {
        f = Failure{"install location not allowed: " + destination};
    } else if (checkOnly) {
        if (!(f = resolveInTarget(top, rel, {}, true, resolved))) {
            f = checkArchive("the Payload", source, top, resolved, true);
        }
    } else if (!(f = resolveInTarget(top, rel, {}, true, resolved)) &&
               !(f = openResolvedDirectory(top, resolved, dest))) {
        f = unpackArchive("the Payload", source, top, resolved, true, keepOwners);
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
    return payloadInto({archivePath}, targetFd, targetPath, destination, keepOwners, false);
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

int installerMain(const std::vector<std::string>& arguments, Build build) {
    Options opt;
    bool havePkg = false;
    bool haveTarget = false;
    const char* usage = build == Build::Test ? kTestUsage : kUsage;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& a = arguments[i];
        if ((a == "-pkg" || a == "-package") && i + 1 < arguments.size() && !havePkg) {
            opt.pkg = arguments[++i];
            havePkg = true;
        } else if ((a == "-target" || a == "-tgt") && i + 1 < arguments.size() && !haveTarget) {
            opt.target = arguments[++i];
            haveTarget = true;
        } else if (build == Build::Test && a == "-test-skip-scripts" && opt.runScripts) {
            opt.runScripts = false;
        } else {
            std::fputs(usage, stderr);
            return 2;
        }
    }
    if (!havePkg || !haveTarget || opt.pkg.empty() || opt.target.empty()) {
        std::fputs(usage, stderr);
        return 2;
    }
    if (std::optional<Failure> f = install(opt)) {
        std::fprintf(stderr, "installer: Error - %s\n", f->reason.c_str());
        std::fprintf(stderr, "installer: The install failed.\n");
        return 1;
    }
    std::printf("installer: The install was successful.\n");
    return 0;
}

}  // namespace installer
