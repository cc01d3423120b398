// The compiled-in trust anchors: the root certificates that every chain check
// of the process must end at. This is a link-time seam: xq_platform_security
// only declares the function, and each executable links exactly one library
// that defines it:
//   xq_anchors_shipped  the original platform's public roots (data/anchors/)
//   xq_anchors_test     the root of the test PKI generated in the build tree
// An executable that links neither fails to link, so no build can run without
// a deliberate choice of anchors.
#pragma once

#include <cstdint>
#include <vector>

namespace security {

// DER-encoded root certificates, in a fixed order; the list lives for the
// whole process and never changes. The first entry is the Apple root itself
// (the one the requirement clause `anchor apple` names); the others are
// further roots that chains may end at (`anchor apple generic`).
const std::vector<std::vector<uint8_t>>& trust_anchor_certificates();

class TrustStore;

// The process's one store of those anchors (TrustStore::shared), for every
// check against the compiled-in anchors.
const TrustStore& trust_anchor_store();

}  // namespace security
