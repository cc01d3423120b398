// Paths of the Linux build: the stand-in tools live with the system's own
// programs (the distribution package owns them); the helper itself and its
// service unit, which self-update replaces and uninstall removes, each in a
// directory of the helper's own that no package owns (docs/paths.md). The values here
// must agree with XQ_LINUX_* in Common/profiles/CMakeLists.txt, which install
// the files; tests/unit/staging/paths_profile_test compares them.
#include "Common/XQCompiledPaths.h"
#include "Common/profiles/XQInstallSeam.h"
#include "codesign_verify/pkg_verify/package_tool.h"

namespace xq::paths {

// Created by the package (sysusers.d); the client is installed setgid to it.
const char* const kClientGroup = "xqsip-client";

const char* const kSudoPath = "/usr/bin/sudo";
const char* const kInstallerPath = "/usr/libexec/lx.pelk.XQSipLocationHelper/installer";
const char* const kLaunchctlPath = "/usr/libexec/lx.pelk.XQSipLocationHelper/launchctl";
const char* const kLaunchDaemonPlistFormat = "/etc/lx.pelk.XQSipLocationHelper/%@.service";
const char* const kPrivilegedHelperToolFormat = "/var/lib/lx.pelk.XQSipLocationHelper/%@";
// The service unit's CacheDirectory=, which systemd creates for the service
// alone (root, mode 0700).
const char* const kTemporaryDirectory = "/var/cache/lx.pelk.XQSipLocationHelper/";

}  // namespace xq::paths

namespace xq::seams {

// The shipped build lets the install go on untouched.
void afterFirstPackageCheck(const std::string& /*clientPath*/) {}

}  // namespace xq::seams

namespace pkg_verify {

const char* const kPkgutilPath = "/usr/libexec/lx.pelk.XQSipLocationHelper/pkgutil";

}  // namespace pkg_verify
