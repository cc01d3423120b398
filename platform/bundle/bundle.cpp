#include "platform/bundle/bundle.h"

#include <plist/plist.h>

#include <climits>
#include <memory>
#include <mutex>

// Bounds of the "__info_plist" section, provided by the linker for sections
// whose names are C identifiers. Weak, so that an executable without the
// section links and sees null.
extern "C" {
extern const char __start___info_plist[] __attribute__((weak));
extern const char __stop___info_plist[] __attribute__((weak));
}

namespace bundle {
namespace {

struct PlistFree {
    void operator()(plist_t p) const { plist_free(p); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

PlistPtr parse(std::string_view bytes) {
    if (bytes.empty() || bytes.size() > UINT32_MAX / 2) {
        return nullptr;
    }
    plist_t root = nullptr;
    if (plist_is_binary(bytes.data(), static_cast<uint32_t>(bytes.size()))) {
        plist_from_bin(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    } else {
        plist_from_xml(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    }
    return PlistPtr(root);
}

std::optional<std::string> stringForKey(plist_t dict, const std::string& key) {
    if (dict == nullptr || plist_get_node_type(dict) != PLIST_DICT) {
        return std::nullopt;
    }
    plist_t node = plist_dict_get_item(dict, key.c_str());
    if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) {
        return std::nullopt;
    }
    char* value = nullptr;
    plist_get_string_val(node, &value);
    if (value == nullptr) {
        return std::nullopt;
    }
    std::string out(value);
    free(value);
    return out;
}

}  // namespace

std::string_view infoPlistSection() {
    const char* start = __start___info_plist;
    const char* stop = __stop___info_plist;
    if (start == nullptr || stop == nullptr || stop <= start) {
        return {};
    }
    return {start, static_cast<size_t>(stop - start)};
}

std::optional<std::string> stringForKeyInPlist(std::string_view plistBytes,
                                               const std::string& key) {
    PlistPtr root = parse(plistBytes);
    return stringForKey(root.get(), key);
}

std::optional<std::string> objectForInfoDictionaryKey(const std::string& key) {
    // Parsed once; the dictionary is never changed afterwards, so lookups
    // from any thread need no lock.
    static std::once_flag once;
    static PlistPtr info;
    std::call_once(once, [] { info = parse(infoPlistSection()); });
    return stringForKey(info.get(), key);
}

}  // namespace bundle
