#include "platform/security/security.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ess.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/ts.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <mutex>
#include <sstream>

namespace security {

bool initialize_without_configuration() {
    // The first initialisation decides: OPENSSL_INIT_NO_LOAD_CONFIG makes
    // every later automatic initialisation skip the configuration file too.
    static const bool done = OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr) == 1;
    return done;
}

namespace {

// Before main(), so before any other code of the program can touch OpenSSL.
[[maybe_unused]] const bool kInitialisedWithoutConfiguration = initialize_without_configuration();

// Files of certificates and keys are small; anything larger is not one.
constexpr size_t kMaxCredentialFile = 1 << 20;

BioPtr memory_bio(std::span<const uint8_t> data) {
    if (data.size() > static_cast<size_t>(INT_MAX)) {
        return nullptr;
    }
    // BIO_new_mem_buf refuses a null pointer, even for no bytes.
    static const uint8_t kEmpty = 0;
    return BioPtr(
        BIO_new_mem_buf(data.empty() ? &kEmpty : data.data(), static_cast<int>(data.size())));
}

BioPtr memory_bio(std::string_view text) {
    return memory_bio(
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

std::optional<std::string> read_small_file(const std::string& path, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (error) {
            *error = "cannot open " + path;
        }
        return std::nullopt;
    }
    std::string data;
    char buffer[8192];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        data.append(buffer, static_cast<size_t>(in.gcount()));
        if (data.size() > kMaxCredentialFile) {
            if (error) {
                *error = path + " is too large";
            }
            return std::nullopt;
        }
    }
    return data;
}

std::optional<std::time_t> to_time_t(const ASN1_TIME* t) {
    if (!t) {
        return std::nullopt;
    }
    struct tm tm {};
    if (ASN1_TIME_to_tm(t, &tm) != 1) {
        ERR_clear_error();
        return std::nullopt;
    }
    return timegm(&tm);
}

std::string object_text(const ASN1_OBJECT* obj) {
    char buf[128];
    int n = OBJ_obj2txt(buf, sizeof buf, obj, 1);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof buf) {
        return {};
    }
    return std::string(buf, static_cast<size_t>(n));
}

// Passed to the verify callback through the context's application data.
struct VerifyPolicy {
    const std::vector<std::string>* accepted_critical = nullptr;
};

// Every unknown critical extension of `cert` is one the caller accepts.
bool critical_extensions_accepted(X509* cert, const std::vector<std::string>& accepted) {
    int count = X509_get_ext_count(cert);
    for (int i = 0; i < count; ++i) {
        X509_EXTENSION* ext = X509_get_ext(cert, i);
        if (!X509_EXTENSION_get_critical(ext) || X509_supported_extension(ext)) {
            continue;
        }
        std::string oid = object_text(X509_EXTENSION_get_object(ext));
        if (oid.empty() || std::find(accepted.begin(), accepted.end(), oid) == accepted.end()) {
            return false;
        }
    }
    return true;
}

int verify_callback(int ok, X509_STORE_CTX* ctx) {
    if (ok) {
        return ok;
    }
    if (X509_STORE_CTX_get_error(ctx) != X509_V_ERR_UNHANDLED_CRITICAL_EXTENSION) {
        return ok;
    }
    auto* policy = static_cast<const VerifyPolicy*>(X509_STORE_CTX_get_app_data(ctx));
    X509* cert = X509_STORE_CTX_get_current_cert(ctx);
    if (policy && policy->accepted_critical && cert &&
        critical_extensions_accepted(cert, *policy->accepted_critical)) {
        X509_STORE_CTX_set_error(ctx, X509_V_OK);
        return 1;
    }
    return ok;
}

}  // namespace

// ---- Ownership -------------------------------------------------------------

X509StackView stack_view(const std::vector<X509Ptr>& certs) {
    X509StackView stack(sk_X509_new_null());
    if (!stack) {
        return stack;
    }
    for (const auto& c : certs) {
        if (!sk_X509_push(stack.get(), c.get())) {
            return nullptr;
        }
    }
    return stack;
}

X509Ptr up_ref(X509* cert) {
    if (!cert || X509_up_ref(cert) != 1) {
        return nullptr;
    }
    return X509Ptr(cert);
}

