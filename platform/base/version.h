// The order of version strings: each run of ASCII digits compares as one
// number by its value (leading zeros do not count, any length, no overflow),
// every other byte compares with its counterpart as an unsigned value,
// case-sensitively; when one string ends first it orders first. So
// "5.10" > "5.9", "5.05" == "5.5", "5.5" < "5.5.0" and "5.5b" > "5.5a".
#pragma once

#include <string_view>

namespace base {

// <0, 0 or >0 as `a` orders before, with or after `b`.
[[nodiscard]] int compareNumerically(std::string_view a, std::string_view b);

}  // namespace base
