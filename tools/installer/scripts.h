// A component's preinstall and postinstall scripts.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tools/installer/failure.h"

namespace installer {

// Runs the script `name` of the directory `dir` from that directory with
// `args`; nothing when there is no such script. Fails when it is not a
// regular file, cannot be run, or does not exit with status 0.
std::optional<Failure> runScript(const std::string& dir, const std::string& name,
                                 const std::vector<std::string>& args);

// Sets what the system installer gives its scripts in their environment:
// PACKAGE_PATH, DSTVOLUME (the target), DSTROOT (the component's
// destination) and INSTALLER_TEMP (the work directory).
void setScriptEnvironment(const std::string& pkgPath, const std::string& target,
                          const std::string& destPath, const std::string& work);

}  // namespace installer
