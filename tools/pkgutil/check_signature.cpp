#include "tools/pkgutil/check_signature.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "platform/base/handle.h"
#include "platform/security/certificate.h"
#include "platform/security/cms_decoder.h"
#include "platform/security/security.h"
#include "platform/security/trust.h"
#include "platform/xar/handles.h"
#include "platform/xar/xar.h"

namespace pkgutil {
namespace {

// Marks an intermediate as Apple's Developer ID authority.
constexpr const char* kDeveloperIdAuthorityMarker = "1.2.840.113635.100.6.2.6";

std::string format_date(time_t t) {
    struct tm tm {};
    char text[64];
    if (gmtime_r(&t, &tm) == nullptr ||
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S +0000", &tm) == 0) {
        return "unknown";
    }
    return text;
}

// "SHA256 Fingerprint:" followed by the hex bytes, 22 to a line. The original
// prints each byte followed by a space and breaks the line after every 22nd,
// so a full line ends with a space and the last, shorter one does not.
std::string fingerprint_lines(const std::vector<uint8_t>& digest) {
    std::string out = "       SHA256 Fingerprint:\n";
    for (size_t i = 0; i < digest.size(); i += 22) {
        const size_t end = std::min(digest.size(), i + 22);
        out += "           " + security::hex(std::span(digest).subspan(i, end - i), " ");
        if (end - i == 22) {
            out += ' ';
        }
        out += "\n";
    }
    return out;
}

std::string chain_lines(const std::vector<security::Certificate>& chain) {
    std::string out = "   Certificate Chain:\n";
    for (size_t i = 0; i < chain.size(); ++i) {
        const security::Certificate& cert = chain[i];
        // Names come from certificates that need not have verified: a name
        // must not be able to start a line of its own.
        out += "    " + std::to_string(i + 1) + ". " +
               display_name(cert.copyCommonName().value_or("(no common name)")) + "\n";
        const std::optional<time_t> expiry = cert.notAfter();
        out += "       Expires: " + (expiry ? format_date(*expiry) : std::string("unknown")) + "\n";
        out += fingerprint_lines(cert.sha256Fingerprint());
        if (i + 1 < chain.size()) {
            out += "       " + std::string(72, '-') + "\n";
        }
    }
    return out;
}

const char* status_text(Status status) {
    switch (status) {
        case Status::kNoSignature:
            return "no signature";
        case Status::kInvalidSignature:
            return "invalid signature";
        case Status::kUntrustedTimestamp:
            return "signed with an untrusted timestamp";
        case Status::kUntrusted:
            return "signed by untrusted certificate";
        case Status::kSinceExpired:
            return "signed by a certificate that has since expired";
        case Status::kTrustedByMacOS:
            return "signed by a certificate trusted by macOS";
        case Status::kDeveloperId:
            return "signed by a developer certificate issued by Apple for distribution";
    }
    return "invalid signature";
}

CheckResult status_only(const std::string& path, Status status) {
    CheckResult result;
    result.exitStatus = 1;
    result.report = write_report(path, status, std::nullopt, {});
    return result;
}

}  // namespace

std::string display_name(const std::string& path) {
    std::string name = path;
    while (name.size() > 1 && name.back() == '/') {
        name.pop_back();
    }
    if (const size_t slash = name.rfind('/'); slash != std::string::npos && name.size() > 1) {
        name = name.substr(slash + 1);
    }
    std::string out;
    size_t i = 0;
    while (i < name.size()) {
        const auto c = static_cast<unsigned char>(name[i]);
        size_t length = c < 0x80           ? 1
                        : (c >> 5) == 0x6  ? 2
                        : (c >> 4) == 0xE  ? 3
                        : (c >> 3) == 0x1E ? 4
                                           : 0;
        bool valid = length != 0 && i + length <= name.size();
        uint32_t cp = 0;
        if (valid) {
            cp = length == 1 ? c : (c & (0xFF >> (length + 1)));
            for (size_t k = 1; k < length; ++k) {
                const auto cc = static_cast<unsigned char>(name[i + k]);
                if ((cc & 0xC0) != 0x80) {
                    valid = false;
                    break;
                }
                cp = (cp << 6) | (cc & 0x3F);
            }
        }
        // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
        if (valid &&
            ((length == 2 && cp < 0x80) || (length == 3 && cp < 0x800) ||
             (length == 4 && (cp < 0x10000 || cp > 0x10FFFF)) || (cp >= 0xD800 && cp <= 0xDFFF))) {
            valid = false;
        }
        if (!valid) {
            out += '?';
            ++i;
            continue;
        }
        const bool breaksLine =
            cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp < 0xA0) || cp == 0x2028 || cp == 0x2029;
        if (breaksLine) {
            out += '?';
        } else {
            out.append(name, i, length);
        }
        i += length;
    }
    return out;
}

std::string write_report(const std::string& path, Status status,
                         const std::optional<time_t>& timestamp,
                         const std::vector<security::Certificate>& chain) {
    std::string out = "Package \"" + display_name(path) + "\":\n";
    out += std::string("   Status: ") + status_text(status) + "\n";
    if (timestamp) {
        out += "   Signed with a trusted timestamp on: " + format_date(*timestamp) + "\n";
    }
    if (!chain.empty()) {
        out += chain_lines(chain);
        out += "\n";
    }
    return out;
}

