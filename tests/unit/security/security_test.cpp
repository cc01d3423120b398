// Certificates, chain checks and detached CMS over the generated test PKI.
#include <gtest/gtest.h>
#include <openssl/err.h>

#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "platform/security/anchors.h"
#include "platform/security/security.h"
#include "tests/support/harness.h"

namespace {

using security::Bytes;
using security::Purpose;
using security::VerifyOptions;

const std::string kPki = XQ_TESTPKI_DIR;
constexpr char kAppCN[] = "Developer ID Application: Pelk Labs, Inc. (T3MQ8VX2LC)";

security::X509Ptr cert(const std::string& name) {
    auto c = security::certificate_from_pem(xqtest::readFile(kPki + "/" + name + ".pem"));
    EXPECT_TRUE(c) << name;
    return c;
}

std::vector<security::X509Ptr> chain_of(const std::string& name) {
    return security::certificates_from_pem(xqtest::readFile(kPki + "/" + name + ".chain.pem"));
}

std::vector<X509*> raw(const std::vector<security::X509Ptr>& v) {
    std::vector<X509*> out;
    for (auto& c : v) {
        out.push_back(c.get());
    }
    return out;
}

std::time_t utc(int y, int m, int d) {
    struct tm tm {};
    tm.tm_year = y - 1900;
    tm.tm_mon = m - 1;
    tm.tm_mday = d;
    return timegm(&tm);
}

class SecurityTest : public ::testing::Test {
  protected:
    security::TrustStore anchors{security::trust_anchor_certificates()};

    security::ChainResult check(const std::string& leaf, VerifyOptions options = {}) {
        auto c = cert(leaf);
        auto inter = chain_of(leaf);
        return security::verify_chain(c.get(), raw(inter), anchors, options);
    }

    std::optional<Bytes> sign(const std::string& identity, std::span<const uint8_t> content) {
        auto signer = cert(identity);
        auto key = security::private_key_from_file(kPki + "/" + identity + ".key.pem");
        EXPECT_TRUE(key);
        auto extra = chain_of(identity);
        std::string error;
        auto cms =
            security::cms_sign_detached(content, {signer.get(), key.get(), raw(extra)}, &error);
        EXPECT_TRUE(cms) << error;
        return cms;
    }
};

TEST_F(SecurityTest, TestAnchorIsTheGeneratedRoot) {
    const auto& anchors_der = security::trust_anchor_certificates();
    ASSERT_EQ(anchors_der.size(), 1u);
    std::string der = xqtest::readFile(kPki + "/root.der");
    EXPECT_EQ(std::string(anchors_der[0].begin(), anchors_der[0].end()), der);
    EXPECT_EQ(anchors.anchors().size(), 1u);
}

TEST_F(SecurityTest, SubjectFieldsOfTheMakersLeaf) {
    auto c = cert("app");
    EXPECT_EQ(security::common_name(c.get()), kAppCN);
    EXPECT_EQ(security::subject_field(c.get(), "OU"), "T3MQ8VX2LC");
    EXPECT_EQ(security::subject_field(c.get(), "O"), "Pelk Labs, Inc.");
    EXPECT_EQ(security::subject_field(c.get(), "C"), "US");
    EXPECT_EQ(security::subject_field(c.get(), "UID"), "T3MQ8VX2LC");
    EXPECT_EQ(security::subject_field(c.get(), "L"), std::nullopt);
    auto fields = security::subject_fields(c.get());
    ASSERT_EQ(fields.size(), 5u);
    EXPECT_EQ(fields[0].first, "C");
    EXPECT_EQ(fields[3].first, "CN");
    EXPECT_NE(security::subject_line(c.get()).find("CN=Developer ID Application"),
              std::string::npos);

    auto root = cert("root");
    EXPECT_EQ(security::common_name(root.get()), "Apple Root CA");
    EXPECT_EQ(security::common_name(cert("installer-case").get()),
              "Developer ID Installer: Pelk labs, Inc. (T3MQ8VX2LC)");
}

TEST_F(SecurityTest, FingerprintIsSha256OfTheDer) {
    auto c = cert("app");
    std::string der = xqtest::readFile(kPki + "/app.der");
    auto digest = security::sha256(
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(der.data()), der.size()));
    ASSERT_TRUE(digest);
    EXPECT_EQ(security::sha256_fingerprint(c.get()), *digest);
    Bytes roundtrip = security::certificate_der(c.get());
    EXPECT_EQ(std::string(roundtrip.begin(), roundtrip.end()), der);
    // Known-answer test of the digest itself.
    const char abc[] = "abc";
    EXPECT_EQ(security::hex(*security::sha256(
                  std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(abc), 3))),
              "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD");
    EXPECT_EQ(security::hex(std::array<uint8_t, 3>{0x0a, 0xb0, 0xff}, ":"), "0A:B0:FF");
}

