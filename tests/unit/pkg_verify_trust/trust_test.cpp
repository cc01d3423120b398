// Trust objects over leaves issued at test time by the test PKI's Developer ID
// authority: which critical extensions pass, the team identifier, the date.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <ctime>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/security/certificate.h"
#include "platform/security/security.h"
#include "platform/security/trust.h"

namespace {

using security::Certificate;
using security::Policy;
using security::Trust;

const std::string kPki = XQ_TESTPKI_DIR;

struct Extension {
    std::string oid;
    bool critical;
};

class TrustTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::access((kPki + "/devid-ca.key.pem").c_str(), R_OK) != 0) {
            GTEST_SKIP() << "test PKI absent at " << kPki;
        }
        caKey = security::private_key_from_file(kPki + "/devid-ca.key.pem");
        auto cas = security::certificates_from_file(kPki + "/devid-ca.pem");
        ASSERT_TRUE(caKey);
        ASSERT_EQ(cas.size(), 1u);
        ca = std::move(cas[0]);
        leafKey.reset(EVP_EC_gen("P-256"));
        ASSERT_TRUE(leafKey);
        intermediate = Certificate::createWithData(security::certificate_der(ca.get()).data(),
                                                   security::certificate_der(ca.get()).size());
        root = load("root");
    }

    std::optional<Certificate> load(const std::string& name) {
        auto certs = security::certificates_from_file(kPki + "/" + name + ".pem");
        if (certs.size() != 1) {
            return std::nullopt;
        }
        const auto der = security::certificate_der(certs[0].get());
        return Certificate::createWithData(der.data(), der.size());
    }

    // A leaf under the Developer ID authority, valid [from, to).
    Certificate issue(const std::vector<Extension>& extensions,
                      std::vector<std::pair<std::string, std::string>> subject,
                      time_t from = 946684800 /* 2000 */, time_t to = 2524608000 /* 2050 */) {
        security::X509Ptr x(X509_new());
        X509_set_version(x.get(), 2);
        ASN1_INTEGER_set(X509_get_serialNumber(x.get()), ++serial);
        X509_NAME* name = X509_get_subject_name(x.get());
        for (const auto& [field, value] : subject) {
            X509_NAME_add_entry_by_txt(name, field.c_str(), MBSTRING_UTF8,
                                       reinterpret_cast<const unsigned char*>(value.c_str()), -1,
                                       -1, 0);
        }
        X509_set_issuer_name(x.get(), X509_get_subject_name(ca.get()));
        ASN1_TIME_set(X509_getm_notBefore(x.get()), from);
        ASN1_TIME_set(X509_getm_notAfter(x.get()), to);
        X509_set_pubkey(x.get(), leafKey.get());
        X509V3_CTX ctx;
        X509V3_set_ctx(&ctx, ca.get(), x.get(), nullptr, nullptr, 0);
        security::X509ExtensionPtr bc(
            X509V3_EXT_conf_nid(nullptr, &ctx, NID_basic_constraints, "critical,CA:false"));
        X509_add_ext(x.get(), bc.get(), -1);
        security::X509ExtensionPtr aki(
            X509V3_EXT_conf_nid(nullptr, &ctx, NID_authority_key_identifier, "keyid:always"));
        X509_add_ext(x.get(), aki.get(), -1);
        for (const Extension& ext : extensions) {
            security::Asn1ObjectPtr obj(OBJ_txt2obj(ext.oid.c_str(), 1));
            security::Asn1OctetStringPtr value(ASN1_OCTET_STRING_new());
            static const unsigned char kNull[] = {0x05, 0x00};
            ASN1_OCTET_STRING_set(value.get(), kNull, sizeof kNull);
            security::X509ExtensionPtr e(X509_EXTENSION_create_by_OBJ(
                nullptr, obj.get(), ext.critical ? 1 : 0, value.get()));
            X509_add_ext(x.get(), e.get(), -1);
        }
        EXPECT_GT(X509_sign(x.get(), caKey.get(), EVP_sha256()), 0);
        const auto der = security::certificate_der(x.get());
        return *Certificate::createWithData(der.data(), der.size());
    }

    std::vector<std::pair<std::string, std::string>> maker() {
        return {{"C", "US"},
                {"O", "Pelk Labs, Inc."},
                {"OU", "T3MQ8VX2LC"},
                {"CN", "Developer ID Installer: Pelk Labs, Inc. (T3MQ8VX2LC)"}};
    }

    bool evaluate(const Certificate& leaf, std::string* error,
                  std::optional<std::string> team = "T3MQ8VX2LC",
                  std::optional<double> date = std::nullopt) {
        std::optional<Trust> trust;
        Policy policy =
            team ? Policy::createBasicX509WithTeamIdentifier(*team) : Policy::createBasicX509();
        EXPECT_EQ(Trust::createWithCertificates({leaf, *intermediate, *root}, policy, trust), 0);
        if (date) {
            trust->setVerifyDate(*date);
        }
        return trust->evaluateWithError(error);
    }

    security::EvpPkeyPtr caKey;
    security::X509Ptr ca;
    security::EvpPkeyPtr leafKey;
    std::optional<Certificate> intermediate;
    std::optional<Certificate> root;
    long serial = 1000;
};

TEST_F(TrustTest, KnownAppleCriticalExtensionsPass) {
    std::string error;
    EXPECT_TRUE(evaluate(issue({{"1.2.840.113635.100.6.1.14", true}}, maker()), &error)) << error;
    EXPECT_TRUE(evaluate(issue({{"1.2.840.113635.100.6.1.13", true}}, maker()), &error)) << error;
    // Unknown but not critical: nothing to handle.
    EXPECT_TRUE(evaluate(issue({{"1.2.3.4", false}}, maker()), &error)) << error;
}

