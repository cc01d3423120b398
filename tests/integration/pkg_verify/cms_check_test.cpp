// The CMS check, the package tool check and the entry over packages signed at
// test time with the test PKI (the test root is the compiled-in anchor; the
// package tool is the test build of the stand-in).
#include <gtest/gtest.h>
#include <openssl/err.h>

#include <ctime>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "codesign_verify/pkg_verify/pkg_verify.h"
#include "platform/security/anchors.h"
#include "platform/security/security.h"
#include "tests/integration/pkg_verify/log_capture.h"
#include "tests/integration/pkg_verify/test_packages.h"
#include "tests/support/harness.h"

namespace {

using namespace pkg_verify_test;
using Messages = std::vector<std::string>;

class CmsCheck : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { factory = new PackageFactory(); }
    static void TearDownTestSuite() {
        delete factory;
        factory = nullptr;
    }

    bool cms(const std::string& path) {
        return pkg_verify::check_installer_authority_by_cms(path, kTeam, kAuthority,
                                                            log.callback());
    }
    static std::string summary(const std::string& path) {
        return "Error! get installer cert chain failed, pkgPath=" + path +
               ", teamIdentifier=T3MQ8VX2LC, installerAuthority=" + kAuthority;
    }
    static std::string tail(const std::string& path) {
        return ", pkgPath=" + path +
               ", teamIdentifier=T3MQ8VX2LC, installerAuthority=" + kAuthority;
    }

    static PackageFactory* factory;
    LogCapture log;
};
PackageFactory* CmsCheck::factory = nullptr;

TEST_F(CmsCheck, GoodPackagePassesSilentlyWithItsChainAndDate) {
    // The RSA entry comes first in the table of contents: the CMS one is used.
    const std::string good = factory->sign("good.pkg");
    EXPECT_TRUE(cms(good));
    EXPECT_EQ(log.messages(), Messages{});

    std::vector<security::Certificate> chain;
    pkg_verify::AbsoluteTime date = 0;
    ASSERT_TRUE(pkg_verify::get_installer_cert_chain(good, chain, date, log.callback()));
    ASSERT_EQ(chain.size(), 3u);
    EXPECT_EQ(chain[0].copyCommonName(), kAuthority);
    EXPECT_EQ(chain[2].copyCommonName(), "Apple Root CA");
    const double now = static_cast<double>(std::time(nullptr)) - 978307200.0;
    EXPECT_NEAR(date, now, 600);
}

TEST_F(CmsCheck, ArchiveThatDoesNotOpen) {
    const std::string junk = factory->dir() + "/junk.pkg";
    write_bytes(junk, std::vector<uint8_t>(100, 'x'));
    EXPECT_FALSE(cms(junk));
    EXPECT_EQ(log.messages(), (Messages{"Error! xar open pkg failed", summary(junk)}));
    const std::string missing = factory->dir() + "/missing.pkg";
    EXPECT_FALSE(cms(missing));
    EXPECT_EQ(log.messages(), (Messages{"Error! xar open pkg failed", summary(missing)}));
}

TEST_F(CmsCheck, NoCmsSignatureEntry) {
    EXPECT_FALSE(cms(factory->unsignedPackage()));
    EXPECT_EQ(log.messages(),
              (Messages{"Error! signature is null", summary(factory->unsignedPackage())}));
    const std::string rsaOnly = factory->sign("rsa-only.pkg", {"--signatures", "RSA"});
    EXPECT_FALSE(cms(rsaOnly));
    EXPECT_EQ(log.messages(), (Messages{"Error! signature is null", summary(rsaOnly)}));
}

TEST_F(CmsCheck, SignedDataThatIsNotSha1) {
    const std::string sha256 = factory->sign("sha256.pkg", {"--toc-checksum", "sha256"});
    EXPECT_FALSE(cms(sha256));
    EXPECT_EQ(log.messages(), (Messages{"Error! length != 20. length=32", summary(sha256)}));
}

TEST_F(CmsCheck, NoStoredCertificates) {
    const std::string none = factory->sign("no-certs.pkg", {"--stored-certs", ""});
    EXPECT_FALSE(cms(none));
    EXPECT_EQ(log.messages(), (Messages{"Error! cert_count is 0", summary(none)}));
}

