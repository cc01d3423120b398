// Check by the package tool's signature report: run the tool, then accept its
// report only if its numbered certificate lines name exactly the expected
// chain of three.
#include <dlfcn.h>
#include <sys/stat.h>
#include <unicode/uregex.h>
#include <unicode/ustring.h>
#include <unicode/uvernum.h>

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "codesign_verify/pkg_verify/internal.h"
#include "codesign_verify/pkg_verify/pkg_verify.h"
#include "platform/base/path.h"
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

// ICU's versioned name of a C function (u_strFromUTF8 is u_strFromUTF8_72).
#define XQ_ICU_SYMBOL(name) XQ_ICU_STRING(name)
#define XQ_ICU_STRING(name) #name

// The part of ICU's C interface that the rules use, from the system's shared
// libraries. Only a package check needs ICU, so the daemon does not link it:
// they are loaded at the first check (a start costs no ICU relocations, and a
// security update of ICU reaches the next check).
struct Icu {
    decltype(&u_strFromUTF8WithSub) fromUtf8 = nullptr;
    decltype(&u_errorName) errorName = nullptr;
    decltype(&uregex_open) open = nullptr;
    decltype(&uregex_setText) setText = nullptr;
    decltype(&uregex_findNext) findNext = nullptr;
    decltype(&uregex_close) close = nullptr;
    std::string error;  // why ICU could not be loaded ("" once it is)
};

template <typename F>
bool bind(void* library, const char* name, F& out, std::string& error) {
    out = reinterpret_cast<F>(::dlsym(library, name));
    if (out == nullptr) {
        error = std::string("cannot find ") + name + " in ICU";
    }
    return out != nullptr;
}

Icu load_icu() {
    Icu icu;
    // Kept loaded for the rest of the process.
    void* uc = ::dlopen("libicuuc.so." U_ICU_VERSION_SHORT, RTLD_NOW | RTLD_LOCAL);
    void* i18n = uc != nullptr
                     ? ::dlopen("libicui18n.so." U_ICU_VERSION_SHORT, RTLD_NOW | RTLD_LOCAL)
                     : nullptr;
    if (i18n == nullptr) {
        const char* why = ::dlerror();
        icu.error = std::string("cannot load ICU: ") + (why != nullptr ? why : "unknown error");
        return icu;
    }
    std::string error;
    if (!bind(uc, XQ_ICU_SYMBOL(u_strFromUTF8WithSub), icu.fromUtf8, error) ||
        !bind(uc, XQ_ICU_SYMBOL(u_errorName), icu.errorName, error) ||
        !bind(i18n, XQ_ICU_SYMBOL(uregex_open), icu.open, error) ||
        !bind(i18n, XQ_ICU_SYMBOL(uregex_setText), icu.setText, error) ||
        !bind(i18n, XQ_ICU_SYMBOL(uregex_findNext), icu.findNext, error) ||
        !bind(i18n, XQ_ICU_SYMBOL(uregex_close), icu.close, error)) {
        icu.error = error;
    }
    return icu;
}

const Icu& icu() {
    static const Icu loaded = load_icu();
    return loaded;
}

// UTF-16 of `text`, as ICU's UnicodeString::fromUTF8 makes it (U+FFFD for an
// ill-formed sequence); false if it does not fit ICU's lengths.
bool to_utf16(const Icu& lib, const std::string& text, std::vector<UChar>& out,
              UErrorCode& status) {
    if (text.size() > static_cast<size_t>(INT32_MAX) / 2) {
        status = U_INDEX_OUTOFBOUNDS_ERROR;
        return false;
    }
    // A UTF-8 byte never makes more than one UTF-16 unit.
    out.resize(text.size() + 1);
    int32_t length = 0;
    lib.fromUtf8(out.data(), static_cast<int32_t>(out.size()), &length, text.data(),
                 static_cast<int32_t>(text.size()), 0xFFFD, nullptr, &status);
    out.resize(static_cast<size_t>(length));
    return U_SUCCESS(status);
}

// Compiles `pattern` with anchors matching at every line and counts its
// non-overlapping matches over the whole report. Returns false (after logging
// the compiler's error) when the pattern does not compile.
bool count_line_matches(const std::string& report, const std::string& pattern, LogCallback log,
                        int32_t& count) {
    const Icu& lib = icu();
    if (!lib.error.empty()) {
        log_message(log, "Error! %s", lib.error.c_str());
        return false;
    }
    UErrorCode status = U_ZERO_ERROR;
    std::vector<UChar> pattern16;
    std::vector<UChar> text16;
    if (!to_utf16(lib, pattern, pattern16, status) || !to_utf16(lib, report, text16, status)) {
        log_message(log, "Error! %s", lib.errorName(status));
        return false;
    }
    UParseError parseError{};
    std::unique_ptr<URegularExpression, decltype(lib.close)> compiled(
        lib.open(pattern16.data(), static_cast<int32_t>(pattern16.size()), UREGEX_MULTILINE,
                 &parseError, &status),
        lib.close);
    if (U_FAILURE(status) || !compiled) {
        log_message(log, "Error! %s", lib.errorName(status));
        return false;
    }
    lib.setText(compiled.get(), text16.data(), static_cast<int32_t>(text16.size()), &status);
    if (U_FAILURE(status)) {
        log_message(log, "Error! %s", lib.errorName(status));
        return false;
    }
    count = 0;
    while (lib.findNext(compiled.get(), &status) && U_SUCCESS(status)) {
        ++count;
    }
    if (U_FAILURE(status)) {
        log_message(log, "Error! %s", lib.errorName(status));
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
    PackageToolRun run = start_check_by_pkgutil(pkgPath, pkgPath);
    return finish_check_by_pkgutil(run, installerAuthority, log);
}

PackageToolRun start_check_by_pkgutil(const std::string& pkgPath, const std::string& toolPath) {
    PackageToolRun run;
    if (pkgPath.empty() || !has_suffix(pkgPath, ".pkg") || !base::pathExists(toolPath)) {
        run.refused = true;
        return run;
    }
    process::Task task;
    task.launchPath = kPkgutilPath;
    task.arguments = {"--check-signature", toolPath};
    task.pipeStandardOutput = true;
    run.tool = process::start(task);
    // ICU is loaded while the tool runs, rather than after.
    try {
        run.icuLoader = std::jthread([] { (void)icu(); });
    } catch (const std::system_error&) {
        // Loaded at the first match instead.
    }
    return run;
}

bool finish_check_by_pkgutil(PackageToolRun& run, const std::string& installerAuthority,
                             LogCallback log) {
    if (run.refused) {
        return false;
    }
    const process::Result result = run.tool.finish();
    if (run.icuLoader.joinable()) {
        run.icuLoader.join();
    }
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
