#include "Common/XQSipCheckXPCSignatureHelper.h"

#include "codesign_verify/xpc_verify/xpc_verify.h"

namespace {
constexpr const char* kClientIdentifier = "lx.pelk.dvk";
constexpr const char* kMinimumVersion = "5.5.0";
}  // namespace

void xpcCodesignLogCallback(const char* /*message*/) {}

bool XQSipCheckXPCSignatureHelper::isValidConnection(xpc::Connection* connection) {
    return is_xpc_connection_valid(connection, kClientIdentifier, kMinimumVersion, nullptr,
                                   xpcCodesignLogCallback);
}