TEST_F(CmsCheck, SignatureBytesThatAreNotCms) {
    const std::string good = factory->sign("to-break.pkg");
    std::vector<uint8_t> bytes = xqtest::readBytes(good);
    bytes.at(heap_offset(bytes) + kCmsHeapOffset) = 0x04;  // no longer a SEQUENCE
    const std::string broken = factory->dir() + "/not-cms.pkg";
    write_bytes(broken, bytes);
    EXPECT_FALSE(cms(broken));
    EXPECT_EQ(log.messages(),
              (Messages{"Error! decoder finalize message failed", summary(broken)}));
}

TEST_F(CmsCheck, TwoSigners) {
    const std::string two = factory->sign("two-signers.pkg", {"--second-leaf", "app"});
    EXPECT_FALSE(cms(two));
    EXPECT_EQ(log.messages(),
              (Messages{"Error! get num signers failed, osErr=0, signerCount=2", summary(two)}));
}

TEST_F(CmsCheck, SignerStatus) {
    // A look-alike hierarchy outside the anchors.
    const std::string adhoc = factory->sign("adhoc.pkg", {"--leaf", "installer-adhoc"});
    EXPECT_FALSE(cms(adhoc));
    EXPECT_EQ(
        log.messages(),
        (Messages{"Error! copy signers status failed, osErr=0, signerStatus=4", summary(adhoc)}));

    // A genuine signature by the same leaf over another package's table of
    // contents (its stored list differs, so its checksum does).
    const std::string other = factory->sign("other.pkg");
    std::vector<uint8_t> donor = xqtest::readBytes(
        factory->sign("donor.pkg", {"--stored-certs", "installer,devid-ca,root,extra-ca"}));
    std::vector<uint8_t> target = xqtest::readBytes(other);
    const size_t from = heap_offset(donor) + kCmsHeapOffset;
    const size_t to = heap_offset(target) + kCmsHeapOffset;
    ASSERT_LE(from + kCmsSlotSize, donor.size());
    ASSERT_LE(to + kCmsSlotSize, target.size());
    std::copy(donor.begin() + static_cast<long>(from),
              donor.begin() + static_cast<long>(from + kCmsSlotSize),
              target.begin() + static_cast<long>(to));
    const std::string swapped = factory->dir() + "/swapped.pkg";
    write_bytes(swapped, target);
    EXPECT_FALSE(cms(swapped));
    EXPECT_EQ(
        log.messages(),
        (Messages{"Error! copy signers status failed, osErr=0, signerStatus=3", summary(swapped)}));

    // Expired leaf, signing-time attribute now: judged now, so invalid.
    const std::string pastNow = factory->sign("past-now.pkg", {"--leaf", "installer-past"});
    EXPECT_FALSE(cms(pastNow));
    EXPECT_EQ(
        log.messages(),
        (Messages{"Error! copy signers status failed, osErr=0, signerStatus=4", summary(pastNow)}));
}

TEST_F(CmsCheck, FirstStoredCertificateMustBeTheSigners) {
    // Another valid certificate of the maker first in the stored list.
    const std::string swapped =
        factory->sign("stored-app.pkg", {"--stored-certs", "app,devid-ca,root"});
    EXPECT_FALSE(cms(swapped));
    EXPECT_EQ(log.messages(), (Messages{"Error! data not equal", summary(swapped)}));
}

TEST_F(CmsCheck, TimeStamp) {
    const std::string none = factory->sign("no-timestamp.pkg", {"--no-timestamp"});
    EXPECT_FALSE(cms(none));
    EXPECT_EQ(log.messages(),
              (Messages{"Error! copy signers timestamp failed, osErr=-67831, timeStamp=0.000000",
                        summary(none)}));
    // A token issued before its authority's certificate was valid.
    const std::string wrongTsa =
        factory->sign("early-tsa.pkg", {"--timestamp-time", "1999-06-01T00:00:00Z"});
    EXPECT_FALSE(cms(wrongTsa));
    EXPECT_EQ(log.messages(),
              (Messages{"Error! copy signers timestamp failed, osErr=-67833, timeStamp=0.000000",
                        summary(wrongTsa)}));
}

