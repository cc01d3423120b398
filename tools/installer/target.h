// The target directory: payload entry names made relative and checked, and
// their paths resolved below the target, so that nothing is written outside
// it. A symbolic link on the way is crossed only when the system put it
// there and it leads to a place inside the target.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/base/fd.h"
#include "tools/installer/failure.h"

namespace installer {

// Where archives are unpacked: an open directory and the path it was opened
// at, with no symbolic link in it.
struct Target {
    int fd = -1;
    std::string path;
};

// The components of a relative path, empty ones (from "//" or a trailing
// "/") left out.
std::vector<std::string> splitComponents(const std::string& relative);
// The components joined by "/".
std::string joinComponents(const std::vector<std::string>& components);

// Resolves `relative` (normalised, below the target) to the path it names
// below the target with every symbolic link on the way resolved. No link is
// crossed except a system link (isSystemLink) that this payload did not make
// (`payloadLinks`, resolved paths) and that leads to a place inside the
// target. Components that do not exist yet are kept as they are. A final
// component that is a symbolic link is resolved only when `followFinal` (a
// directory entry meeting an existing directory); otherwise it is the entry
// itself, which the extraction replaces. `resolved` gets the result, "" for
// the target itself.
std::optional<Failure> resolveInTarget(const Target& target, const std::string& relative,
                                       const std::set<std::string>& payloadLinks, bool followFinal,
                                       std::string& resolved);

// Opens (creating where missing, mode 0755) the directory at the resolved
// path `resolved` below the target, never following a symbolic link: one that
// appeared since the path was resolved makes this fail.
std::optional<Failure> openResolvedDirectory(const Target& target, const std::string& resolved,
                                             base::UniqueFd& out);

}  // namespace installer
