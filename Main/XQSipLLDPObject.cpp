#include "Main/XQSipLLDPObject.h"

#include <cstdint>
#include <cstring>
#include <string_view>

#include "platform/base/utf8.h"

std::optional<std::string> XQSipLLDPReplyString(const std::string& captured) {
    // As a C string: the text ends at the first zero octet.
    size_t length = strnlen(captured.c_str(), captured.size());
    if (!base::isValidUtf8(std::string_view(captured.data(), length))) {
        return std::nullopt;
    }
    return captured.substr(0, length);
}
