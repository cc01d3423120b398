// Fuzz target: the decoding of one read (records, frames, TLVs). Beyond not
// crashing, the strings must only ever hold what the decoder may write.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "Lldp/LLDPReadDecoder.h"

namespace {

bool isMacText(const std::string& s) {
    if (s.size() != 17) {
        return false;
    }
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        bool ok = (i % 3 == 2) ? c == ':' : ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'));
        if (!ok) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string first = "unset";
    std::string second = "unset";
    bool completed = lldp::decodeRead(data, size, first, second);
    if (first != "unset" && !isMacText(first)) {
        std::abort();
    }
    if (completed && !isMacText(first)) {
        std::abort();  // completion needs a MAC chassis from this read
    }
    if (second.size() > 510) {
        std::abort();  // a TLV value holds at most 511 octets, the subtype included
    }
    return 0;
}
