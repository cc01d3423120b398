#include "platform/security/cms_decoder.h"

#include <openssl/err.h>

#include <climits>
#include <ctime>

#include "platform/security/anchors.h"
#include "platform/security/security.h"

namespace security {

struct CMSDecoder::State {
    std::vector<uint8_t> message;
    CmsPtr cms;
    bool hasContent = false;
    std::vector<uint8_t> content;

    CMS_SignerInfo* signer(size_t index) const {
        if (!cms) {
            return nullptr;
        }
        STACK_OF(CMS_SignerInfo)* infos = CMS_get0_SignerInfos(cms.get());
        if (infos == nullptr || index >= static_cast<size_t>(sk_CMS_SignerInfo_num(infos))) {
            return nullptr;
        }
        return sk_CMS_SignerInfo_value(infos, static_cast<int>(index));
    }
};

int CMSDecoder::create(std::unique_ptr<CMSDecoder>& out) {
    out.reset(new CMSDecoder());
    out->state_ = std::make_unique<State>();
    return 0;
}

CMSDecoder::~CMSDecoder() = default;

int CMSDecoder::updateMessage(const uint8_t* data, size_t length) {
    if (state_->cms || (data == nullptr && length != 0)) {
        return kErrSecParam;
    }
    if (length > static_cast<size_t>(INT_MAX) - state_->message.size()) {
        return kErrSecAllocate;
    }
    state_->message.insert(state_->message.end(), data, data + length);
    return 0;
}

int CMSDecoder::finalizeMessage() {
    if (state_->cms || state_->message.empty()) {
        return kErrSecParam;
    }
    // The message may be followed by the rest of the room its container
    // reserved for it.
    CmsPtr cms = cms_from_der(state_->message, TrailingBytes::ignore);
    if (!cms || OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed) {
        return kErrSecDecode;
    }
    state_->cms = std::move(cms);
    return 0;
}

int CMSDecoder::setDetachedContent(const uint8_t* data, size_t length) {
    if (!state_->cms || (data == nullptr && length != 0) || length > INT_MAX) {
        return kErrSecParam;
    }
    state_->content.assign(data, data + length);
    state_->hasContent = true;
    return 0;
}

int CMSDecoder::getNumSigners(size_t* count) const {
    if (!state_->cms || count == nullptr) {
        return kErrSecParam;
    }
    STACK_OF(CMS_SignerInfo)* infos = CMS_get0_SignerInfos(state_->cms.get());
    *count = infos == nullptr ? 0 : static_cast<size_t>(sk_CMS_SignerInfo_num(infos));
    return 0;
}

int CMSDecoder::copySignerStatus(size_t index, const Policy& policy, bool evaluateTrust,
                                 CMSSignerStatus* status) const {
    if (!state_->cms || status == nullptr) {
        return kErrSecParam;
    }
    CMS_SignerInfo* si = state_->signer(index);
    if (si == nullptr) {
        *status = kCMSSignerInvalidIndex;
        return 0;
    }
    if (CMS_is_detached(state_->cms.get()) && !state_->hasContent) {
        *status = kCMSSignerNeedsDetachedContent;
        return 0;
    }
    // The signature (over the signed attributes and the content's digest, or
    // over the content itself). The callers ask only about messages with one
    // signer; every signer's signature is checked at once.
    const std::optional<std::span<const uint8_t>> content =
        state_->hasContent ? std::optional<std::span<const uint8_t>>(state_->content)
                           : std::nullopt;
    if (!cms_signature_verifies(state_->cms.get(), content)) {
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
    VerifyOptions options;
    options.purpose =
        policy.kind == Policy::Kind::appleTimeStamping ? Purpose::time_stamping : Purpose::any;
    // As of the signing-time attribute when there is one, otherwise now.
    options.at = cms_signing_time(si, &malformed);
    if (signerCert == nullptr || malformed) {
        *status = kCMSSignerInvalidCert;
        return 0;
    }
    const std::vector<X509Ptr> stored = cms_certificates(state_->cms.get());
    std::vector<X509*> untrusted;
    untrusted.reserve(stored.size());
    for (const X509Ptr& c : stored) {
        untrusted.push_back(c.get());
    }
    const bool trusted = verify_chain(signerCert, untrusted, trust_anchor_store(), options).ok;
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
        CMS_set1_signers_certs(state_->cms.get(), nullptr, 0);
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
    if (!state_->cms) {
        return out;
    }
    for (const X509Ptr& c : cms_certificates(state_->cms.get())) {
        out.push_back(Certificate::fromX509(c.get()));
    }
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
    const TimestampResult stamp = cms_signer_timestamp(si, trust_anchor_store());
    switch (stamp.status) {
        case TimestampStatus::missing:
            return kErrSecTimestampMissing;
        case TimestampStatus::invalid:
            return kErrSecTimestampInvalid;
        case TimestampStatus::not_trusted:
            return kErrSecTimestampNotTrusted;
        case TimestampStatus::ok:
            break;
    }
    *timestamp = static_cast<double>(stamp.time) - kAbsoluteTimeIntervalSince1970;
    return 0;
}

}  // namespace security
