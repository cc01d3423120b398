// The scratch target both payload fuzz targets judge entries against: a
// directory with a system link that may be crossed ("sys" -> "real") and one
// that leads out of the target ("out" -> "../outside"), opened as a
// directory. Aborts when the layout cannot be made.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/base/fd.h"

namespace payloadfuzz {

inline base::UniqueFd makeTargetLayout(const std::string& target) {
    if (mkdir(target.c_str(), 0755) != 0 || mkdir((target + "/real").c_str(), 0755) != 0 ||
        symlink("real", (target + "/sys").c_str()) != 0 ||
        symlink("../outside", (target + "/out").c_str()) != 0) {
        abort();
    }
    base::UniqueFd fd(open(target.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) {
        abort();
    }
    return fd;
}

}  // namespace payloadfuzz
