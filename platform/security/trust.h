// Trust evaluation of a certificate list against the compiled-in anchors
// (platform/security/anchors.h), as the original platform's policy and trust
// objects do it for the two policies the callers need. A thin layer over
// security::verify_chain (security.h) and the process's one anchor store.
//
// Contract:
// - The first certificate of the list is the one judged; the others are
//   candidates for building its chain (untrusted). The chain must end at an
//   anchor, byte for byte; a self-signed certificate that is not an anchor
//   fails, and so does a chain that stops at an intermediate.
// - Every certificate of the built chain must be valid at the verify date
//   (default: the moment of evaluation).
// - Purpose: the basic X.509 policy asks for none (any extended key usage
//   passes, as the original's basic policy does); the time-stamping policy
//   requires the timeStamping purpose of the leaf.
// - Critical extensions: those OpenSSL handles, plus exactly the Apple
//   Developer ID markers (security::known_apple_critical_extensions()); any
//   other unknown critical extension fails.
// - With a team identifier, the leaf's subject must carry it as an
//   organisational unit, exactly.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/security/certificate.h"

namespace security {

struct Policy {
    enum class Kind {
        basicX509,          // kSecPolicyAppleX509Basic / SecPolicyCreateBasicX509
        appleTimeStamping,  // kSecPolicyAppleTimeStamping
    };
    Kind kind = Kind::basicX509;
    // kSecPolicyTeamIdentifier; basic X.509 only.
    std::optional<std::string> teamIdentifier;

    static Policy createBasicX509() { return Policy{}; }
    static Policy createBasicX509WithTeamIdentifier(std::string teamIdentifier) {
        return Policy{Kind::basicX509, std::move(teamIdentifier)};
    }
    static Policy createAppleTimeStamping() { return Policy{Kind::appleTimeStamping, {}}; }
};

class Trust {
  public:
    // errSecParam (-50) for an empty list, else 0.
    static int createWithCertificates(std::vector<Certificate> certificates, Policy policy,
                                      std::optional<Trust>& out);

    // The date at which validity periods are judged, as seconds since
    // 2001-01-01 00:00:00 UTC. Always 0.
    int setVerifyDate(double absoluteTime);

    // True when the first certificate chains to an anchor under the policy.
    // Otherwise false and `error` (when not null) describes why.
    bool evaluateWithError(std::string* error);

    // The chain that the last successful evaluation built, leaf first, anchor
    // last; empty before that and after a failed evaluation.
    const std::vector<Certificate>& certificateChain() const { return chain_; }

    // The chain that the last evaluation built whether or not it was trusted,
    // leaf first: to an anchor, or as far as issuers were found (at least the
    // leaf once an evaluation has run). Empty before the first evaluation.
    const std::vector<Certificate>& builtChain() const { return built_; }

  private:
    Trust(std::vector<Certificate> certificates, Policy policy)
        : certificates_(std::move(certificates)), policy_(std::move(policy)) {}
    std::vector<Certificate> certificates_;
    Policy policy_;
    std::optional<double> verifyDate_;
    std::vector<Certificate> chain_;
    std::vector<Certificate> built_;
};

}  // namespace security
