// Bundle information as the caller check reads it from a peer's executable:
// any bytes must give a dictionary of strings or nothing, never a crash.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/bundle/bundle.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    auto entries = bundle::stringEntriesOfPlist(bytes);
    auto version = bundle::stringForKeyInPlist(bytes, "CFBundleVersion");
    // Both views of one list agree.
    if (entries) {
        auto it = entries->find("CFBundleVersion");
        if ((it == entries->end()) != !version.has_value()) {
            __builtin_trap();
        }
    }
    return 0;
}
