#include "platform/security/cms_decoder.h"
#include "platform/security/security.h"

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/pkcs7.h>
#include <openssl/ts.h>
#include <openssl/x509v3.h>

#include <climits>
#include <ctime>

#include "platform/security/chain_verify.h"

namespace security {
namespace {
// Links the initialisation without configuration into every program that
// uses this file.
[[maybe_unused]] const bool kNoConfiguration = security::initialize_without_configuration();
}  // namespace

struct CMSDecoder::State {
    std::vector<uint8_t> message;
    CMS_ContentInfo* cms = nullptr;
    bool hasContent = false;
    std::vector<uint8_t> content;

    ~State() { CMS_ContentInfo_free(cms); }

    CMS_SignerInfo* signer(size_t index) const {
        if (cms == nullptr) {
            return nullptr;
        }
        STACK_OF(CMS_SignerInfo)* infos = CMS_get0_SignerInfos(cms);
        if (infos == nullptr || index >= static_cast<size_t>(sk_CMS_SignerInfo_num(infos))) {
            return nullptr;
        }
        return sk_CMS_SignerInfo_value(infos, static_cast<int>(index));
    }
};

namespace {

struct BioFreeAll {
    void operator()(BIO* b) const { BIO_free_all(b); }
};
using BioChainPtr = std::unique_ptr<BIO, BioFreeAll>;

// The content for CMS_verify: a memory BIO behind a null filter. OpenSSL 3.0's
// CMS_verify copies a bare memory BIO into a temporary one that it leaks when
// the message's digest set-up fails; behind a filter it reads ours as it is.
BioChainPtr content_bio(const std::vector<uint8_t>& bytes) {
    // BIO_new_mem_buf wants a non-null pointer even for no bytes.
    static const uint8_t kEmpty = 0;
    BIO* memory =
        BIO_new_mem_buf(bytes.empty() ? &kEmpty : bytes.data(), static_cast<int>(bytes.size()));
    BIO* filter = BIO_new(BIO_f_null());
    if (memory == nullptr || filter == nullptr) {
        BIO_free(memory);
        BIO_free(filter);
        return nullptr;
    }
    return BioChainPtr(BIO_push(filter, memory));
}

std::optional<time_t> asn1_time_to_unix(const ASN1_TIME* t) {
    struct tm tm {};
    if (t == nullptr || ASN1_TIME_to_tm(t, &tm) != 1) {
        return std::nullopt;
    }
    return timegm(&tm);
}

// The signing-time signed attribute: nothing when absent; `malformed` set when
// present but unreadable.
std::optional<time_t> signing_time(CMS_SignerInfo* si, bool& malformed) {
    malformed = false;
    const int idx = CMS_signed_get_attr_by_NID(si, NID_pkcs9_signingTime, -1);
    if (idx < 0) {
        return std::nullopt;
    }
    X509_ATTRIBUTE* attr = CMS_signed_get_attr(si, idx);
    ASN1_TYPE* value = attr != nullptr && X509_ATTRIBUTE_count(attr) == 1
                           ? X509_ATTRIBUTE_get0_type(attr, 0)
                           : nullptr;
    if (value == nullptr ||
        (value->type != V_ASN1_UTCTIME && value->type != V_ASN1_GENERALIZEDTIME)) {
        malformed = true;
        return std::nullopt;
    }
    auto t = asn1_time_to_unix(value->value.utctime);
    if (!t) {
        malformed = true;
    }
    return t;
}

}  // namespace

int CMSDecoder::create(std::unique_ptr<CMSDecoder>& out) {
    out.reset(new CMSDecoder());
    out->state_ = std::make_unique<State>();
    return 0;
}

CMSDecoder::~CMSDecoder() = default;

int CMSDecoder::updateMessage(const uint8_t* data, size_t length) {
    if (state_->cms != nullptr || (data == nullptr && length != 0)) {
        return kErrSecParam;
    }
    if (length > static_cast<size_t>(INT_MAX) - state_->message.size()) {
        return kErrSecAllocate;
    }
    state_->message.insert(state_->message.end(), data, data + length);
    return 0;
}

int CMSDecoder::finalizeMessage() {
    if (state_->cms != nullptr || state_->message.empty()) {
        return kErrSecParam;
    }
    const unsigned char* p = state_->message.data();
    CMS_ContentInfo* cms =
        d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(state_->message.size()));
    if (cms == nullptr) {
        ERR_clear_error();
        return kErrSecDecode;
    }
    if (OBJ_obj2nid(CMS_get0_type(cms)) != NID_pkcs7_signed) {
        CMS_ContentInfo_free(cms);
        return kErrSecDecode;
    }
    state_->cms = cms;
    return 0;
}

