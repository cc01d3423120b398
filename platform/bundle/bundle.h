// The main bundle's information dictionary. The executable carries it in its
// own "__info_plist" section (an XML property list); it is parsed once, on the
// first call, from the loaded image, so no file is read.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace bundle {

// The string value of `key` in the main bundle's information dictionary;
// nullopt when the executable has no such section, the section is not a
// dictionary, the key is absent, or its value is not a string.
std::optional<std::string> objectForInfoDictionaryKey(const std::string& key);

// The raw bytes of the running executable's "__info_plist" section (empty when
// it has none).
std::string_view infoPlistSection();

// Parses an XML property list holding a dictionary and returns the string
// value of `key`, or nullopt. For the tests and tools that read another
// executable's section.
std::optional<std::string> stringForKeyInPlist(std::string_view plistBytes, const std::string& key);

// Every string entry of an XML property list holding a dictionary; nullopt when
// the bytes are not such a list. The bytes are hostile input: a binary list, a
// NUL byte or a character reference to NUL anywhere (which the property-list
// library cannot hand out safely) refuses the whole list.
std::optional<std::map<std::string, std::string>> stringEntriesOfPlist(std::string_view plistBytes);

}  // namespace bundle
