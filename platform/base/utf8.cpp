#include "platform/base/utf8.h"

#include <unicode/ustring.h>

#include <cstdint>

namespace base {

bool isValidUtf8(std::string_view bytes) {
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

}  // namespace base
