#include "platform/bundle/bundle.h"

#include <plist/plist.h>

#include <climits>
#include <memory>
#include <mutex>
#include <type_traits>

#include "platform/base/handle.h"

// Bounds of the "__info_plist" section, provided by the linker for sections
// whose names are C identifiers. Weak, so that an executable without the
// section links and sees null.
extern "C" {
extern const char __start___info_plist[] __attribute__((weak));
extern const char __stop___info_plist[] __attribute__((weak));
}

namespace bundle {
namespace {

using PlistPtr = base::Handle<std::remove_pointer_t<plist_t>, plist_free>;

// The largest list accepted; an executable's bundle information is a few
// hundred bytes.
constexpr size_t kMaxPlistSize = 1u << 20;

// True when the text has a character reference that names NUL ("&#0;",
// "&#x00;", ...).
bool hasNulReference(std::string_view xml) {
    for (size_t at = xml.find("&#"); at != std::string_view::npos; at = xml.find("&#", at + 2)) {
        size_t i = at + 2;
        const bool hex = i < xml.size() && (xml[i] == 'x' || xml[i] == 'X');
        if (hex) {
            ++i;
        }
        size_t digits = 0;
        bool nonZero = false;
        for (; i < xml.size(); ++i, ++digits) {
            const char c = xml[i];
            const bool digit = (c >= '0' && c <= '9') ||
                               (hex && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')));
            if (!digit) {
                break;
            }
            nonZero = nonZero || c != '0';
        }
        if (digits > 0 && !nonZero) {
            return true;
        }
    }
    return false;
}

// libplist asserts (ending the process) when a key or string holds a NUL, so
// such input never reaches it; nor does the binary format, which can carry
// one without a trace in the text.
PlistPtr parse(std::string_view bytes) {
    if (bytes.empty() || bytes.size() > kMaxPlistSize ||
        bytes.find('\0') != std::string_view::npos || hasNulReference(bytes) ||
        plist_is_binary(bytes.data(), static_cast<uint32_t>(bytes.size()))) {
        return nullptr;
    }
    plist_t root = nullptr;
    plist_from_xml(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
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
    uint64_t length = 0;
    const char* value = plist_get_string_ptr(node, &length);
    if (value == nullptr) {
        return std::nullopt;
    }
    return std::string(value, static_cast<size_t>(length));
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

std::optional<std::map<std::string, std::string>> stringEntriesOfPlist(
    std::string_view plistBytes) {
    PlistPtr root = parse(plistBytes);
    if (!root || plist_get_node_type(root.get()) != PLIST_DICT) {
        return std::nullopt;
    }
    std::map<std::string, std::string> out;
    plist_dict_iter rawIter = nullptr;
    plist_dict_new_iter(root.get(), &rawIter);
    const base::MallocPtr<void> iter(rawIter);
    for (;;) {
        char* rawKey = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(root.get(), iter.get(), &rawKey, &value);
        const base::MallocPtr<char> key(rawKey);
        if (!key) {
            break;
        }
        if (auto text = stringForKey(root.get(), key.get())) {
            out.emplace(key.get(), std::move(*text));
        }
    }
    return out;
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
