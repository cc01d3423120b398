// Paths of the system tools and installed files the helper uses. They are
// compiled in: each executable links exactly one profile library
// (xq_paths_macos, xq_paths_linux or, for the test build, xq_paths_test).
// Nothing read at run time can change them.
#pragma once

namespace xq::paths {

// The system group that the client is installed setgid to: besides root, only
// a process whose effective group this was when it connected may talk to the
// service. A group name, or a number.
extern const char* const kClientGroup;

// Program of every child process; the tool and its arguments follow it.
extern const char* const kSudoPath;
// The system installer and job-control tool (the package tool's path, which
// the profile defines too, is declared by the package check that runs it:
// codesign_verify/pkg_verify/package_tool.h).
extern const char* const kInstallerPath;
extern const char* const kLaunchctlPath;
// Installed files of the helper; "%@" is replaced by the helper's label.
extern const char* const kLaunchDaemonPlistFormat;
extern const char* const kPrivilegedHelperToolFormat;
// The process's temporary directory, with a trailing "/".
extern const char* const kTemporaryDirectory;

}  // namespace xq::paths