// The engine's time-stamp check on the tokens xqpkg attaches: the token's
// authority must chain to the given anchors as of the token's time, and the
// token's imprint must cover this signer's own signature value.
TEST_F(CmsCheck, TimeStampTokenBelongsToItsSignatureAndAnchors) {
    auto signer_info_of = [](const std::string& pkg) {
        const std::vector<uint8_t> bytes = xqtest::readBytes(pkg);
        const size_t at = heap_offset(bytes) + kCmsHeapOffset;
        // The slot is larger than the message: zero padding follows it.
        security::CmsPtr cms =
            security::cms_from_der(std::span<const uint8_t>(bytes).subspan(at, kCmsSlotSize),
                                   security::TrailingBytes::ignore);
        EXPECT_TRUE(cms) << pkg;
        return cms;
    };
    const std::string a = factory->sign(
        "stamp-a.pkg",
        {"--signing-time", "2030-01-01T00:00:00Z", "--timestamp-time", "2030-01-02T03:04:05Z"});
    const std::string b = factory->sign("stamp-b.pkg", {"--signing-time", "2031-01-01T00:00:00Z"});
    security::CmsPtr cmsA = signer_info_of(a);
    security::CmsPtr cmsB = signer_info_of(b);
    ASSERT_TRUE(cmsA && cmsB);
    CMS_SignerInfo* siA = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cmsA.get()), 0);
    CMS_SignerInfo* siB = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cmsB.get()), 0);
    ASSERT_TRUE(siA && siB);

    const security::TimestampResult good =
        security::cms_signer_timestamp(siA, security::trust_anchor_store());
    ASSERT_EQ(good.status, security::TimestampStatus::ok);
    EXPECT_EQ(good.time, 1893553445);  // 2030-01-02T03:04:05Z
    EXPECT_EQ(security::cms_signer_timestamp(siB, security::trust_anchor_store()).status,
              security::TimestampStatus::ok);

    // Other anchors: the look-alike root with the genuine root's name.
    const std::vector<security::Bytes> lookAlike{security::certificate_der(
        security::certificates_from_file(std::string(XQ_TESTPKI_DIR) + "/adhoc-root.der")
            .at(0)
            .get())};
    EXPECT_EQ(security::cms_signer_timestamp(siA, security::TrustStore::shared(lookAlike)).status,
              security::TimestampStatus::not_trusted);

    // A's token moved onto B's signer: a genuine token, over another
    // signature.
    const int idxA = CMS_unsigned_get_attr_by_NID(siA, NID_id_smime_aa_timeStampToken, -1);
    const int idxB = CMS_unsigned_get_attr_by_NID(siB, NID_id_smime_aa_timeStampToken, -1);
    ASSERT_GE(idxA, 0);
    ASSERT_GE(idxB, 0);
    X509_ATTRIBUTE_free(CMS_unsigned_delete_attr(siB, idxB));
    ASSERT_EQ(CMS_unsigned_add1_attr(siB, CMS_unsigned_get_attr(siA, idxA)), 1);
    EXPECT_EQ(security::cms_signer_timestamp(siB, security::trust_anchor_store()).status,
              security::TimestampStatus::not_trusted);

    // A token attribute that holds no token; then none at all.
    X509_ATTRIBUTE_free(CMS_unsigned_delete_attr(siB, 0));
    const unsigned char notToken[] = {0x02, 0x01, 0x05};
    ASSERT_EQ(CMS_unsigned_add1_attr_by_NID(siB, NID_id_smime_aa_timeStampToken, V_ASN1_INTEGER,
                                            notToken, sizeof notToken),
              1);
    EXPECT_EQ(security::cms_signer_timestamp(siB, security::trust_anchor_store()).status,
              security::TimestampStatus::invalid);
    X509_ATTRIBUTE_free(CMS_unsigned_delete_attr(siB, 0));
    EXPECT_EQ(security::cms_signer_timestamp(siB, security::trust_anchor_store()).status,
              security::TimestampStatus::missing);
    EXPECT_EQ(ERR_peek_error(), 0u);
}

