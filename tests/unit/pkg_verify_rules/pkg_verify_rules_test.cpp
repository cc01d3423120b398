// The package tool report's line rules, over literal report texts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codesign_verify/pkg_verify/pkg_verify.h"

namespace {

const std::string kAuthority = "Developer ID Installer: Pelk Labs, Inc. (T3MQ8VX2LC)";

std::vector<std::string>* g_messages = nullptr;
void collect(const char* message) {
    g_messages->push_back(message);
}

class ReportRules : public ::testing::Test {
  protected:
    void SetUp() override { g_messages = &messages; }
    void TearDown() override { g_messages = nullptr; }
    bool check(const std::string& report) {
        messages.clear();
        return pkg_verify::check_pelk_signature_valid(report, kAuthority, collect);
    }
    std::vector<std::string> messages;
};

// A report in the package tool's own layout, with the three names given.
std::string report(const std::string& one,
                   const std::string& two = "Developer ID Certification Authority",
                   const std::string& three = "Apple Root CA") {
    return "Package \"helper.pkg\":\n"
           "   Status: signed by a developer certificate issued by Apple for distribution\n"
           "   Signed with a trusted timestamp on: 2026-06-17 12:07:00 +0000\n"
           "   Certificate Chain:\n"
           "    1. " +
           one +
           "\n"
           "       Expires: 2027-02-01 00:00:00 +0000\n"
           "       SHA256 Fingerprint:\n"
           "           78 2F E1 18 5F A1 AD 68 AD 25 0B A9 4D 21 DC BB 0D 8E 47 C6 E4 1D\n"
           "           FE FB AB 05 41 33 4C 33 1D 43\n"
           "       ------------------------------------------------------------------------\n"
           "    2. " +
           two +
           "\n"
           "       Expires: 2027-02-01 22:12:15 +0000\n"
           "       SHA256 Fingerprint:\n"
           "           7A FC 9D 01 A6 2F 03 A2 DE 96 37 93 6D 4A FE 68 09 0D 2D E1 8D 03\n"
           "           F2 9C 88 CF B0 B1 BA 63 58 7F 7A 19 37 89 1A 9D\n"
           "       ------------------------------------------------------------------------\n"
           "    3. " +
           three +
           "\n"
           "       Expires: 2035-02-09 21:40:36 +0000\n"
           "       SHA256 Fingerprint:\n"
           "           B0 B1 73 0E CB C7 FF 45 05 14 2C 49 F1 29 5E 6E DA 6B CA ED 7E 2C\n"
           "           68 C5 BE 91 B5 A1 10 01 F0 24\n"
           "\n";
}

TEST_F(ReportRules, ExpectedChainPassesSilently) {
    EXPECT_TRUE(check(report(kAuthority)));
    EXPECT_TRUE(messages.empty());
}

TEST_F(ReportRules, AnyLeadingAndTrailingSpacesPass) {
    EXPECT_TRUE(check("1. " + kAuthority + "\n" + "2. Developer ID Certification Authority   \n" +
                      "          3. Apple Root CA \n"));
    EXPECT_TRUE(
        check("1. " + kAuthority + "\n2. Developer ID Certification Authority\n3. Apple Root CA"));
    // Windows line ends: "$" matches before "\r\n" too.
    EXPECT_TRUE(check("1. " + kAuthority +
                      "\r\n2. Developer ID Certification Authority\r\n"
                      "3. Apple Root CA\r\n"));
}

TEST_F(ReportRules, LookAlikeSpacingFails) {
    // Two spaces after the numeral: rule 1 still counts three lines; rule 2 fails.
    EXPECT_FALSE(check(report(" " + kAuthority)));
    EXPECT_EQ(messages, std::vector<std::string>{"Error! not match pelk signature"});
    // A tab before the numeral: rule 1 counts only two lines.
    std::string tabbed = report(kAuthority);
    tabbed.replace(tabbed.find("    1. "), 4, "\t");
    EXPECT_FALSE(check(tabbed));
    EXPECT_EQ(messages, std::vector<std::string>{"Error! number not match"});
    // A tab after the name.
    EXPECT_FALSE(check(report(kAuthority + "\t")));
    EXPECT_EQ(messages, std::vector<std::string>{"Error! not match pelk signature"});
    // A non-breaking space instead of the space after the dot.
    std::string nbsp = report(kAuthority);
    nbsp.replace(nbsp.find("1. ") + 2, 1, "\xC2\xA0");
    EXPECT_FALSE(check(nbsp));
    EXPECT_EQ(messages, std::vector<std::string>{"Error! not match pelk signature"});
}

TEST_F(ReportRules, NumberedLinesMustBeExactlyThree) {
    std::string four = report(kAuthority) + "    4. Extra Authority\n";
    EXPECT_FALSE(check(four));
    EXPECT_EQ(messages, std::vector<std::string>{"Error! number not match"});
    // Any other line beginning with a digit and a dot counts too.
    EXPECT_FALSE(check(report(kAuthority) + "9.\n"));
    EXPECT_EQ(messages, std::vector<std::string>{"Error! number not match"});
    EXPECT_FALSE(check("1. " + kAuthority + "\n3. Apple Root CA\n"));
    EXPECT_EQ(messages, std::vector<std::string>{"Error! number not match"});
    EXPECT_FALSE(check(""));
    EXPECT_EQ(messages, std::vector<std::string>{"Error! number not match"});
    // Two-digit numerals do not count as "[0-9]\." at the line start.
    EXPECT_TRUE(check(report(kAuthority) + "10. anything\n"));
}

TEST_F(ReportRules, AuthorityTwiceNeverPasses) {
    EXPECT_FALSE(check("1. " + kAuthority + "\n1. " + kAuthority + "\n3. Apple Root CA\n"));
    EXPECT_EQ(messages, std::vector<std::string>{"Error! not match pelk signature"});
    EXPECT_FALSE(check(report(kAuthority) + "1. " + kAuthority + "\n"));
    EXPECT_EQ(messages, std::vector<std::string>{"Error! number not match"});
}

TEST_F(ReportRules, OtherCompanyFailsRuleTwo) {
    EXPECT_FALSE(check(report("Developer ID Installer: Fumihiko Takayama (G43BCU2T37)")));
    EXPECT_EQ(messages, std::vector<std::string>{"Error! not match pelk signature"});
    EXPECT_FALSE(check(report("developer ID Installer: Pelk Labs, Inc. (T3MQ8VX2LC)")));
    EXPECT_EQ(messages, std::vector<std::string>{"Error! not match pelk signature"});
    EXPECT_FALSE(check(report(kAuthority + " extra")));
    EXPECT_EQ(messages, std::vector<std::string>{"Error! not match pelk signature"});
}

TEST_F(ReportRules, IntermediateAndRootMustMatchExactly) {
    EXPECT_FALSE(check(report(kAuthority, "Developer ID Certification Authority 2")));
    EXPECT_EQ(messages, std::vector<std::string>{"Error! not match Developer signature"});
    EXPECT_FALSE(
        check(report(kAuthority, "Developer ID Certification Authority", "Apple root CA")));
    EXPECT_EQ(messages, std::vector<std::string>{"Error! not match apple signature"});
    EXPECT_FALSE(
        check(report(kAuthority, "Developer ID Certification Authority", "Apple Root CA - G2")));
    EXPECT_EQ(messages, std::vector<std::string>{"Error! not match apple signature"});
}

TEST_F(ReportRules, AuthorityMetacharactersAreLiteral) {
    // A dot or parenthesis of the authority replaced by another character.
    EXPECT_FALSE(check(report("Developer ID Installer: Pelk Labs, IncX (T3MQ8VX2LC)")));
    EXPECT_EQ(messages, std::vector<std::string>{"Error! not match pelk signature"});
    EXPECT_FALSE(check(report("Developer ID Installer: Pelk Labs, Inc. [T3MQ8VX2LC]")));
    EXPECT_EQ(messages, std::vector<std::string>{"Error! not match pelk signature"});
    EXPECT_FALSE(check(report("Developer ID Installer: Pelk Labs, Inc. T3MQ8VX2LC")));
    // The numeral's own dot is literal too.
    std::string noDot = report(kAuthority);
    noDot.replace(noDot.find("1. "), 3, "1x ");
    EXPECT_FALSE(check(noDot));
    EXPECT_EQ(messages, std::vector<std::string>{"Error! number not match"});
}

TEST(ReportRuleFunctions, AuthorityWithEveryMetacharacterMatchesOnlyItself) {
    const std::string odd = "A.*+?^$|()[]{}\\/ B";
    EXPECT_TRUE(pkg_verify::is_match_pelk_signature("1. " + odd + "\n", odd, nullptr));
    EXPECT_FALSE(pkg_verify::is_match_pelk_signature("1. AX*+?^$|()[]{}\\/ B\n", odd, nullptr));
    EXPECT_FALSE(pkg_verify::is_match_pelk_signature("1. A\n", ".*", nullptr));
}

TEST(ReportRuleFunctions, EachRuleCountsIndependently) {
    EXPECT_TRUE(pkg_verify::is_number_match("1.\n2.\n3.", nullptr));
    EXPECT_FALSE(pkg_verify::is_number_match("1.2.3.", nullptr));
    EXPECT_TRUE(pkg_verify::is_match_developer_signature("2. Developer ID Certification Authority",
                                                         nullptr));
    EXPECT_FALSE(pkg_verify::is_match_developer_signature(
        "2. Developer ID Certification Authority\n 2. Developer ID Certification Authority",
        nullptr));
    EXPECT_TRUE(pkg_verify::is_match_apple_signature("x\n  3. Apple Root CA  \ny", nullptr));
    EXPECT_FALSE(pkg_verify::is_match_apple_signature("x 3. Apple Root CA", nullptr));
    // Text that is not UTF-8 is read with replacement characters, never crashes.
    EXPECT_FALSE(pkg_verify::is_match_apple_signature("3. Apple Root CA\xff", nullptr));
}

}  // namespace
