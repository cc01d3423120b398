#include "platform/security/anchors.h"
#include "platform/security/security.h"

namespace security {

const TrustStore& trust_anchor_store() {
    static const TrustStore& store = TrustStore::shared(trust_anchor_certificates());
    return store;
}

void prepare_certificate_checks() {
    const auto& anchors = trust_anchor_certificates();
    if (!anchors.empty()) {
        (void)certificate_from_der(anchors.front());
    }
}

}  // namespace security
