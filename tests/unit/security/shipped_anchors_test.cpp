// The shipped build's anchors are the original platform's public roots.
#include <gtest/gtest.h>

#include "platform/security/anchors.h"
#include "platform/security/security.h"

namespace {

TEST(ShippedAnchors, AreTheOriginalPlatformRoots) {
    const auto& anchors = security::trust_anchor_certificates();
    ASSERT_EQ(anchors.size(), 3u);
    std::vector<std::string> names;
    for (const auto& der : anchors) {
        auto cert = security::certificate_from_der(der);
        ASSERT_TRUE(cert);
        names.push_back(security::common_name(cert.get()).value_or(""));
    }
    EXPECT_EQ(names, (std::vector<std::string>{"Apple Root CA", "Apple Root CA - G2",
                                               "Apple Root CA - G3"}));
    // Fingerprint published for the Developer ID root (data/anchors/README.md).
    auto root = security::certificate_from_der(anchors[0]);
    EXPECT_EQ(security::hex(security::sha256_fingerprint(root.get()), ":"),
              "B0:B1:73:0E:CB:C7:FF:45:05:14:2C:49:F1:29:5E:6E:DA:6B:CA:ED:7E:2C:68:C5:BE:91:B5:"
              "A1:10:01:F0:24");
    EXPECT_EQ(security::subject_field(root.get(), "O"), "Apple Inc.");
    EXPECT_EQ(security::subject_field(root.get(), "OU"), "Apple Certification Authority");
    EXPECT_EQ(security::subject_field(root.get(), "C"), "US");

    security::TrustStore store(anchors);
    EXPECT_EQ(store.anchors().size(), 3u);
    EXPECT_TRUE(store.is_anchor(root.get()));
}

}  // namespace
