// The package's metadata: which components a product installs (its
// Distribution) and where each one goes (its PackageInfo).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tools/installer/failure.h"
#include "tools/installer/members.h"

namespace installer {

// The components to install, as member directories ("" for a flat package).
std::optional<Failure> findComponents(const Members& m, std::vector<std::string>& components);

// Where the component `component` ("" for a flat package) goes: the
// install-location of its PackageInfo, "/" when it has none (or no
// PackageInfo). Fails when the PackageInfo is not well-formed.
std::optional<Failure> installLocation(const Members& m, const std::string& component,
                                       std::string& location);

}  // namespace installer
