#include "tools/installer/metadata.h"

#include <cctype>
#include <cstddef>
#include <cstring>
#include <set>

#include "platform/xml/xml.h"

namespace installer {
namespace {

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
xml::Refusal parseXmlFile(const std::string& path, XmlCollector& c) {
    xml::Parser parser(c);
    return parser.parseFile(path) ? xml::Refusal::None : parser.refusal();
}

// The reader refused the document itself, rather than finding it not
// well-formed or unreadable.
bool refusedOutright(xml::Refusal why) {
    return why == xml::Refusal::ExternalDeclarations || why == xml::Refusal::EntityDeclaration ||
           why == xml::Refusal::Memory;
}

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    size_t e = s.find_last_not_of(" \t\r\n");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

std::string percentDecode(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() &&
            std::isxdigit(static_cast<unsigned char>(s[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(s[i + 2]))) {
            out.push_back(static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16)));
            i += 2;
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

}  // namespace

std::optional<Failure> findComponents(const Members& m, std::vector<std::string>& components) {
    if (m.files.count("Distribution") == 0) {
        if (m.files.count("Payload") == 0 && m.files.count("Scripts") == 0) {
            return Failure{"the package has neither a Payload nor Scripts"};
        }
        components.push_back("");
        return std::nullopt;
    }
    auto isComponent = [&](const std::string& dir) {
        return m.directories.count(dir) != 0 && dir.find('/') == std::string::npos &&
               (m.files.count(dir + "/Payload") != 0 || m.files.count(dir + "/Scripts") != 0 ||
                m.files.count(dir + "/PackageInfo") != 0);
    };
    XmlCollector dist;
    const xml::Refusal distribution = parseXmlFile(m.root + "/Distribution", dist);
    if (refusedOutright(distribution)) {
        // Its choice of components cannot be known: installing every one
        // instead could install what it leaves out.
        return Failure{
            "the Distribution is refused by the XML reader (entities, an external "
            "subset, or too large to parse)"};
    }
    if (distribution == xml::Refusal::None) {
        std::set<std::string> seen;
        for (const std::string& ref : dist.pkgRefs) {
            std::string t = trim(ref);
            if (t.empty() || t[0] != '#') {
                continue;
            }
            std::string name = percentDecode(t.substr(1));
            if (!isComponent(name)) {
                return Failure{"the Distribution names a missing component: " + name};
            }
            if (seen.insert(name).second) {
                components.push_back(name);
            }
        }
    }
    if (components.empty()) {
        // No readable choice of components: install every one the product holds.
        for (const std::string& dir : m.directories) {
            if (isComponent(dir)) {
                components.push_back(dir);
            }
        }
    }
    if (components.empty()) {
        return Failure{"the product archive holds no component package"};
    }
    return std::nullopt;
}

std::optional<Failure> installLocation(const Members& m, const std::string& component,
                                       std::string& location) {
    const std::string prefix = component.empty() ? std::string() : component + "/";
    location = "/";
    if (m.files.count(prefix + "PackageInfo") == 0) {
        return std::nullopt;
    }
    XmlCollector info;
    if (parseXmlFile(m.root + "/" + prefix + "PackageInfo", info) != xml::Refusal::None) {
        return Failure{"the PackageInfo of " + (component.empty() ? "the package" : component) +
                       " is not well-formed"};
    }
    if (info.installLocation && !info.installLocation->empty()) {
        location = *info.installLocation;
    }
    return std::nullopt;
}

}  // namespace installer
