// The package tool report's line rules over arbitrary text, and the stand-in's
// display of a package name. Input: the report; its first line doubles as an
// installer authority for the escaping property.
#include <cstddef>
#include <cstdint>
#include <string>

#include "codesign_verify/pkg_verify/pkg_verify.h"
#include "tools/pkgutil/check_signature.h"

namespace {

// Characters that ICU's "^" and "$" treat as line ends.
bool has_line_terminator(const std::u32string& text) {
    for (char32_t c : text) {
        if (c == 0x0A || c == 0x0B || c == 0x0C || c == 0x0D || c == 0x85 || c == 0x2028 ||
            c == 0x2029) {
            return true;
        }
    }
    return false;
}

// Strict UTF-8 decoding; false on any malformed sequence.
bool decode(const std::string& s, std::u32string& out) {
    out.clear();
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > s.size()) {
            return false;
        }
        char32_t cp = n == 1 ? c : (c & (0xFF >> (n + 1)));
        for (size_t k = 1; k < n; ++k) {
            const auto cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80) {
                return false;
            }
            cp = (cp << 6) | (cc & 0x3F);
        }
        if ((n == 2 && cp < 0x80) || (n == 3 && cp < 0x800) ||
            (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)) || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        out.push_back(cp);
        i += n;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string report(reinterpret_cast<const char*>(data), size);
    const std::string authority = report.substr(0, report.find('\n'));

    const bool all = pkg_verify::check_pelk_signature_valid(report, authority, nullptr);
    const bool each = pkg_verify::is_number_match(report, nullptr) &&
                      pkg_verify::is_match_pelk_signature(report, authority, nullptr) &&
                      pkg_verify::is_match_developer_signature(report, nullptr) &&
                      pkg_verify::is_match_apple_signature(report, nullptr);
    if (all != each) {
        __builtin_trap();
    }

    // Escaping: any one-line authority matches its own line, literally.
    std::u32string decoded;
    if (decode(authority, decoded) && !has_line_terminator(decoded) &&
        !pkg_verify::is_match_pelk_signature("1. " + authority + "\n", authority, nullptr)) {
        __builtin_trap();
    }

    // The displayed name is UTF-8 and never holds a line end.
    const std::string shown = pkgutil::display_name(report);
    if (!decode(shown, decoded) || has_line_terminator(decoded)) {
        __builtin_trap();
    }
    return 0;
}
