#include "platform/security/chain_verify.h"

#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/x509v3.h>

#include <array>
#include <cstring>
#include <string_view>

#include "platform/security/anchors.h"
#include "platform/security/security.h"

namespace security::detail {
namespace {
// Links the initialisation without configuration into every program that
// uses this file.
[[maybe_unused]] const bool kNoConfiguration = security::initialize_without_configuration();
}  // namespace
namespace {

bool only_known_unhandled_critical_extensions(X509* cert) {
    const int count = X509_get_ext_count(cert);
    for (int i = 0; i < count; ++i) {
        X509_EXTENSION* ext = X509_get_ext(cert, i);
        if (!X509_EXTENSION_get_critical(ext) || X509_supported_extension(ext)) {
            continue;
        }
        char oid[80];
        const int length =
            OBJ_obj2txt(oid, sizeof(oid), X509_EXTENSION_get_object(ext), /*no_name=*/1);
        if (length <= 0 || static_cast<size_t>(length) >= sizeof(oid)) {
            return false;
        }
        bool known = false;
        // Apple's Developer ID markers: they name the certificate's kind and
        // restrict nothing our callers must enforce. Every other unknown
        // critical extension still fails, as RFC 5280 asks.
        for (const std::string& k : known_apple_critical_extensions()) {
            if (k == std::string_view(oid, static_cast<size_t>(length))) {
                known = true;
            }
        }
        if (!known) {
            return false;
        }
    }
    return true;
}

}  // namespace

int verify_callback(int ok, X509_STORE_CTX* ctx) {
    if (!ok && X509_STORE_CTX_get_error(ctx) == X509_V_ERR_UNHANDLED_CRITICAL_EXTENSION) {
        X509* cert = X509_STORE_CTX_get_current_cert(ctx);
        if (cert != nullptr && only_known_unhandled_critical_extensions(cert)) {
            X509_STORE_CTX_set_error(ctx, X509_V_OK);
            return 1;
        }
    }
    return ok;
}

StorePtr make_anchor_store(int purpose, std::optional<time_t> at) {
    StorePtr store(X509_STORE_new());
    if (!store) {
        return nullptr;
    }
    for (const std::vector<uint8_t>& der : trust_anchor_certificates()) {
        X509Ptr anchor = certificate_from_der(der);
        if (!anchor || X509_STORE_add_cert(store.get(), anchor.get()) != 1) {
            ERR_clear_error();
            return nullptr;
        }
    }
    X509_VERIFY_PARAM* param = X509_STORE_get0_param(store.get());
    // Set deliberately: left unset, CMS and time-stamp verification would
    // apply their own defaults (S/MIME signing), which installer leaves fail.
    if (X509_VERIFY_PARAM_set_purpose(param, purpose) != 1) {
        return nullptr;
    }
    if (at) {
        X509_VERIFY_PARAM_set_time(param, *at);
    }
    X509_STORE_set_verify_cb(store.get(), verify_callback);
    return store;
}

bool build_chain(X509* leaf, STACK_OF(X509) * untrusted, int purpose, std::optional<time_t> at,
                 std::vector<X509*>* chain, std::string* error) {
    StorePtr store = make_anchor_store(purpose, at);
    std::unique_ptr<X509_STORE_CTX, decltype(&X509_STORE_CTX_free)> ctx(X509_STORE_CTX_new(),
                                                                        X509_STORE_CTX_free);
    if (!store || !ctx || X509_STORE_CTX_init(ctx.get(), store.get(), leaf, untrusted) != 1) {
        ERR_clear_error();
        if (error != nullptr) {
            *error = "cannot set up the chain verification";
        }
        return false;
    }
    const int result = X509_verify_cert(ctx.get());
    if (chain != nullptr) {
        STACK_OF(X509)* built = X509_STORE_CTX_get0_chain(ctx.get());
        for (int i = 0; i < sk_X509_num(built); ++i) {
            X509* c = sk_X509_value(built, i);
            X509_up_ref(c);
            chain->push_back(c);
        }
    }
    if (result != 1) {
        const int code = X509_STORE_CTX_get_error(ctx.get());
        const int depth = X509_STORE_CTX_get_error_depth(ctx.get());
        if (error != nullptr) {
            *error = std::string(X509_verify_cert_error_string(code)) + " (code " +
                     std::to_string(code) + ", depth " + std::to_string(depth) + ")";
        }
        ERR_clear_error();
        return false;
    }
    return true;
}

}  // namespace security::detail
