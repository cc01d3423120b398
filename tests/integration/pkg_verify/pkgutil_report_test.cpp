// The package tool's stand-in (test build, test PKI as anchor) on packages
// signed at test time: the report of an untrusted package shows the chain its
// evaluation built, a leaf that expired without a time-stamp "has since
// expired", and every report keeps the original's fingerprint lines.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/process/process.h"
#include "tests/integration/pkg_verify/test_packages.h"

namespace {

using pkg_verify_test::kAuthority;
using pkg_verify_test::PackageFactory;

process::Result check(const std::string& path) {
    return process::run({PKGUTIL_TEST_PATH, {"--check-signature", path}, true});
}

std::vector<std::string> lines_of(const std::string& report) {
    std::vector<std::string> lines;
    std::istringstream in(report);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// The chain section's shape, line by line: the numbered names, and under
// each its expiry, the fingerprint heading, 22 bytes a line (a space after
// the last byte of a full line, none after a shorter one), a 72-dash line
// between entries, a blank line at the end. Returns the names.
std::vector<std::string> chain_names(const std::string& report) {
    const std::regex full("           ([0-9A-F]{2} ){22}");
    const std::regex last("           [0-9A-F]{2}( [0-9A-F]{2}){0,20}");
    std::vector<std::string> names;
    const std::vector<std::string> lines = lines_of(report);
    size_t i = 0;
    while (i < lines.size() && lines[i] != "   Certificate Chain:") {
        ++i;
    }
    EXPECT_LT(i, lines.size()) << report;
    ++i;
    for (size_t n = 1; i < lines.size() && !lines[i].empty(); ++n) {
        const std::string prefix = "    " + std::to_string(n) + ". ";
        EXPECT_EQ(lines[i].rfind(prefix, 0), 0u) << report;
        names.push_back(lines[i].substr(prefix.size()));
        EXPECT_EQ(lines.at(i + 1).rfind("       Expires: ", 0), 0u) << report;
        EXPECT_EQ(lines.at(i + 2), "       SHA256 Fingerprint:");
        EXPECT_TRUE(std::regex_match(lines.at(i + 3), full)) << "[" << lines.at(i + 3) << "]";
        EXPECT_TRUE(std::regex_match(lines.at(i + 4), last)) << "[" << lines.at(i + 4) << "]";
        i += 5;
        if (i < lines.size() && !lines[i].empty()) {
            EXPECT_EQ(lines[i], "       " + std::string(72, '-'));
            ++i;
        }
    }
    EXPECT_EQ(i + 1, lines.size()) << "a blank line ends the report:\n" << report;
    return names;
}

const std::vector<std::string> kMakersChain = {kAuthority, "Developer ID Certification Authority",
                                               "Apple Root CA"};

class PkgutilReport : public ::testing::Test {
  protected:
    PackageFactory factory;
};

TEST_F(PkgutilReport, TrustedReportWithAndWithoutTimeStamp) {
    const process::Result stamped = check(factory.sign("stamped.pkg"));
    EXPECT_EQ(stamped.terminationStatus, 0);
    EXPECT_EQ(stamped.standardOutput.rfind("Package \"stamped.pkg\":\n   Status: signed by a "
                                           "developer certificate issued by Apple for "
                                           "distribution\n   Signed with a trusted timestamp on: ",
                                           0),
              0u)
        << stamped.standardOutput;
    EXPECT_EQ(chain_names(stamped.standardOutput), kMakersChain);

    const process::Result plain = check(factory.sign("plain.pkg", {"--no-timestamp"}));
    EXPECT_EQ(plain.terminationStatus, 0);
    EXPECT_EQ(plain.standardOutput.find("timestamp"), std::string::npos);
    EXPECT_EQ(chain_names(plain.standardOutput), kMakersChain);
}

// The report's head up to the leaf's expiry, for the installer leaf valid
// only in 2020.
std::string head(const std::string& name, const std::string& status, const std::string& stamp) {
    return "Package \"" + name + "\":\n   Status: " + status + "\n" + stamp +
           "   Certificate Chain:\n    1. " + kAuthority +
           "\n       Expires: 2021-01-01 00:00:00 +0000\n";
}

// A leaf valid only in 2020: without a time-stamp it has since expired, and
// the chain is still shown; stamped inside its validity it is trusted;
// stamped after it, untrusted.
TEST_F(PkgutilReport, ExpiredLeafWithoutTimeStampHasSinceExpired) {
    const process::Result r =
        check(factory.sign("past.pkg", {"--leaf", "installer-past", "--no-timestamp",
                                        "--signing-time", "2020-06-01T00:00:00Z"}));
    EXPECT_EQ(r.terminationStatus, 1);
    EXPECT_EQ(r.standardOutput.rfind(
                  head("past.pkg", "signed by a certificate that has since expired", ""), 0),
              0u)
        << r.standardOutput;
    EXPECT_EQ(chain_names(r.standardOutput), kMakersChain);

    const process::Result stamped = check(factory.sign(
        "past-stamped.pkg", {"--leaf", "installer-past", "--signing-time", "2020-06-01T00:00:00Z",
                             "--timestamp-time", "2020-06-01T00:00:00Z"}));
    EXPECT_EQ(stamped.terminationStatus, 0) << stamped.standardOutput;
    EXPECT_NE(stamped.standardOutput.find(
                  "   Signed with a trusted timestamp on: 2020-06-01 00:00:00 +0000\n"),
              std::string::npos)
        << stamped.standardOutput;

    // With a time-stamp the leaf is judged at the stamp's time, never "since
    // expired": stamped after its validity ended, it is untrusted, and the
    // report still shows the stamp and the chain that was built.
    const process::Result late = check(factory.sign(
        "past-late.pkg", {"--leaf", "installer-past", "--signing-time", "2022-06-01T00:00:00Z",
                          "--timestamp-time", "2022-06-01T00:00:00Z"}));
    EXPECT_EQ(late.terminationStatus, 1);
    EXPECT_EQ(late.standardOutput.rfind(head("past-late.pkg", "signed by untrusted certificate",
                                             "   Signed with a trusted timestamp on: 2022-06-01 "
                                             "00:00:00 +0000\n"),
                                        0),
              0u)
        << late.standardOutput;
    EXPECT_EQ(chain_names(late.standardOutput), kMakersChain);
}

// A look-alike hierarchy outside the anchors: untrusted, and the report shows
// the chain the evaluation built from the message's certificates; its lines
// read like the genuine chain's, which is why the exit status decides.
TEST_F(PkgutilReport, UntrustedReportShowsTheChainItsEvaluationBuilt) {
    const process::Result r = check(factory.sign("adhoc.pkg", {"--leaf", "installer-adhoc"}));
    EXPECT_EQ(r.terminationStatus, 1);
    EXPECT_EQ(r.standardOutput.rfind(
                  "Package \"adhoc.pkg\":\n   Status: signed by untrusted certificate\n", 0),
              0u)
        << r.standardOutput;
    EXPECT_EQ(chain_names(r.standardOutput), kMakersChain);

    // A time-stamp that verified is still reported.
    EXPECT_NE(r.standardOutput.find("   Signed with a trusted timestamp on: "), std::string::npos);
}

}  // namespace