std::string drain_errors() {
    std::string out;
    unsigned long code;
    while ((code = ERR_get_error()) != 0) {
        char buf[256];
        ERR_error_string_n(code, buf, sizeof buf);
        if (!out.empty()) {
            out += "; ";
        }
        out += buf;
    }
    return out;
}

// ---- Certificates ----------------------------------------------------------

namespace {

// One DER structure, parsed by `D2i` (d2i_*); see TrailingBytes.
template <typename Ptr, auto D2i>
Ptr from_der(std::span<const uint8_t> der, TrailingBytes trailing) {
    if (der.empty() || der.size() > static_cast<size_t>(LONG_MAX)) {
        return nullptr;
    }
    const unsigned char* p = der.data();
    Ptr out(D2i(nullptr, &p, static_cast<long>(der.size())));
    if (out && trailing == TrailingBytes::refuse && p != der.data() + der.size()) {
        out.reset();
    }
    ERR_clear_error();
    return out;
}

}  // namespace

X509Ptr certificate_from_der(std::span<const uint8_t> der, TrailingBytes trailing) {
    return from_der<X509Ptr, d2i_X509>(der, trailing);
}

namespace {

// The first object of a PEM text, read by `Read` (PEM_read_bio_*).
template <typename Ptr, auto Read>
Ptr first_of_pem(std::string_view pem) {
    BioPtr bio = memory_bio(pem);
    Ptr out(bio ? Read(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    ERR_clear_error();
    return out;
}

}  // namespace

X509Ptr certificate_from_pem(std::string_view pem) {
    return first_of_pem<X509Ptr, PEM_read_bio_X509>(pem);
}

std::vector<X509Ptr> certificates_from_pem(std::string_view pem) {
    std::vector<X509Ptr> out;
    BioPtr bio = memory_bio(pem);
    if (!bio) {
        return out;
    }
    while (X509* cert = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
        out.emplace_back(cert);
    }
    // The loop ends with "no start line" at the end of the text.
    ERR_clear_error();
    return out;
}

std::vector<X509Ptr> certificates_from_file(const std::string& path, std::string* error) {
    auto data = read_small_file(path, error);
    if (!data) {
        return {};
    }
    std::vector<X509Ptr> out;
    if (data->find("-----BEGIN") != std::string::npos) {
        out = certificates_from_pem(*data);
    } else if (X509Ptr cert = certificate_from_der(std::span<const uint8_t>(
                   reinterpret_cast<const uint8_t*>(data->data()), data->size()))) {
        out.push_back(std::move(cert));
    }
    if (out.empty() && error) {
        *error = "no certificate in " + path;
    }
    return out;
}

EvpPkeyPtr private_key_from_pem(std::string_view pem) {
    return first_of_pem<EvpPkeyPtr, PEM_read_bio_PrivateKey>(pem);
}

EvpPkeyPtr private_key_from_file(const std::string& path, std::string* error) {
    auto data = read_small_file(path, error);
    if (!data) {
        return nullptr;
    }
    EvpPkeyPtr key = private_key_from_pem(*data);
    if (!key && error) {
        *error = "no private key in " + path;
    }
    return key;
}

Bytes certificate_der(const X509* cert) {
    unsigned char* der = nullptr;
    int n = cert ? i2d_X509(cert, &der) : -1;
    if (n <= 0) {
        ERR_clear_error();
        return {};
    }
    const OpenSslPtr<unsigned char> owned(der);
    return Bytes(der, der + n);
}

std::optional<std::string> name_entry_utf8(const X509_NAME_ENTRY* entry) {
    unsigned char* utf8 = nullptr;
    const int n = entry ? ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(entry)) : -1;
    if (n < 0) {
        ERR_clear_error();
        return std::nullopt;
    }
    const OpenSslPtr<unsigned char> owned(utf8);
    std::string out(reinterpret_cast<char*>(utf8), static_cast<size_t>(n));
    if (out.find('\0') != std::string::npos) {
        return std::nullopt;
    }
    return out;
}

std::vector<std::pair<std::string, std::string>> subject_fields(const X509* cert) {
    std::vector<std::pair<std::string, std::string>> out;
    const X509_NAME* name = cert ? X509_get_subject_name(cert) : nullptr;
    if (!name) {
        return out;
    }
    int count = X509_NAME_entry_count(name);
    for (int i = 0; i < count; ++i) {
        const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
        const ASN1_OBJECT* obj = X509_NAME_ENTRY_get_object(entry);
        int nid = OBJ_obj2nid(obj);
        std::string key;
        if (nid == NID_userId) {
            key = "UID";
        } else if (nid != NID_undef && OBJ_nid2sn(nid)) {
            key = OBJ_nid2sn(nid);
        } else {
            key = object_text(obj);
        }
        if (auto value = name_entry_utf8(entry)) {
            out.emplace_back(std::move(key), std::move(*value));
        }
    }
    return out;
}

std::optional<std::string> subject_field(const X509* cert, std::string_view short_name) {
    for (auto& [key, value] : subject_fields(cert)) {
        if (key == short_name) {
            return value;
        }
    }
    return std::nullopt;
}

std::optional<std::string> common_name(const X509* cert) {
    return subject_field(cert, "CN");
}

std::string subject_line(const X509* cert) {
    const X509_NAME* name = cert ? X509_get_subject_name(cert) : nullptr;
    if (!name) {
        return {};
    }
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio ||
        X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) < 0) {
        ERR_clear_error();
        return {};
    }
    char* data = nullptr;
    long n = BIO_get_mem_data(bio.get(), &data);
    return n > 0 ? std::string(data, static_cast<size_t>(n)) : std::string();
}

