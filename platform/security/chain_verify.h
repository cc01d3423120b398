// Chain building over the compiled-in anchors, shared by the trust object, the
// CMS signer status and the time-stamp check. Internal to platform/security.
#pragma once

#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace security::detail {

struct StoreDeleter {
    void operator()(X509_STORE* s) const { X509_STORE_free(s); }
};
using StorePtr = std::unique_ptr<X509_STORE, StoreDeleter>;

// A new store holding the anchors, with `purpose` (X509_PURPOSE_*) and, when
// given, the verification time set on its parameters, and the verify callback
// that accepts exactly the known Apple critical extensions. Null on failure.
StorePtr make_anchor_store(int purpose, std::optional<time_t> at);

// Verifies `leaf` with `untrusted` as chain candidates. Returns true on
// success, otherwise false with OpenSSL's reason in `error`. When `chain` is
// not null it receives the chain that the verification built (references
// taken), also on failure: as far as it got, leaf first.
bool build_chain(X509* leaf, STACK_OF(X509) * untrusted, int purpose, std::optional<time_t> at,
                 std::vector<X509*>* chain, std::string* error);

// The verify callback installed by make_anchor_store.
int verify_callback(int ok, X509_STORE_CTX* ctx);

}  // namespace security::detail
