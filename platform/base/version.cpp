#include "platform/base/version.h"

#include <cstddef>

namespace base {
namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// The end of the run of digits that starts at `at`.
size_t digitsEnd(std::string_view s, size_t at) {
    while (at < s.size() && isDigit(s[at])) {
        ++at;
    }
    return at;
}

// The first significant digit of the run [at, end): leading zeros skipped,
// one zero kept for a run of zeros.
size_t significant(std::string_view s, size_t at, size_t end) {
    while (at + 1 < end && s[at] == '0') {
        ++at;
    }
    return at;
}

}  // namespace

int compareNumerically(std::string_view a, std::string_view b) {
    size_t i = 0;
    size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            // Compared by value without converting: the longer significant
            // run is the larger number; runs of equal length compare digit
            // by digit.
            const size_t ea = digitsEnd(a, i);
            const size_t eb = digitsEnd(b, j);
            const std::string_view na = a.substr(significant(a, i, ea), ea - significant(a, i, ea));
            const std::string_view nb = b.substr(significant(b, j, eb), eb - significant(b, j, eb));
            if (na.size() != nb.size()) {
                return na.size() < nb.size() ? -1 : 1;
            }
            const int c = na.compare(nb);
            if (c != 0) {
                return c < 0 ? -1 : 1;
            }
            i = ea;
            j = eb;
            continue;
        }
        const auto ca = static_cast<unsigned char>(a[i]);
        const auto cb = static_cast<unsigned char>(b[j]);
        if (ca != cb) {
            return ca < cb ? -1 : 1;
        }
        ++i;
        ++j;
    }
    if (i < a.size()) {
        return 1;
    }
    if (j < b.size()) {
        return -1;
    }
    return 0;
}

}  // namespace base
