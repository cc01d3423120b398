// Fuzzes the version gate's reading of "PackageInfo" and "Distribution": the
// event-driven parse with the element callback, fed in two pieces, and the
// numeric ordering of whatever version it finds against the helper's own.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "Main/XQSipLocationCheckVersionHelper.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    // The first byte picks the member and where the input is split.
    const bool distribution = (data[0] & 1) != 0;
    const char* xml = reinterpret_cast<const char*>(data + 1);
    const size_t length = size - 1;
    const size_t split = length == 0 ? 0 : (data[0] >> 1) % (length + 1);

    XQVersionParseState state;
    state.parsingFileName = distribution ? "Distribution" : "PackageInfo";
    {
        XQMetadataParser parser(state);
        if (parser.parse(xml, split, false)) {
            (void)parser.parse(xml + split, length - split, true);
        }
    }
    if (distribution && state.parsedVersion) {
        std::abort();  // a Distribution never sets the version
    }
    if (!distribution && state.parsedAppId) {
        std::abort();  // nor a PackageInfo the identifier
    }
    const std::string own = "5.16.0.124";
    const std::string found = state.parsedVersion.value_or(state.parsedAppId.value_or(""));
    const int a = XQCompareNumerically(found, own);
    const int b = XQCompareNumerically(own, found);
    if ((a < 0) != (b > 0) || (a == 0) != (b == 0) || XQCompareNumerically(found, found) != 0) {
        std::abort();  // the ordering must be antisymmetric and reflexive
    }
    return 0;
}