namespace {

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

// Decodes the CMS message over the signed checksum and copies its single,
// valid signer's certificate; false when any of that fails.
bool decode_signer(const uint8_t* signatureBytes, uint32_t signedLength, const uint8_t* digest,
                   uint32_t dataLength, std::unique_ptr<security::CMSDecoder>& decoder,
                   std::optional<security::Certificate>& signer) {
    size_t signers = 0;
    security::CMSSignerStatus status = security::kCMSSignerUnsigned;
    if (security::CMSDecoder::create(decoder) != 0 ||
        decoder->updateMessage(signatureBytes, signedLength) != 0 ||
        decoder->finalizeMessage() != 0 || decoder->setDetachedContent(digest, dataLength) != 0 ||
        decoder->getNumSigners(&signers) != 0 || signers != 1 ||
        decoder->copySignerStatus(0, security::Policy::createBasicX509(), /*evaluateTrust=*/false,
                                  &status) != 0 ||
        status != security::kCMSSignerValid) {
        return false;
    }
    return decoder->copySignerCert(0, signer) == 0 && signer;
}

// The chain candidates are the message's own certificates, not the list
// stored in the table of contents.
std::vector<security::Certificate> chain_candidates(const security::CMSDecoder& decoder,
                                                    const security::Certificate& signer) {
    std::vector<security::Certificate> candidates{signer};
    for (const security::Certificate& cert : decoder.copyAllCerts()) {
        if (!(cert == signer)) {
            candidates.push_back(cert);
        }
    }
    return candidates;
}

// Untrusted, the original still shows the chain its evaluation built. A leaf
// whose validity ended before the date it was judged at, with no time-stamp to
// judge it at its signing, "has since expired".
CheckResult untrusted(const std::string& path, const security::Certificate& signer,
                      const std::optional<time_t>& signedAt, time_t now,
                      const security::Trust& trust, const std::string& why) {
    const std::optional<time_t> leafExpiry = signer.notAfter();
    const bool sinceExpired = !signedAt && leafExpiry && *leafExpiry < now;
    std::vector<security::Certificate> built = trust.builtChain();
    if (built.empty()) {
        built.push_back(signer);
    }
    CheckResult result;
    result.exitStatus = 1;
    result.report = write_report(path, sinceExpired ? Status::kSinceExpired : Status::kUntrusted,
                                 signedAt, built);
    result.error = "pkgutil: " + why + "\n";
    return result;
}

// Whether an issuer in the chain is the Developer ID authority.
bool has_developer_id_issuer(const std::vector<security::Certificate>& chain) {
    bool developerId = false;
    for (size_t i = 1; i < chain.size(); ++i) {
        developerId =
            developerId || security::has_extension(chain[i].get(), kDeveloperIdAuthorityMarker);
    }
    return developerId;
}

}  // namespace

CheckResult check_signature(const std::string& path, time_t now) {
    const xar::ArchivePtr archive(xar_open(path.c_str(), READ));
    if (!archive) {
        CheckResult result;
        result.exitStatus = 1;
        result.error = "Error: package \"" + display_name(path) + "\" could not be opened\n";
        return result;
    }
    xar_signature_t signature = find_cms_signature(archive.get());
    if (signature == nullptr) {
        return status_only(path, Status::kNoSignature);
    }

    uint8_t* rawData = nullptr;
    uint32_t dataLength = 0;
    uint8_t* rawSigned = nullptr;
    uint32_t signedLength = 0;
    const int copied = xar_signature_copy_signed_data(signature, &rawData, &dataLength, &rawSigned,
                                                      &signedLength, nullptr);
    const base::MallocPtr<uint8_t> digest(rawData);
    const base::MallocPtr<uint8_t> signatureBytes(rawSigned);
    if (copied != 0) {
        return status_only(path, Status::kInvalidSignature);
    }

    std::unique_ptr<security::CMSDecoder> decoder;
    std::optional<security::Certificate> signer;
    if (!decode_signer(signatureBytes.get(), signedLength, digest.get(), dataLength, decoder,
                       signer)) {
        return status_only(path, Status::kInvalidSignature);
    }

    // A time-stamp that is present must verify; without one the chain is
    // judged now.
    double stamped = 0.0;
    const int stampStatus = decoder->copySignerTimestampWithPolicy(
        security::Policy::createAppleTimeStamping(), 0, &stamped);
    std::optional<time_t> signedAt;
    if (stampStatus == 0) {
        signedAt = static_cast<time_t>(stamped + security::kAbsoluteTimeIntervalSince1970);
    } else if (stampStatus != security::kErrSecTimestampMissing) {
        return status_only(path, Status::kUntrustedTimestamp);
    }

    std::vector<security::Certificate> candidates = chain_candidates(*decoder, *signer);
    std::optional<security::Trust> trust;
    if (security::Trust::createWithCertificates(std::move(candidates),
                                                security::Policy::createBasicX509(), trust) != 0) {
        return status_only(path, Status::kInvalidSignature);
    }
    trust->setVerifyDate(static_cast<double>(signedAt.value_or(now)) -
                         security::kAbsoluteTimeIntervalSince1970);
    std::string why;
    if (!trust->evaluateWithError(&why)) {
        return untrusted(path, *signer, signedAt, now, *trust, why);
    }
    const std::vector<security::Certificate>& chain = trust->certificateChain();

    CheckResult result;
    result.exitStatus = 0;
    result.report = write_report(
        path, has_developer_id_issuer(chain) ? Status::kDeveloperId : Status::kTrustedByMacOS,
        signedAt, chain);
    return result;
}

}  // namespace pkgutil
