// The original platform's paths.
#include "Common/XQCompiledPaths.h"
#include "Common/profiles/XQInstallSeam.h"
#include "codesign_verify/pkg_verify/package_tool.h"

namespace xq::paths {

// The original platform has no such group; on Linux the kernel needs one.
const char* const kClientGroup = "xqsip-client";

const char* const kSudoPath = "/usr/bin/sudo";
const char* const kInstallerPath = "/usr/sbin/installer";
const char* const kLaunchctlPath = "/bin/launchctl";
const char* const kLaunchDaemonPlistFormat = "/Library/LaunchDaemons/%@.plist";
const char* const kPrivilegedHelperToolFormat = "/Library/PrivilegedHelperTools/%@";
const char* const kTemporaryDirectory = "/tmp/";

}  // namespace xq::paths

namespace xq::seams {

// The shipped build lets the install go on untouched.
void afterFirstPackageCheck(const std::string& /*clientPath*/) {}

}  // namespace xq::seams

namespace pkg_verify {

const char* const kPkgutilPath = "/usr/sbin/pkgutil";

}  // namespace pkg_verify
