#include "platform/security/certificate.h"

#include <openssl/err.h>

#include <algorithm>
#include <array>
#include <climits>

#include "platform/security/security.h"

namespace security {

std::optional<Certificate> Certificate::createWithData(const uint8_t* der, size_t length) {
    if (der == nullptr || length == 0 || length > static_cast<size_t>(LONG_MAX)) {
        return std::nullopt;
    }
    // Exactly one certificate: trailing bytes are not part of it.
    const unsigned char* p = der;
    X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(length)));
    if (!cert || p != der + length) {
        ERR_clear_error();
        return std::nullopt;
    }
    return Certificate(std::shared_ptr<X509>(cert.release(), X509_free));
}

Certificate Certificate::fromX509(X509* cert) {
    return Certificate(std::shared_ptr<X509>(up_ref(cert).release(), X509_free));
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
