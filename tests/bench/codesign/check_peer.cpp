// The caller check as a process of its own: looks the process PID up, compiles
// the client requirement and checks its code, as the daemon does for a
// connection. Exit status 0 when the code is valid.
#include <cstdlib>

#include "platform/codesign/codesign.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        return 2;
    }
    codesign::GuestAttributes attributes;
    attributes.pid = static_cast<pid_t>(std::atoi(argv[1]));
    codesign::SecCodeRef code;
    codesign::SecRequirementRef requirement;
    codesign::CFErrorRef errors;
    if (codesign::SecCodeCopyGuestWithAttributes(nullptr, attributes, 0, &code) !=
            codesign::errSecSuccess ||
        codesign::SecRequirementCreateWithStringAndErrors(argv[2], 0, &errors, &requirement) !=
            codesign::errSecSuccess) {
        return 1;
    }
    return codesign::SecCodeCheckValidity(code, 0, requirement) == codesign::errSecSuccess ? 0 : 1;
}
