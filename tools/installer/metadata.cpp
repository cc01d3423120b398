#include "tools/installer/metadata.h"

#include <cctype>
#include <cstring>
#include <set>

namespace installer {
namespace {

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

xml::Refusal parseXmlFile(const std::string& path, XmlCollector& c) {
    xml::Parser parser(c);
    return parser.parseFile(path) ? xml::Refusal::None : parser.refusal();
}

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

}  // namespace installer