TEST_F(CmsCheck, TrustOfTheStoredListAtTheSigningDate) {
    // Expired since signing: signed and time-stamped while it was valid.
    const std::string past = factory->sign(
        "past.pkg", {"--leaf", "installer-past", "--signing-time", "2020-06-01T00:00:00Z",
                     "--timestamp-time", "2020-06-01T00:00:00Z"});
    EXPECT_TRUE(cms(past));
    EXPECT_EQ(log.messages(), Messages{});

    // Signing-time attribute inside the validity, time-stamp after it: the
    // signer status passes, the list's evaluation at the time-stamp does not.
    const std::string late =
        factory->sign("past-late-stamp.pkg",
                      {"--leaf", "installer-past", "--signing-time", "2020-06-01T00:00:00Z",
                       "--timestamp-time", "2026-01-01T00:00:00Z"});
    EXPECT_FALSE(cms(late));
    ASSERT_EQ(log.messages().size(), 1u);
    EXPECT_EQ(log.messages()[0].rfind("Error! 10.14 or above evaluate trust failed, error=", 0),
              0u);
    EXPECT_NE(log.messages()[0].find("certificate has expired"), std::string::npos);
    EXPECT_TRUE(log.messages()[0].ends_with(tail(late)));

    // Another team: the policy's team identifier refuses it.
    const std::string other = factory->sign("otherteam.pkg", {"--leaf", "installer-otherteam"});
    EXPECT_FALSE(cms(other));
    ASSERT_EQ(log.messages().size(), 1u);
    EXPECT_EQ(log.messages()[0].rfind("Error! 10.14 or above evaluate trust failed, error=", 0),
              0u);
    EXPECT_NE(log.messages()[0].find("team identifier T3MQ8VX2LC"), std::string::npos);
    EXPECT_TRUE(log.messages()[0].ends_with(tail(other)));

    // A stored list whose authorities are look-alikes outside the anchors.
    const std::string lookAlike =
        factory->sign("look-alike-list.pkg", {"--stored-certs", "installer,adhoc-ca,adhoc-root"});
    EXPECT_FALSE(cms(lookAlike));
    ASSERT_EQ(log.messages().size(), 1u);
    EXPECT_EQ(log.messages()[0].rfind("Error! 10.14 or above evaluate trust failed, error=", 0),
              0u);
    EXPECT_TRUE(log.messages()[0].ends_with(tail(lookAlike)));
}

TEST_F(CmsCheck, RootNameComesFromTheLastStoredEntry) {
    // Without the root in the list, the chain still builds to the anchor, but
    // the last stored entry is the intermediate.
    const std::string noRoot =
        factory->sign("no-root.pkg", {"--stored-certs", "installer,devid-ca"});
    EXPECT_FALSE(cms(noRoot));
    EXPECT_EQ(log.messages(),
              Messages{"Error! compare with Apple Root CA failed, common_name=Developer ID "
                       "Certification Authority" +
                       tail(noRoot)});
    // Four entries: all go to the trust object; the fourth is compared.
    const std::string four =
        factory->sign("four-extra.pkg", {"--stored-certs", "installer,devid-ca,root,extra-ca"});
    EXPECT_FALSE(cms(four));
    EXPECT_EQ(log.messages(),
              Messages{"Error! compare with Apple Root CA failed, common_name=Developer ID "
                       "Certification Authority 2" +
                       tail(four)});
}

TEST_F(CmsCheck, FourCertificateChainPasses) {
    const std::string deep = factory->sign("deep.pkg", {"--leaf", "installer-deep"});
    EXPECT_TRUE(cms(deep));
    EXPECT_EQ(log.messages(), Messages{});
    std::vector<security::Certificate> chain;
    pkg_verify::AbsoluteTime date = 0;
    ASSERT_TRUE(pkg_verify::get_installer_cert_chain(deep, chain, date, log.callback()));
    ASSERT_EQ(chain.size(), 4u);
    EXPECT_EQ(chain[1].copyCommonName(), "Developer ID Certification Authority 2");
    EXPECT_EQ(chain[3].copyCommonName(), "Apple Root CA");
}

TEST_F(CmsCheck, LeafNameMustEqualTheAuthorityExactly) {
    const std::string oneChar = factory->sign("onechar.pkg", {"--leaf", "installer-onechar"});
    EXPECT_FALSE(cms(oneChar));
    EXPECT_EQ(log.messages(),
              Messages{"Error! compare with installerAuthority failed, common_name=Developer ID "
                       "Installer: Pelk Labs, Inc, (T3MQ8VX2LC)" +
                       tail(oneChar)});
    const std::string cased = factory->sign("case.pkg", {"--leaf", "installer-case"});
    EXPECT_FALSE(cms(cased));
    EXPECT_EQ(log.messages(),
              Messages{"Error! compare with installerAuthority failed, common_name=Developer ID "
                       "Installer: Pelk labs, Inc. (T3MQ8VX2LC)" +
                       tail(cased)});
    // The authority passed in with a trailing space is not the leaf's name.
    const std::string good = factory->sign("good-2.pkg");
    EXPECT_FALSE(pkg_verify::check_installer_authority_by_cms(good, kTeam, kAuthority + " ",
                                                              log.callback()));
    ASSERT_EQ(log.messages().size(), 1u);
    EXPECT_EQ(log.messages()[0].rfind("Error! compare with installerAuthority failed", 0), 0u);
}

