#include "platform/security/certificate.h"
#include "platform/security/security.h"

#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>

#include <climits>

namespace security {
namespace {
// Links the initialisation without configuration into every program that
// uses this file.
[[maybe_unused]] const bool kNoConfiguration = security::initialize_without_configuration();
}  // namespace

std::optional<Certificate> Certificate::createWithData(const uint8_t* der, size_t length) {
    if (der == nullptr || length == 0 || length > static_cast<size_t>(LONG_MAX)) {
        return std::nullopt;
    }
    const unsigned char* p = der;
    X509* cert = d2i_X509(nullptr, &p, static_cast<long>(length));
    if (cert == nullptr) {
        ERR_clear_error();
        return std::nullopt;
    }
    if (p != der + length) {
        X509_free(cert);
        return std::nullopt;
    }
    return Certificate(std::shared_ptr<X509>(cert, X509_free));
}

Certificate Certificate::fromX509(X509* cert) {
    X509_up_ref(cert);
    return Certificate(std::shared_ptr<X509>(cert, X509_free));
}

std::vector<uint8_t> Certificate::copyData() const {
    unsigned char* der = nullptr;
    const int length = i2d_X509(cert_.get(), &der);
    if (length <= 0) {
        return {};
    }
    std::vector<uint8_t> out(der, der + length);
    OPENSSL_free(der);
    return out;
}

namespace {

std::optional<std::string> entry_utf8(const X509_NAME_ENTRY* entry) {
    unsigned char* utf8 = nullptr;
    const int length = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(entry));
    if (length < 0) {
        ERR_clear_error();
        return std::nullopt;
    }
    std::string out(reinterpret_cast<char*>(utf8), static_cast<size_t>(length));
    OPENSSL_free(utf8);
    // An embedded NUL would let a name read differently in C and C++.
    if (out.find('\0') != std::string::npos) {
        return std::nullopt;
    }
    return out;
}

}  // namespace

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
    return entry_utf8(X509_NAME_get_entry(subject, last));
}

std::vector<std::string> Certificate::subjectOrganizationalUnits() const {
    std::vector<std::string> out;
    const X509_NAME* subject = X509_get_subject_name(cert_.get());
    for (int i = X509_NAME_get_index_by_NID(subject, NID_organizationalUnitName, -1); i >= 0;
         i = X509_NAME_get_index_by_NID(subject, NID_organizationalUnitName, i)) {
        if (auto value = entry_utf8(X509_NAME_get_entry(subject, i))) {
            out.push_back(std::move(*value));
        }
    }
    return out;
}

std::optional<time_t> Certificate::notAfter() const {
    const ASN1_TIME* t = X509_get0_notAfter(cert_.get());
    struct tm tm {};
    if (t == nullptr || ASN1_TIME_to_tm(t, &tm) != 1) {
        return std::nullopt;
    }
    return timegm(&tm);
}

std::vector<uint8_t> Certificate::sha256Fingerprint() const {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (X509_digest(cert_.get(), EVP_sha256(), md, &length) != 1) {
        return {};
    }
    return std::vector<uint8_t>(md, md + length);
}

bool Certificate::operator==(const Certificate& other) const {
    return X509_cmp(cert_.get(), other.cert_.get()) == 0 && copyData() == other.copyData();
}

}  // namespace security
