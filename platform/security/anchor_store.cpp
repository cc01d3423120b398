#include "platform/security/anchors.h"
#include "platform/security/security.h"

namespace security {

const TrustStore& trust_anchor_store() {
    static const TrustStore& store = TrustStore::shared(trust_anchor_certificates());
    return store;
}

}  // namespace security