TEST_F(CmsCheck, NullCallbackChangesNothing) {
    EXPECT_TRUE(pkg_verify::check_installer_authority_by_cms(factory->sign("good-3.pkg"), kTeam,
                                                             kAuthority, nullptr));
    EXPECT_FALSE(pkg_verify::check_installer_authority_by_cms(factory->unsignedPackage(), kTeam,
                                                              kAuthority, nullptr));
}

// ---- The package tool check with the stand-in ------------------------------

class PkgutilCheck : public CmsCheck {
  protected:
    bool tool(const std::string& path) {
        return pkg_verify::check_installer_authority_by_pkgutil(path, kAuthority, log.callback());
    }
};

TEST_F(PkgutilCheck, GoodPackageLogsTheReportThenTheResult) {
    const std::string good = factory->sign("tool-good.pkg");
    EXPECT_TRUE(tool(good));
    ASSERT_EQ(log.messages().size(), 2u);
    EXPECT_EQ(log.messages()[0].rfind("Package \"tool-good.pkg\":\n   Status: signed by a "
                                      "developer certificate issued by Apple for distribution\n",
                                      0),
              0u);
    EXPECT_NE(log.messages()[0].find("    1. " + kAuthority + "\n"), std::string::npos);
    EXPECT_EQ(log.messages()[1], "result = 1");
}

// The two checks judge a signer at different times. A signature without
// signed attributes has no signing time: the CMS check judges its signer
// status now, as the original platform does, so a leaf that has expired since
// is refused there even though a time-stamp from inside its validity is
// attached; the package tool judges the leaf at the time-stamp and trusts it.
// The package is refused as a whole.
TEST_F(PkgutilCheck, SignerStatusWithoutSigningTimeIsJudgedNowByTheCmsCheckOnly) {
    const std::string pkg =
        factory->sign("noattr-past.pkg", {"--leaf", "installer-past", "--no-signed-attributes",
                                          "--timestamp-time", "2020-06-01T00:00:00Z"});
    {
        const std::vector<uint8_t> bytes = xqtest::readBytes(pkg);
        security::CmsPtr message =
            security::cms_from_der(std::span<const uint8_t>(bytes).subspan(
                                       heap_offset(bytes) + kCmsHeapOffset, kCmsSlotSize),
                                   security::TrailingBytes::ignore);
        ASSERT_TRUE(message);
        CMS_SignerInfo* si = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(message.get()), 0);
        ASSERT_NE(si, nullptr);
        EXPECT_LE(CMS_signed_get_attr_count(si), 0) << "no signed attributes";
        EXPECT_GE(CMS_unsigned_get_attr_by_NID(si, NID_id_smime_aa_timeStampToken, -1), 0);
    }
    EXPECT_FALSE(cms(pkg));
    EXPECT_EQ(
        log.messages(),
        (Messages{"Error! copy signers status failed, osErr=0, signerStatus=4", summary(pkg)}));

    EXPECT_TRUE(tool(pkg));
    ASSERT_EQ(log.messages().size(), 2u);
    EXPECT_EQ(log.messages()[0].rfind("Package \"noattr-past.pkg\":\n   Status: signed by a "
                                      "developer certificate issued by Apple for distribution\n"
                                      "   Signed with a trusted timestamp on: 2020-06-01 00:00:00 "
                                      "+0000\n",
                                      0),
              0u)
        << log.messages()[0];
    EXPECT_EQ(log.messages()[1], "result = 1");
    EXPECT_FALSE(is_pkg_codesign_valid(pkg.c_str(), nullptr));

    // The same signature by a leaf valid now passes the CMS check: the
    // refusal above is the leaf's expiry, not the missing attributes.
    const std::string fresh = factory->sign("noattr-good.pkg", {"--no-signed-attributes"});
    EXPECT_TRUE(cms(fresh));
    EXPECT_EQ(log.messages(), Messages{});
    EXPECT_TRUE(is_pkg_codesign_valid(fresh.c_str(), nullptr));
}

