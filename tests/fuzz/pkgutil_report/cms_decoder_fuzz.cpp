// The CMS decoder over arbitrary signature bytes, as an archive's signature
// slot delivers them: decode, then every question the checks ask.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "platform/security/cms_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const uint8_t kDigest[20] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10,
                                        11, 12, 13, 14, 15, 16, 17, 18, 19, 20};
    std::unique_ptr<security::CMSDecoder> decoder;
    if (security::CMSDecoder::create(decoder) != 0 || decoder->updateMessage(data, size) != 0 ||
        decoder->finalizeMessage() != 0 ||
        decoder->setDetachedContent(kDigest, sizeof kDigest) != 0) {
        return 0;
    }
    size_t signers = 0;
    if (decoder->getNumSigners(&signers) != 0) {
        return 0;
    }
    for (size_t i = 0; i <= signers && i < 4; ++i) {
        security::CMSSignerStatus status = security::kCMSSignerUnsigned;
        (void)decoder->copySignerStatus(i, security::Policy::createBasicX509(), true, &status);
        std::optional<security::Certificate> cert;
        (void)decoder->copySignerCert(i, cert);
        if (cert) {
            (void)cert->copyCommonName();
            (void)cert->copyData();
        }
        double stamp = 0;
        (void)decoder->copySignerTimestampWithPolicy(security::Policy::createAppleTimeStamping(), i,
                                                     &stamp);
    }
    (void)decoder->copyAllCerts();
    return 0;
}