int CMSDecoder::setDetachedContent(const uint8_t* data, size_t length) {
    if (state_->cms == nullptr || (data == nullptr && length != 0) || length > INT_MAX) {
        return kErrSecParam;
    }
    state_->content.assign(data, data + length);
    state_->hasContent = true;
    return 0;
}

int CMSDecoder::getNumSigners(size_t* count) const {
    if (state_->cms == nullptr || count == nullptr) {
        return kErrSecParam;
    }
    STACK_OF(CMS_SignerInfo)* infos = CMS_get0_SignerInfos(state_->cms);
    *count = infos == nullptr ? 0 : static_cast<size_t>(sk_CMS_SignerInfo_num(infos));
    return 0;
}

int CMSDecoder::copySignerStatus(size_t index, const Policy& policy, bool evaluateTrust,
                                 CMSSignerStatus* status) const {
    if (state_->cms == nullptr || status == nullptr) {
        return kErrSecParam;
    }
    CMS_SignerInfo* si = state_->signer(index);
    if (si == nullptr) {
        *status = kCMSSignerInvalidIndex;
        return 0;
    }
    if (CMS_is_detached(state_->cms) && !state_->hasContent) {
        *status = kCMSSignerNeedsDetachedContent;
        return 0;
    }
    // The signature (over the signed attributes and the content's digest, or
    // over the content itself). CMS_verify checks every signer at once; the
    // callers ask only about messages with one. CMS_BINARY: the content is a
    // binary digest, whose newline bytes must not be translated.
    BioChainPtr content = state_->hasContent ? content_bio(state_->content) : nullptr;
    if (state_->hasContent && !content) {
        return kErrSecAllocate;
    }
    const unsigned flags = CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY;
    if (CMS_verify(state_->cms, nullptr, nullptr, content.get(), nullptr, flags) != 1) {
        ERR_clear_error();
        *status = kCMSSignerInvalidSignature;
        return 0;
    }
    if (!evaluateTrust) {
        *status = kCMSSignerValid;
        return 0;
    }
    X509* signerCert = nullptr;
    CMS_SignerInfo_get0_algs(si, nullptr, &signerCert, nullptr, nullptr);
    bool malformed = false;
    const std::optional<time_t> at = signing_time(si, malformed);
    if (signerCert == nullptr || malformed) {
        *status = kCMSSignerInvalidCert;
        return 0;
    }
    STACK_OF(X509)* untrusted = CMS_get1_certs(state_->cms);
    const int purpose = policy.kind == Policy::Kind::appleTimeStamping ? X509_PURPOSE_TIMESTAMP_SIGN
                                                                       : X509_PURPOSE_ANY;
    const bool trusted = detail::build_chain(signerCert, untrusted, purpose, at, nullptr, nullptr);
    sk_X509_pop_free(untrusted, X509_free);
    *status = trusted ? kCMSSignerValid : kCMSSignerInvalidCert;
    return 0;
}

int CMSDecoder::copySignerCert(size_t index, std::optional<Certificate>& cert) const {
    cert.reset();
    CMS_SignerInfo* si = state_->signer(index);
    if (si == nullptr) {
        return kErrSecParam;
    }
    X509* signerCert = nullptr;
    CMS_SignerInfo_get0_algs(si, nullptr, &signerCert, nullptr, nullptr);
    if (signerCert == nullptr) {
        // Not yet matched against the message's certificates.
        CMS_set1_signers_certs(state_->cms, nullptr, 0);
        ERR_clear_error();
        CMS_SignerInfo_get0_algs(si, nullptr, &signerCert, nullptr, nullptr);
    }
    if (signerCert == nullptr) {
        return 0;  // success without a certificate, as the original can report
    }
    cert = Certificate::fromX509(signerCert);
    return 0;
}

