// The one entry to the package signature verdict: the maker's identity, the
// existence test, then both independent checks.
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "codesign_verify/pkg_verify/internal.h"
#include "codesign_verify/pkg_verify/pkg_verify.h"
#include "platform/base/path.h"
#include "platform/base/utf8.h"

namespace {

// The maker's identity. The team identifier is a property of the CMS check's
// trust policy; the authority is the leaf's common name in both checks.
constexpr const char* kTeamIdentifier = "T3MQ8VX2LC";
constexpr const char* kInstallerAuthority = "Developer ID Installer: Pelk Labs, Inc. (T3MQ8VX2LC)";

}  // namespace

bool is_pkg_codesign_valid(const char* pkgPath, pkg_verify::LogCallback log) {
    // A path that does not decode as UTF-8 counts as not existing.
    if (pkgPath == nullptr || !base::isValidUtf8(pkgPath) || !base::pathExists(pkgPath)) {
        pkg_verify::log_message(log, "Error! file not exist at path %s",
                                pkgPath != nullptr ? pkgPath : "(null)");
        return false;
    }
    const std::string path(pkgPath);
    const std::string teamIdentifier(kTeamIdentifier);
    const std::string installerAuthority(kInstallerAuthority);

    // The tool runs whatever the CMS check says, so both checks' messages are
    // reported; it runs while this process makes the CMS check, and its report
    // is read after, so the messages still come in that order.
    pkg_verify::PackageToolRun tool = pkg_verify::start_check_by_pkgutil(path, path);
    const bool cmsValid =
        pkg_verify::check_installer_authority_by_cms(path, teamIdentifier, installerAuthority, log);
    const bool pkgutilValid = pkg_verify::finish_check_by_pkgutil(tool, installerAuthority, log);
    return cmsValid && pkgutilValid;
}

bool is_pkg_codesign_valid_for_descriptor(int fd, const char* pkgPath,
                                          pkg_verify::LogCallback log) {
    struct stat st {};
    if (pkgPath == nullptr || !base::isValidUtf8(pkgPath) || fd < 0 || ::fstat(fd, &st) != 0) {
        pkg_verify::log_message(log, "Error! file not exist at path %s",
                                pkgPath != nullptr ? pkgPath : "(null)");
        return false;
    }
    // This process reads the file through its own descriptor table; the
    // package tool, another process, through this process's.
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    const std::string forTool = "/proc/" + std::to_string(::getpid()) + "/fd/" + std::to_string(fd);
    const std::string teamIdentifier(kTeamIdentifier);
    const std::string installerAuthority(kInstallerAuthority);

    pkg_verify::PackageToolRun tool = pkg_verify::start_check_by_pkgutil(pkgPath, forTool);
    const bool cmsValid =
        pkg_verify::check_installer_authority_by_cms(self, teamIdentifier, installerAuthority, log);
    const bool pkgutilValid = pkg_verify::finish_check_by_pkgutil(tool, installerAuthority, log);
    return cmsValid && pkgutilValid;
}