TEST_F(PkgutilCheck, PathsRefusedSilently) {
    const std::string good = factory->sign("tool-suffix.pkg");
    for (const char* name : {"tool-suffix.PKG", "tool-suffix.pkg ", "tool-suffix"}) {
        const std::string copy = factory->dir() + "/" + std::string(name);
        std::filesystem::copy_file(good, copy, std::filesystem::copy_options::overwrite_existing);
        EXPECT_FALSE(tool(copy)) << name;
        EXPECT_EQ(log.messages(), Messages{}) << name;
    }
    EXPECT_FALSE(tool(""));
    EXPECT_EQ(log.messages(), Messages{});
    EXPECT_FALSE(tool(factory->dir() + "/absent.pkg"));
    EXPECT_EQ(log.messages(), Messages{});
}

TEST_F(PkgutilCheck, ToolFailureLogsOnlyThat) {
    EXPECT_FALSE(tool(factory->unsignedPackage()));
    EXPECT_EQ(log.messages(), Messages{"Error! Task failed."});
    const std::string adhoc = factory->sign("tool-adhoc.pkg", {"--leaf", "installer-adhoc"});
    EXPECT_FALSE(tool(adhoc));
    EXPECT_EQ(log.messages(), Messages{"Error! Task failed."});
}

TEST_F(PkgutilCheck, ChainBuiltByTheToolIsJudged) {
    // Four certificates in the chain the tool builds: rule 1.
    const std::string deep = factory->sign("tool-deep.pkg", {"--leaf", "installer-deep"});
    EXPECT_FALSE(tool(deep));
    ASSERT_EQ(log.messages().size(), 3u);
    EXPECT_EQ(log.messages()[1], "Error! number not match");
    EXPECT_EQ(log.messages()[2], "result = 0");
    // Another company's leaf: rule 2.
    const std::string other = factory->sign("tool-other.pkg", {"--leaf", "installer-otherteam"});
    EXPECT_FALSE(tool(other));
    ASSERT_EQ(log.messages().size(), 3u);
    EXPECT_EQ(log.messages()[1], "Error! not match pelk signature");
    // The stored list is not what the tool reports: a list naming the maker
    // first, over a signature by another team, still fails rule 2.
    const std::string mixed = factory->sign(
        "tool-mixed.pkg",
        {"--leaf", "installer-otherteam", "--stored-certs", "installer,devid-ca,root"});
    EXPECT_FALSE(tool(mixed));
    ASSERT_EQ(log.messages().size(), 3u);
    EXPECT_EQ(log.messages()[1], "Error! not match pelk signature");
}

TEST_F(PkgutilCheck, CraftedFileNamesCannotForgeTheReport) {
    const std::string other = factory->sign("forge-src.pkg", {"--leaf", "installer-otherteam"});
    const std::vector<std::string> names = {
        // A newline and the maker's certificate line in the name.
        "x\n    1. " + kAuthority +
            "\n    2. Developer ID Certification Authority\n    3. Apple "
            "Root CA\ny.pkg",
        // Unicode line separators, which ICU's "^" and "$" honour.
        "x\u2028    1. " + kAuthority + "\u2028y.pkg",
        "x\u2029    1. " + kAuthority + "\u0085y.pkg",
        "x\r    1. " + kAuthority + "\ry.pkg",
        // The authority's name alone.
        "1. " + kAuthority + ".pkg",
    };
    for (const std::string& name : names) {
        const std::string path = factory->dir() + "/" + name;
        std::filesystem::copy_file(other, path, std::filesystem::copy_options::overwrite_existing);
        EXPECT_FALSE(tool(path)) << name;
        ASSERT_FALSE(log.messages().empty());
        EXPECT_EQ(log.messages().back(), "result = 0") << name;
        // The whole check refuses it too.
        EXPECT_FALSE(is_pkg_codesign_valid(path.c_str(), nullptr)) << name;
    }
    // A directory whose name forges lines: only the base name is shown.
    const std::string forgingDir = factory->dir() + "/d\n    1. " + kAuthority +
                                   "\n    2. Developer ID Certification Authority";
    std::filesystem::create_directories(forgingDir);
    const std::string inDir = forgingDir + "/p.pkg";
    std::filesystem::copy_file(other, inDir, std::filesystem::copy_options::overwrite_existing);
    EXPECT_FALSE(tool(inDir));
    ASSERT_FALSE(log.messages().empty());
    EXPECT_EQ(log.messages().front().rfind("Package \"p.pkg\":\n", 0), 0u);
}

// ---- Both checks through the entry -------------------------------------------

class Entry : public CmsCheck {};