TEST_F(SecurityTest, ValidityBounds) {
    EXPECT_EQ(security::not_before(cert("app-expired").get()), utc(2020, 1, 1));
    EXPECT_EQ(security::not_after(cert("app-expired").get()), utc(2021, 1, 1));
}

TEST_F(SecurityTest, MakersChainsVerifyLeafFirstAnchorLast) {
    auto r = check("app", {Purpose::code_signing});
    ASSERT_TRUE(r.ok) << r.error;
    ASSERT_EQ(r.chain.size(), 3u);
    EXPECT_EQ(security::common_name(r.chain[0].get()), kAppCN);
    EXPECT_EQ(security::common_name(r.chain[1].get()), "Developer ID Certification Authority");
    EXPECT_EQ(security::common_name(r.chain[2].get()), "Apple Root CA");

    auto inst = check("installer");
    EXPECT_TRUE(inst.ok) << inst.error;
    auto deep = check("installer-deep");
    ASSERT_TRUE(deep.ok) << deep.error;
    EXPECT_EQ(deep.chain.size(), 4u);
    auto tsa = check("tsa", {Purpose::time_stamping});
    EXPECT_TRUE(tsa.ok) << tsa.error;
}

TEST_F(SecurityTest, WrongPurposeIsRefused) {
    EXPECT_FALSE(check("installer", {Purpose::code_signing}).ok);
    EXPECT_FALSE(check("app", {Purpose::time_stamping}).ok);
    EXPECT_FALSE(check("tsa", {Purpose::code_signing}).ok);
}

TEST_F(SecurityTest, ValidityIsJudgedAtTheChosenTime) {
    auto now = check("app-expired", {Purpose::code_signing});
    EXPECT_FALSE(now.ok);
    EXPECT_NE(now.error.find("expired"), std::string::npos) << now.error;
    VerifyOptions then{Purpose::code_signing, utc(2020, 6, 1)};
    EXPECT_TRUE(check("app-expired", then).ok);
    EXPECT_TRUE(check("installer-past", {Purpose::any, utc(2020, 6, 1)}).ok);
    EXPECT_FALSE(check("installer-past", {Purpose::any, utc(2021, 6, 1)}).ok);

    auto notyet = check("app-notyet", {Purpose::code_signing});
    EXPECT_FALSE(notyet.ok);
    EXPECT_NE(notyet.error.find("not yet valid"), std::string::npos) << notyet.error;
    EXPECT_TRUE(check("app-notyet", {Purpose::code_signing, utc(2041, 1, 1)}).ok);
}

TEST_F(SecurityTest, LookAlikeRootOutsideTheAnchorsIsRefused) {
    auto r = check("app-adhoc", {Purpose::code_signing});
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.chain.empty());
    EXPECT_FALSE(check("installer-adhoc").ok);
    // Nor does the look-alike root become trusted by being offered as an
    // intermediate beside a genuine chain.
    auto leaf = cert("app-adhoc");
    auto adhoc_root = cert("adhoc-root");
    auto adhoc_ca = cert("adhoc-ca");
    auto real_ca = cert("devid-ca");
    EXPECT_FALSE(security::verify_chain(
                     leaf.get(), {adhoc_ca.get(), adhoc_root.get(), real_ca.get()}, anchors, {})
                     .ok);
    // A leaf without its intermediate cannot be chained.
    auto app = cert("app");
    EXPECT_FALSE(security::verify_chain(app.get(), {}, anchors, {}).ok);
}

