#include "platform/base/utf8.h"

#include <cstddef>
#include <cstdint>

namespace base {

// The well-formed byte sequences of the Unicode standard (table 3-7): the
// second byte's range depends on the first, which rules out overlong forms,
// surrogates and code points past U+10FFFF; every later byte is 80..BF.
// Written out rather than taken from ICU, so that the daemon needs no ICU at
// start (tests/unit/base compares the two over every short sequence).
bool isValidUtf8(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t n = bytes.size();
    size_t i = 0;
    while (i < n) {
        const unsigned char lead = p[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        size_t length = 0;
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            low = lead == 0xE0 ? 0xA0 : 0x80;
            high = lead == 0xED ? 0x9F : 0xBF;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            low = lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xF4 ? 0x8F : 0xBF;
        } else {
            return false;  // C0, C1, F5..FF, or a continuation byte without a lead
        }
        if (n - i < length || p[i + 1] < low || p[i + 1] > high) {
            return false;
        }
        for (size_t k = 2; k < length; ++k) {
            if (p[i + k] < 0x80 || p[i + k] > 0xBF) {
                return false;
            }
        }
        i += length;
    }
    return true;
}

}  // namespace base
