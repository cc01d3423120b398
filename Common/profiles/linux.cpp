// Paths of the Linux build: the stand-in tools live with the system's own
// programs, the helper itself and its service unit where locally installed
// software and the administrator's units go (docs/paths.md). The values here
// must agree with XQ_LINUX_* in Common/profiles/CMakeLists.txt, which install
// the files; tests/unit/staging/paths_profile_test compares them.
#include "Common/XQCompiledPaths.h"

namespace xq::paths {

// Created by the package (sysusers.d); the client is installed setgid to it.
const char* const kClientGroup = "xqsip-client";

const char* const kSudoPath = "/usr/bin/sudo";
const char* const kInstallerPath = "/usr/libexec/lx.pelk.XQSipLocationHelper/installer";
const char* const kPkgutilPath = "/usr/libexec/lx.pelk.XQSipLocationHelper/pkgutil";
const char* const kLaunchctlPath = "/usr/libexec/lx.pelk.XQSipLocationHelper/launchctl";
const char* const kLaunchDaemonPlistFormat = "/etc/systemd/system/%@.service";
const char* const kPrivilegedHelperToolFormat = "/usr/local/libexec/%@";
// The service runs with PrivateTmp=yes, so this /tmp is its own.
const char* const kTemporaryDirectory = "/tmp/";

}  // namespace xq::paths
