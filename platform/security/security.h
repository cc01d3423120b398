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
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/security/owners.h"

namespace security {

using Bytes = std::vector<uint8_t>;

// Initialises OpenSSL without its configuration file, once per process; true
// when that took effect (the first initialisation of the process). Runs
// before main(); callable again at any time.
bool initialize_without_configuration();

// ---- Ownership (the owner types are in owners.h) --------------------------

// A stack of borrowed pointers to `certs` (which must outlive it).
X509StackView stack_view(const std::vector<X509Ptr>& certs);

// An owning copy (reference count raised) of a certificate.
X509Ptr up_ref(X509* cert);

// Empties OpenSSL's error queue of this thread and returns its reasons joined
// by "; " (empty when the queue was empty).
std::string drain_errors();

// ---- Certificates ----------------------------------------------------------

// What bytes after a DER structure mean to its parser.
enum class TrailingBytes {
    refuse,  // the input is malformed: it must be exactly one structure
    ignore,  // a container may reserve more room than the structure takes (zero padding)
};

// Exactly one DER certificate (see TrailingBytes).
X509Ptr certificate_from_der(std::span<const uint8_t> der,
                             TrailingBytes trailing = TrailingBytes::refuse);
// The first certificate of a PEM text.
X509Ptr certificate_from_pem(std::string_view pem);
// Every certificate of a PEM text, in order (empty if none or malformed).
std::vector<X509Ptr> certificates_from_pem(std::string_view pem);
// Every certificate of a file: PEM (any number) or a single DER certificate.
std::vector<X509Ptr> certificates_from_file(const std::string& path, std::string* error = nullptr);
EvpPkeyPtr private_key_from_pem(std::string_view pem);
EvpPkeyPtr private_key_from_file(const std::string& path, std::string* error = nullptr);

Bytes certificate_der(const X509* cert);

// The value of one attribute of a name as UTF-8; nothing when it does not
// convert or holds a NUL byte (which would let the name read differently to C
// and C++ code).
std::optional<std::string> name_entry_utf8(const X509_NAME_ENTRY* entry);

// Subject attributes, in the order the certificate stores them, with their
// short names as the code-signing requirement language writes them ("CN",
// "OU", "O", "C", "L", "ST", "UID", "emailAddress", ...; the dotted OID when
// the attribute has no name). Values are UTF-8; an attribute whose value
// cannot be converted (name_entry_utf8) is left out.
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
// The certificate carries an extension with this OID (dotted text), critical
// or not.
bool has_extension(const X509* cert, std::string_view oid);

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
    // Also keep the chain as far as it was built when the check fails (for a
    // report that shows an untrusted signer's chain); see ChainResult::built.
    bool keep_built_chain = false;
};

struct ChainResult {
    bool ok = false;
    std::string error;           // why not, when !ok (OpenSSL's verify reason and depth)
    std::vector<X509Ptr> chain;  // leaf first, anchor last, when ok
    // OpenSSL's verify error (X509_V_ERR_*) and the depth it refers to, when
    // OpenSSL's chain check refused; 0 and -1 otherwise.
    int verify_error = 0;
    int error_depth = -1;
    // With VerifyOptions::keep_built_chain: the chain that was built, leaf
    // first, to an anchor or as far as issuers were found; also on failure.
    std::vector<X509Ptr> built;
};

// A set of anchors, reused for many checks. Reading a certificate is most of
// a check's cost (the crypto library decodes its key on the way), so the
// anchors are kept as DER and read only when a check needs them: a chain that
// carries its own root, byte for byte an anchor, is checked against that
// root alone, and no anchor is read. Any thread.
class TrustStore {
  public:
    // Reads nothing yet. Certificates that do not parse are skipped when the
    // anchors are read (and counted in size()).
    explicit TrustStore(const std::vector<Bytes>& anchors_der);
    TrustStore(const TrustStore&) = delete;
    TrustStore& operator=(const TrustStore&) = delete;

    // The one store of this anchor set for the whole process: made on the
    // first call, shared by every later one (from any thread) that passes the
    // same certificates. Lives until the process ends.
    static const TrustStore& shared(const std::vector<Bytes>& anchors_der);

    // Every anchor in an X509_STORE (the anchors are read at the first call).
    X509_STORE* get() const;
    size_t size() const { return der_.size(); }
    // The anchor certificates themselves (read at the first call).
    const std::vector<X509Ptr>& anchors() const;
    // `cert` is byte for byte one of the anchors.
    bool is_anchor(const X509* cert) const;
    // Those of `candidates` (the certificates that came with a leaf) that
    // are byte for byte anchors, in a store of their own; nullptr when none
    // is. Reads no anchor.
    X509StorePtr carried_store(const std::vector<X509*>& candidates) const;

  private:
    void read() const;

    std::vector<Bytes> der_;
    mutable std::once_flag read_;
    mutable X509StorePtr store_;
    mutable std::vector<X509Ptr> anchors_;
};

// Builds and checks a chain from `leaf` through `untrusted` (any order, extra
// certificates ignored) to one of the store's anchors, at options.at, with
// the purpose and critical-extension policy of `options`. The one policy of
// every chain check of the tree: the chain must end at a self-signed anchor
// (no partial chains ending at an intermediate, even one in the store), and
// its top must be byte for byte one of the anchors.
ChainResult verify_chain(X509* leaf, const std::vector<X509*>& untrusted, const TrustStore& anchors,
                         const VerifyOptions& options);

// ---- Detached CMS ----------------------------------------------------------

struct SignRequest {
    X509* signer = nullptr;
    EVP_PKEY* key = nullptr;
    // Certificates stored in the message beside the signer's (intermediates,
    // root), in this order.
    std::vector<X509*> extra_certificates;
    // The signing-time attribute; the current time when not given.
    std::optional<std::time_t> signing_time;
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
CmsPtr cms_from_der(std::span<const uint8_t> der, TrailingBytes trailing = TrailingBytes::refuse);

// Every certificate stored in the message, in order.
std::vector<X509Ptr> cms_certificates(CMS_ContentInfo* cms);

// The signatures of every signer of `cms` (over the signed attributes and the
// content's digest): the detached content when given (binary, no newline
// translation), else the message's own. Only the signatures: no signer
// certificate is judged. False with the reason in `error` when any fails.
bool cms_signature_verifies(CMS_ContentInfo* cms,
                            std::optional<std::span<const uint8_t>> detached_content,
                            std::string* error = nullptr);

// The signer's signing-time attribute: nothing when absent; `malformed` (when
// not null) set when the attribute is present but not exactly one readable
// time.
std::optional<std::time_t> cms_signing_time(CMS_SignerInfo* signer, bool* malformed = nullptr);

enum class TimestampStatus {
    ok,
    missing,      // the signer has no time-stamp token
    invalid,      // the token is not a readable RFC 3161 token
    not_trusted,  // its signature, imprint or authority's chain does not verify
};

struct TimestampResult {
    TimestampStatus status = TimestampStatus::missing;
    std::time_t time = 0;  // the token's genTime, when ok
};

// The signer's RFC 3161 time-stamp (unsigned attribute id-aa-timeStampToken,
// 1.2.840.113549.1.9.16.2.14). ok only when the token's signature, its
// signing-certificate attribute, its message imprint over the signer's
// signature value, and its authority's chain to `anchors` with the
// time-stamping purpose as of the token's own time all verify.
TimestampResult cms_signer_timestamp(CMS_SignerInfo* signer, const TrustStore& anchors);

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
