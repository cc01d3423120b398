// The metadata: the components a product's Distribution chooses and the
// install location of each component's PackageInfo.

#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "tests/unit/installer/installer_fixture.h"
#include "tools/installer/metadata.h"

namespace installer_test {
namespace {

TEST_F(InstallerTest, ProductArchiveInstallsItsComponentsAtTheirLocations) {
    write("r1/one", "1");
    write("r2/two", "2");
    std::string c1 = package("c1.pkg", {"--root", work_ + "/r1", "--install-location", "/opt/a"});
    std::string c2 = package("c2.pkg", {"--root", work_ + "/r2"});
    std::string prod = work_ + "/product.pkg";
    run(XQPKG_PATH,
        {"product", "--app-id", "lx.pelk.Test", "--component", "first.pkg=" + c1, "--component",
         "second.pkg=" + c2, prod},
        0);
    ASSERT_EQ(install(prod), 0);
    EXPECT_EQ(xqtest::readFile(target_ + "/opt/a/one"), "1");
    EXPECT_EQ(xqtest::readFile(target_ + "/two"), "2");
}

TEST_F(InstallerTest, DistributionWithEntitiesIsRefusedAPlainDeclarationIsRead) {
    write("r1/one", "1");
    write("r2/two", "2");
    std::string c1 = package("c1.pkg", {"--root", work_ + "/r1"});
    std::string c2 = package("c2.pkg", {"--root", work_ + "/r2"});
    // It chooses only the first component; read as unreadable, every
    // component would be installed.
    const std::string body =
        "<installer-gui-script><pkg-ref id='a'>#first.pkg</pkg-ref></installer-gui-script>";
    auto product = [&](const std::string& name, const std::string& xml) {
        std::string out = work_ + "/" + name;
        run(XQPKG_PATH,
            {"product", "--distribution", write(name + ".xml", xml), "--component",
             "first.pkg=" + c1, "--component", "second.pkg=" + c2, out},
            0);
        return out;
    };
    for (const std::string& doctype :
         {std::string("<!DOCTYPE installer-gui-script [<!ENTITY r '#second.pkg'>]>"),
          std::string("<!DOCTYPE installer-gui-script [<!ENTITY % p 'x'>]>"),
          "<!DOCTYPE installer-gui-script SYSTEM '" + write("x.dtd", "") + "'>"}) {
        const Run refused = installWithoutScripts(product("refused.pkg", doctype + body), target_);
        EXPECT_NE(refused.status, 0) << doctype;
        EXPECT_NE(refused.output.find("the Distribution is refused by the XML reader"),
                  std::string::npos)
            << refused.output;
        EXPECT_TRUE(targetIsEmpty()) << doctype;
    }
    for (const std::string& doctype :
         {std::string(), std::string("<!DOCTYPE installer-gui-script>"),
          std::string("<!DOCTYPE installer-gui-script [<!ELEMENT pkg-ref (#PCDATA)>]>")}) {
        const std::string target = work_ + "/t" + std::to_string(doctype.size());
        fs::create_directories(target);
        const Run plain = installWithoutScripts(product("plain.pkg", doctype + body), target);
        EXPECT_EQ(plain.status, 0) << plain.output;
        EXPECT_EQ(xqtest::readFile(target + "/one"), "1") << doctype;
        EXPECT_FALSE(fs::exists(target + "/two")) << doctype;
    }
}

// The choice of components, on members laid out by hand.
TEST(FindComponents, ChoosesWhatTheDistributionNamesOrEveryComponent) {
    char templ[] = "/tmp/xq-installer-metadata.XXXXXX";
    ASSERT_NE(::mkdtemp(templ), nullptr);
    installer::Members product;
    product.root = templ;
    product.files = {"Distribution", "a b.pkg/Payload", "c.pkg/Scripts", "d.pkg/PackageInfo"};
    product.directories = {"a b.pkg", "c.pkg", "d.pkg", "Resources"};
    auto choose = [&](const std::string& distribution, std::vector<std::string>& components) {
        std::ofstream(product.root + "/Distribution") << distribution;
        components.clear();
        return installer::findComponents(product, components);
    };
    std::vector<std::string> components;
    // Trimmed, percent-decoded, each once, in document order.
    EXPECT_EQ(choose("<d><pkg-ref id='1'> #c.pkg\n</pkg-ref><pkg-ref id='2'>#a%20b.pkg</pkg-ref>"
                     "<pkg-ref id='3'>#c.pkg</pkg-ref><pkg-ref id='4'/></d>",
                     components),
              std::nullopt);
    EXPECT_EQ(components, (std::vector<std::string>{"c.pkg", "a b.pkg"}));
    const std::optional<installer::Failure> missing =
        choose("<d><pkg-ref id='1'>#gone.pkg</pkg-ref></d>", components);
    ASSERT_TRUE(missing);
    EXPECT_NE(missing->reason.find("names a missing component: gone.pkg"), std::string::npos);
    // Not well-formed, or naming none: every component the product holds.
    EXPECT_EQ(choose("<d><pkg-ref>#c.pkg</d>", components), std::nullopt);
    EXPECT_EQ(components, (std::vector<std::string>{"a b.pkg", "c.pkg", "d.pkg"}));
    EXPECT_EQ(choose("<d/>", components), std::nullopt);
    EXPECT_EQ(components.size(), 3u);

    // A flat package is its own one component, if it holds anything to install.
    installer::Members flat;
    flat.files = {"Payload", "PackageInfo"};
    components.clear();
    EXPECT_EQ(installer::findComponents(flat, components), std::nullopt);
    EXPECT_EQ(components, (std::vector<std::string>{""}));
    flat.files = {"PackageInfo"};
    components.clear();
    EXPECT_TRUE(installer::findComponents(flat, components));
    std::error_code ec;
    fs::remove_all(product.root, ec);
}

}  // namespace
}  // namespace installer_test
