// The package tool's "--check-signature": verifies an installer package's CMS
// signature itself and reports the certificate chain that its own trust
// evaluation built from the compiled-in anchors (never the list stored in the
// archive), in the layout of the original tool's report.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "platform/security/certificate.h"

namespace pkgutil {

struct CheckResult {
    int exitStatus = 1;  // 0 only for a package whose signature is trusted
    std::string report;  // standard output
    std::string error;   // standard error (empty when there is nothing to say)
};

// `now` (seconds since the Unix epoch) is the date at which a signature without
// a time-stamp is judged.
CheckResult check_signature(const std::string& path, time_t now);

// The verdicts of a report's "Status:" line.
enum class Status {
    kNoSignature,         // "no signature"
    kInvalidSignature,    // "invalid signature"
    kUntrustedTimestamp,  // "signed with an untrusted timestamp"
    kUntrusted,           // "signed by untrusted certificate"
    kSinceExpired,        // "signed by a certificate that has since expired"
    kTrustedByMacOS,      // "signed by a certificate trusted by macOS"
    kDeveloperId,         // "signed by a developer certificate issued by Apple for distribution"
};

// The report on standard output, in the original tool's layout: the package
// line, the status, the time-stamp line when `timestamp` is given, and, when
// `chain` is not empty, the certificate chain (numbered entries with expiry
// and SHA-256 fingerprint, 72-dash separators) and a closing blank line.
// Names come from certificates and the path: none of them can start a line
// (display_name), so the numbered lines are exactly the chain's entries.
std::string write_report(const std::string& path, Status status,
                         const std::optional<time_t>& timestamp,
                         const std::vector<security::Certificate>& chain);

// The package's name as the report's first line shows it: the last path
// component, with every character that could start a new line of the report
// (controls, the Unicode line and paragraph separators, NEL) and every byte
// that is not UTF-8 replaced by "?", so a file name cannot forge report lines.
std::string display_name(const std::string& path);

}  // namespace pkgutil
