// Check by the package tool's signature report: run the tool, then accept its
// report only if its numbered certificate lines name exactly the expected
// chain of three.
#include <sys/stat.h>
#include <unicode/regex.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <string>

#include "codesign_verify/pkg_verify/internal.h"
#include "codesign_verify/pkg_verify/pkg_verify.h"
#include "platform/base/utf8.h"
#include "platform/process/process.h"

namespace pkg_verify {
namespace {

// The characters that the original platform's pattern escaping quotes; a
// backslash before any of them makes ICU take it literally.
std::string escaped_pattern_for_string(const std::string& text) {
    static constexpr std::string_view kMeta = "\\*?+[](){}^$|./";
    std::string out;
    out.reserve(text.size() * 2);
    for (char c : text) {
        if (kMeta.find(c) != std::string_view::npos) {
            out.push_back('\\');
        }
        out.push_back(c);
    }
    return out;
}

// Compiles `pattern` with anchors matching at every line and counts its
// non-overlapping matches over the whole report. Returns false (after logging
// the compiler's error) when the pattern does not compile.
bool count_line_matches(const std::string& report, const std::string& pattern, LogCallback log,
                        int32_t& count) {
    UErrorCode status = U_ZERO_ERROR;
    UParseError parseError{};
    std::unique_ptr<icu::RegexPattern> compiled(icu::RegexPattern::compile(
        icu::UnicodeString::fromUTF8(pattern), UREGEX_MULTILINE, parseError, status));
    if (U_FAILURE(status) || !compiled) {
        log_message(log, "Error! %s", u_errorName(status));
        return false;
    }
    const icu::UnicodeString text = icu::UnicodeString::fromUTF8(report);
    std::unique_ptr<icu::RegexMatcher> matcher(compiled->matcher(text, status));
    if (U_FAILURE(status) || !matcher) {
        log_message(log, "Error! %s", u_errorName(status));
        return false;
    }
    count = 0;
    while (matcher->find(status) && U_SUCCESS(status)) {
        ++count;
    }
    if (U_FAILURE(status)) {
        log_message(log, "Error! %s", u_errorName(status));
        return false;
    }
    return true;
}

bool rule_matches_exactly(const std::string& report, const std::string& pattern, int32_t required,
                          LogCallback log) {
    int32_t count = 0;
    if (!count_line_matches(report, pattern, log, count)) {
        return false;
    }
    return count == required;
}

bool has_suffix(const std::string& text, std::string_view suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

bool is_number_match(const std::string& report, LogCallback log) {
    return rule_matches_exactly(report, "^ *[0-9]\\.", 3, log);
}

bool is_match_pelk_signature(const std::string& report, const std::string& installerAuthority,
                             LogCallback log) {
    const std::string pattern = "^ *1\\. " + escaped_pattern_for_string(installerAuthority) + " *$";
    return rule_matches_exactly(report, pattern, 1, log);
}

bool is_match_developer_signature(const std::string& report, LogCallback log) {
    return rule_matches_exactly(report, "^ *2\\. Developer ID Certification Authority *$", 1, log);
}

bool is_match_apple_signature(const std::string& report, LogCallback log) {
    return rule_matches_exactly(report, "^ *3\\. Apple Root CA *$", 1, log);
}

bool check_pelk_signature_valid(const std::string& report, const std::string& installerAuthority,
                                LogCallback log) {
    if (!is_number_match(report, log)) {
        log_message(log, "Error! number not match");
        return false;
    }
    if (!is_match_pelk_signature(report, installerAuthority, log)) {
        log_message(log, "Error! not match pelk signature");
        return false;
    }
    if (!is_match_developer_signature(report, log)) {
        log_message(log, "Error! not match Developer signature");
        return false;
    }
    if (!is_match_apple_signature(report, log)) {
        log_message(log, "Error! not match apple signature");
        return false;
    }
    return true;
}

bool check_installer_authority_by_pkgutil(const std::string& pkgPath,
                                          const std::string& installerAuthority, LogCallback log) {
    return check_installer_authority_by_pkgutil_at(pkgPath, pkgPath, installerAuthority, log);
}

bool check_installer_authority_by_pkgutil_at(const std::string& pkgPath,
                                             const std::string& toolPath,
                                             const std::string& installerAuthority,
                                             LogCallback log) {
    if (pkgPath.empty() || !has_suffix(pkgPath, ".pkg") || !file_exists(toolPath)) {
        return false;
    }
    process::Task task;
    task.launchPath = kPkgutilPath;
    task.arguments = {"--check-signature", toolPath};
    task.pipeStandardOutput = true;
    const process::Result result = process::run(task);
    if (!result.launched) {
        log_message(log, "Error! Task launch failed, errno=%d", result.launchError);
        return false;
    }
    if (!result.exited || result.terminationStatus != 0) {
        log_message(log, "Error! Task failed.");
        return false;
    }
    // A report that does not decode as UTF-8 is no report: refuse it rather
    // than apply the rules to a substitute.
    if (!base::isValidUtf8(result.standardOutput)) {
        log_message(log, "Error! report is not UTF-8");
        return false;
    }
    if (log != nullptr) {
        log(result.standardOutput.c_str());
    }
    const bool valid = check_pelk_signature_valid(result.standardOutput, installerAuthority, log);
    log_message(log, "result = %d", valid ? 1 : 0);
    return valid;
}

}  // namespace pkg_verify
