// Certificates, chain checks and detached CMS signatures over OpenSSL 3.
//
// Contract:
// - Every OpenSSL object handed out is owned by a std::unique_ptr with the
//   type's own free function; nothing here keeps a reference to a caller's
//   object after returning.
// - Parsing never trusts its input: DER and PEM come from files and peers.
//   A malformed input gives nullptr / nullopt / an error text, never a crash.
// - Functions that fail leave OpenSSL's error queue empty; the reason is in the
//   returned error text (drain_errors() collects it).
// - Trust anchors are always passed in explicitly (see anchors.h for the
//   compiled-in set); nothing here reads the system's certificate store.
// - No outside configuration: OpenSSL is initialised before main() of any
//   program that links this module without loading a configuration file
//   (neither OPENSSL_CONF nor the system's openssl.cnf), so neither a file
//   nor an environment variable can change a verdict.
#pragma once

#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <array>
#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace security {

using Bytes = std::vector<uint8_t>;

// Initialises OpenSSL without its configuration file, once per process; true
// when that took effect (the first initialisation of the process). Runs
// before main(); callable again at any time.
bool initialize_without_configuration();

// ---- Ownership -------------------------------------------------------------

template <auto Free>
struct Deleter {
    template <typename T>
    void operator()(T* p) const noexcept {
        Free(p);
    }
};

using X509Ptr = std::unique_ptr<X509, Deleter<X509_free>>;
using X509StorePtr = std::unique_ptr<X509_STORE, Deleter<X509_STORE_free>>;
using X509StoreCtxPtr = std::unique_ptr<X509_STORE_CTX, Deleter<X509_STORE_CTX_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO_free_all>>;
using CmsPtr = std::unique_ptr<CMS_ContentInfo, Deleter<CMS_ContentInfo_free>>;
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using EvpMdCtxPtr = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX_free>>;
using Asn1ObjectPtr = std::unique_ptr<ASN1_OBJECT, Deleter<ASN1_OBJECT_free>>;

struct X509StackFree {
    void operator()(STACK_OF(X509) * s) const noexcept { sk_X509_pop_free(s, X509_free); }
};
// A stack that owns its certificates.
using X509StackPtr = std::unique_ptr<STACK_OF(X509), X509StackFree>;

// A stack of borrowed pointers to `certs` (which must outlive it), for OpenSSL
// calls that take STACK_OF(X509).
struct X509StackViewFree {
    void operator()(STACK_OF(X509) * s) const noexcept { sk_X509_free(s); }
};
using X509StackView = std::unique_ptr<STACK_OF(X509), X509StackViewFree>;
X509StackView stack_view(const std::vector<X509Ptr>& certs);

// An owning copy (reference count raised) of a certificate.
X509Ptr up_ref(X509* cert);

// Empties OpenSSL's error queue of this thread and returns its reasons joined
// by "; " (empty when the queue was empty).
std::string drain_errors();

// ---- Certificates ----------------------------------------------------------

X509Ptr certificate_from_der(std::span<const uint8_t> der);
// The first certificate of a PEM text.
X509Ptr certificate_from_pem(std::string_view pem);
// Every certificate of a PEM text, in order (empty if none or malformed).
std::vector<X509Ptr> certificates_from_pem(std::string_view pem);
// Every certificate of a file: PEM (any number) or a single DER certificate.
std::vector<X509Ptr> certificates_from_file(const std::string& path, std::string* error = nullptr);
EvpPkeyPtr private_key_from_pem(std::string_view pem);
EvpPkeyPtr private_key_from_file(const std::string& path, std::string* error = nullptr);

Bytes certificate_der(const X509* cert);

// Subject attributes, in the order the certificate stores them, with their
// short names as the code-signing requirement language writes them ("CN",
// "OU", "O", "C", "L", "ST", "UID", "emailAddress", ...; the dotted OID when
// the attribute has no name). Values are UTF-8; an attribute whose value
// cannot be converted is left out.
std::vector<std::pair<std::string, std::string>> subject_fields(const X509* cert);
// The first subject attribute with this short name ("CN", "OU", ...).
std::optional<std::string> subject_field(const X509* cert, std::string_view short_name);
std::optional<std::string> common_name(const X509* cert);
// The subject in one line, RFC 2253 style ("CN=..., OU=..., O=..., C=...").
std::string subject_line(const X509* cert);

std::array<uint8_t, 32> sha256_fingerprint(const X509* cert);
// Upper-case hex bytes separated by `separator` ("AB:CD:..." or "AB CD ...").
std::string hex(std::span<const uint8_t> bytes, std::string_view separator = "");

// Validity bounds as time_t (nullopt when the field cannot be converted).
std::optional<std::time_t> not_before(const X509* cert);
std::optional<std::time_t> not_after(const X509* cert);