std::array<uint8_t, 32> sha256_fingerprint(const X509* cert) {
    std::array<uint8_t, 32> out{};
    unsigned int n = 0;
    if (!cert || X509_digest(cert, EVP_sha256(), out.data(), &n) != 1 || n != out.size()) {
        ERR_clear_error();
        out.fill(0);
    }
    return out;
}

std::string hex(std::span<const uint8_t> bytes, std::string_view separator) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * (2 + separator.size()));
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0) {
            out += separator;
        }
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

std::optional<std::time_t> not_before(const X509* cert) {
    return cert ? to_time_t(X509_get0_notBefore(cert)) : std::nullopt;
}

std::optional<std::time_t> not_after(const X509* cert) {
    return cert ? to_time_t(X509_get0_notAfter(cert)) : std::nullopt;
}

bool has_extended_key_usage(const X509* cert, std::string_view oid) {
    if (!cert) {
        return false;
    }
    int crit = 0;
    ExtendedKeyUsagePtr eku(static_cast<EXTENDED_KEY_USAGE*>(
        X509_get_ext_d2i(cert, NID_ext_key_usage, &crit, nullptr)));
    if (!eku) {
        ERR_clear_error();
        return false;
    }
    for (int i = 0; i < sk_ASN1_OBJECT_num(eku.get()); ++i) {
        if (object_text(sk_ASN1_OBJECT_value(eku.get(), i)) == oid) {
            return true;
        }
    }
    return false;
}

bool has_extension(const X509* cert, std::string_view oid) {
    if (!cert) {
        return false;
    }
    Asn1ObjectPtr obj(OBJ_txt2obj(std::string(oid).c_str(), 1));
    const bool found = obj && X509_get_ext_by_OBJ(cert, obj.get(), -1) >= 0;
    ERR_clear_error();
    return found;
}

// ---- Chain checks ----------------------------------------------------------

const std::vector<std::string>& known_apple_critical_extensions() {
    static const std::vector<std::string> oids{
        "1.2.840.113635.100.6.1.13",
        "1.2.840.113635.100.6.1.14",
        "1.2.840.113635.100.6.2.6",
    };
    return oids;
}

TrustStore::TrustStore(const std::vector<Bytes>& anchors_der) : der_(anchors_der) {}

void TrustStore::read() const {
    std::call_once(read_, [this] {
        store_.reset(X509_STORE_new());
        for (const auto& der : der_) {
            X509Ptr cert = certificate_from_der(der);
            if (!cert || !store_ || X509_STORE_add_cert(store_.get(), cert.get()) != 1) {
                ERR_clear_error();
                continue;
            }
            anchors_.push_back(std::move(cert));
        }
    });
}

X509_STORE* TrustStore::get() const {
    read();
    return store_.get();
}

const std::vector<X509Ptr>& TrustStore::anchors() const {
    read();
    return anchors_;
}

