// The version gate on real packages built by the package tool, and the
// numeric string ordering it relies on.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Common/XQCompiledPaths.h"
#include "Common/XQHelperLabel.h"
#include "Main/XQSipLocationCheckVersionHelper.h"
#include "platform/process/process.h"
#include "tests/support/harness.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kOwnVersion = "5.16.0.124";
constexpr const char* kHelperId = xq::kHelperLabel;

int sign(int v) {
    return (v > 0) - (v < 0);
}

// --- Numeric ordering ---------------------------------------------------------

TEST(NumericOrdering, DesignExamplesAgainstOwnVersion) {
    XQSipLocationCheckVersionHelper gate([] { return std::string(kOwnVersion); });
    EXPECT_TRUE(gate.checkPkgVersionAllowed(std::string("5.16.0.124")));
    EXPECT_TRUE(gate.checkPkgVersionAllowed(std::string("5.16.1")));
    EXPECT_TRUE(gate.checkPkgVersionAllowed(std::string("6")));
    EXPECT_FALSE(gate.checkPkgVersionAllowed(std::string("5.9.0.999")));
    EXPECT_FALSE(gate.checkPkgVersionAllowed(std::string("5.16.0")));
}

TEST(NumericOrdering, MissingOrEmptyVersionsAreRefused) {
    XQSipLocationCheckVersionHelper gate([] { return std::string(kOwnVersion); });
    EXPECT_FALSE(gate.checkPkgVersionAllowed(std::nullopt));
    EXPECT_FALSE(gate.checkPkgVersionAllowed(std::string()));
    XQSipLocationCheckVersionHelper noOwn([] { return std::optional<std::string>(); });
    EXPECT_FALSE(noOwn.checkPkgVersionAllowed(std::string("99")));
    XQSipLocationCheckVersionHelper emptyOwn([] { return std::string(); });
    EXPECT_FALSE(emptyOwn.checkPkgVersionAllowed(std::string("99")));
}

struct OrderCase {
    const char* lhs;
    const char* rhs;
    int expected;
};

TEST(NumericOrdering, Cases) {
    const OrderCase cases[] = {
        {"5.16.0.124", "5.16.0.124", 0},
        {"5.16.0.125", "5.16.0.124", 1},
        {"5.16.0.99", "5.16.0.124", -1},  // by value, not by character
        {"10", "9", 1},
        {"5.10", "5.9", 1},
        {"5.16.0", "5.16.0.124", -1},  // ends first
        {"", "0", -1},
        {"", "", 0},
        {"007", "7", 0},  // leading zeros do not count
        {"5.016.0.124", "5.16.0.124", 0},
        {"0", "00", 0},
        {"1.0", "1.00", 0},
        {"5.16.0.124a", "5.16.0.124", 1},
        {"5.16.0.124-beta", "5.16.0.124", 1},
        {"5.16.a", "5.16.b", -1},
        {"5.16.B", "5.16.a", -1},  // case-sensitive: 'B' < 'a'
        {"a10", "a9", 1},
        {"a10b", "a10a", 1},
        {"5.16", "5-16", 1},  // '.' > '-'
        {"1a", "10", -1},     // the digit runs 1 and 10 decide first
        {"99999999999999999999999999", "99999999999999999999999998", 1},  // no overflow
        {"100000000000000000000000000", "99999999999999999999999999", 1},
        {"5.16.0.124", "5.16.0.124.0", -1},
        {"\xC3\xA9", "e", 1},  // bytes beyond ASCII compare by value
    };
    for (const OrderCase& c : cases) {
        EXPECT_EQ(sign(XQCompareNumerically(c.lhs, c.rhs)), c.expected)
            << '"' << c.lhs << "\" vs \"" << c.rhs << '"';
        EXPECT_EQ(sign(XQCompareNumerically(c.rhs, c.lhs)), -c.expected)
            << '"' << c.rhs << "\" vs \"" << c.lhs << '"';
    }
}

// --- Element callback ---------------------------------------------------------

