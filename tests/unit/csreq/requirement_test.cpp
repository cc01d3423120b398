#include "platform/csreq/requirement.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <pthread.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/security/owners.h"
#include "tests/support/harness.h"

namespace {

using csreq::CodeFacts;
using csreq::compile;

constexpr const char* kTeam = "T3MQ8VX2LC";
constexpr const char* kCertName = "Developer ID Application: Pelk Labs, Inc. (T3MQ8VX2LC)";

// The requirement the daemon composes for its client, and the variant with the team
// identifier unquoted as it appears in the bundle's authorised-client requirement.
const std::string kDaemonRequirement =
    "identifier \"lx.pelk.dvk\" and anchor apple generic and certificate leaf[subject.OU] = "
    "\"T3MQ8VX2LC\" and certificate leaf[subject.CN] = \"Developer ID Application: Pelk Labs, "
    "Inc. (T3MQ8VX2LC)\" and info [CFBundleVersion] >= \"5.5.0\"";
const std::string kUnquotedTeamRequirement =
    "identifier \"lx.pelk.dvk\" and anchor apple generic and certificate leaf[subject.OU] = "
    "T3MQ8VX2LC and certificate leaf[subject.CN] = \"Developer ID Application: Pelk Labs, "
    "Inc. (T3MQ8VX2LC)\" and info [CFBundleVersion] >= \"5.5.0\"";

// Facts of the genuine client: Developer ID leaf, intermediate, root.
CodeFacts clientFacts() {
    CodeFacts f;
    f.identifier = "lx.pelk.dvk";
    f.anchorApple = false;
    f.anchorAppleGeneric = true;
    csreq::CertificateFacts leaf;
    leaf.subject = {{"CN", kCertName}, {"OU", kTeam}, {"O", "Pelk Labs, Inc."}, {"C", "US"}};
    csreq::CertificateFacts intermediate;
    intermediate.subject = {{"CN", "Developer ID Certification Authority"},
                            {"OU", "Apple Certification Authority"},
                            {"O", "Apple Inc."},
                            {"C", "US"}};
    csreq::CertificateFacts root;
    root.subject = {{"CN", "Apple Root CA"},
                    {"OU", "Apple Certification Authority"},
                    {"O", "Apple Inc."},
                    {"C", "US"}};
    f.chain = {leaf, intermediate, root};
    f.info = {{"CFBundleVersion", "5.16.0.124"}, {"CFBundleIdentifier", "lx.pelk.dvk"}};
    return f;
}

bool eval(const std::string& text, const CodeFacts& facts) {
    auto r = compile(text);
    EXPECT_TRUE(r.requirement) << text << " -> " << r.error;
    EXPECT_TRUE(r.error.empty()) << text;
    return r.requirement && r.requirement->evaluate(facts);
}

std::string errorOf(const std::string& text) {
    auto r = compile(text);
    EXPECT_FALSE(r.requirement) << text << " compiled to " << r.requirement->text();
    EXPECT_FALSE(r.error.empty()) << text;
    return r.error;
}

TEST(CsreqDaemonRequirement, BothSpellingsAcceptTheGenuineClient) {
    for (const auto& text : {kDaemonRequirement, kUnquotedTeamRequirement}) {
        auto r = compile(text);
        ASSERT_TRUE(r.requirement) << r.error;
        EXPECT_TRUE(r.error.empty());
        EXPECT_TRUE(r.requirement->evaluate(clientFacts())) << text;
        // The Apple root itself is also a compiled-in anchor.
        CodeFacts apple = clientFacts();
        apple.anchorAppleGeneric = false;
        apple.anchorApple = true;
        EXPECT_TRUE(r.requirement->evaluate(apple));
        // At exactly the minimum version.
        CodeFacts minimum = clientFacts();
        minimum.info["CFBundleVersion"] = "5.5.0";
        EXPECT_TRUE(r.requirement->evaluate(minimum));
    }
}

TEST(CsreqDaemonRequirement, EachSingleDifferenceIsRefused) {
    struct Case {
        const char* what;
        void (*change)(CodeFacts&);
    };
    const Case cases[] = {
        {"other identifier", [](CodeFacts& f) { f.identifier = "lx.pelk.dvk2"; }},
        {"identifier differs in case", [](CodeFacts& f) { f.identifier = "LX.pelk.dvk"; }},
        {"not under a compiled-in anchor", [](CodeFacts& f) { f.anchorAppleGeneric = false; }},
        {"other team", [](CodeFacts& f) { f.chain[0].subject["OU"] = "A1B2C3D4E5"; }},
        {"no team", [](CodeFacts& f) { f.chain[0].subject.erase("OU"); }},
        {"other common name",
         [](CodeFacts& f) {
             f.chain[0].subject["CN"] = "Developer ID Application: Other Labs (T3MQ8VX2LC)";
         }},
        {"common name with a trailing space",
         [](CodeFacts& f) { f.chain[0].subject["CN"] += " "; }},
        {"version below the minimum", [](CodeFacts& f) { f.info["CFBundleVersion"] = "5.4.9"; }},
        {"shorter version", [](CodeFacts& f) { f.info["CFBundleVersion"] = "5.5"; }},
        {"no version", [](CodeFacts& f) { f.info.erase("CFBundleVersion"); }},
        {"no certificates", [](CodeFacts& f) { f.chain.clear(); }},
        {"team only on the intermediate",
         [](CodeFacts& f) {
             f.chain[1].subject["OU"] = kTeam;
             f.chain[0].subject["OU"] = "X";
         }},
    };
    for (const auto& text : {kDaemonRequirement, kUnquotedTeamRequirement}) {
        auto r = compile(text);
        ASSERT_TRUE(r.requirement) << r.error;
        for (const auto& c : cases) {
            CodeFacts f = clientFacts();
            c.change(f);
            EXPECT_FALSE(r.requirement->evaluate(f)) << c.what << " accepted by " << text;
        }
    }
}

TEST(CsreqDaemonRequirement, CanonicalTextReadsBack) {
    auto r = compile(kDaemonRequirement);
    ASSERT_TRUE(r.requirement);
    EXPECT_EQ(r.requirement->text(),
              "identifier \"lx.pelk.dvk\" and anchor apple generic and certificate "
              "leaf[subject.OU] = T3MQ8VX2LC and certificate leaf[subject.CN] = \"Developer ID "
              "Application: Pelk Labs, Inc. (T3MQ8VX2LC)\" and info [CFBundleVersion] >= "
              "\"5.5.0\"");
    // Both spellings compile to the same requirement.
    auto u = compile(kUnquotedTeamRequirement);
    ASSERT_TRUE(u.requirement);
    EXPECT_EQ(u.requirement->text(), r.requirement->text());
}

TEST(CsreqLanguage, Precedence) {
    const CodeFacts f = clientFacts();
    struct Case {
        const char* text;
        bool expected;
    };
    const Case cases[] = {
        // "and" binds tighter than "or".
        {"always or never and never", true},
        {"never and never or always", true},
        {"(always or never) and never", false},
        {"never and (never or always)", false},
        // "!" binds tighter than "and" and "or".
        {"!never and never", false},
        {"!(never and never)", true},
        {"! always or always", true},
        {"!(always or always)", false},
        {"not never and not never", true},
        {"not always or not always", false},
        {"! ! always", true},
        {"!!!always", false},
        {"true and !false", true},
        // Real clauses mixed in.
        {"identifier other or anchor apple generic and info [CFBundleVersion] >= 6", false},
        {"identifier other or anchor apple generic and info [CFBundleVersion] >= 5", true},
        {"! identifier other and identifier lx.pelk.dvk", true},
        {"!(identifier other or identifier lx.pelk.dvk)", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(eval(c.text, f), c.expected) << c.text;
    }
}

TEST(CsreqLanguage, CanonicalTextKeepsTheMeaning) {
    const char* texts[] = {
        "always or never and never",
        "(always or never) and never",
        "!(always or never) and !(never and always)",
        "identifier = \"a \\\"quoted\\\" \\\\ name\"",
        "identifier == and.or",
        "identifier \"and\"",
        "certificate 1[subject.CN] = *\"Authority\"",
        "cert -2[subject.O] = \"Apple\"*",
        "certificate root[subject.OU] = *Certification*",
        "anchor[subject.CN] = \"Apple Root CA\"",
        "info [\"key with space\"] absent or info [CFBundleVersion] < 6",
        "certificate leaf[\"subject.odd name\"] exists",
        "certificate leaf[field.1.2.840.113635.100.6.1.13] absent",
        "certificate leaf = H\"0123456789abcdef0123456789ABCDEF01234567\"",
        "(identifier a.b and always) or (never and always) or info [x] exists",
        "info [v] <= 1 and info [v] > 0 and info [v] >= 0 and info [v] < 2",
    };
    CodeFacts f = clientFacts();
    f.info["v"] = "1";
    for (const char* text : texts) {
        auto r = compile(text);
        ASSERT_TRUE(r.requirement) << text << ": " << r.error;
        std::string canonical = r.requirement->text();
        auto again = compile(canonical);
        ASSERT_TRUE(again.requirement) << canonical << ": " << again.error;
        EXPECT_EQ(again.requirement->text(), canonical) << text;
        EXPECT_EQ(again.requirement->evaluate(f), r.requirement->evaluate(f)) << text;
    }
}

TEST(CsreqLanguage, StringsCommentsAndWhitespace) {
    CodeFacts f = clientFacts();
    f.identifier = "a\"b\\c";
    EXPECT_TRUE(eval(R"(identifier "a\"b\\c")", f));
    EXPECT_FALSE(eval(R"(identifier "a\"b\\\\c")", f));
    f.identifier = "and";
    EXPECT_TRUE(eval(R"(identifier "and")", f));
    f.identifier = "/usr/bin/tool-1_x";
    EXPECT_TRUE(eval("identifier /usr/bin/tool-1_x", f));
    f.identifier = "lx.pelk.dvk";
    EXPECT_TRUE(eval("/* leading */ identifier // to the end of the line\n\t lx.pelk.dvk /**/", f));
    EXPECT_TRUE(eval("identifier\n=\n\"lx.pelk.dvk\"\r\n", f));
    EXPECT_TRUE(eval("identifier == lx.pelk.dvk", f));
    // Matching is byte for byte: no case folding, no trimming.
    EXPECT_FALSE(eval("identifier \"lx.pelk.dvk \"", f));
    EXPECT_FALSE(eval("identifier LX.PELK.DVK", f));
    // An empty quoted string is a value like any other.
    f.identifier = "";
    EXPECT_TRUE(eval("identifier \"\"", f));
}

TEST(CsreqLanguage, CertificatePositionsAndFields) {
    const CodeFacts f = clientFacts();
    struct Case {
        const char* text;
        bool expected;
    };
    const Case cases[] = {
        {"certificate leaf[subject.OU] = T3MQ8VX2LC", true},
        {"certificate 0[subject.OU] = T3MQ8VX2LC", true},
        {"certificate -3[subject.OU] = T3MQ8VX2LC", true},
        {"certificate 1[subject.CN] = \"Developer ID Certification Authority\"", true},
        {"certificate -2[subject.CN] = \"Developer ID Certification Authority\"", true},
        {"certificate root[subject.CN] = \"Apple Root CA\"", true},
        {"certificate 2[subject.CN] = \"Apple Root CA\"", true},
        {"certificate -1[subject.CN] = \"Apple Root CA\"", true},
        {"anchor[subject.CN] = \"Apple Root CA\"", true},
        {"cert leaf[subject.CN] = \"Apple Root CA\"", false},
        // Past either end of the chain: no certificate, every test fails.
        {"certificate 3[subject.CN] exists", false},
        {"certificate 3[subject.CN] absent", false},
        {"certificate -4[subject.CN]", false},
        // Existence forms.
        {"certificate leaf[subject.CN]", true},
        {"certificate leaf[subject.CN] exists", true},
        {"certificate leaf[subject.L]", false},
        {"certificate leaf[subject.L] absent", true},
        {"certificate leaf[subject.emailAddress] = x", false},
        {"certificate leaf[subject.ST] exists or certificate leaf[subject.C] = US", true},
        {"certificate leaf[subject.O] = \"Pelk Labs, Inc.\"", true},
        // Wildcards.
        {"certificate leaf[subject.CN] = \"Developer ID Application: \"*", true},
        {"certificate leaf[subject.CN] = *\"(T3MQ8VX2LC)\"", true},
        {"certificate leaf[subject.CN] = *\"Pelk Labs\"*", true},
        {"certificate leaf[subject.CN] = *\"Pelk Lab\"", false},
        {"certificate leaf[subject.CN] = \"Pelk Labs\"*", false},
        {"certificate leaf[subject.CN] = *\"Other\"*", false},
        {"certificate leaf[subject.CN] = *\"\"*", true},
        {"certificate leaf[subject.OU] = T3MQ*", true},
        {"certificate leaf[subject.OU] = *8VX2LC", true},
        {"certificate leaf[subject.OU] = T3MQ", false},
        // Ordering works on certificate fields too.
        {"certificate leaf[subject.C] < UT", true},
        {"certificate leaf[subject.C] > UT", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(eval(c.text, f), c.expected) << c.text;
    }
}

TEST(CsreqLanguage, InfoClauses) {
    CodeFacts f = clientFacts();
    f.info["Name"] = "Pelk Desktop";
    struct Case {
        const char* text;
        bool expected;
    };
    const Case cases[] = {
        {"info [CFBundleVersion]", true},
        {"info [CFBundleVersion] exists", true},
        {"info [CFBundleVersion] absent", false},
        {"info [Missing] absent", true},
        {"info [Missing]", false},
        {"info [Missing] = \"\"", false},
        {"info [Missing] < 1", false},
        {"info [Missing] >= 0", false},
        {"info [\"Name\"] = \"Pelk Desktop\"", true},
        {"info [Name] = Pelk*", true},
        {"info [Name] = *Desktop", true},
        {"info [Name] = *\"k D\"*", true},
        {"info [CFBundleVersion] = 5.16.0.124", true},
        {"info [CFBundleVersion] == \"5.16.0.124\"", true},
        {"info [CFBundleVersion] = 5.16", false},
        {"info [CFBundleVersion] > 5.16", true},
        {"info [CFBundleVersion] < 5.16.0.125", true},
        {"info [CFBundleVersion] <= 5.16.0.124", true},
        {"info [CFBundleVersion] >= 5.16.0.124", true},
        {"info [CFBundleVersion] < 5.16.0.124", false},
        {"info [CFBundleVersion] > 5.16.0.124", false},
        {"info [CFBundleVersion] > 10", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(eval(c.text, f), c.expected) << c.text;
    }
}

TEST(CsreqNumericOrder, Table) {
    struct Case {
        const char* a;
        const char* b;
        int sign;  // of compare(a, b)
    };
    const Case cases[] = {
        {"5.16.0.124", "5.5.0", 1},
        {"5.4.9", "5.5.0", -1},
        {"5.5.0", "5.5.0", 0},
        {"5.5.1", "5.5.0", 1},
        {"5.5", "5.5.0", -1},  // a string that ends first is smaller
        {"5.5.0.0", "5.5.0", 1},
        {"6", "5.5.0", 1},
        {"5", "5.5.0", -1},
        {"10", "9", 1},
        {"10.0", "9.99", 1},
        {"007", "7", 0},  // leading zeros do not count
        {"5.05.0", "5.5.0", 0},
        {"5.5.00", "5.5.0", 0},
        {"0", "00", 0},
        {"18446744073709551617", "18446744073709551616", 1},  // beyond 64 bits
        {"99999999999999999999999", "100000000000000000000000", -1},
        {"5.5.0a", "5.5.0", 1},
        {"5.5.0-beta", "5.5.0.1", -1},  // '-' sorts before '.'
        {"5.5.a", "5.5.0", 1},          // a letter sorts after the digits
        {"5.5.", "5.5.0", -1},
        {"a10", "a9", 1},
        {"A", "a", -1},  // case matters
        {"abc", "abd", -1},
        {"", "", 0},
        {"", "0", -1},
        {"1.2.3", "1.2.3", 0},
        {"5.10", "5.9", 1},
        {"5.10", "5.9.9", 1},
        {"\xc3\xa9", "z", 1},  // by code point
    };
    auto sign = [](int v) { return (v > 0) - (v < 0); };
    for (const auto& c : cases) {
        EXPECT_EQ(sign(csreq::compareNumerically(c.a, c.b)), c.sign) << c.a << " vs " << c.b;
        EXPECT_EQ(sign(csreq::compareNumerically(c.b, c.a)), -c.sign) << c.b << " vs " << c.a;
    }
}

TEST(CsreqNumericOrder, DrivesTheVersionClause) {
    auto r = compile("info [CFBundleVersion] >= \"5.5.0\"");
    ASSERT_TRUE(r.requirement) << r.error;
    struct Case {
        const char* version;
        bool accepted;
    };
    const Case cases[] = {
        {"5.5.0", true},    {"5.16.0.124", true}, {"5.5.1", true},    {"10.0", true},
        {"5.5.0.0", true},  {"05.005.0", true},   {"6", true},        {"5.4.9", false},
        {"5.5", false},     {"5", false},         {"4.99.99", false}, {"", false},
        {"5.5-rc1", false}, {"abc", true},
    };
    for (const auto& c : cases) {
        CodeFacts f = clientFacts();
        f.info["CFBundleVersion"] = c.version;
        EXPECT_EQ(r.requirement->evaluate(f), c.accepted) << c.version;
    }
}

TEST(CsreqErrors, BadSyntaxIsExplained) {
    struct Case {
        const char* text;
        const char* error;  // the whole message
    };
    const Case cases[] = {
        {"",
         "1:1: empty requirement: expected an expression such as identifier, anchor, "
         "certificate or info"},
        {"   \n\t /* only a comment */ ",
         "2:24: empty requirement: expected an expression such as identifier, anchor, "
         "certificate or info"},
        {"identifier \"lx.pelk.dvk", "1:12: unterminated string: the '\"' here is never closed"},
        {"identifier \"lx\\\"", "1:12: unterminated string: the '\"' here is never closed"},
        {"identifier x and info [A] = \"5.5",
         "1:29: unterminated string: the '\"' here is never "
         "closed"},
        {"(identifier x", "1:1: unbalanced parenthesis: this '(' is never closed"},
        {"((identifier x) and always", "1:1: unbalanced parenthesis: this '(' is never closed"},
        {"identifier x)", "1:13: unbalanced parenthesis: this ')' has no matching '('"},
        {"(always))", "1:9: unbalanced parenthesis: this ')' has no matching '('"},
        {"()", "1:2: expected an expression inside '(' ')', found ')'"},
        {"(always never)",
         "1:9: expected ')' to close the '(' at 1:1 (or \"and\", \"or\"), found "
         "keyword \"never\""},
        {"identifier x and", "1:17: missing operand after \"and\": found end of text"},
        {"identifier x or", "1:16: missing operand after \"or\": found end of text"},
        {"and identifier x", "1:1: expected an expression, found keyword \"and\""},
        {"identifier x and or always", "1:18: missing operand after \"and\": found keyword \"or\""},
        {"(always and)", "1:12: missing operand after \"and\": found ')'"},
        {"!", "1:2: missing operand after '!': found end of text"},
        {"not", "1:4: missing operand after \"not\": found end of text"},
        {"identifier", "1:11: expected a string after \"identifier\", found end of text"},
        {"identifier =", "1:13: expected a string after \"identifier\", found end of text"},
        {"identifier and",
         "1:12: expected a string after \"identifier\", found keyword \"and\" (quote it to use "
         "it as a string)"},
        {"identifier x y",
         "1:14: expected \"and\", \"or\" or the end of the requirement, found \"y\""},
        {"identifier x always",
         "1:14: expected \"and\", \"or\" or the end of the requirement, found keyword \"always\""},
        {"always ]", "1:8: expected \"and\", \"or\" or the end of the requirement, found ']'"},
        {"identifier x*",
         "1:13: wildcards are not allowed in an identifier (\"identifier\" "
         "matches exactly)"},
        {"frobnicate x",
         "1:1: unknown keyword \"frobnicate\": expected identifier, anchor, "
         "certificate, info, always, never, '!' or '('"},
        {"ANCHOR apple",
         "1:1: unknown keyword \"ANCHOR\": expected identifier, anchor, "
         "certificate, info, always, never, '!' or '('"},
        {"anchor", "1:7: expected \"apple\", '[' or '=' after \"anchor\", found end of text"},
        {"anchor google", "1:8: expected \"apple\", '[' or '=' after \"anchor\", found \"google\""},
        {"certificate",
         "1:12: expected a certificate position (leaf, root, N or -N) after "
         "\"certificate\", found end of text"},
        {"cert top[subject.CN]",
         "1:6: expected a certificate position (leaf, root, N or -N) "
         "after \"cert\", found \"top\""},
        {"certificate 99999999[subject.CN]",
         "1:13: certificate position 99999999 is out of range (at most 10000)"},
        {"certificate -0[subject.CN]",
         "1:13: certificate position -0 is not valid: use 0 or "
         "leaf for the leaf, -1 or root for the root"},
        {"certificate leaf",
         "1:17: expected '[' or '=' after \"certificate leaf\", found end of "
         "text"},
        {"certificate leaf[subject.CN",
         "1:28: expected ']' to close the '[' at 1:17, found end "
         "of text"},
        {"certificate leaf[]",
         "1:18: expected a key inside '[' ']' after \"certificate leaf\", "
         "found ']'"},
        {"certificate leaf[\"\"]", "1:18: empty key inside '[' ']' after \"certificate leaf\""},
        {"certificate leaf[issuer.CN] = x",
         "1:18: unknown certificate field \"issuer.CN\": "
         "expected subject.<attribute> or field.<OID>"},
        {"certificate leaf[subject.] = x",
         "1:18: unknown certificate field \"subject.\": "
         "expected subject.<attribute> or field.<OID>"},
        {"certificate leaf[subject.CN] = ",
         "1:32: expected a string after '=', found end of "
         "text"},
        {"certificate leaf[subject.CN] = *",
         "1:33: expected a string after '= *', found end of "
         "text"},
        {"certificate leaf[subject.CN] < x*",
         "1:33: wildcards are only allowed with '=', not "
         "with '<'"},
        {"certificate leaf[subject.CN] foo",
         "1:30: expected '=', '<', '<=', '>', '>=', "
         "\"exists\" or \"absent\" after \"certificate "
         "leaf[subject.CN]\", found \"foo\""},
        {"certificate leaf[field.1..2] exists",
         "1:18: invalid OID \"1..2\" in \"field.1..2\" "
         "(expected dotted decimal, such as "
         "1.2.840.113635)"},
        {"certificate leaf[field.abc] exists",
         "1:18: invalid OID \"abc\" in \"field.abc\" "
         "(expected dotted decimal, such as "
         "1.2.840.113635)"},
        {"certificate leaf = H\"0123\"",
         "1:20: a certificate hash must be a SHA-1 of 40 "
         "hexadecimal digits, found 4"},
        {"certificate leaf = H\"012\"",
         "1:20: a hash constant needs an even number of "
         "hexadecimal digits, found 3"},
        {"certificate leaf = H\"01xz\"",
         "1:24: invalid character 'x' in a hash constant "
         "(expected hexadecimal digits)"},
        {"certificate leaf = H\"0123",
         "1:20: unterminated hash constant: the 'H\"' here is "
         "never closed"},
        {"info", "1:5: expected '[' after \"info\", found end of text"},
        {"info CFBundleVersion >= 5",
         "1:6: expected '[' after \"info\", found "
         "\"CFBundleVersion\""},
        {"info [CFBundleVersion] >=", "1:26: expected a string after '>=', found end of text"},
        {"info [CFBundleVersion] >= >= 5", "1:27: expected a string after '>=', found '>='"},
        {"identifier x /* open", "1:14: unterminated comment: '/*' is never closed by '*/'"},
        {"identifier x\n  and @", "2:7: unexpected character '@'"},
        {"identifier \x01", "1:12: unexpected character '\\x01'"},
        {"identifier x =",
         "1:14: expected \"and\", \"or\" or the end of the requirement, found "
         "'='"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(errorOf(c.text), c.error) << c.text;
    }
}

TEST(CsreqErrors, UnsupportedClausesSaySo) {
    struct Case {
        const char* text;
        const char* error;
    };
    const Case cases[] = {
        {"cdhash H\"0123456789abcdef0123456789abcdef01234567\"",
         "1:1: \"cdhash\" is not supported by this implementation"},
        {"always and entitlement [\"com.apple.security.app-sandbox\"] exists",
         "1:12: \"entitlement\" is not supported by this implementation"},
        {"platform 1", "1:1: \"platform\" is not supported by this implementation"},
        {"notarized", "1:1: \"notarized\" is not supported by this implementation"},
        {"designated => identifier x",
         "1:1: requirement sets (\"designated => ...\") are not supported: give a single "
         "requirement"},
        {"anchor trusted", "1:8: \"anchor trusted\" is not supported by this implementation"},
        {"certificate leaf trusted",
         "1:18: \"certificate ... trusted\" is not supported by this implementation"},
        {"anchor = \"/var/db/anchor.cer\"",
         "1:10: certificate files are not supported: compare the certificate with H\"<SHA-1 in "
         "hex>\""},
        {"certificate 1[policy.1.2.840.113635.100.5.1] exists",
         "1:15: certificate policy fields (\"policy.1.2.840.113635.100.5.1\") are not supported "
         "by this implementation"},
        {"certificate leaf[field.1.2.3] = x",
         "1:31: matching the value of a certificate extension is not supported: only "
         "\"exists\" and \"absent\""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(errorOf(c.text), c.error) << c.text;
    }
}

TEST(CsreqHostileInput, NestingIsCapped) {
    const std::size_t cap = csreq::kMaxNesting;
    auto parens = [](std::size_t n) {
        return std::string(n, '(') + "always" + std::string(n, ')');
    };
    auto r = compile(parens(cap));
    ASSERT_TRUE(r.requirement) << r.error;
    EXPECT_TRUE(r.requirement->evaluate(clientFacts()));
    EXPECT_EQ(errorOf(parens(cap + 1)),
              "1:" + std::to_string(cap + 1) +
                  ": expression nested too deeply (more than 100 levels of parentheses and "
                  "negations)");
    // Far beyond the cap: refused without exhausting the stack.
    EXPECT_NE(errorOf(std::string(1000000, '(')).find("nested too deeply"), std::string::npos);
    EXPECT_NE(errorOf(std::string(1000000, '!') + "always").find("nested too deeply"),
              std::string::npos);
    EXPECT_NE(errorOf(std::string(500000, '(') + std::string(500000, '!')).find("too deeply"),
              std::string::npos);
    // Negations count as nesting too.
    auto bangs = compile(std::string(cap, '!') + "always");
    ASSERT_TRUE(bangs.requirement) << bangs.error;
    EXPECT_TRUE(bangs.requirement->evaluate(clientFacts()));  // an even number of negations
    auto odd = compile(std::string(cap - 1, '!') + "always");
    ASSERT_TRUE(odd.requirement) << odd.error;
    EXPECT_FALSE(odd.requirement->evaluate(clientFacts()));
    EXPECT_FALSE(compile(std::string(cap + 1, '!') + "always").requirement);
    // Mixed: 60 parentheses each holding a negation reach the cap at level 101.
    std::string mixed;
    for (int i = 0; i < 60; ++i) {
        mixed += "(!";
    }
    mixed += "always";
    mixed += std::string(60, ')');
    EXPECT_NE(errorOf(mixed).find("nested too deeply"), std::string::npos);
}

// The daemon compiles on queue threads, which may have smaller stacks than the main
// thread: the deepest accepted nesting must fit in a modest one.
TEST(CsreqHostileInput, DeepestNestingFitsASmallThreadStack) {
    struct Job {
        std::string text;
        bool compiled = false;
        bool verdict = false;
        std::string rendered;
    } job;
    const std::size_t half = csreq::kMaxNesting / 2;
    for (std::size_t i = 0; i < half; ++i) {
        job.text += "(!";
    }
    job.text += "identifier \"lx.pelk.dvk\" and info [CFBundleVersion] >= 5.5.0";
    job.text += std::string(half, ')');
    pthread_attr_t attr;
    ASSERT_EQ(pthread_attr_init(&attr), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attr, 256 * 1024), 0);
    pthread_t thread;
    auto run = [](void* p) -> void* {
        auto* j = static_cast<Job*>(p);
        auto r = compile(j->text);
        if (r.requirement) {
            j->compiled = true;
            j->verdict = r.requirement->evaluate(clientFacts());
            j->rendered = r.requirement->text();
        }
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attr, run, &job), 0);
    ASSERT_EQ(pthread_join(thread, nullptr), 0);
    pthread_attr_destroy(&attr);
    ASSERT_TRUE(job.compiled);
    // The innermost "(!identifier ... and info ...)" is false ("!" binds tighter than
    // "and"); the 49 negations around it make the whole true.
    EXPECT_TRUE(job.verdict);
    auto again = compile(job.rendered);
    ASSERT_TRUE(again.requirement) << again.error;
    EXPECT_EQ(again.requirement->text(), job.rendered);
    std::string expected;
    for (std::size_t i = 2; i < half; ++i) {  // the 49 outer negations, the last with "("
        expected += "! ";
    }
    expected += "!(! identifier \"lx.pelk.dvk\" and info [CFBundleVersion] >= \"5.5.0\")";
    EXPECT_EQ(job.rendered, expected);
}

TEST(CsreqHostileInput, LongFlatExpressionsCompileAndEvaluate) {
    // Fifty thousand operands of one "and": no recursion per operand, in
    // compiling, evaluating, rendering or destroying.
    std::string text = "always";
    for (int i = 0; i < 50000; ++i) {
        text += " and identifier \"lx.pelk.dvk\"";
    }
    auto r = compile(text);
    ASSERT_TRUE(r.requirement) << r.error;
    EXPECT_TRUE(r.requirement->evaluate(clientFacts()));
    EXPECT_EQ(r.requirement->text().size(), text.size());
    text += " and never";
    auto r2 = compile(text);
    ASSERT_TRUE(r2.requirement);
    EXPECT_FALSE(r2.requirement->evaluate(clientFacts()));
    // Long "or" chains, nested one level.
    std::string ors = "(never";
    for (int i = 0; i < 20000; ++i) {
        ors += " or info [CFBundleVersion] < 1";
    }
    ors += ") or info [CFBundleVersion] >= 5.5.0";
    auto r3 = compile(ors);
    ASSERT_TRUE(r3.requirement) << r3.error;
    EXPECT_TRUE(r3.requirement->evaluate(clientFacts()));
    // A huge string value and a huge unterminated one.
    std::string big(1 << 20, 'x');
    auto r4 = compile("identifier \"" + big + "\"");
    ASSERT_TRUE(r4.requirement);
    EXPECT_FALSE(r4.requirement->evaluate(clientFacts()));
    EXPECT_EQ(errorOf("identifier \"" + big),
              "1:12: unterminated string: the '\"' here is never "
              "closed");
    // An error far into a long text names its line and column, with a short excerpt.
    std::string lines;
    for (int i = 0; i < 1000; ++i) {
        lines += "always and\n";
    }
    lines += "identifier " + std::string(10000, 'y') + " " + std::string(10000, 'z');
    std::string err = errorOf(lines);
    EXPECT_EQ(err.rfind("1001:10013: expected \"and\", \"or\" or the end of the requirement, found "
                        "\"zzzz",
                        0),
              0u)
        << err;
    EXPECT_LT(err.size(), 200u);
}

// A self-signed certificate with one private extension, to test field.<OID> and hashes.
std::vector<uint8_t> makeCertificate(const char* extensionOid) {
    security::EvpPkeyPtr key(EVP_EC_gen("P-256"));
    security::X509Ptr x(X509_new());
    EXPECT_TRUE(key && x);
    X509_set_version(x.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x.get()), 7);
    X509_gmtime_adj(X509_getm_notBefore(x.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(x.get()), 3600);
    X509_NAME* name = X509_get_subject_name(x.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("test leaf"), -1, -1, 0);
    X509_set_issuer_name(x.get(), name);
    X509_set_pubkey(x.get(), key.get());
    if (extensionOid != nullptr) {
        security::Asn1ObjectPtr obj(OBJ_txt2obj(extensionOid, 1));
        security::Asn1OctetStringPtr data(ASN1_OCTET_STRING_new());
        const unsigned char null[] = {0x05, 0x00};
        ASN1_OCTET_STRING_set(data.get(), null, sizeof null);
        security::X509ExtensionPtr ext(
            X509_EXTENSION_create_by_OBJ(nullptr, obj.get(), 0, data.get()));
        EXPECT_NE(ext, nullptr);
        X509_add_ext(x.get(), ext.get(), -1);
    }
    EXPECT_GT(X509_sign(x.get(), key.get(), EVP_sha256()), 0);
    int len = i2d_X509(x.get(), nullptr);
    std::vector<uint8_t> der(static_cast<std::size_t>(len));
    unsigned char* p = der.data();
    i2d_X509(x.get(), &p);
    return der;
}

std::string sha1Hex(const std::vector<uint8_t>& der) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(der.data(), der.size(), md, &len, EVP_sha1(), nullptr);
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned i = 0; i < len; ++i) {
        out += hex[md[i] >> 4];
        out += hex[md[i] & 15];
    }
    return out;
}

TEST(CsreqCertificateDer, ExtensionsAndHashes) {
    const char* devIdLeaf = "1.2.840.113635.100.6.1.13";
    CodeFacts f = clientFacts();
    f.chain[0].der = makeCertificate(devIdLeaf);
    f.chain[1].der = makeCertificate(nullptr);
    // chain[2] carries no DER at all.
    struct Case {
        std::string text;
        bool expected;
    };
    const Case cases[] = {
        {"certificate leaf[field.1.2.840.113635.100.6.1.13] exists", true},
        {"certificate leaf[field.1.2.840.113635.100.6.1.13]", true},
        {"certificate leaf[field.1.2.840.113635.100.6.1.13] absent", false},
        {"certificate leaf[field.1.2.840.113635.100.6.1.14] exists", false},
        {"certificate leaf[field.1.2.840.113635.100.6.1.14] absent", true},
        {"certificate 1[field.1.2.840.113635.100.6.1.13] exists", false},
        {"certificate 1[field.1.2.840.113635.100.6.1.13] absent", true},
        // No DER: nothing can be said either way.
        {"certificate root[field.1.2.840.113635.100.6.1.13] exists", false},
        {"certificate root[field.1.2.840.113635.100.6.1.13] absent", false},
        {"certificate leaf = H\"" + sha1Hex(f.chain[0].der) + "\"", true},
        {"certificate leaf == H\"" + sha1Hex(f.chain[1].der) + "\"", false},
        {"certificate 1 = H\"" + sha1Hex(f.chain[1].der) + "\"", true},
        {"anchor = H\"" + sha1Hex(f.chain[1].der) + "\"", false},
        {"certificate 5 = H\"" + sha1Hex(f.chain[1].der) + "\"", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(eval(c.text, f), c.expected) << c.text;
    }
    // Garbage instead of DER proves nothing.
    f.chain[0].der = {0x30, 0x03, 0x02, 0x01, 0x01};
    EXPECT_FALSE(eval("certificate leaf[field.1.2.840.113635.100.6.1.13] exists", f));
    EXPECT_FALSE(eval("certificate leaf[field.1.2.840.113635.100.6.1.13] absent", f));
}

// Facts of a certificate of the test PKI, its subject read with OpenSSL.
csreq::CertificateFacts pkiCertificate(const std::string& name) {
    csreq::CertificateFacts facts;
    facts.der = xqtest::readBytes(std::string(XQ_TESTPKI_DIR) + "/" + name + ".der");
    const unsigned char* p = facts.der.data();
    security::X509Ptr x(d2i_X509(nullptr, &p, static_cast<long>(facts.der.size())));
    EXPECT_TRUE(x) << name;
    if (!x) {
        return facts;
    }
    const X509_NAME* subject = X509_get_subject_name(x.get());
    for (int i = 0; i < X509_NAME_entry_count(subject); ++i) {
        const X509_NAME_ENTRY* e = X509_NAME_get_entry(subject, i);
        const char* sn = OBJ_nid2sn(OBJ_obj2nid(X509_NAME_ENTRY_get_object(e)));
        const ASN1_STRING* v = X509_NAME_ENTRY_get_data(e);
        facts.subject.emplace(sn,
                              std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(v)),
                                          static_cast<std::size_t>(ASN1_STRING_length(v))));
    }
    return facts;
}

// The requirement the original platform designates for Developer ID code, and the
// daemon's own, on the test PKI's real certificates.
TEST(CsreqCertificateDer, TestPkiChains) {
    if (!std::filesystem::exists(std::string(XQ_TESTPKI_DIR) + "/app.der")) {
        GTEST_SKIP() << "no test PKI in " << XQ_TESTPKI_DIR;
    }
    auto chainOf = [](const char* leaf) {
        CodeFacts f = clientFacts();
        f.chain = {pkiCertificate(leaf), pkiCertificate("devid-ca"), pkiCertificate("root")};
        return f;
    };
    const std::string developerId =
        "anchor apple generic and certificate 1[field.1.2.840.113635.100.6.2.6] /* exists */ "
        "and certificate leaf[field.1.2.840.113635.100.6.1.13] /* exists */ and certificate "
        "leaf[subject.OU] = T3MQ8VX2LC";
    const std::string rootHash = "anchor = H\"" + sha1Hex(pkiCertificate("root").der) + "\"";

    CodeFacts app = chainOf("app");
    EXPECT_EQ(app.chain[0].subject["CN"], kCertName);
    EXPECT_TRUE(eval(developerId, app));
    EXPECT_TRUE(eval(kDaemonRequirement, app));
    EXPECT_TRUE(eval(rootHash, app));
    EXPECT_TRUE(
        eval("certificate root[subject.CN] = \"Apple Root CA\" and certificate "
             "root[field.1.2.840.113635.100.6.2.6] absent",
             app));

    // An installer leaf lacks the application extension.
    EXPECT_FALSE(eval(developerId, chainOf("installer")));
    // Other team, other common name.
    EXPECT_FALSE(eval(developerId, chainOf("app-otherteam")));
    EXPECT_FALSE(eval(kDaemonRequirement, chainOf("app-otherteam")));
    EXPECT_TRUE(eval(developerId, chainOf("app-othercn")));
    EXPECT_FALSE(eval(kDaemonRequirement, chainOf("app-othercn")));
    // The look-alike root has the same names but another key: only a hash tells.
    CodeFacts adhoc = clientFacts();
    adhoc.chain = {pkiCertificate("app-adhoc"), pkiCertificate("adhoc-ca"),
                   pkiCertificate("adhoc-root")};
    EXPECT_TRUE(eval("certificate root[subject.CN] = \"Apple Root CA\"", adhoc));
    EXPECT_FALSE(eval(rootHash, adhoc));
}

TEST(CsreqConcurrency, OneRequirementManyThreads) {
    auto r = compile(kDaemonRequirement);
    ASSERT_TRUE(r.requirement);
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            CodeFacts good = clientFacts();
            CodeFacts old = clientFacts();
            old.info["CFBundleVersion"] = "5.4." + std::to_string(t);
            for (int i = 0; i < 2000; ++i) {
                if (!r.requirement->evaluate(good) || r.requirement->evaluate(old)) {
                    ++wrong;
                }
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