X509StorePtr TrustStore::carried_store(const std::vector<X509*>& candidates) const {
    X509StorePtr carried;
    for (X509* c : candidates) {
        if (!is_anchor(c)) {
            continue;
        }
        if (!carried) {
            carried.reset(X509_STORE_new());
        }
        if (!carried || X509_STORE_add_cert(carried.get(), c) != 1) {
            ERR_clear_error();
            return nullptr;
        }
    }
    return carried;
}

const TrustStore& TrustStore::shared(const std::vector<Bytes>& anchors_der) {
    static std::mutex mutex;
    // Never erased: the references handed out stay valid.
    static std::map<std::vector<Bytes>, std::unique_ptr<const TrustStore>> stores;
    std::lock_guard<std::mutex> lock(mutex);
    auto it = stores.find(anchors_der);
    if (it == stores.end()) {
        it = stores.emplace(anchors_der, std::make_unique<const TrustStore>(anchors_der)).first;
    }
    return *it->second;
}

bool TrustStore::is_anchor(const X509* cert) const {
    if (!cert) {
        return false;
    }
    const Bytes der = certificate_der(cert);
    return !der.empty() && std::find(der_.begin(), der_.end(), der) != der_.end();
}

namespace {

// verify_chain against the anchors in `store`, all of which are anchors of
// `anchors`.
ChainResult verify_chain_in(X509_STORE* store, X509* leaf, const std::vector<X509*>& untrusted,
                            const TrustStore& anchors, const VerifyOptions& options) {
    ChainResult result;
    X509StackView inter(sk_X509_new_null());
    X509StoreCtxPtr ctx(X509_STORE_CTX_new());
    if (!inter || !ctx) {
        result.error = "out of memory";
        ERR_clear_error();
        return result;
    }
    for (X509* c : untrusted) {
        if (c && !sk_X509_push(inter.get(), c)) {
            result.error = "out of memory";
            return result;
        }
    }
    if (X509_STORE_CTX_init(ctx.get(), store, leaf, inter.get()) != 1) {
        result.error = "cannot start chain check: " + drain_errors();
        return result;
    }
    X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(ctx.get());
    if (options.at) {
        X509_VERIFY_PARAM_set_time(param, *options.at);
    }
    // The anchors are roots: a chain must end at one of them, never at an
    // intermediate that happens to be in the store.
    X509_VERIFY_PARAM_clear_flags(param, X509_V_FLAG_PARTIAL_CHAIN);
    if (options.purpose == Purpose::time_stamping) {
        X509_STORE_CTX_set_purpose(ctx.get(), X509_PURPOSE_TIMESTAMP_SIGN);
    } else {
        X509_STORE_CTX_set_purpose(ctx.get(), X509_PURPOSE_ANY);
    }
    VerifyPolicy policy{&options.accepted_critical_extensions};
    X509_STORE_CTX_set_app_data(ctx.get(), &policy);
    X509_STORE_CTX_set_verify_cb(ctx.get(), verify_callback);

    int rc = X509_verify_cert(ctx.get());
    if (options.keep_built_chain) {
        STACK_OF(X509)* built = X509_STORE_CTX_get0_chain(ctx.get());
        for (int i = 0; i < sk_X509_num(built); ++i) {
            result.built.push_back(up_ref(sk_X509_value(built, i)));
        }
    }
    if (rc != 1) {
        result.verify_error = X509_STORE_CTX_get_error(ctx.get());
        result.error_depth = X509_STORE_CTX_get_error_depth(ctx.get());
        result.error = std::string(X509_verify_cert_error_string(result.verify_error)) +
                       " (depth " + std::to_string(result.error_depth) + ")";
        ERR_clear_error();
        return result;
    }
    // OpenSSL 3.0 knows no code-signing purpose; the leaf's extended key usage
    // is checked here instead.
    if (options.purpose == Purpose::code_signing &&
        !has_extended_key_usage(leaf, "1.3.6.1.5.5.7.3.3")) {
        result.error = "certificate is not for code signing";
        return result;
    }
    STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(ctx.get());
    for (int i = 0; i < sk_X509_num(chain); ++i) {
        result.chain.push_back(up_ref(sk_X509_value(chain, i)));
    }
    // Belt and braces: the top of the chain is byte for byte an anchor.
    if (result.chain.empty() || !anchors.is_anchor(result.chain.back().get())) {
        result.chain.clear();
        result.error = "chain does not end at a trust anchor";
        return result;
    }
    result.ok = true;
    return result;
}

}  // namespace