TEST(ElementCallback, RulesFollowTheFileBeingParsed) {
    XQVersionParseState s;
    XQSipLocationCheckVersionHelper::parser(s, "pkg-info", {{"version", "1"}});
    EXPECT_FALSE(s.parsedVersion) << "nothing recorded between parses";
    s.parsingFileName = "PackageInfo";
    XQSipLocationCheckVersionHelper::parser(s, "app", {{"id", "x"}});
    EXPECT_FALSE(s.parsedAppId);
    XQSipLocationCheckVersionHelper::parser(s, "pkg-info", {{"version", "1"}});
    EXPECT_EQ(s.parsedVersion, "1");
    XQSipLocationCheckVersionHelper::parser(s, "PKG-INFO", {{"version", "2"}});
    EXPECT_EQ(s.parsedVersion, "1");
    XQSipLocationCheckVersionHelper::parser(s, "pkg-info", {});
    EXPECT_FALSE(s.parsedVersion) << "a later element without the attribute clears it";
    s.parsingFileName = "Distribution";
    XQSipLocationCheckVersionHelper::parser(s, "app", {{"id", "x"}, {"other", "y"}});
    EXPECT_EQ(s.parsedAppId, "x");
    XQSipLocationCheckVersionHelper::parser(s, "pkg-info", {{"version", "3"}});
    EXPECT_FALSE(s.parsedVersion);
}

TEST(MetadataParser, PrefixedNamesKeepTheirPrefix) {
    XQVersionParseState s;
    s.parsingFileName = "PackageInfo";
    XQMetadataParser p(s);
    const std::string xml =
        "<root xmlns:x='urn:x'><x:pkg-info version='9'/><pkg-info version='1'/></root>";
    ASSERT_TRUE(p.parse(xml.data(), xml.size(), true));
    EXPECT_EQ(s.parsedVersion, "1");
}

TEST(MetadataParser, ExternalEntitiesAreNotLoaded) {
    char path[] = "/tmp/xq-entity-test.XXXXXX";
    int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "SECRET", 6), 6);
    ::close(fd);
    for (const std::string& body : {std::string("<r><pkg-info version='&e;'/></r>"),
                                    std::string("<r>&e;<pkg-info version='1'/></r>")}) {
        XQVersionParseState s;
        s.parsingFileName = "PackageInfo";
        XQMetadataParser p(s);
        const std::string xml =
            std::string("<!DOCTYPE r [<!ENTITY e SYSTEM 'file://") + path + "'>]>" + body;
        p.parse(xml.data(), xml.size(), true);
        EXPECT_EQ(s.parsedVersion.value_or("").find("SECRET"), std::string::npos);
    }
    ::unlink(path);
}

TEST(MetadataParser, EntityExpansionBombFailsCleanly) {
    std::string xml = "<!DOCTYPE r [<!ENTITY a0 'xxxxxxxxxxxxxxxx'>";
    for (int i = 1; i < 12; ++i) {
        xml += "<!ENTITY a" + std::to_string(i) + " '";
        for (int k = 0; k < 10; ++k) {
            xml += "&a" + std::to_string(i - 1) + ";";
        }
        xml += "'>";
    }
    xml += "]><r><pkg-info version='&a11;'/></r>";
    XQVersionParseState s;
    s.parsingFileName = "PackageInfo";
    XQMetadataParser p(s);
    EXPECT_FALSE(p.parse(xml.data(), xml.size(), true));
}

TEST(MetadataParser, EntitiesAreRefusedNotJustMalformed) {
    // Before the declaration's end nothing is handed on: an element that
    // precedes the root cannot exist, and the entity stops the parse first.
    const std::string withEntity =
        "<!DOCTYPE r [<!ENTITY v '9.9.9'>]><r><pkg-info version='&v;'/></r>";
    XQVersionParseState s;
    s.parsingFileName = "PackageInfo";
    XQMetadataParser refused(s);
    EXPECT_FALSE(refused.parse(withEntity.data(), withEntity.size(), true));
    EXPECT_TRUE(refused.refused());
    EXPECT_FALSE(s.parsedVersion);

    const std::string plain = "<!DOCTYPE r><r><pkg-info version='9.9.9'/></r>";
    XQVersionParseState u;
    u.parsingFileName = "PackageInfo";
    XQMetadataParser read(u);
    EXPECT_TRUE(read.parse(plain.data(), plain.size(), true));
    EXPECT_EQ(u.parsedVersion, "9.9.9");

    const std::string malformed = "<r><pkg-info version='1'/>";
    XQVersionParseState t;
    t.parsingFileName = "PackageInfo";
    XQMetadataParser broken(t);
    EXPECT_FALSE(broken.parse(malformed.data(), malformed.size(), true));
    EXPECT_FALSE(broken.refused());
    EXPECT_EQ(t.parsedVersion, "1");  // read up to where it broke, as before
}

