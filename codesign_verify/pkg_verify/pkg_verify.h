// Package-verification library: the two independent signature checks of an
// installer package and the one entry that runs both.
//
// Every function returns a plain bool and takes, last, a log callback that may
// be null. The callback receives one NUL-terminated UTF-8 message per call,
// valid only during the call; failure messages begin with "Error! ". The checks
// run the same whether or not a callback is given.
#pragma once

#include <ctime>
#include <string>
#include <vector>

#include "codesign_verify/pkg_verify/package_tool.h"
#include "platform/security/certificate.h"

namespace pkg_verify {

using LogCallback = void (*)(const char*);

// Seconds since 2001-01-01 00:00:00 UTC (the original platform's absolute
// time), as the signing date travels between the two functions below.
using AbsoluteTime = double;

// --- Check by the package's own CMS signature and stored certificates -------

// Verifies the package's CMS signature over its table-of-contents checksum and
// its time-stamp; on success fills `chain` with every certificate stored in the
// signature entry (leaf first, as stored) and sets `signingDate` to the
// time-stamp's date. `chain` and `signingDate` belong to the caller; they may
// hold partial results after a failure of the last step.
bool get_installer_cert_chain(const std::string& pkgPath, std::vector<security::Certificate>& chain,
                              AbsoluteTime& signingDate, LogCallback log);

// The whole CMS check: signature, time-stamp, trust of the stored list as of
// the signing date under the team identifier, root and leaf names.
bool check_installer_authority_by_cms(const std::string& pkgPath, const std::string& teamIdentifier,
                                      const std::string& installerAuthority, LogCallback log);

// --- Check by the package tool's signature report --------------------------

// Runs the package tool (kPkgutilPath) with "--check-signature" and
// the path, and applies the report rules to its standard output.
bool check_installer_authority_by_pkgutil(const std::string& pkgPath,
                                          const std::string& installerAuthority, LogCallback log);

// The four line rules in order; stops at the first rule not met.
bool check_pelk_signature_valid(const std::string& report, const std::string& installerAuthority,
                                LogCallback log);
bool is_number_match(const std::string& report, LogCallback log);
bool is_match_pelk_signature(const std::string& report, const std::string& installerAuthority,
                             LogCallback log);
bool is_match_developer_signature(const std::string& report, LogCallback log);
bool is_match_apple_signature(const std::string& report, LogCallback log);

}  // namespace pkg_verify

// The one entry: true only when the package exists and both checks accept it
// under the maker's compiled-in identity. `pkgPath` may be null.
bool is_pkg_codesign_valid(const char* pkgPath, pkg_verify::LogCallback log);

// The same verdict on the package open at `fd`, which the caller named
// `pkgPath` (the rules on the name, UTF-8 and the ".pkg" suffix, apply to
// it): every read of the package, the package tool's included, goes to the
// file behind the descriptor, never to the path. The tool, a child process,
// reads it as /proc/<this process>/fd/<fd>. The descriptor stays the
// caller's; a negative one is refused as a missing file.
bool is_pkg_codesign_valid_for_descriptor(int fd, const char* pkgPath, pkg_verify::LogCallback log);
