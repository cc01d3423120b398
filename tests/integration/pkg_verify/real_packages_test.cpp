// Packages that this project did not make, signed under the original
// platform's roots: the CMS check with the shipped anchors compiled in.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "codesign_verify/pkg_verify/pkg_verify.h"
#include "platform/process/process.h"
#include "tests/integration/pkg_verify/log_capture.h"
#include "tests/support/harness.h"

namespace {

using pkg_verify_test::LogCapture;

// The project's own copies (see tests/data/real-packages/README.md).
const std::string kDir = std::string(XQ_SOURCE_DIR) + "/tests/data/real-packages/";
const std::string kKarabiner = kDir + "Karabiner-DriverKit-VirtualHIDDevice-7.3.0.pkg";
const std::string kFleet = kDir + "fleet_not-distribution-signed.pkg";
const std::string kSigmatizm = kDir + "Sigmatizm.pkg";
const std::string kMakerTeam = "T3MQ8VX2LC";
const std::string kMakerAuthority = "Developer ID Installer: Pelk Labs, Inc. (T3MQ8VX2LC)";

class RealPackages : public ::testing::Test {
  protected:
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

// Every real package's report compared byte for byte with the expected one
// in tests/data/pkgutil-reports (see its README), and the exit status.
TEST_F(RealPackages, ShippedStandInReportsMatchTheExpectedFiles) {
    const std::string reports = std::string(XQ_SOURCE_DIR) + "/tests/data/pkgutil-reports/";
    const struct {
        const char* package;
        int exitStatus;
    } cases[] = {
        {"Karabiner-DriverKit-VirtualHIDDevice-7.3.0.pkg", 0},
        {"fleet_not-distribution-signed.pkg", 0},
        {"Sigmatizm.pkg", 1},
        {"gino_XZ.pkg", 1},
        {"outset_script-20140507.pkg", 1},
        {"fleet_wrong-toc.pkg", 1},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(std::filesystem::exists(reports + c.package + ".txt"))
            << "missing expected report for " << c.package;
        const std::string expected = xqtest::readFile(reports + c.package + ".txt");
        const process::Result r = check_signature(kDir + c.package);
        ASSERT_TRUE(r.launched && r.exited) << c.package;
        EXPECT_EQ(r.terminationStatus, c.exitStatus) << c.package;
        EXPECT_EQ(r.standardOutput, expected) << c.package;
    }
}

// The reports that the helper's own check reads: the trusted one passes its
// line rules under its signer's name; the untrusted one's chain lines are
// there too, and only its exit status refuses it.
TEST_F(RealPackages, ReportsMeetTheHelpersLineRules) {
    const process::Result karabiner = check_signature(kKarabiner);
    EXPECT_TRUE(pkg_verify::check_pelk_signature_valid(
        karabiner.standardOutput, "Developer ID Installer: Fumihiko Takayama (G43BCU2T37)",
        nullptr));
    const process::Result sigmatizm = check_signature(kSigmatizm);
    EXPECT_NE(sigmatizm.terminationStatus, 0);
    EXPECT_TRUE(pkg_verify::is_number_match(sigmatizm.standardOutput, nullptr));
    EXPECT_TRUE(pkg_verify::is_match_apple_signature(sigmatizm.standardOutput, nullptr));
}

}  // namespace