// --- The gate on real packages ----------------------------------------------

class VersionGateTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char templ[] = "/tmp/xq-gate-test.XXXXXX";
        ASSERT_NE(::mkdtemp(templ), nullptr);
        work_ = templ;
        before_ = tempEntries();
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(work_, ec);
        // Every check removed its private and extraction directories.
        for (const std::string& e : tempEntries()) {
            if (before_.count(e) == 0 && e.find(".XXXX") == std::string::npos) {
                // Another test process may be at work in the same area: only
                // our own leftovers (an extraction directory inside) count.
                EXPECT_FALSE(fs::exists(e + "/unZipLocationPkgTemp")) << "left behind: " << e;
            }
        }
    }
    static std::set<std::string> tempEntries() {
        std::set<std::string> out;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(xq::paths::kTemporaryDirectory, ec)) {
            out.insert(e.path().string());
        }
        return out;
    }

    std::string write(const std::string& name, const std::string& content) {
        std::string p = work_ + "/" + name;
        fs::create_directories(fs::path(p).parent_path());
        std::ofstream(p, std::ios::binary) << content;
        return p;
    }

    void xqpkg(const std::vector<std::string>& args) {
        process::Result r = process::run({XQPKG_PATH, args, false});
        ASSERT_TRUE(r.launched && r.exited && r.terminationStatus == 0) << "xqpkg failed";
    }

    // A flat component package of the given version (and identifier).
    std::string component(const std::string& name, const std::string& version,
                          std::vector<std::string> extra = {}) {
        std::string root = work_ + "/root-" + name;
        fs::create_directories(root + "/usr/local/libexec");
        std::ofstream(root + "/usr/local/libexec/helper") << "payload of " << name;
        std::string out = work_ + "/" + name;
        std::vector<std::string> args = {"build", "--identifier", kHelperId, "--version",
                                         version, "--root",       root};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(out);
        xqpkg(args);
        return out;
    }

    std::string product(const std::string& name, const std::string& comp,
                        std::vector<std::string> distArgs) {
        std::string out = work_ + "/" + name;
        std::vector<std::string> args = {"product"};
        args.insert(args.end(), distArgs.begin(), distArgs.end());
        args.insert(args.end(), {"--component", "helper.pkg=" + comp, out});
        xqpkg(args);
        return out;
    }

    XQSipLocationCheckVersionHelper gate_{[] { return std::string(kOwnVersion); }};
    std::string work_;
    std::set<std::string> before_;
};

TEST_F(VersionGateTest, FlatComponentPackageIsJudgedByItsVersion) {
    EXPECT_TRUE(gate_.isPkgVersionAllowed(component("equal.pkg", kOwnVersion)));
    EXPECT_TRUE(gate_.isPkgVersionAllowed(component("newer.pkg", "5.16.1")));
    EXPECT_TRUE(gate_.isPkgVersionAllowed(component("major.pkg", "6")));
    EXPECT_FALSE(gate_.isPkgVersionAllowed(component("older.pkg", "5.9.0.999")));
    EXPECT_FALSE(gate_.isPkgVersionAllowed(component("shorter.pkg", "5.16.0")));
}

TEST_F(VersionGateTest, ProductArchiveNeedsTheHelperIdentifier) {
    std::string comp = component("c.pkg", "5.17");
    EXPECT_TRUE(gate_.isPkgVersionAllowed(product("ours.pkg", comp, {"--app-id", kHelperId})));
    EXPECT_FALSE(
        gate_.isPkgVersionAllowed(product("other.pkg", comp, {"--app-id", "lx.pelk.Other"})));
    EXPECT_FALSE(gate_.isPkgVersionAllowed(
        product("case.pkg", comp, {"--app-id", "lx.pelk.xqsiplocationhelper"})));
    std::string older = component("old.pkg", "5.15");
    EXPECT_FALSE(gate_.isPkgVersionAllowed(product("oldprod.pkg", older, {"--app-id", kHelperId})));
}

