// What the daemon demands of the process at the other end of a connection:
// the client's signing identifier and a minimum version, checked by the
// xpc_verify library against the maker's signature.
#pragma once

namespace xpc {
class Connection;
}

// Discards the library's message: a refused client leaves no trace.
void xpcCodesignLogCallback(const char* message);

class XQSipCheckXPCSignatureHelper {
  public:
    // True if the peer of `connection` is the authorised client.
    static bool isValidConnection(xpc::Connection* connection);
};
