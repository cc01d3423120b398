#include <string>

#include "codesign_verify/xpc_verify/xpc_verify.h"

namespace xpc_verify {
namespace {

// A null C string is formatted the way the platform's "%s" formats it.
std::string text(const char* s) {
    return s != nullptr ? std::string(s) : std::string("(null)");
}

}  // namespace

std::string compose_requirement(const char* clientIdentifier, const char* teamIdentifier,
                                const char* certificateName, const char* minVersion,
                                const char* extraRequirement) {
    // The third clause: an extra requirement takes the place of the version
    // clause; with neither there is none.
    std::optional<std::string> third;
    if (extraRequirement != nullptr) {
        third = extraRequirement;
    } else if (minVersion != nullptr) {
        third = "info [CFBundleVersion] >= \"" + std::string(minVersion) + "\"";
    }
    const std::string anchor = "anchor apple generic and certificate leaf[subject.OU] = \"" +
                               text(teamIdentifier) + "\" and certificate leaf[subject.CN] = \"" +
                               text(certificateName) + "\"";
    std::string requirement = "identifier \"" + text(clientIdentifier) + "\" and " + anchor;
    if (third) {
        requirement += " and " + *third;
    }
    return requirement;
}

}  // namespace xpc_verify