TEST_F(VersionGateTest, DistributionRules) {
    std::string comp = component("c.pkg", kOwnVersion);
    auto withDistribution = [&](const std::string& name, const std::string& xml) {
        return product(name, comp, {"--distribution", write(name + ".xml", xml)});
    };
    // Not well-formed: does not block a package whose version passes.
    EXPECT_TRUE(gate_.isPkgVersionAllowed(
        withDistribution("broken.pkg", "<installer-gui-script><app id='lx.pelk.Other'>")));
    EXPECT_TRUE(gate_.isPkgVersionAllowed(withDistribution("garbage.pkg", "\x01\x02 not xml")));
    // Well-formed without an app element: refused.
    EXPECT_FALSE(gate_.isPkgVersionAllowed(withDistribution(
        "noapp.pkg", "<installer-gui-script><title>x</title></installer-gui-script>")));
    // Only the last app element counts.
    EXPECT_TRUE(gate_.isPkgVersionAllowed(withDistribution(
        "last-ours.pkg",
        "<r><app id='lx.pelk.Other'/><app id='" + std::string(kHelperId) + "'/></r>")));
    EXPECT_FALSE(gate_.isPkgVersionAllowed(withDistribution(
        "last-other.pkg",
        "<r><app id='" + std::string(kHelperId) + "'/><app id='lx.pelk.Other'/></r>")));
    // A later app element without an id clears the earlier one.
    EXPECT_FALSE(gate_.isPkgVersionAllowed(
        withDistribution("noid.pkg", "<r><app id='" + std::string(kHelperId) + "'/><app/></r>")));
    // A namespace prefix is part of the name.
    EXPECT_FALSE(gate_.isPkgVersionAllowed(withDistribution(
        "prefixed.pkg", "<r xmlns:p='urn:p'><p:app id='" + std::string(kHelperId) + "'/></r>")));
}

TEST_F(VersionGateTest, DocumentTypeDeclarations) {
    std::string comp = component("c.pkg", kOwnVersion);
    const std::string ours =
        "<installer-gui-script><app id='" + std::string(kHelperId) + "'/></installer-gui-script>";
    const std::string other =
        "<installer-gui-script><app id='lx.pelk.Other'/></installer-gui-script>";
    auto verdict = [&](const std::string& name, const std::string& xml) {
        return gate_.isPkgVersionAllowed(
            product(name + ".pkg", comp, {"--distribution", write(name + ".xml", xml)}));
    };
    // Declarations the document holds itself: judged as without them.
    for (const std::string& doctype :
         {std::string("<!DOCTYPE installer-gui-script>"),
          std::string("<!DOCTYPE installer-gui-script [<!ELEMENT installer-gui-script ANY>"
                      "<!ATTLIST app id CDATA #REQUIRED>]>")}) {
        EXPECT_TRUE(verdict("doctype-ours", doctype + ours)) << doctype;
        EXPECT_FALSE(verdict("doctype-other", doctype + other)) << doctype;
    }
    // Refused, and a refused Distribution blocks (unlike one that is merely
    // not well-formed), whatever it names.
    for (const std::string& doctype :
         {std::string("<!DOCTYPE installer-gui-script [<!ENTITY id 'x'>]>"),
          std::string("<!DOCTYPE installer-gui-script [<!ENTITY % p 'x'>]>"),
          "<!DOCTYPE installer-gui-script SYSTEM '" + write("d.dtd", "") + "'>"}) {
        EXPECT_FALSE(verdict("refused-ours", doctype + ours)) << doctype;
    }
    // PackageInfo: the version decides, with or without a plain declaration.
    EXPECT_TRUE(gate_.isPkgVersionAllowed(
        component("doctype-info.pkg", "9.0", {"--doctype", "<!DOCTYPE pkg-info>"})));
    EXPECT_FALSE(gate_.isPkgVersionAllowed(
        component("doctype-old.pkg", "5.1", {"--doctype", "<!DOCTYPE pkg-info>"})));
    EXPECT_FALSE(gate_.isPkgVersionAllowed(component(
        "entity-info.pkg", "9.0", {"--doctype", "<!DOCTYPE pkg-info [<!ENTITY v '9.0'>]>"})));
}

