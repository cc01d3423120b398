// Check by the package's own CMS signature: the signature over the table of
// contents' checksum, its time-stamp, and the archive's stored certificate list
// judged as of the signing date under the maker's team identifier.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "codesign_verify/pkg_verify/internal.h"
#include "codesign_verify/pkg_verify/pkg_verify.h"
#include "platform/base/handle.h"
#include "platform/security/certificate.h"
#include "platform/security/cms_decoder.h"
#include "platform/security/trust.h"
#include "platform/xar/handles.h"
#include "platform/xar/xar.h"

namespace pkg_verify {
namespace {

// SHA-1, the table of contents' checksum that the signature signs.
constexpr uint32_t kSignedDataLength = 20;

// The original formats a missing object as "(null)".
std::string describe(const std::optional<security::Certificate>& cert) {
    if (!cert) {
        return "(null)";
    }
    return cert->copyCommonName().value_or("<certificate>");
}

// The archive's first signature of type "CMS", or null when it has none.
xar_signature_t find_cms_signature(xar_t archive) {
    xar_signature_t signature = xar_signature_first(archive);
    while (signature != nullptr) {
        const char* type = xar_signature_type(signature);
        if (type != nullptr && std::string_view(type) == "CMS") {
            break;
        }
        signature = xar_signature_next(signature);
    }
    return signature;
}

// A decoder holding the CMS message with the signed checksum as its detached
// content, or null (logged) when any step fails.
std::unique_ptr<security::CMSDecoder> decode_signature(const uint8_t* signatureBytes,
                                                       uint32_t signatureLength,
                                                       const uint8_t* signedData,
                                                       uint32_t dataLength, LogCallback log) {
    std::unique_ptr<security::CMSDecoder> decoder;
    if (security::CMSDecoder::create(decoder) != 0) {
        log_message(log, "Error! decoder create failed");
        return nullptr;
    }
    if (decoder->updateMessage(signatureBytes, signatureLength) != 0) {
        log_message(log, "Error! decoder update message failed");
        return nullptr;
    }
    if (decoder->finalizeMessage() != 0) {
        log_message(log, "Error! decoder finalize message failed");
        return nullptr;
    }
    if (decoder->setDetachedContent(signedData, dataLength) != 0) {
        log_message(log, "Error! decoder set detached failed");
        return nullptr;
    }
    return decoder;
}

// The message's single signer: valid, the same certificate as the archive's
// first stored one, and time-stamped; its time-stamp goes to timeStamp.
bool check_signer(security::CMSDecoder& decoder, const uint8_t* firstCertData,
                  uint32_t firstCertLength, double& timeStamp, LogCallback log) {
    const security::Policy signerPolicy = security::Policy::createBasicX509();

    size_t signerCount = 0;
    int status = decoder.getNumSigners(&signerCount);
    if (status != 0 || signerCount != 1) {
        log_message(log, "Error! get num signers failed, osErr=%d, signerCount=%zu", status,
                    signerCount);
        return false;
    }

    security::CMSSignerStatus signerStatus = security::kCMSSignerUnsigned;
    status = decoder.copySignerStatus(0, signerPolicy, /*evaluateTrust=*/true, &signerStatus);
    if (status != 0 || signerStatus != security::kCMSSignerValid) {
        log_message(log, "Error! copy signers status failed, osErr=%d, signerStatus=%d", status,
                    static_cast<int>(signerStatus));
        return false;
    }

    std::optional<security::Certificate> signerCert;
    status = decoder.copySignerCert(0, signerCert);
    if (status != 0 || !signerCert) {
        log_message(log, "Error! copy signers cert failed, osErr=%d, signerCert=%s", status,
                    describe(signerCert).c_str());
        return false;
    }

    const std::vector<uint8_t> signerDer = signerCert->copyData();
    if (signerDer.size() != firstCertLength ||
        !std::equal(signerDer.begin(), signerDer.end(), firstCertData)) {
        log_message(log, "Error! data not equal");
        return false;
    }

    status = decoder.copySignerTimestampWithPolicy(security::Policy::createAppleTimeStamping(), 0,
                                                   &timeStamp);
    if (status != 0 || timeStamp == 0.0) {
        log_message(log, "Error! copy signers timestamp failed, osErr=%d, timeStamp=%f", status,
                    timeStamp);
        return false;
    }
    return true;
}

// Appends the signature's stored certificates, in order, to chain.
bool read_stored_chain(xar_signature_t signature, int32_t certCount,
                       std::vector<security::Certificate>& chain, LogCallback log) {
    for (int32_t i = 0; i < certCount; ++i) {
        const uint8_t* certData = nullptr;
        uint32_t certLength = 0;
        if (xar_signature_get_x509certificate_data(signature, i, &certData, &certLength) == -1) {
            log_message(log, "Error! get cert data failed, i=%d", i);
            return false;
        }
        std::optional<security::Certificate> cert =
            security::Certificate::createWithData(certData, certLength);
        if (!cert) {
            // A stored entry that is no certificate cannot be judged.
            log_message(log, "Error! create cert failed, i=%d", i);
            return false;
        }
        chain.push_back(std::move(*cert));
    }
    return true;
}

}  // namespace

bool get_installer_cert_chain(const std::string& pkgPath, std::vector<security::Certificate>& chain,
                              AbsoluteTime& signingDate, LogCallback log) {
    const xar::ArchivePtr archive(xar_open(pkgPath.c_str(), READ));
    if (!archive) {
        log_message(log, "Error! xar open pkg failed");
        return false;
    }

    xar_signature_t signature = find_cms_signature(archive.get());
    if (signature == nullptr) {
        log_message(log, "Error! signature is null");
        return false;
    }

    uint8_t* rawData = nullptr;
    uint32_t dataLength = 0;
    uint8_t* rawSigned = nullptr;
    uint32_t signedLength = 0;
    const int copied = xar_signature_copy_signed_data(signature, &rawData, &dataLength, &rawSigned,
                                                      &signedLength, nullptr);
    const base::MallocPtr<uint8_t> signedData(rawData);
    const base::MallocPtr<uint8_t> signatureBytes(rawSigned);
    if (copied != 0) {
        log_message(log, "Error! copy signed data failed");
        return false;
    }

    if (dataLength != kSignedDataLength) {
        log_message(log, "Error! length != 20. length=%u", dataLength);
        return false;
    }

    const int32_t certCount = xar_signature_get_x509certificate_count(signature);
    if (certCount <= 0) {
        log_message(log, "Error! cert_count is 0");
        return false;
    }

    const uint8_t* firstCertData = nullptr;
    uint32_t firstCertLength = 0;
    if (xar_signature_get_x509certificate_data(signature, 0, &firstCertData, &firstCertLength) ==
        -1) {
        log_message(log, "Error! get index 0 cert data failed");
        return false;
    }

    const std::unique_ptr<security::CMSDecoder> decoder =
        decode_signature(signatureBytes.get(), signedLength, signedData.get(), dataLength, log);
    if (!decoder) {
        return false;
    }

    double timeStamp = 0.0;
    if (!check_signer(*decoder, firstCertData, firstCertLength, timeStamp, log)) {
        return false;
    }

    signingDate = timeStamp;
    return read_stored_chain(signature, certCount, chain, log);
}

bool check_installer_authority_by_cms(const std::string& pkgPath, const std::string& teamIdentifier,
                                      const std::string& installerAuthority, LogCallback log) {
    const char* path = pkgPath.c_str();
    const char* team = teamIdentifier.c_str();
    const char* authority = installerAuthority.c_str();

    std::vector<security::Certificate> chain;
    chain.reserve(3);  // leaf, intermediate, root
    AbsoluteTime signingDate = 0.0;
    if (!get_installer_cert_chain(pkgPath, chain, signingDate, log)) {
        log_message(log,
                    "Error! get installer cert chain failed, pkgPath=%s, teamIdentifier=%s, "
                    "installerAuthority=%s",
                    path, team, authority);
        return false;
    }

    const security::Policy policy =
        security::Policy::createBasicX509WithTeamIdentifier(teamIdentifier);
    std::optional<security::Trust> trust;
    const int trustCreateStatus = security::Trust::createWithCertificates(chain, policy, trust);
    if (trustCreateStatus != 0 || !trust) {
        log_message(log,
                    "Error! trust create failed, trustCreateStatus=%d, pkgPath=%s, "
                    "teamIdentifier=%s, installerAuthority=%s",
                    trustCreateStatus, path, team, authority);
        return false;
    }

    // Judged as of the moment of signing, not of checking.
    const int trustResultStatus = trust->setVerifyDate(signingDate);
    if (trustResultStatus != 0) {
        log_message(log,
                    "Error! trust set verify date failed, trustResultStatus=%d, pkgPath=%s, "
                    "teamIdentifier=%s, installerAuthority=%s",
                    trustResultStatus, path, team, authority);
        return false;
    }

    std::string error;
    if (!trust->evaluateWithError(&error)) {
        log_message(log,
                    "Error! 10.14 or above evaluate trust failed, error=%s, pkgPath=%s, "
                    "teamIdentifier=%s, installerAuthority=%s",
                    error.c_str(), path, team, authority);
        return false;
    }

    const std::optional<std::string> rootName = chain.back().copyCommonName();
    if (!rootName || *rootName != "Apple Root CA") {
        log_message(log,
                    "Error! compare with Apple Root CA failed, common_name=%s, pkgPath=%s, "
                    "teamIdentifier=%s, installerAuthority=%s",
                    rootName ? rootName->c_str() : "(null)", path, team, authority);
        return false;
    }

    const std::optional<std::string> leafName = chain.front().copyCommonName();
    if (!leafName || *leafName != installerAuthority) {
        log_message(log,
                    "Error! compare with installerAuthority failed, common_name=%s, pkgPath=%s, "
                    "teamIdentifier=%s, installerAuthority=%s",
                    leafName ? leafName->c_str() : "(null)", path, team, authority);
        return false;
    }
    return true;
}

}  // namespace pkg_verify
