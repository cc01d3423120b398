#include "tools/installer/target.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <deque>

#include "tools/installer/installer.h"

namespace installer {
namespace {

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

}  // namespace

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

std::string joinComponents(const std::vector<std::string>& components) {
    std::string out;
    for (const std::string& c : components) {
        out += (out.empty() ? "" : "/") + c;
    }
    return out;
}

namespace {

// The components that the text `text` of the symbolic link at `here`
// stands for, to be walked in its place: for an absolute link, which names
// a place on the system, from the target's top (`fromTop`), and only when
// that place lies in the target; for a relative one, from the link's
// directory.
std::optional<Failure> linkComponents(const Target& target, const std::string& here,
                                      const std::string& text, std::vector<std::string>& head,
                                      bool& fromTop) {
    fromTop = text[0] == '/';
    if (!fromTop) {
        head = splitComponents(text);
        return std::nullopt;
    }
    const std::string& top = target.path;
    if (top != "/" && (text.compare(0, top.size(), top) != 0 ||
                       (text.size() > top.size() && text[top.size()] != '/'))) {
        return Failure{"the symbolic link " + here + " leads out of the target (" + text + ")"};
    }
    head = splitComponents(top == "/" ? text : text.substr(top.size()));
    return std::nullopt;
}

}  // namespace

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
        bool fromTop = false;
        if (auto f = linkComponents(target, here, text, head, fromTop)) {
            return f;
        }
        if (fromTop) {
            done.clear();
        }
        pending.insert(pending.begin(), head.begin(), head.end());
    }
    resolved = joinComponents(done);
    return std::nullopt;
}

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

}  // namespace installer
