// A link-time seam in the install command, between the first signature check
// of the client's package and its staging: the window in which a client could
// swap the file. Each path profile defines it: the shipped ones do nothing,
// the test profile (xq_paths_test) lets the install tests swap the package at
// that moment. Nothing read at run time selects one or the other.
#pragma once

#include <string>

namespace xq::seams {

// Called with the client's package path after its first signature check
// passed and before it is staged.
void afterFirstPackageCheck(const std::string& clientPath);

}  // namespace xq::seams
