#include "platform/security/trust.h"
#include "platform/security/security.h"

#include <openssl/x509v3.h>

#include <algorithm>
#include <cmath>

#include "platform/security/chain_verify.h"

namespace security {
namespace {
// Links the initialisation without configuration into every program that
// uses this file.
[[maybe_unused]] const bool kNoConfiguration = security::initialize_without_configuration();
}  // namespace

int Trust::createWithCertificates(std::vector<Certificate> certificates, Policy policy,
                                  std::optional<Trust>& out) {
    if (certificates.empty()) {
        return -50;  // errSecParam
    }
    out = Trust(std::move(certificates), std::move(policy));
    return 0;
}

int Trust::setVerifyDate(double absoluteTime) {
    verifyDate_ = absoluteTime;
    return 0;
}

bool Trust::evaluateWithError(std::string* error) {
    chain_.clear();
    built_.assign(1, certificates_[0]);
    std::optional<time_t> at;
    if (verifyDate_) {
        const double unix = *verifyDate_ + kAbsoluteTimeIntervalSince1970;
        if (!std::isfinite(unix) || unix < 0 || unix > 253402300799.0) {
            if (error != nullptr) {
                *error = "verify date out of range";
            }
            return false;
        }
        at = static_cast<time_t>(unix);
    }
    STACK_OF(X509)* untrusted = sk_X509_new_null();
    if (untrusted == nullptr) {
        if (error != nullptr) {
            *error = "out of memory";
        }
        return false;
    }
    for (size_t i = 1; i < certificates_.size(); ++i) {
        sk_X509_push(untrusted, certificates_[i].get());  // borrowed: freed with sk_X509_free
    }
    const int purpose = policy_.kind == Policy::Kind::appleTimeStamping
                            ? X509_PURPOSE_TIMESTAMP_SIGN
                            : X509_PURPOSE_ANY;
    std::vector<X509*> built;
    const bool ok =
        detail::build_chain(certificates_[0].get(), untrusted, purpose, at, &built, error);
    sk_X509_free(untrusted);
    std::vector<Certificate> chain;
    for (X509* c : built) {
        chain.push_back(Certificate::fromX509(c));
        X509_free(c);
    }
    if (!chain.empty()) {
        built_ = chain;
    }
    if (!ok) {
        return false;
    }
    if (policy_.teamIdentifier) {
        const auto units = certificates_[0].subjectOrganizationalUnits();
        if (std::find(units.begin(), units.end(), *policy_.teamIdentifier) == units.end()) {
            if (error != nullptr) {
                *error = "team identifier " + *policy_.teamIdentifier +
                         " is not the leaf certificate's organisational unit";
            }
            return false;
        }
    }
    chain_ = std::move(chain);
    return true;
}

}  // namespace security
