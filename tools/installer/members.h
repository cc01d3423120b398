// The members of a package: every one extracted, and so checked against its
// checksum, before anything of it is read.
#pragma once

#include <optional>
#include <set>
#include <string>

#include "tools/installer/failure.h"

namespace installer {

// Every member of the package, extracted (and so checksum-verified) into the
// work directory under its own relative path.
struct Members {
    std::set<std::string> files;        // relative paths of extracted members
    std::set<std::string> directories;  // members that hold others
    std::string root;                   // where they were extracted
};

// Extracts every member of the package at `pkgPath` below `into`. A member's
// name must stay below it, and be a file or a directory.
std::optional<Failure> extractMembers(const std::string& pkgPath, const std::string& into,
                                      Members& out);

}  // namespace installer
