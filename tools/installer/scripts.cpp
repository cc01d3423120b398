#include "tools/installer/scripts.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/base/fd.h"
#include "platform/process/process.h"

namespace installer {

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

void setScriptEnvironment(const std::string& pkgPath, const std::string& target,
                          const std::string& destPath, const std::string& work) {
    ::setenv("PACKAGE_PATH", pkgPath.c_str(), 1);
    ::setenv("DSTVOLUME", target.c_str(), 1);
    ::setenv("DSTROOT", destPath.c_str(), 1);
    ::setenv("INSTALLER_TEMP", work.c_str(), 1);
}

}  // namespace installer