ChainResult verify_chain(X509* leaf, const std::vector<X509*>& untrusted, const TrustStore& anchors,
                         const VerifyOptions& options) {
    if (!leaf) {
        ChainResult result;
        result.error = "no certificate to check";
        return result;
    }
    // Most chains carry their root: checked against the carried anchors
    // alone, they need no anchor read. Only when that fails is the chain
    // checked against every anchor, so the verdict is the same either way.
    if (const X509StorePtr carried = anchors.carried_store(untrusted)) {
        ChainResult result = verify_chain_in(carried.get(), leaf, untrusted, anchors, options);
        if (result.ok) {
            return result;
        }
    }
    X509_STORE* all = anchors.get();
    if (all == nullptr) {
        ChainResult result;
        result.error = "no certificate to check";
        return result;
    }
    return verify_chain_in(all, leaf, untrusted, anchors, options);
}

// ---- Detached CMS ----------------------------------------------------------

std::optional<Bytes> cms_sign_detached(std::span<const uint8_t> content, const SignRequest& request,
                                       std::string* error) {
    auto fail = [&](const std::string& what) -> std::optional<Bytes> {
        std::string reasons = drain_errors();
        if (error) {
            *error = reasons.empty() ? what : what + ": " + reasons;
        }
        return std::nullopt;
    };
    if (!request.signer || !request.key) {
        return fail("no signer");
    }
    BioPtr in = memory_bio(content);
    if (!in) {
        return fail("content too large");
    }
    X509StackView extra(sk_X509_new_null());
    if (!extra) {
        return fail("out of memory");
    }
    for (X509* c : request.extra_certificates) {
        if (!sk_X509_push(extra.get(), c)) {
            return fail("out of memory");
        }
    }
    const unsigned flags = CMS_DETACHED | CMS_BINARY | CMS_NOSMIMECAP | CMS_PARTIAL;
    CmsPtr cms(CMS_sign(nullptr, nullptr, extra.get(), nullptr, flags));
    if (!cms) {
        return fail("cannot create CMS message");
    }
    CMS_SignerInfo* si = CMS_add1_signer(cms.get(), request.signer, request.key, EVP_sha256(),
                                         CMS_BINARY | CMS_NOSMIMECAP);
    if (!si) {
        return fail("cannot add signer");
    }
    // CMS_final adds the current time unless the attribute is there already.
    if (request.signing_time) {
        Asn1TimePtr when(ASN1_TIME_set(nullptr, *request.signing_time));
        if (!when ||
            CMS_signed_add1_attr_by_NID(si, NID_pkcs9_signingTime, ASN1_STRING_type(when.get()),
                                        when.get(), -1) != 1) {
            return fail("cannot add the signing time");
        }
    }
    if (CMS_final(cms.get(), in.get(), nullptr, CMS_DETACHED | CMS_BINARY) != 1) {
        return fail("cannot sign");
    }
    unsigned char* der = nullptr;
    int n = i2d_CMS_ContentInfo(cms.get(), &der);
    if (n <= 0) {
        return fail("cannot encode CMS message");
    }
    const OpenSslPtr<unsigned char> owned(der);
    return Bytes(der, der + n);
}

CmsPtr cms_from_der(std::span<const uint8_t> der, TrailingBytes trailing) {
    return from_der<CmsPtr, d2i_CMS_ContentInfo>(der, trailing);
}

std::vector<X509Ptr> cms_certificates(CMS_ContentInfo* cms) {
    std::vector<X509Ptr> out;
    X509StackPtr certs(cms ? CMS_get1_certs(cms) : nullptr);
    out.reserve(static_cast<size_t>(std::max(0, sk_X509_num(certs.get()))));
    for (int i = 0; i < sk_X509_num(certs.get()); ++i) {
        out.push_back(up_ref(sk_X509_value(certs.get(), i)));
    }
    ERR_clear_error();
    return out;
}

namespace {

// The certificate of a message's only signer, once CMS_verify has matched
// signers to certificates; nullptr unless there is exactly one.
X509Ptr only_signer(CMS_ContentInfo* cms) {
    X509StackView signers(CMS_get0_signers(cms));
    X509Ptr out(sk_X509_num(signers.get()) == 1 ? up_ref(sk_X509_value(signers.get(), 0))
                                                : nullptr);
    ERR_clear_error();
    return out;
}

std::vector<X509*> borrowed(const std::vector<X509Ptr>& certs) {
    std::vector<X509*> out;
    out.reserve(certs.size());
    for (const auto& c : certs) {
        out.push_back(c.get());
    }
    return out;
}

}  // namespace

