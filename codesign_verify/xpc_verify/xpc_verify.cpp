#include "codesign_verify/xpc_verify/xpc_verify.h"

#include <array>
#include <cstdint>

#include "platform/codesign/codesign.h"
#include "platform/xpc/xpc.h"

namespace {

constexpr const char* kTeamIdentifier = "T3MQ8VX2LC";
constexpr const char* kCertificateName = "Developer ID Application: Pelk Labs, Inc. (T3MQ8VX2LC)";

void report(xpc_verify_log_callback logCallback, const std::string& message) {
    if (logCallback != nullptr) {
        logCallback(message.c_str());
    }
}

}  // namespace

bool is_xpc_connection_valid(void* connection, const char* clientIdentifier, const char* minVersion,
                             const char* extraRequirement, xpc_verify_log_callback logCallback) {
    return xpc_verify::verify_xpc_connection(connection, clientIdentifier, kTeamIdentifier,
                                             kCertificateName, minVersion, extraRequirement,
                                             logCallback);
}

namespace xpc_verify {

bool verify_xpc_connection(void* connection, const char* clientIdentifier,
                           const char* teamIdentifier, const char* certificateName,
                           const char* minVersion, const char* extraRequirement,
                           xpc_verify_log_callback logCallback) {
    // The peer is named by its audit token only, never by its process id: a
    // connection without a token is looked up with an all-zero one, which
    // names no process.
    codesign::GuestAttributes attributes;
    codesign::AuditToken token{};
    if (auto* c = static_cast<xpc::Connection*>(connection)) {
        if (auto t = c->auditToken()) {
            token = codesign::make_audit_token(xpc::audit_token_to_pid(*t),
                                               xpc::audit_token_to_pidfd(*t));
        }
    }
    attributes.audit = token;

    codesign::SecCodeRef code;
    const codesign::OSStatus lookup = codesign::SecCodeCopyGuestWithAttributes(
        nullptr, attributes, codesign::kSecCSDefaultFlags, &code);
    if (!code) {
        report(logCallback, "Error! SecCodeCopyGuestWithAttributes failed, code is nil");
        return false;
    }
    if (lookup != codesign::errSecSuccess) {
        report(logCallback, "Error! SecCodeCopyGuestWithAttributes failed");
        return false;
    }

    const std::string text = compose_requirement(clientIdentifier, teamIdentifier, certificateName,
                                                 minVersion, extraRequirement);
    codesign::CFErrorRef errors;
    codesign::SecRequirementRef requirement;
    codesign::SecRequirementCreateWithStringAndErrors(text, codesign::kSecCSDefaultFlags, &errors,
                                                      &requirement);
    if (errors) {
        if (logCallback != nullptr) {
            report(logCallback, "Error! SecRequirementCreateWithStringAndErrors failed " +
                                    codesign::CFErrorCopyDescription(errors));
        }
        return false;
    }
    if (!requirement) {
        report(logCallback,
               "Error! SecRequirementCreateWithStringAndErrors failed! !code || !requirement");
        return false;
    }

    const codesign::OSStatus status =
        codesign::SecCodeCheckValidity(code, codesign::kSecCSDefaultFlags, requirement);
    if (status != codesign::errSecSuccess) {
        report(logCallback, "Error! SecCodeCheckValidity failed");
    }
    return status == codesign::errSecSuccess;
}

}  // namespace xpc_verify