TEST_F(TrustTest, AnyOtherUnknownCriticalExtensionFails) {
    std::string error;
    EXPECT_FALSE(evaluate(issue({{"1.2.3.4", true}}, maker()), &error));
    EXPECT_NE(error.find("unhandled critical extension"), std::string::npos) << error;
    EXPECT_FALSE(evaluate(
        issue({{"1.2.840.113635.100.6.1.14", true}, {"1.2.840.113635.100.6.1.99", true}}, maker()),
        &error));
    EXPECT_NE(error.find("unhandled critical extension"), std::string::npos) << error;
    // The Mac App Store installer marker is not one this project accepts.
    EXPECT_FALSE(evaluate(issue({{"1.2.840.113635.100.6.1.8", true}}, maker()), &error));
}

TEST_F(TrustTest, TeamIdentifierIsTheLeafsOrganisationalUnitExactly) {
    std::string error;
    const Certificate leaf = issue({}, maker());
    EXPECT_TRUE(evaluate(leaf, &error, "T3MQ8VX2LC")) << error;
    EXPECT_FALSE(evaluate(leaf, &error, "t3mq8vx2lc"));
    EXPECT_NE(error.find("team identifier"), std::string::npos);
    EXPECT_FALSE(evaluate(leaf, &error, "T3MQ8VX2L"));
    EXPECT_FALSE(evaluate(leaf, &error, ""));
    // Without a team identifier the basic policy asks for none.
    EXPECT_TRUE(evaluate(leaf, &error, std::nullopt)) << error;
    // The team in the common name or organisation does not count.
    const Certificate noOu =
        issue({}, {{"O", "T3MQ8VX2LC"}, {"CN", "Developer ID Installer: (T3MQ8VX2LC)"}});
    EXPECT_FALSE(evaluate(noOu, &error, "T3MQ8VX2LC"));
}

TEST_F(TrustTest, JudgedAtTheVerifyDate) {
    // Valid in 2020 only.
    const Certificate leaf = issue({}, maker(), 1577836800, 1609459200);
    const double mid2020 = 1590969600.0 - 978307200.0;
    std::string error;
    EXPECT_TRUE(evaluate(leaf, &error, "T3MQ8VX2LC", mid2020)) << error;
    EXPECT_FALSE(evaluate(leaf, &error, "T3MQ8VX2LC"));
    EXPECT_NE(error.find("expired"), std::string::npos) << error;
    {
        // Expired, yet the chain was built whole, up to the anchor.
        std::optional<Trust> trust;
        ASSERT_EQ(
            Trust::createWithCertificates({leaf, *intermediate}, Policy::createBasicX509(), trust),
            0);
        EXPECT_FALSE(trust->evaluateWithError(nullptr));
        EXPECT_TRUE(trust->certificateChain().empty());
        ASSERT_EQ(trust->builtChain().size(), 3u);
        EXPECT_EQ(trust->builtChain()[2].copyCommonName(), "Apple Root CA");
    }
    EXPECT_FALSE(evaluate(leaf, &error, "T3MQ8VX2LC", 1546300800.0 - 978307200.0));  // 2019
    EXPECT_NE(error.find("not yet valid"), std::string::npos) << error;
    EXPECT_FALSE(evaluate(leaf, &error, "T3MQ8VX2LC", 1e300));
}

TEST_F(TrustTest, ChainMustReachTheAnchor) {
    std::optional<Trust> trust;
    const Certificate leaf = issue({}, maker());
    // The authority is no anchor: the leaf alone does not chain.
    ASSERT_EQ(Trust::createWithCertificates({leaf}, Policy::createBasicX509(), trust), 0);
    std::string error;
    EXPECT_TRUE(trust->builtChain().empty());  // nothing evaluated yet
    EXPECT_FALSE(trust->evaluateWithError(&error));
    EXPECT_TRUE(trust->certificateChain().empty());
    // What the failed evaluation built: the leaf, whose issuer it lacked.
    ASSERT_EQ(trust->builtChain().size(), 1u);
    EXPECT_TRUE(trust->builtChain()[0] == leaf);
    // With the authority as a candidate it does, and the built chain ends at
    // the anchor even when the list leaves the root out.
    ASSERT_EQ(
        Trust::createWithCertificates({leaf, *intermediate}, Policy::createBasicX509(), trust), 0);
    EXPECT_TRUE(trust->evaluateWithError(&error)) << error;
    ASSERT_EQ(trust->certificateChain().size(), 3u);
    EXPECT_EQ(trust->certificateChain()[2].copyCommonName(), "Apple Root CA");
    // An empty list is a parameter error.
    EXPECT_EQ(Trust::createWithCertificates({}, Policy::createBasicX509(), trust), -50);
}

TEST_F(TrustTest, CertificateParsingAndNames) {
    const Certificate leaf = issue({}, {{"CN", "first"}, {"OU", "a"}, {"OU", "b"}, {"CN", "last"}});
    EXPECT_EQ(leaf.copyCommonName(), "last");
    EXPECT_EQ(leaf.subjectOrganizationalUnits(), (std::vector<std::string>{"a", "b"}));
    std::vector<uint8_t> der = leaf.copyData();
    ASSERT_TRUE(Certificate::createWithData(der.data(), der.size()));
    der.push_back(0);
    EXPECT_FALSE(Certificate::createWithData(der.data(), der.size()));
    EXPECT_FALSE(Certificate::createWithData(der.data(), 10));
    EXPECT_FALSE(Certificate::createWithData(nullptr, 0));
    EXPECT_FALSE(issue({}, {{"O", "no name"}}).copyCommonName());
    EXPECT_EQ(leaf.sha256Fingerprint().size(), 32u);
}

}  // namespace