bool cms_signature_verifies(CMS_ContentInfo* cms,
                            std::optional<std::span<const uint8_t>> detached_content,
                            std::string* error) {
    // The content goes in behind a pass-through filter: OpenSSL 3.0's
    // CMS_verify copies a bare memory BIO into one of its own and leaks that
    // copy when the message names a digest it cannot set up.
    BioPtr in;
    if (detached_content) {
        BioPtr mem = memory_bio(*detached_content);
        in.reset(mem ? BIO_new(BIO_f_null()) : nullptr);
        if (!in) {
            ERR_clear_error();
            if (error) {
                *error = "content too large";
            }
            return false;
        }
        BIO_push(in.get(), mem.release());
    }
    // The signatures and digests only; signer certificates are judged by
    // verify_chain with this project's purpose, time and extension policy
    // rather than S/MIME's.
    if (!cms || CMS_verify(cms, nullptr, nullptr, in.get(), nullptr,
                           CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY) != 1) {
        std::string reasons = drain_errors();
        if (error) {
            *error = "CMS signature does not verify" + (reasons.empty() ? "" : ": " + reasons);
        }
        return false;
    }
    return true;
}

std::optional<std::time_t> cms_signing_time(CMS_SignerInfo* signer, bool* malformed) {
    if (malformed) {
        *malformed = false;
    }
    const int idx = signer ? CMS_signed_get_attr_by_NID(signer, NID_pkcs9_signingTime, -1) : -1;
    if (idx < 0) {
        return std::nullopt;
    }
    X509_ATTRIBUTE* attr = CMS_signed_get_attr(signer, idx);
    ASN1_TYPE* value = attr != nullptr && X509_ATTRIBUTE_count(attr) == 1
                           ? X509_ATTRIBUTE_get0_type(attr, 0)
                           : nullptr;
    std::optional<std::time_t> t;
    if (value && (value->type == V_ASN1_UTCTIME || value->type == V_ASN1_GENERALIZEDTIME)) {
        t = to_time_t(value->value.asn1_string);
    }
    if (!t && malformed) {
        *malformed = true;
    }
    return t;
}

namespace {

// A signed attribute of `signer` holding one DER structure of type T, parsed
// with `d2i`: nullptr when absent; `malformed` set when present but unreadable
// or given more than once.
template <typename Ptr, auto D2i>
Ptr signed_attribute(CMS_SignerInfo* signer, int nid, bool& malformed) {
    const int first = CMS_signed_get_attr_by_NID(signer, nid, -1);
    if (first < 0) {
        return nullptr;
    }
    X509_ATTRIBUTE* attr = CMS_signed_get_attr(signer, first);
    ASN1_TYPE* value = attr != nullptr && X509_ATTRIBUTE_count(attr) == 1
                           ? X509_ATTRIBUTE_get0_type(attr, 0)
                           : nullptr;
    if (CMS_signed_get_attr_by_NID(signer, nid, first) >= 0 || !value ||
        value->type != V_ASN1_SEQUENCE) {
        malformed = true;
        return nullptr;
    }
    Ptr parsed = from_der<Ptr, D2i>(
        std::span<const uint8_t>(value->value.sequence->data,
                                 static_cast<size_t>(std::max(value->value.sequence->length, 0))),
        TrailingBytes::refuse);
    if (!parsed) {
        malformed = true;
    }
    return parsed;
}

}  // namespace