TEST_F(SecurityTest, OnlyKnownCriticalExtensionsAreAccepted) {
    VerifyOptions strict;
    strict.accepted_critical_extensions.clear();
    auto r = check("installer", strict);
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.error.find("unhandled critical extension"), std::string::npos) << r.error;
    VerifyOptions only_app;
    only_app.accepted_critical_extensions = {"1.2.840.113635.100.6.1.13"};
    EXPECT_TRUE(check("app", only_app).ok);
    EXPECT_FALSE(check("installer", only_app).ok);
}

TEST_F(SecurityTest, MalformedInputGivesNothing) {
    EXPECT_FALSE(security::certificate_from_der({}));
    Bytes junk{0x30, 0x82, 0xff, 0xff, 0x01};
    EXPECT_FALSE(security::certificate_from_der(junk));
    EXPECT_FALSE(security::certificate_from_pem("-----BEGIN CERTIFICATE-----\nAAAA\n"));
    EXPECT_TRUE(security::certificates_from_pem("nothing here").empty());
    EXPECT_FALSE(security::private_key_from_pem("garbage"));
    std::string error;
    EXPECT_TRUE(security::certificates_from_file("/nonexistent/x.pem", &error).empty());
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(security::common_name(nullptr), std::nullopt);
    EXPECT_FALSE(security::verify_chain(nullptr, {}, anchors, {}).ok);
    EXPECT_EQ(ERR_peek_error(), 0u);
}

TEST_F(SecurityTest, CertificatesFromFileReadsPemBundlesAndDer) {
    EXPECT_EQ(security::certificates_from_file(kPki + "/installer-deep.chain.pem").size(), 3u);
    auto der = security::certificates_from_file(kPki + "/root.der");
    ASSERT_EQ(der.size(), 1u);
    EXPECT_EQ(security::common_name(der[0].get()), "Apple Root CA");
}

TEST_F(SecurityTest, DetachedCmsRoundTrip) {
    // Bytes that text-mode S/MIME processing would rewrite.
    const std::string text = "line\r\nline\nend\r\n\x00\xff";
    std::span<const uint8_t> content(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    auto cms = sign("app", content);
    ASSERT_TRUE(cms);

    auto before = std::time(nullptr);
    auto r = security::cms_verify_detached(*cms, content, anchors, {Purpose::code_signing});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.signer_count, 1u);
    EXPECT_EQ(security::common_name(r.signer.get()), kAppCN);
    ASSERT_EQ(r.chain.size(), 3u);
    EXPECT_EQ(r.stored.size(), 3u);  // leaf, intermediate, root as stored
    ASSERT_TRUE(r.signing_time);
    EXPECT_LE(std::llabs(static_cast<long long>(*r.signing_time - before)), 120);
}

TEST_F(SecurityTest, DetachedCmsRefusals) {
    const std::string text = "signed record";
    std::span<const uint8_t> content(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    auto cms = sign("app", content);
    ASSERT_TRUE(cms);

    // Other content.
    const std::string other = "signed recorD";
    auto r = security::cms_verify_detached(
        *cms,
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(other.data()), other.size()),
        anchors, {});
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.error.find("does not verify"), std::string::npos) << r.error;

    // A corrupted byte anywhere is handled without a crash; the stored copy of
    // the root may be damaged harmlessly (the anchor itself is used), but
    // every byte of the signer's signature value (the message's last 256
    // bytes with RSA 2048) matters.
    for (size_t i = 0; i < cms->size(); i += (i < cms->size() - 256 ? 5 : 1)) {
        Bytes bad = *cms;
        bad[i] ^= 0x41;
        bool ok = security::cms_verify_detached(bad, content, anchors, {}).ok;
        if (i >= cms->size() - 256) {
            EXPECT_FALSE(ok) << i << " of " << cms->size();
        }
    }
    // Truncations.
    for (size_t n : {size_t{0}, size_t{1}, cms->size() / 2, cms->size() - 1}) {
        Bytes cut(cms->begin(), cms->begin() + static_cast<long>(n));
        EXPECT_FALSE(security::cms_verify_detached(cut, content, anchors, {}).ok) << n;
    }
    // Trailing bytes.
    Bytes longer = *cms;
    longer.push_back(0);
    EXPECT_FALSE(security::cms_verify_detached(longer, content, anchors, {}).ok);

    // Signed by a certificate outside the anchors.
    auto adhoc = sign("app-adhoc", content);
    ASSERT_TRUE(adhoc);
    auto a = security::cms_verify_detached(*adhoc, content, anchors, {});
    EXPECT_FALSE(a.ok);
    EXPECT_NE(a.error.find("not trusted"), std::string::npos) << a.error;

    // Signed by an installer leaf, checked for code signing.
    auto inst = sign("installer", content);
    ASSERT_TRUE(inst);
    EXPECT_TRUE(security::cms_verify_detached(*inst, content, anchors, {}).ok);
    EXPECT_FALSE(
        security::cms_verify_detached(*inst, content, anchors, {Purpose::code_signing}).ok);

    // Expired signer: refused now, accepted at a date inside its validity.
    auto expired = sign("app-expired", content);
    ASSERT_TRUE(expired);
    EXPECT_FALSE(security::cms_verify_detached(*expired, content, anchors, {}).ok);
    EXPECT_TRUE(
        security::cms_verify_detached(*expired, content, anchors, {Purpose::any, utc(2020, 6, 1)})
            .ok);
    EXPECT_EQ(ERR_peek_error(), 0u);
}

