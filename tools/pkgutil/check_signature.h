// The package tool's "--check-signature": verifies an installer package's CMS
// signature itself and reports the certificate chain that its own trust
// evaluation built from the compiled-in anchors (never the list stored in the
// archive), in the layout of the original tool's report.
#pragma once

#include <string>

namespace pkgutil {

struct CheckResult {
    int exitStatus = 1;  // 0 only for a package whose signature is trusted
    std::string report;  // standard output
    std::string error;   // standard error (empty when there is nothing to say)
};

// `now` (seconds since the Unix epoch) is the date at which a signature without
// a time-stamp is judged.
CheckResult check_signature(const std::string& path, time_t now);

// The package's name as the report's first line shows it: the last path
// component, with every character that could start a new line of the report
// (controls, the Unicode line and paragraph separators, NEL) and every byte
// that is not UTF-8 replaced by "?", so a file name cannot forge report lines.
std::string display_name(const std::string& path);

}  // namespace pkgutil
