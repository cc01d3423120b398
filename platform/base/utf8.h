// Well-formed UTF-8, as the Unicode standard defines it: no overlong forms, no
// surrogates, nothing past U+10FFFF, no cut-off sequence. Zero bytes are
// characters like any other.
#pragma once

#include <string_view>

namespace base {

[[nodiscard]] bool isValidUtf8(std::string_view bytes);

}  // namespace base