TEST_F(SecurityTest, TwoSignersAreRefused) {
    const std::string text = "two";
    std::span<const uint8_t> content(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    auto app = cert("app");
    auto app_key = security::private_key_from_file(kPki + "/app.key.pem");
    auto other = cert("app-otherteam");
    auto other_key = security::private_key_from_file(kPki + "/app-otherteam.key.pem");
    security::BioPtr in(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
    security::CmsPtr cms(
        CMS_sign(nullptr, nullptr, nullptr, nullptr, CMS_DETACHED | CMS_BINARY | CMS_PARTIAL));
    ASSERT_TRUE(cms);
    ASSERT_TRUE(CMS_add1_signer(cms.get(), app.get(), app_key.get(), EVP_sha256(), CMS_BINARY));
    ASSERT_TRUE(CMS_add1_signer(cms.get(), other.get(), other_key.get(), EVP_sha256(), CMS_BINARY));
    ASSERT_EQ(CMS_final(cms.get(), in.get(), nullptr, CMS_DETACHED | CMS_BINARY), 1);
    unsigned char* der = nullptr;
    int n = i2d_CMS_ContentInfo(cms.get(), &der);
    ASSERT_GT(n, 0);
    Bytes bytes(der, der + n);
    OPENSSL_free(der);
    auto r = security::cms_verify_detached(bytes, content, anchors, {});
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.signer_count, 2u);
}

// A certificate with the anchor's name, key and extensions, signed with the
// anchor's key, that differs from it only in serial number and validity: a
// re-issued twin of the root, as someone holding an old copy might present it.
security::X509Ptr twin_of_root() {
    auto root = security::certificate_from_pem(xqtest::readFile(kPki + "/root.pem"));
    auto key = security::private_key_from_file(kPki + "/root.key.pem");
    security::X509Ptr twin(X509_new());
    EXPECT_TRUE(root && key && twin);
    if (!root || !key || !twin) {
        return nullptr;
    }
    X509_set_version(twin.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(twin.get()), 4242);
    X509_set_subject_name(twin.get(), X509_get_subject_name(root.get()));
    X509_set_issuer_name(twin.get(), X509_get_subject_name(root.get()));
    ASN1_TIME_set(X509_getm_notBefore(twin.get()), utc(2001, 1, 1));
    ASN1_TIME_set(X509_getm_notAfter(twin.get()), utc(2048, 1, 1));
    X509_set_pubkey(twin.get(), X509_get0_pubkey(root.get()));
    for (int i = 0; i < X509_get_ext_count(root.get()); ++i) {
        X509_add_ext(twin.get(), X509_get_ext(root.get(), i), -1);
    }
    EXPECT_GT(X509_sign(twin.get(), key.get(), EVP_sha256()), 0);
    return twin;
}

TEST_F(SecurityTest, ChainsEndAtTheAnchorItselfNeverAtANamesake) {
    auto root = cert("root");
    auto twin = twin_of_root();
    ASSERT_TRUE(twin);
    // Same name and key, other bytes: not an anchor, while the anchor parsed
    // from its PEM file (another object, the same bytes) is.
    EXPECT_FALSE(anchors.is_anchor(twin.get()));
    EXPECT_TRUE(anchors.is_anchor(root.get()));
    EXPECT_EQ(X509_NAME_cmp(X509_get_subject_name(twin.get()), X509_get_subject_name(root.get())),
              0);

    // The twin judged on its own is refused: it chains to nothing but a
    // namesake of an anchor.
    auto alone = security::verify_chain(twin.get(), {}, anchors, {});
    EXPECT_FALSE(alone.ok);
    EXPECT_NE(alone.verify_error, 0);
    EXPECT_TRUE(alone.chain.empty());

    // Offered as the top of a genuine chain, the twin is passed over: the
    // chain ends at the anchor's own bytes.
    auto app = cert("app");
    auto ca = cert("devid-ca");
    auto r =
        security::verify_chain(app.get(), {ca.get(), twin.get()}, anchors, {Purpose::code_signing});
    ASSERT_TRUE(r.ok) << r.error;
    ASSERT_EQ(r.chain.size(), 3u);
    EXPECT_EQ(security::certificate_der(r.chain.back().get()),
              security::trust_anchor_certificates()[0]);
}

TEST_F(SecurityTest, AnIntermediateAmongTheAnchorsDoesNotEndAChain) {
    const Bytes root_der = security::certificate_der(cert("root").get());
    const Bytes ca_der = security::certificate_der(cert("devid-ca").get());
    const security::TrustStore only_ca({ca_der});
    ASSERT_EQ(only_ca.anchors().size(), 1u);
    auto app = cert("app");
    auto ca = cert("devid-ca");
    auto root = cert("root");

    // The intermediate is found in the store, but a partial chain that stops
    // there is refused, with or without the root offered: once a chain has
    // reached the store, only the store may continue it.
    VerifyOptions keep;
    keep.keep_built_chain = true;
    auto partial = security::verify_chain(app.get(), {}, only_ca, keep);
    EXPECT_FALSE(partial.ok);
    EXPECT_EQ(partial.verify_error, X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT) << partial.error;
    EXPECT_TRUE(partial.chain.empty());
    // What was built still shows how far it got: the leaf and the stored
    // intermediate.
    ASSERT_EQ(partial.built.size(), 2u);
    EXPECT_EQ(security::certificate_der(partial.built[1].get()), ca_der);
    auto with_root = security::verify_chain(app.get(), {ca.get(), root.get()}, only_ca, {});
    EXPECT_FALSE(with_root.ok);
    EXPECT_EQ(with_root.verify_error, X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT) << with_root.error;

    // With the root among the anchors too, the chain goes on to the root.
    const security::TrustStore both({ca_der, root_der});
    auto full = security::verify_chain(app.get(), {}, both, {});
    ASSERT_TRUE(full.ok) << full.error;
    ASSERT_EQ(full.chain.size(), 3u);
    EXPECT_EQ(security::certificate_der(full.chain.back().get()), root_der);
    EXPECT_TRUE(full.built.empty());  // not asked for
    EXPECT_EQ(ERR_peek_error(), 0u);
}

TEST_F(SecurityTest, AChainIsJudgedByItsCarriedAnchorOrElseByEveryAnchor) {
    const Bytes root_der = security::certificate_der(cert("root").get());
    const Bytes adhoc_der = security::certificate_der(cert("adhoc-root").get());
    const security::TrustStore both({adhoc_der, root_der});
    auto app = cert("app");
    auto ca = cert("devid-ca");
    auto root = cert("root");
    auto adhoc = cert("adhoc-root");
    // Carrying its own root, or carrying another anchor that is not its root,
    // or no root at all: the chain ends at its root's bytes each time.
    for (const std::vector<X509*>& carried : std::vector<std::vector<X509*>>{
             {ca.get(), root.get()}, {ca.get(), adhoc.get()}, {ca.get()}}) {
        auto r = security::verify_chain(app.get(), carried, both, {Purpose::code_signing});
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(security::certificate_der(r.chain.back().get()), root_der);
    }
    // A carried root that is no anchor ends nothing.
    const security::TrustStore adhoc_only({adhoc_der});
    EXPECT_FALSE(security::verify_chain(app.get(), {ca.get(), root.get()}, adhoc_only, {}).ok);
    EXPECT_EQ(ERR_peek_error(), 0u);
}

TEST_F(SecurityTest, SharedAnchorStoreIsBuiltOncePerSetAndJudgesAlikeFromTwoThreads) {
    const auto& anchors_der = security::trust_anchor_certificates();
    const security::TrustStore& shared = security::TrustStore::shared(anchors_der);
    // Equal sets share one store, however they are passed; another set has
    // its own.
    const std::vector<Bytes> copy = anchors_der;
    EXPECT_EQ(&security::TrustStore::shared(copy), &shared);
    EXPECT_EQ(&security::trust_anchor_store(), &shared);
    const std::vector<Bytes> other{security::certificate_der(cert("adhoc-root").get())};
    const security::TrustStore& adhoc = security::TrustStore::shared(other);
    EXPECT_NE(&adhoc, &shared);
    EXPECT_EQ(&security::TrustStore::shared(other), &adhoc);

    struct Case {
        std::string leaf;
        const security::TrustStore* store;
        VerifyOptions options;
        bool expected;
    };
    const std::vector<Case> cases{
        {"app", &shared, {Purpose::code_signing}, true},
        {"app-adhoc", &shared, {Purpose::code_signing}, false},
        {"app-adhoc", &adhoc, {Purpose::code_signing}, true},
        {"app", &adhoc, {Purpose::code_signing}, false},
        {"installer-past", &shared, {Purpose::any, utc(2020, 6, 1)}, true},
        {"installer-past", &shared, {}, false},
        {"tsa", &shared, {Purpose::time_stamping}, true},
        {"installer", &shared, {Purpose::code_signing}, false},
    };
    struct Input {
        security::X509Ptr leaf;
        std::vector<security::X509Ptr> chain;
    };
    std::vector<Input> inputs;
    for (const Case& c : cases) {
        inputs.push_back({cert(c.leaf), chain_of(c.leaf)});
    }
    // Each thread judges every case many times over, interleaved with the
    // other, on the one shared store.
    auto judge = [&](std::vector<int>* wrong) {
        for (int round = 0; round < 40; ++round) {
            for (size_t i = 0; i < cases.size(); ++i) {
                auto r = security::verify_chain(inputs[i].leaf.get(), raw(inputs[i].chain),
                                                *cases[i].store, cases[i].options);
                if (r.ok != cases[i].expected) {
                    wrong->push_back(static_cast<int>(i));
                }
            }
        }
    };
    std::vector<int> wrong_a, wrong_b;
    std::thread a(judge, &wrong_a);
    std::thread b(judge, &wrong_b);
    a.join();
    b.join();
    EXPECT_TRUE(wrong_a.empty()) << "first wrong case: " << wrong_a.front();
    EXPECT_TRUE(wrong_b.empty()) << "first wrong case: " << wrong_b.front();
}

TEST_F(SecurityTest, EmptyContentIsSignedAndVerifiedLikeAnyOther) {
    const std::span<const uint8_t> empty;
    auto cms = sign("app", empty);
    ASSERT_TRUE(cms);
    auto r = security::cms_verify_detached(*cms, empty, anchors, {Purpose::code_signing});
    EXPECT_TRUE(r.ok) << r.error;
    const uint8_t one = 0;
    EXPECT_FALSE(
        security::cms_verify_detached(*cms, std::span<const uint8_t>(&one, 1), anchors, {}).ok);
    // A message without a time-stamp token says so.
    auto parsed = security::cms_from_der(*cms);
    ASSERT_TRUE(parsed);
    CMS_SignerInfo* si = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(parsed.get()), 0);
    EXPECT_EQ(security::cms_signer_timestamp(si, anchors).status,
              security::TimestampStatus::missing);
}

}  // namespace