std::vector<Certificate> CMSDecoder::copyAllCerts() const {
    std::vector<Certificate> out;
    if (state_->cms == nullptr) {
        return out;
    }
    STACK_OF(X509)* certs = CMS_get1_certs(state_->cms);
    for (int i = 0; i < sk_X509_num(certs); ++i) {
        out.push_back(Certificate::fromX509(sk_X509_value(certs, i)));
    }
    sk_X509_pop_free(certs, X509_free);
    return out;
}

int CMSDecoder::copySignerTimestampWithPolicy(const Policy& timestampPolicy, size_t index,
                                              double* timestamp) const {
    if (timestamp == nullptr || timestampPolicy.kind != Policy::Kind::appleTimeStamping) {
        return kErrSecParam;
    }
    *timestamp = 0.0;
    CMS_SignerInfo* si = state_->signer(index);
    if (si == nullptr) {
        return kErrSecParam;
    }
    const int idx = CMS_unsigned_get_attr_by_NID(si, NID_id_smime_aa_timeStampToken, -1);
    if (idx < 0) {
        return kErrSecTimestampMissing;
    }
    X509_ATTRIBUTE* attr = CMS_unsigned_get_attr(si, idx);
    ASN1_TYPE* value = attr != nullptr && X509_ATTRIBUTE_count(attr) == 1
                           ? X509_ATTRIBUTE_get0_type(attr, 0)
                           : nullptr;
    if (value == nullptr || value->type != V_ASN1_SEQUENCE) {
        return kErrSecTimestampInvalid;
    }
    const unsigned char* p = value->value.sequence->data;
    std::unique_ptr<PKCS7, decltype(&PKCS7_free)> token(
        d2i_PKCS7(nullptr, &p, value->value.sequence->length), PKCS7_free);
    if (!token) {
        ERR_clear_error();
        return kErrSecTimestampInvalid;
    }
    std::unique_ptr<TS_TST_INFO, decltype(&TS_TST_INFO_free)> info(
        PKCS7_to_TS_TST_INFO(token.get()), TS_TST_INFO_free);
    const std::optional<time_t> genTime =
        info ? asn1_time_to_unix(TS_TST_INFO_get_time(info.get())) : std::nullopt;
    if (!genTime) {
        ERR_clear_error();
        return kErrSecTimestampInvalid;
    }
    // The imprint covers the signer's signature value.
    ASN1_OCTET_STRING* signature = CMS_SignerInfo_get0_signature(si);
    if (signature == nullptr) {
        return kErrSecTimestampInvalid;
    }
    // The authority's certificate must have been valid when it issued the
    // token: time-stamping certificates live only weeks.
    detail::StorePtr store = detail::make_anchor_store(X509_PURPOSE_TIMESTAMP_SIGN, genTime);
    std::unique_ptr<TS_VERIFY_CTX, decltype(&TS_VERIFY_CTX_free)> ctx(TS_VERIFY_CTX_new(),
                                                                      TS_VERIFY_CTX_free);
    BIO* data = BIO_new_mem_buf(signature->data, signature->length);
    if (!store || !ctx || data == nullptr) {
        BIO_free(data);
        ERR_clear_error();
        return kErrSecAllocate;
    }
    TS_VERIFY_CTX_set_flags(ctx.get(), TS_VFY_VERSION | TS_VFY_SIGNATURE | TS_VFY_DATA);
    TS_VERIFY_CTX_set_data(ctx.get(), data);  // the context owns the BIO now
    // The context frees the store it holds; it gets a reference of its own.
    X509_STORE_up_ref(store.get());
    TS_VERIFY_CTX_set_store(ctx.get(), store.get());
    const int verified = TS_RESP_verify_token(ctx.get(), token.get());
    ERR_clear_error();
    if (verified != 1) {
        return kErrSecTimestampNotTrusted;
    }
    *timestamp = static_cast<double>(*genTime) - kAbsoluteTimeIntervalSince1970;
    return 0;
}

}  // namespace security
