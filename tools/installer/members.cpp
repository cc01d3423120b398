#include "tools/installer/members.h"

#include <cstring>
#include <filesystem>
#include <utility>
#include <vector>

#include "platform/base/handle.h"
#include "platform/xar/handles.h"
#include "platform/xar/xar.h"
#include "tools/installer/installer.h"

namespace installer {

namespace fs = std::filesystem;

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
        const base::MallocPtr<char> raw(xar_get_safe_path(f));
        if (!raw) {
            return Failure{"a package member has no name"};
        }
        std::string path(raw.get());
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

}  // namespace installer
