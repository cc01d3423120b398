// The package's metadata: which components a product installs (its
// Distribution) and where each one goes (its PackageInfo).
#pragma once

#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/xml/xml.h"
#include "tools/installer/failure.h"
#include "tools/installer/members.h"

namespace installer {

// What the install reads from the package's metadata.
struct XmlCollector final : xml::Handler {
    // Distribution: the text of each pkg-ref element, in document order.
    std::vector<std::string> pkgRefs;
    int pkgRefDepth = 0;
    std::string text;
    // PackageInfo: the pkg-info element's install-location and identifier.
    std::optional<std::string> installLocation;
    std::optional<std::string> identifier;

    void startElement(const char* name, const char** atts) override {
        if (std::strcmp(name, "pkg-ref") == 0) {
            pkgRefDepth++;
            text.clear();
        } else if (std::strcmp(name, "pkg-info") == 0) {
            for (size_t i = 0; atts[i] != nullptr && atts[i + 1] != nullptr; i += 2) {
                if (std::strcmp(atts[i], "install-location") == 0) {
                    installLocation = atts[i + 1];
                } else if (std::strcmp(atts[i], "identifier") == 0) {
                    identifier = atts[i + 1];
                }
            }
        }
    }
    void endElement(const char* name) override {
        if (std::strcmp(name, "pkg-ref") == 0 && pkgRefDepth > 0) {
            pkgRefDepth--;
            pkgRefs.push_back(text);
            text.clear();
        }
    }
    void characters(const char* s, size_t len) override {
        if (pkgRefDepth > 0 && text.size() < 4096) {
            text.append(s, len);
        }
    }
};

// Why the file could not be read: None when it was read whole. A document
// with entity declarations or an external subset is refused unread.
xml::Refusal parseXmlFile(const std::string& path, XmlCollector& c);

// The components to install, as member directories ("" for a flat package).
std::optional<Failure> findComponents(const Members& m, std::vector<std::string>& components);

}  // namespace installer
