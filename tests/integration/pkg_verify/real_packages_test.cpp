// Packages that this project did not make, signed under the original
// platform's roots: the CMS check with the shipped anchors compiled in.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "codesign_verify/pkg_verify/pkg_verify.h"
#include "platform/process/process.h"
#include "tests/integration/pkg_verify/log_capture.h"

namespace {

using pkg_verify_test::LogCapture;

const std::string kDir = std::string(XQ_SHARED_DIR) + "/fixtures/real-packages/";
const std::string kKarabiner = kDir + "Karabiner-DriverKit-VirtualHIDDevice-7.3.0.pkg";
const std::string kFleet = kDir + "fleet_not-distribution-signed.pkg";
const std::string kSigmatizm = kDir + "Sigmatizm.pkg";
const std::string kMakerTeam = "T3MQ8VX2LC";
const std::string kMakerAuthority = "Developer ID Installer: Pelk Labs, Inc. (T3MQ8VX2LC)";

class RealPackages : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::access(kKarabiner.c_str(), R_OK) != 0) {
            GTEST_SKIP() << "real package fixtures absent at " << kDir;
        }
    }
    LogCapture log;
};

TEST_F(RealPackages, ValidDeveloperIdPackagesAreAcceptedSilently) {
    EXPECT_TRUE(pkg_verify::check_installer_authority_by_cms(
        kKarabiner, "G43BCU2T37", "Developer ID Installer: Fumihiko Takayama (G43BCU2T37)",
        log.callback()));
    EXPECT_EQ(log.messages(), std::vector<std::string>{});
    // Its leaf expired after it was signed: judged at the signing date.
    EXPECT_TRUE(pkg_verify::check_installer_authority_by_cms(
        kFleet, "8VBZ3948LU", "Developer ID Installer: Fleet Device Management Inc (8VBZ3948LU)",
        log.callback()));
    EXPECT_EQ(log.messages(), std::vector<std::string>{});
}

TEST_F(RealPackages, ChainAndSigningDateComeFromTheArchive) {
    std::vector<security::Certificate> chain;
    pkg_verify::AbsoluteTime date = 0;
    ASSERT_TRUE(pkg_verify::get_installer_cert_chain(kFleet, chain, date, log.callback()));
    ASSERT_EQ(chain.size(), 3u);
    EXPECT_EQ(chain[0].copyCommonName(),
              "Developer ID Installer: Fleet Device Management Inc (8VBZ3948LU)");
    EXPECT_EQ(chain[1].copyCommonName(), "Developer ID Certification Authority");
    EXPECT_EQ(chain[2].copyCommonName(), "Apple Root CA");
    // The time-stamp of 2025-05-05 (UTC), in seconds since 2001-01-01.
    const double may5 = 1746403200.0 - 978307200.0;
    EXPECT_GE(date, may5);
    EXPECT_LT(date, may5 + 86400);
}

TEST_F(RealPackages, MacAppStorePackageIsRefusedAtTheSignerStatus) {
    EXPECT_FALSE(pkg_verify::check_installer_authority_by_cms(
        kSigmatizm, "G6PFF85X2R", "3rd Party Mac Developer Installer: Jason Champion (G6PFF85X2R)",
        log.callback()));
    EXPECT_EQ(log.messages(),
              (std::vector<std::string>{
                  "Error! copy signers status failed, osErr=0, signerStatus=4",
                  "Error! get installer cert chain failed, pkgPath=" + kSigmatizm +
                      ", teamIdentifier=G6PFF85X2R, installerAuthority=3rd Party Mac Developer "
                      "Installer: Jason Champion (G6PFF85X2R)"}));
}

TEST_F(RealPackages, MakersAuthorityRefusesThemAtTheLeafName) {
    EXPECT_FALSE(pkg_verify::check_installer_authority_by_cms(kKarabiner, "G43BCU2T37",
                                                              kMakerAuthority, log.callback()));
    EXPECT_EQ(
        log.messages(),
        std::vector<std::string>{
            "Error! compare with installerAuthority failed, common_name=Developer ID "
            "Installer: Fumihiko Takayama (G43BCU2T37), pkgPath=" +
            kKarabiner + ", teamIdentifier=G43BCU2T37, installerAuthority=" + kMakerAuthority});
    EXPECT_FALSE(pkg_verify::check_installer_authority_by_cms(kFleet, "8VBZ3948LU", kMakerAuthority,
                                                              log.callback()));
    ASSERT_EQ(log.messages().size(), 1u);
    EXPECT_EQ(log.messages()[0].rfind("Error! compare with installerAuthority failed, "
                                      "common_name=Developer ID Installer: Fleet Device",
                                      0),
              0u);
}

TEST_F(RealPackages, MakersTeamIdentifierFailsTheTrustPolicy) {
    // The team identifier is a property of the trust policy: the leaf's OU
    // must equal it, so the evaluation itself refuses another team's leaf.
    for (const std::string& pkg : {kKarabiner, kFleet}) {
        EXPECT_FALSE(pkg_verify::check_installer_authority_by_cms(pkg, kMakerTeam, kMakerAuthority,
                                                                  log.callback()));
        ASSERT_EQ(log.messages().size(), 1u) << pkg;
        EXPECT_EQ(log.messages()[0].rfind("Error! 10.14 or above evaluate trust failed, error=", 0),
                  0u);
        EXPECT_NE(log.messages()[0].find("team identifier T3MQ8VX2LC"), std::string::npos);
        EXPECT_NE(log.messages()[0].find(", pkgPath=" + pkg +
                                         ", teamIdentifier=T3MQ8VX2LC, "
                                         "installerAuthority=" +
                                         kMakerAuthority),
                  std::string::npos);
    }
}

