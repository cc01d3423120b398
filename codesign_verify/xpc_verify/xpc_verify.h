// Verification of the process at the other end of a new connection: its code
// must be validly signed and satisfy a requirement composed from the client
// identifier, the maker's team identifier and certificate name, and either a
// minimum version or an extra requirement.
#pragma once

#include <optional>
#include <string>

// Receives one NUL-terminated UTF-8 message, valid only during the call.
typedef void (*xpc_verify_log_callback)(const char* message);

// `connection` is the new xpc::Connection (may be null). Adds the maker's team
// identifier and certificate name and returns verify_xpc_connection's result.
bool is_xpc_connection_valid(void* connection, const char* clientIdentifier, const char* minVersion,
                             const char* extraRequirement, xpc_verify_log_callback logCallback);

namespace xpc_verify {

// True only when the peer's code is valid and satisfies the composed
// requirement. At most one message reaches `logCallback` per call, and none is
// formed when it is null.
bool verify_xpc_connection(void* connection, const char* clientIdentifier,
                           const char* teamIdentifier, const char* certificateName,
                           const char* minVersion, const char* extraRequirement,
                           xpc_verify_log_callback logCallback);

// The requirement text, exactly as verify_xpc_connection compiles it. The
// pieces are inserted verbatim; nothing is escaped. Null pointers count as
// absent (null identifier, team or name are formatted as "(null)").
std::string compose_requirement(const char* clientIdentifier, const char* teamIdentifier,
                                const char* certificateName, const char* minVersion,
                                const char* extraRequirement);

}  // namespace xpc_verify
