// X.509 certificates as the original platform's certificate objects offer
// them: made from DER bytes, copied back to DER, asked for their common name.
// A Certificate shares one immutable OpenSSL X509; copies are cheap.
#pragma once

#include <openssl/x509.h>

#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace security {

class Certificate {
  public:
    // Parses exactly one DER certificate; nothing when the bytes are not one
    // (trailing bytes included).
    static std::optional<Certificate> createWithData(const uint8_t* der, size_t length);
    // Takes a reference to `cert` (the caller keeps its own).
    static Certificate fromX509(X509* cert);

    // The DER encoding.
    std::vector<uint8_t> copyData() const;
    // The subject's common name as UTF-8 (the last CN of the subject, as the
    // original platform reads it); nothing when there is none or it does not
    // convert.
    std::optional<std::string> copyCommonName() const;
    // Every organisational-unit value of the subject, as UTF-8.
    std::vector<std::string> subjectOrganizationalUnits() const;
    // Expiry (notAfter) as seconds since the Unix epoch; nothing if unreadable.
    std::optional<time_t> notAfter() const;
    // SHA-256 of the DER encoding.
    std::vector<uint8_t> sha256Fingerprint() const;

    X509* get() const { return cert_.get(); }
    bool operator==(const Certificate& other) const;

  private:
    explicit Certificate(std::shared_ptr<X509> cert) : cert_(std::move(cert)) {}
    std::shared_ptr<X509> cert_;
};

// Seconds between the Unix epoch and 2001-01-01 00:00:00 UTC, the epoch of the
// original platform's absolute time.
inline constexpr double kAbsoluteTimeIntervalSince1970 = 978307200.0;

}  // namespace security