// The certificate's extended key usage lists this OID (dotted text).
bool has_extended_key_usage(const X509* cert, std::string_view oid);

// ---- Chain checks ----------------------------------------------------------

enum class Purpose {
    any,            // the chain only
    code_signing,   // the leaf's extended key usage must name codeSigning
    time_stamping,  // RFC 3161 time-stamping authority (critical timeStamping EKU)
};

// Critical extensions of the original platform's certificates that this
// project knows and deliberately accepts, as dotted OIDs:
// 1.2.840.113635.100.6.1.13 (Developer ID Application leaf),
// 1.2.840.113635.100.6.1.14 (Developer ID Installer leaf),
// 1.2.840.113635.100.6.2.6 (Developer ID intermediate).
// Any other unknown critical extension fails the chain.
const std::vector<std::string>& known_apple_critical_extensions();

struct VerifyOptions {
    Purpose purpose = Purpose::any;
    // The moment the chain must be valid at; nullopt is "now".
    std::optional<std::time_t> at;
    // Unknown critical extensions that a certificate of the chain may carry.
    std::vector<std::string> accepted_critical_extensions = known_apple_critical_extensions();
};

struct ChainResult {
    bool ok = false;
    std::string error;           // why not, when !ok (OpenSSL's verify reason and depth)
    std::vector<X509Ptr> chain;  // leaf first, anchor last, when ok
};

// Anchors in an X509_STORE, built once and reused for many checks.
class TrustStore {
  public:
    // Certificates that do not parse are skipped (and counted in size()).
    explicit TrustStore(const std::vector<Bytes>& anchors_der);
    TrustStore(TrustStore&&) noexcept = default;
    TrustStore& operator=(TrustStore&&) noexcept = default;

    X509_STORE* get() const { return store_.get(); }
    size_t size() const { return count_; }
    // The anchor certificates themselves.
    const std::vector<X509Ptr>& anchors() const { return anchors_; }
    // `cert` is byte for byte one of the anchors.
    bool is_anchor(const X509* cert) const;

  private:
    X509StorePtr store_;
    std::vector<X509Ptr> anchors_;
    size_t count_ = 0;
};

// Builds and checks a chain from `leaf` through `untrusted` (any order, extra
// certificates ignored) to one of the store's anchors, at options.at, with
// the purpose and critical-extension policy of `options`.
ChainResult verify_chain(X509* leaf, const std::vector<X509*>& untrusted, const TrustStore& anchors,
                         const VerifyOptions& options);

// ---- Detached CMS ----------------------------------------------------------

struct SignRequest {
    X509* signer = nullptr;
    EVP_PKEY* key = nullptr;
    // Certificates stored in the message beside the signer's (intermediates,
    // root), in this order.
    std::vector<X509*> extra_certificates;
};

// A detached CMS SignedData (DER) over `content`, SHA-256, treated as binary,
// with a signing-time attribute and no S/MIME capabilities. nullopt and an
// error text when signing fails.
std::optional<Bytes> cms_sign_detached(std::span<const uint8_t> content, const SignRequest& request,
                                       std::string* error = nullptr);

struct CmsResult {
    bool ok = false;
    std::string error;
    size_t signer_count = 0;
    X509Ptr signer;                           // the signer's certificate (when exactly one signer)
    std::vector<X509Ptr> chain;               // leaf first, anchor last, when ok
    std::vector<X509Ptr> stored;              // every certificate stored in the message, in order
    std::optional<std::time_t> signing_time;  // the signer's signing-time attribute
};

// Parses a DER CMS message (at most `max_size` bytes) that must be a detached
// SignedData with exactly one signer, checks its signature over `content`
// (binary, no newline translation), then checks the signer's certificate,
// with the message's certificates as intermediates, against `anchors` under
// `options`. ok only when all of that passes.
CmsResult cms_verify_detached(std::span<const uint8_t> cms_der, std::span<const uint8_t> content,
                              const TrustStore& anchors, const VerifyOptions& options);

// Parses a DER CMS message without checking anything (nullptr if malformed).
CmsPtr cms_from_der(std::span<const uint8_t> der);

// ---- Digests ---------------------------------------------------------------

// nullopt only if the digest itself fails (out of memory).
std::optional<std::array<uint8_t, 32>> sha256(std::span<const uint8_t> data);

// Incremental SHA-256.
class Sha256 {
  public:
    Sha256();
    void update(std::span<const uint8_t> data);
    // The digest of everything passed to update(); nullopt if any step failed.
    // The object is spent afterwards.
    std::optional<std::array<uint8_t, 32>> finish();

  private:
    EvpMdCtxPtr ctx_;
};

}  // namespace security
