#include "platform/security/certificate.h"

#include <algorithm>
#include <array>

#include "platform/security/security.h"

namespace security {

std::optional<Certificate> Certificate::createWithData(const uint8_t* der, size_t length) {
    if (der == nullptr) {
        return std::nullopt;
    }
    X509Ptr cert = certificate_from_der(std::span<const uint8_t>(der, length));
    if (!cert) {
        return std::nullopt;
    }
    // The shared owner takes over the unique owner's free function.
    return Certificate(std::shared_ptr<X509>(std::move(cert)));
}

Certificate Certificate::fromX509(X509* cert) {
    return Certificate(std::shared_ptr<X509>(up_ref(cert)));
}

std::vector<uint8_t> Certificate::copyData() const {
    return certificate_der(cert_.get());
}

std::optional<std::string> Certificate::copyCommonName() const {
    const X509_NAME* subject = X509_get_subject_name(cert_.get());
    int last = -1;
    for (int i = X509_NAME_get_index_by_NID(subject, NID_commonName, -1); i >= 0;
         i = X509_NAME_get_index_by_NID(subject, NID_commonName, i)) {
        last = i;
    }
    if (last < 0) {
        return std::nullopt;
    }
    return name_entry_utf8(X509_NAME_get_entry(subject, last));
}

std::vector<std::string> Certificate::subjectOrganizationalUnits() const {
    std::vector<std::string> out;
    const X509_NAME* subject = X509_get_subject_name(cert_.get());
    for (int i = X509_NAME_get_index_by_NID(subject, NID_organizationalUnitName, -1); i >= 0;
         i = X509_NAME_get_index_by_NID(subject, NID_organizationalUnitName, i)) {
        if (auto value = name_entry_utf8(X509_NAME_get_entry(subject, i))) {
            out.push_back(std::move(*value));
        }
    }
    return out;
}

std::optional<time_t> Certificate::notAfter() const {
    return not_after(cert_.get());
}

std::vector<uint8_t> Certificate::sha256Fingerprint() const {
    const std::array<uint8_t, 32> digest = sha256_fingerprint(cert_.get());
    // sha256_fingerprint gives zeros when the digest fails.
    if (std::all_of(digest.begin(), digest.end(), [](uint8_t b) { return b == 0; })) {
        return {};
    }
    return std::vector<uint8_t>(digest.begin(), digest.end());
}

bool Certificate::operator==(const Certificate& other) const {
    return X509_cmp(cert_.get(), other.cert_.get()) == 0 && copyData() == other.copyData();
}

}  // namespace security