namespace {

// The TSTInfo a time-stamp token signs: its content must be one, whole, and
// nothing else (as PKCS7_to_TS_TST_INFO demands of a token).
TsTstInfoPtr token_info(CMS_ContentInfo* token) {
    if (OBJ_obj2nid(CMS_get0_type(token)) != NID_pkcs7_signed ||
        OBJ_obj2nid(CMS_get0_eContentType(token)) != NID_id_smime_ct_TSTInfo) {
        return nullptr;
    }
    ASN1_OCTET_STRING** content = CMS_get0_content(token);
    if (content == nullptr || *content == nullptr) {
        return nullptr;
    }
    return from_der<TsTstInfoPtr, d2i_TS_TST_INFO>(
        std::span<const uint8_t>((*content)->data,
                                 static_cast<size_t>(std::max((*content)->length, 0))),
        TrailingBytes::refuse);
}

// What TS_RESP_verify_token checks with TS_VFY_VERSION | TS_VFY_DATA: the
// token is of version 1, and its message imprint is the digest of `data`
// with the imprint's algorithm, whose parameters are absent or NULL.
bool imprint_covers(const TS_TST_INFO* info, std::span<const uint8_t> data) {
    if (TS_TST_INFO_get_version(info) != 1) {
        return false;
    }
    TS_MSG_IMPRINT* imprint = TS_TST_INFO_get_msg_imprint(const_cast<TS_TST_INFO*>(info));
    X509_ALGOR* algorithm = imprint != nullptr ? TS_MSG_IMPRINT_get_algo(imprint) : nullptr;
    const ASN1_OCTET_STRING* expected =
        imprint != nullptr ? TS_MSG_IMPRINT_get_msg(imprint) : nullptr;
    if (algorithm == nullptr || expected == nullptr) {
        return false;
    }
    const ASN1_OBJECT* oid = nullptr;
    int parameter_type = V_ASN1_UNDEF;
    const void* parameter = nullptr;
    X509_ALGOR_get0(&oid, &parameter_type, &parameter, algorithm);
    if (parameter_type != V_ASN1_UNDEF && parameter_type != V_ASN1_NULL) {
        return false;
    }
    const EVP_MD* md = EVP_get_digestbyobj(oid);
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    return md != nullptr &&
           EVP_Digest(data.data(), data.size(), digest.data(), &length, md, nullptr) == 1 &&
           static_cast<int>(length) == expected->length &&
           std::equal(digest.begin(), digest.begin() + length, expected->data);
}

}  // namespace

TimestampResult cms_signer_timestamp(CMS_SignerInfo* signer, const TrustStore& anchors) {
    TimestampResult result;
    const int idx =
        signer ? CMS_unsigned_get_attr_by_NID(signer, NID_id_smime_aa_timeStampToken, -1) : -1;
    if (idx < 0) {
        result.status = TimestampStatus::missing;
        return result;
    }
    result.status = TimestampStatus::invalid;
    X509_ATTRIBUTE* attr = CMS_unsigned_get_attr(signer, idx);
    ASN1_TYPE* value = attr != nullptr && X509_ATTRIBUTE_count(attr) == 1
                           ? X509_ATTRIBUTE_get0_type(attr, 0)
                           : nullptr;
    if (value == nullptr || value->type != V_ASN1_SEQUENCE) {
        return result;
    }
    const std::span<const uint8_t> der(
        value->value.sequence->data,
        static_cast<size_t>(std::max(value->value.sequence->length, 0)));
    // The token is read once, as CMS (reading its certificates is most of
    // the cost): a signed TSTInfo, with exactly one signer, as RFC 3161 asks.
    CmsPtr cms = from_der<CmsPtr, d2i_CMS_ContentInfo>(der, TrailingBytes::refuse);
    TsTstInfoPtr info = cms ? token_info(cms.get()) : nullptr;
    const std::optional<std::time_t> genTime =
        info ? to_time_t(TS_TST_INFO_get_time(info.get())) : std::nullopt;
    ASN1_OCTET_STRING* signature = CMS_SignerInfo_get0_signature(signer);
    if (!genTime || signature == nullptr) {
        ERR_clear_error();
        return result;
    }
    result.status = TimestampStatus::not_trusted;
    STACK_OF(CMS_SignerInfo)* infos = CMS_get0_SignerInfos(cms.get());
    if (infos == nullptr || sk_CMS_SignerInfo_num(infos) != 1) {
        ERR_clear_error();
        return result;
    }

    // The version and the message imprint, which covers the signer's
    // signature value. The token's own signature and its authority's chain
    // are checked below, as of the token's time: time-stamping certificates
    // live only weeks.
    const bool imprint_ok = imprint_covers(
        info.get(), std::span<const uint8_t>(signature->data,
                                             static_cast<size_t>(std::max(signature->length, 0))));
    ERR_clear_error();
    if (!imprint_ok || !cms_signature_verifies(cms.get(), std::nullopt)) {
        return result;
    }
    X509Ptr tsa = only_signer(cms.get());
    if (!tsa) {
        return result;
    }
    const std::vector<X509Ptr> stored = cms_certificates(cms.get());
    VerifyOptions options;
    options.purpose = Purpose::time_stamping;
    options.at = genTime;
    ChainResult chain = verify_chain(tsa.get(), borrowed(stored), anchors, options);
    if (!chain.ok) {
        return result;
    }
    // The signing-certificate attribute (ESS, v1 or v2) must name the
    // authority's certificate, binding it to the signature.
    CMS_SignerInfo* tsa_info = sk_CMS_SignerInfo_value(infos, 0);
    bool malformed = false;
    auto ss = signed_attribute<EssSigningCertPtr, d2i_ESS_SIGNING_CERT>(
        tsa_info, NID_id_smime_aa_signingCertificate, malformed);
    auto ssv2 = signed_attribute<EssSigningCertV2Ptr, d2i_ESS_SIGNING_CERT_V2>(
        tsa_info, NID_id_smime_aa_signingCertificateV2, malformed);
    X509StackView chain_stack = stack_view(chain.chain);
    const bool bound = !malformed && chain_stack &&
                       OSSL_ESS_check_signing_certs(ss.get(), ssv2.get(), chain_stack.get(),
                                                    /*require_signing_cert=*/1) > 0;
    ERR_clear_error();
    if (!bound) {
        return result;
    }
    result.status = TimestampStatus::ok;
    result.time = *genTime;
    return result;
}