TEST_F(VersionGateTest, FirstMemberEndingInPackageInfoDecides) {
    // An extra member comes before the real PackageInfo in archive order; a
    // plain suffix test picks it.
    std::string oldInfo = write("OldPackageInfo", "<pkg-info version='1.0'/>");
    EXPECT_FALSE(gate_.isPkgVersionAllowed(
        component("old-first.pkg", "9.0", {"--extra-member", "OldPackageInfo=" + oldInfo})));
    std::string newInfo = write("NewPackageInfo", "<pkg-info version='9.0'/>");
    EXPECT_TRUE(gate_.isPkgVersionAllowed(
        component("new-first.pkg", "1.0", {"--extra-member", "NewPackageInfo=" + newInfo})));
    std::string noVersion = write("XPackageInfo", "<pkg-info identifier='x'/>");
    EXPECT_FALSE(gate_.isPkgVersionAllowed(
        component("noversion.pkg", "9.0", {"--extra-member", "XPackageInfo=" + noVersion})));
    std::string broken = write("YPackageInfo", "<pkg-info version='9.0'>");
    EXPECT_FALSE(gate_.isPkgVersionAllowed(
        component("broken-info.pkg", "9.0", {"--extra-member", "YPackageInfo=" + broken})));
}

TEST_F(VersionGateTest, NotAPackage) {
    EXPECT_FALSE(gate_.isPkgVersionAllowed(write("text.pkg", "not a xar archive")));
    EXPECT_FALSE(gate_.isPkgVersionAllowed(write("empty.pkg", "")));
    EXPECT_FALSE(gate_.isPkgVersionAllowed(work_ + "/missing.pkg"));
    EXPECT_FALSE(gate_.isPkgVersionAllowed(""));
    EXPECT_FALSE(gate_.isPkgVersionAllowed(work_));
}

TEST_F(VersionGateTest, MemberLookupAndExtraction) {
    std::string pkg = component("c.pkg", kOwnVersion);
    std::string dest = work_ + "/out";
    fs::create_directories(dest);
    EXPECT_FALSE(gate_.getFileFromXar("", dest + "/x", "PackageInfo"));
    EXPECT_FALSE(gate_.getFileFromXar(pkg, "", "PackageInfo"));
    EXPECT_FALSE(gate_.getFileFromXar(pkg, dest + "/x", ""));
    EXPECT_FALSE(gate_.getFileFromXar(pkg, dest + "/x", "NoSuchMember"));
    ASSERT_TRUE(gate_.getFileFromXar(pkg, dest + "/info", "Info"));  // plain suffix
    const std::string text = xqtest::readFile(dest + "/info");
    EXPECT_NE(text.find("pkg-info"), std::string::npos);
    EXPECT_EQ(gate_.unzipFileFromPkg(pkg, dest, "PackageInfo"), dest + "/PackageInfo");
    EXPECT_FALSE(gate_.unzipFileFromPkg(pkg, work_ + "/none", "PackageInfo"));
    EXPECT_FALSE(gate_.unzipFileFromPkg("", dest, "PackageInfo"));
}

// Several connections may run the one gate at once: each check keeps its own
// parse state, so verdicts never leak between them.
TEST_F(VersionGateTest, ConcurrentChecksOnOneGateKeepTheirOwnVerdicts) {
    std::string comp = component("c.pkg", kOwnVersion);
    std::vector<std::pair<std::string, bool>> pkgs = {
        {component("new.pkg", "7.0"), true},
        {component("old.pkg", "1.0"), false},
        {product("ours.pkg", comp, {"--app-id", kHelperId}), true},
        {product("other.pkg", comp, {"--app-id", "lx.pelk.Other"}), false},
    };
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 15; ++i) {
                const auto& [path, expected] = pkgs[(t + i) % pkgs.size()];
                if (gate_.isPkgVersionAllowed(path) != expected) {
                    wrong++;
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
