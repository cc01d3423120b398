#include "platform/security/trust.h"

#include <algorithm>
#include <cmath>

#include "platform/security/anchors.h"
#include "platform/security/security.h"

namespace security {

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
    VerifyOptions options;
    options.purpose =
        policy_.kind == Policy::Kind::appleTimeStamping ? Purpose::time_stamping : Purpose::any;
    // The chain as far as it was built is kept for reports of untrusted
    // certificates (builtChain()).
    options.keep_built_chain = true;
    if (verifyDate_) {
        const double unix = *verifyDate_ + kAbsoluteTimeIntervalSince1970;
        if (!std::isfinite(unix) || unix < 0 || unix > 253402300799.0) {
            if (error != nullptr) {
                *error = "verify date out of range";
            }
            return false;
        }
        options.at = static_cast<time_t>(unix);
    }
    std::vector<X509*> untrusted;
    for (size_t i = 1; i < certificates_.size(); ++i) {
        untrusted.push_back(certificates_[i].get());
    }
    ChainResult result =
        verify_chain(certificates_[0].get(), untrusted, trust_anchor_store(), options);
    std::vector<Certificate> chain;
    for (const X509Ptr& c : result.built) {
        chain.push_back(Certificate::fromX509(c.get()));
    }
    if (!chain.empty()) {
        built_ = chain;
    }
    if (!result.ok) {
        if (error != nullptr) {
            // OpenSSL's refusal with its code and depth; before OpenSSL
            // built anything, a set-up failure; else the engine's reason.
            if (result.verify_error != 0) {
                *error = std::string(X509_verify_cert_error_string(result.verify_error)) +
                         " (code " + std::to_string(result.verify_error) + ", depth " +
                         std::to_string(result.error_depth) + ")";
            } else if (result.built.empty()) {
                *error = "cannot set up the chain verification";
            } else {
                *error = result.error;
            }
        }
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