CmsResult cms_verify_detached(std::span<const uint8_t> cms_der, std::span<const uint8_t> content,
                              const TrustStore& anchors, const VerifyOptions& options) {
    CmsResult result;
    CmsPtr cms = cms_from_der(cms_der);
    if (!cms) {
        result.error = "not a CMS message";
        return result;
    }
    if (OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed) {
        result.error = "not a CMS signed-data message";
        return result;
    }
    if (!CMS_is_detached(cms.get())) {
        result.error = "CMS message is not detached";
        ERR_clear_error();
        return result;
    }
    STACK_OF(CMS_SignerInfo)* infos = CMS_get0_SignerInfos(cms.get());
    result.signer_count = infos ? static_cast<size_t>(sk_CMS_SignerInfo_num(infos)) : 0;
    if (result.signer_count != 1) {
        result.error =
            "CMS message has " + std::to_string(result.signer_count) + " signers, expected 1";
        return result;
    }
    result.stored = cms_certificates(cms.get());

    if (!cms_signature_verifies(cms.get(), content, &result.error)) {
        return result;
    }
    result.signer = only_signer(cms.get());
    if (!result.signer) {
        result.error = "CMS signer certificate not found";
        return result;
    }

    result.signing_time = cms_signing_time(sk_CMS_SignerInfo_value(infos, 0));
    ERR_clear_error();

    ChainResult chain =
        verify_chain(result.signer.get(), borrowed(result.stored), anchors, options);
    if (!chain.ok) {
        result.error = "signer certificate not trusted: " + chain.error;
        return result;
    }
    result.chain = std::move(chain.chain);
    result.ok = true;
    return result;
}

// ---- Digests ---------------------------------------------------------------

std::optional<std::array<uint8_t, 32>> sha256(std::span<const uint8_t> data) {
    Sha256 h;
    h.update(data);
    return h.finish();
}

Sha256::Sha256() : ctx_(EVP_MD_CTX_new()) {
    if (ctx_ && EVP_DigestInit_ex(ctx_.get(), EVP_sha256(), nullptr) != 1) {
        ctx_.reset();
    }
}

void Sha256::update(std::span<const uint8_t> data) {
    if (ctx_ && !data.empty() && EVP_DigestUpdate(ctx_.get(), data.data(), data.size()) != 1) {
        ctx_.reset();
    }
}

std::optional<std::array<uint8_t, 32>> Sha256::finish() {
    std::array<uint8_t, 32> out{};
    unsigned int n = 0;
    bool ok = ctx_ && EVP_DigestFinal_ex(ctx_.get(), out.data(), &n) == 1 && n == out.size();
    ctx_.reset();
    if (!ok) {
        ERR_clear_error();
        return std::nullopt;
    }
    return out;
}

}  // namespace security