TEST_F(Entry, MissingPathRunsNeitherCheck) {
    EXPECT_FALSE(is_pkg_codesign_valid(nullptr, log.callback()));
    EXPECT_EQ(log.messages(), Messages{"Error! file not exist at path (null)"});
    const std::string missing = factory->dir() + "/nothing-here.pkg";
    EXPECT_FALSE(is_pkg_codesign_valid(missing.c_str(), log.callback()));
    EXPECT_EQ(log.messages(), Messages{"Error! file not exist at path " + missing});
    EXPECT_FALSE(is_pkg_codesign_valid("", log.callback()));
    EXPECT_EQ(log.messages(), Messages{"Error! file not exist at path "});
}

TEST_F(Entry, AcceptedPackageLogsOnlyTheToolReport) {
    const std::string good = factory->sign("entry-good.pkg");
    EXPECT_TRUE(is_pkg_codesign_valid(good.c_str(), log.callback()));
    ASSERT_EQ(log.messages().size(), 2u);
    EXPECT_EQ(log.messages()[0].rfind("Package \"entry-good.pkg\":", 0), 0u);
    EXPECT_EQ(log.messages()[1], "result = 1");
}

TEST_F(Entry, BothMustAccept) {
    // CMS refuses (another team), tool refuses: CMS messages first.
    const std::string other = factory->sign("entry-other.pkg", {"--leaf", "installer-otherteam"});
    EXPECT_FALSE(is_pkg_codesign_valid(other.c_str(), log.callback()));
    ASSERT_EQ(log.messages().size(), 4u);
    EXPECT_EQ(log.messages()[0].rfind("Error! 10.14 or above evaluate trust failed", 0), 0u);
    EXPECT_EQ(log.messages()[1].rfind("Package \"entry-other.pkg\":", 0), 0u);
    EXPECT_EQ(log.messages()[2], "Error! not match pelk signature");
    EXPECT_EQ(log.messages()[3], "result = 0");

    // CMS refuses (stored list), tool accepts.
    const std::string stored =
        factory->sign("entry-stored.pkg", {"--stored-certs", "app,devid-ca,root"});
    EXPECT_FALSE(is_pkg_codesign_valid(stored.c_str(), log.callback()));
    ASSERT_EQ(log.messages().size(), 4u);
    EXPECT_EQ(log.messages()[0], "Error! data not equal");
    EXPECT_EQ(log.messages()[1], summary(stored));
    EXPECT_EQ(log.messages()[3], "result = 1");

    // CMS accepts, tool refuses (four certificates in its chain).
    const std::string deep = factory->sign("entry-deep.pkg", {"--leaf", "installer-deep"});
    EXPECT_FALSE(is_pkg_codesign_valid(deep.c_str(), log.callback()));
    ASSERT_EQ(log.messages().size(), 3u);
    EXPECT_EQ(log.messages()[1], "Error! number not match");

    // A genuine package whose name does not end in ".pkg": CMS passes
    // silently, the tool check refuses silently.
    const std::string bin = factory->dir() + "/entry-good.bin";
    std::filesystem::copy_file(factory->sign("entry-good-2.pkg"), bin,
                               std::filesystem::copy_options::overwrite_existing);
    EXPECT_FALSE(is_pkg_codesign_valid(bin.c_str(), log.callback()));
    EXPECT_EQ(log.messages(), Messages{});
}

TEST_F(Entry, ChecksOnSeveralThreadsAtOnceKeepTheirOwnVerdicts) {
    const std::string good = factory->sign("threads-good.pkg");
    const std::string other = factory->sign("threads-other.pkg", {"--leaf", "installer-otherteam"});
    constexpr int kThreads = 4;
    constexpr int kRounds = 5;
    std::vector<int> wrong(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            LogCapture own;  // one sink per thread
            for (int i = 0; i < kRounds; ++i) {
                const bool expectGood = (t + i) % 2 == 0;
                const std::string& pkg = expectGood ? good : other;
                if (is_pkg_codesign_valid(pkg.c_str(), own.callback()) != expectGood ||
                    own.messages().empty() ||
                    own.messages().back() != (expectGood ? "result = 1" : "result = 0")) {
                    ++wrong[static_cast<size_t>(t)];
                }
            }
        });
    }
    for (std::thread& th : threads) {
        th.join();
    }
    EXPECT_EQ(wrong, std::vector<int>(kThreads, 0));
}

}  // namespace
