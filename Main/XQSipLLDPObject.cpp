#include "Main/XQSipLLDPObject.h"

#include <cstdint>
#include <cstring>

namespace {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(const unsigned char* s, size_t n) {
    size_t i = 0;
    while (i < n) {
        unsigned char c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t extra = 0;
        uint32_t cp = 0;
        uint32_t min = 0;
        if ((c & 0xe0) == 0xc0) {
            extra = 1;
            cp = c & 0x1f;
            min = 0x80;
        } else if ((c & 0xf0) == 0xe0) {
            extra = 2;
            cp = c & 0x0f;
            min = 0x800;
        } else if ((c & 0xf8) == 0xf0) {
            extra = 3;
            cp = c & 0x07;
            min = 0x10000;
        } else {
            return false;
        }
        if (n - i <= extra) {
            return false;
        }
        for (size_t k = 1; k <= extra; ++k) {
            unsigned char cc = s[i + k];
            if ((cc & 0xc0) != 0x80) {
                return false;
            }
            cp = (cp << 6) | (cc & 0x3f);
        }
        if (cp < min || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) {
            return false;
        }
        i += extra + 1;
    }
    return true;
}

}  // namespace

std::optional<std::string> XQSipLLDPReplyString(const std::string& captured) {
    // As a C string: the text ends at the first zero octet.
    size_t length = strnlen(captured.c_str(), captured.size());
    const auto* octets = reinterpret_cast<const unsigned char*>(captured.data());
    if (!isValidUtf8(octets, length)) {
        return std::nullopt;
    }
    return captured.substr(0, length);
}
