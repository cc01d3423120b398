// Helpers shared by the library's checks.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>
#include <thread>

#include "codesign_verify/pkg_verify/pkg_verify.h"
#include "platform/process/process.h"

namespace pkg_verify {

// Formats and passes one message; does nothing (not even format) when `log`
// is null.
[[gnu::format(printf, 2, 3)]] inline void log_message(LogCallback log, const char* format, ...) {
    if (log == nullptr) {
        return;
    }
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (length < 0) {
        va_end(args);
        return;
    }
    std::string text(static_cast<size_t>(length) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, args);
    va_end(args);
    text.resize(static_cast<size_t>(length));
    log(text.c_str());
}

// The package-tool check in two halves, so that the tool runs while the
// caller does other work. The package is the one the caller names `pkgPath`
// (the suffix rule applies to that name); the tool reads it at `toolPath`.
// The first half starts the tool (or refuses the name, silently); the second
// reads its report and applies the rules, and is the only one that logs. A
// run that is dropped unfinished still waits for its tool.
struct PackageToolRun {
    bool refused = false;    // refused by name or path: no tool was started
    process::Running tool;   // the tool, while it runs
    std::jthread icuLoader;  // loads ICU (once a process) meanwhile
};
PackageToolRun start_check_by_pkgutil(const std::string& pkgPath, const std::string& toolPath);
bool finish_check_by_pkgutil(PackageToolRun& run, const std::string& installerAuthority,
                             LogCallback log);

}  // namespace pkg_verify
