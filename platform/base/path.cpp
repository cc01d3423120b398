#include "platform/base/path.h"

#include <sys/stat.h>

#include <filesystem>
#include <system_error>

namespace base {

std::string joinPath(const std::string& dir, const std::string& name) {
    if (!dir.empty() && dir.back() == '/') {
        return dir + name;
    }
    return dir + "/" + name;
}

bool pathExists(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

void removeTree(const std::string& path) {
    if (path.empty()) {
        return;
    }
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

}  // namespace base