TEST_F(RealPackages, UnsignedAndBrokenArchives) {
    EXPECT_FALSE(pkg_verify::check_installer_authority_by_cms(kDir + "gino_XZ.pkg", kMakerTeam,
                                                              kMakerAuthority, log.callback()));
    EXPECT_EQ(log.messages().at(0), "Error! signature is null");
    EXPECT_FALSE(pkg_verify::check_installer_authority_by_cms(
        kDir + "outset_script-20140507.pkg", kMakerTeam, kMakerAuthority, log.callback()));
    EXPECT_EQ(log.messages().at(0), "Error! signature is null");
    EXPECT_FALSE(pkg_verify::check_installer_authority_by_cms(
        kDir + "fleet_wrong-toc.pkg", kMakerTeam, kMakerAuthority, log.callback()));
    EXPECT_EQ(log.messages(),
              (std::vector<std::string>{"Error! xar open pkg failed",
                                        "Error! get installer cert chain failed, pkgPath=" + kDir +
                                            "fleet_wrong-toc.pkg, teamIdentifier=T3MQ8VX2LC, "
                                            "installerAuthority=" +
                                            kMakerAuthority}));
}

// The shipped stand-in judges them itself and prints the chains it built.
process::Result check_signature(const std::string& path) {
    return process::run({SHIPPED_PKGUTIL, {"--check-signature", path}, true});
}

TEST_F(RealPackages, ShippedStandInPrintsTheChainItBuilt) {
    const process::Result karabiner = check_signature(kKarabiner);
    ASSERT_TRUE(karabiner.launched && karabiner.exited);
    EXPECT_EQ(karabiner.terminationStatus, 0);
    const std::string expected =
        "Package \"Karabiner-DriverKit-VirtualHIDDevice-7.3.0.pkg\":\n"
        "   Status: signed by a developer certificate issued by Apple for distribution\n"
        "   Signed with a trusted timestamp on: 2026-06-17 12:07:00 +0000\n"
        "   Certificate Chain:\n"
        "    1. Developer ID Installer: Fumihiko Takayama (G43BCU2T37)\n"
        "       Expires: 2027-02-01 22:12:15 +0000\n"
        "       SHA256 Fingerprint:\n"
        "           6B FA EF 82 19 7D 9E 77 22 A5 EC 20 7C B1 33 A5 9C 70 37 88 1D 30\n"
        "           2B 04 DB 19 95 CA 44 04 FE B8\n"
        "       ------------------------------------------------------------------------\n"
        "    2. Developer ID Certification Authority\n"
        "       Expires: 2027-02-01 22:12:15 +0000\n"
        "       SHA256 Fingerprint:\n"
        "           7A FC 9D 01 A6 2F 03 A2 DE 96 37 93 6D 4A FE 68 09 0D 2D E1 8D 03\n"
        "           F2 9C 88 CF B0 B1 BA 63 58 7F\n"
        "       ------------------------------------------------------------------------\n"
        "    3. Apple Root CA\n"
        "       Expires: 2035-02-09 21:40:36 +0000\n"
        "       SHA256 Fingerprint:\n"
        "           B0 B1 73 0E CB C7 FF 45 05 14 2C 49 F1 29 5E 6E DA 6B CA ED 7E 2C\n"
        "           68 C5 BE 91 B5 A1 10 01 F0 24\n"
        "\n";
    EXPECT_EQ(karabiner.standardOutput, expected);
    EXPECT_TRUE(pkg_verify::check_pelk_signature_valid(
        karabiner.standardOutput, "Developer ID Installer: Fumihiko Takayama (G43BCU2T37)",
        nullptr));

    // Valid only as of its time-stamp.
    const process::Result fleet = check_signature(kFleet);
    EXPECT_EQ(fleet.terminationStatus, 0);
    EXPECT_NE(fleet.standardOutput.find("   Signed with a trusted timestamp on: 2025-05-05 "),
              std::string::npos);
    EXPECT_NE(fleet.standardOutput.find(
                  "    1. Developer ID Installer: Fleet Device Management Inc (8VBZ3948LU)\n"
                  "       Expires: 2026-03-11 22:04:46 +0000\n"),
              std::string::npos);

    // Expired leaf, no time-stamp, an Apple extension it does not know.
    const process::Result sigmatizm = check_signature(kSigmatizm);
    EXPECT_NE(sigmatizm.terminationStatus, 0);
    EXPECT_EQ(sigmatizm.standardOutput,
              "Package \"Sigmatizm.pkg\":\n   Status: signed by untrusted certificate\n");

    const process::Result unsignedPkg = check_signature(kDir + "gino_XZ.pkg");
    EXPECT_NE(unsignedPkg.terminationStatus, 0);
    EXPECT_EQ(unsignedPkg.standardOutput, "Package \"gino_XZ.pkg\":\n   Status: no signature\n");
}

}  // namespace
