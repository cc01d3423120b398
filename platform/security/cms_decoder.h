// Decoding and verification of a CMS signed-data message with detached
// content, in the steps of the original platform's CMS decoder: feed the
// message, finish it, give the detached content, then ask about each signer.
// A thin layer over the CMS, chain and time-stamp checks of security.h, with
// the process's one store of the compiled-in anchors.
//
// Contract:
// - Status results follow the original: 0 for success, a negative error code
//   otherwise (the constants below). A call out of order (no message yet)
//   fails with kErrSecParam.
// - The detached content is hashed as binary bytes, never as text.
// - Signer status is judged as the original decoder judges it: the signature
//   over the content, then (when asked) the signer's certificate with the
//   message's certificates as chain candidates, chained to the compiled-in
//   anchors under the given policy, as of the signer's signing-time attribute
//   when it has one, otherwise now.
// - The signer's time-stamp is its RFC 3161 token (unsigned attribute
//   1.2.840.113549.1.9.16.2.14): the token's signature and signing-certificate
//   attribute, its message imprint over the SignerInfo's signature value, and
//   its authority's chain to the anchors with the timeStamping purpose as of
//   the token's own time, are all verified before the time is returned.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/security/certificate.h"
#include "platform/security/trust.h"

namespace security {

inline constexpr int kErrSecParam = -50;
inline constexpr int kErrSecAllocate = -108;
inline constexpr int kErrSecDecode = -26275;
inline constexpr int kErrSecTimestampMissing = -67831;
inline constexpr int kErrSecTimestampInvalid = -67832;
inline constexpr int kErrSecTimestampNotTrusted = -67833;

enum CMSSignerStatus {
    kCMSSignerUnsigned = 0,
    kCMSSignerValid = 1,
    kCMSSignerNeedsDetachedContent = 2,
    kCMSSignerInvalidSignature = 3,
    kCMSSignerInvalidCert = 4,
    kCMSSignerInvalidIndex = 5,
};

class CMSDecoder {
  public:
    static int create(std::unique_ptr<CMSDecoder>& out);
    ~CMSDecoder();
    CMSDecoder(const CMSDecoder&) = delete;
    CMSDecoder& operator=(const CMSDecoder&) = delete;

    // Appends message bytes (DER or BER).
    int updateMessage(const uint8_t* data, size_t length);
    // Decodes the message; kErrSecDecode unless it is CMS signed-data.
    int finalizeMessage();
    // The content that the signatures cover.
    int setDetachedContent(const uint8_t* data, size_t length);

    int getNumSigners(size_t* count) const;
    // `evaluateTrust` false checks only the signature.
    int copySignerStatus(size_t index, const Policy& policy, bool evaluateTrust,
                         CMSSignerStatus* status) const;
    int copySignerCert(size_t index, std::optional<Certificate>& cert) const;
    // The certificates that the message carries, in its order.
    std::vector<Certificate> copyAllCerts() const;
    // Seconds since 2001-01-01 00:00:00 UTC of the verified time-stamp.
    int copySignerTimestampWithPolicy(const Policy& timestampPolicy, size_t index,
                                      double* timestamp) const;

  private:
    CMSDecoder() = default;
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace security
