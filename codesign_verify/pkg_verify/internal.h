// Helpers shared by the library's checks.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

#include <sys/stat.h>
#include <unicode/ustring.h>

#include "codesign_verify/pkg_verify/pkg_verify.h"

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

// True when `bytes` is well-formed UTF-8 (embedded NULs allowed).
inline bool is_valid_utf8(const std::string& bytes) {
    if (bytes.size() > static_cast<size_t>(INT32_MAX)) {
        return false;
    }
    UErrorCode status = U_ZERO_ERROR;
    int32_t length = 0;
    // Preflight only: counts UTF-16 units and reports malformed sequences.
    u_strFromUTF8(nullptr, 0, &length, bytes.data(), static_cast<int32_t>(bytes.size()), &status);
    return status == U_BUFFER_OVERFLOW_ERROR || status == U_STRING_NOT_TERMINATED_WARNING ||
           U_SUCCESS(status);
}

// Anything at the path (following symbolic links), as the original file
// manager's existence test.
inline bool file_exists(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

}  // namespace pkg_verify
