// Archive formats: a payload that is not cpio (plain or gzip-compressed) is
// refused with its format named.

#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/unit/installer/installer_fixture.h"
#include "tools/installer/format.h"

namespace installer_test {
namespace {

// A payload (or scripts archive) in a format this installer does not read is
// refused with an error that names the format; nothing is written.
TEST_F(InstallerTest, PayloadInAnotherFormatIsNamed) {
    const std::vector<Entry> entries = {{"./f", S_IFREG | 0644, "f"}};
    struct Case {
        std::string name;
        std::string payload;
        std::string named;
    };
    std::string pbzx("pbzx\0\0\0\0\0\x10\0\0", 12);
    pbzx += std::string(64, 'z');
    const std::vector<Case> cases = {
        {"pbzx.pkg", pbzx, "pbzx"},
        {"xz.pkg", makeCpio(entries, Format::XzCpio), "xz-compressed"},
        {"tar.pkg", makeCpio(entries, Format::GzipTar),
         "gzip-compressed data that is a tar archive"},
        {"zip.pkg", std::string("PK\x03\x04", 4) + std::string(40, '\0'), "zip archive"},
        {"text.pkg", "plain text, no archive", "no known format (first bytes 70 6c 61 69"},
    };
    for (const Case& c : cases) {
        std::string payload = write(c.name + ".payload", c.payload);
        std::string pkg =
            package(c.name, {"--extra-member", "Payload=" + payload, "--extra-encoding", "none"});
        Run r = installWithoutScripts(pkg, target_);
        EXPECT_EQ(r.status, 1) << c.name;
        EXPECT_NE(r.output.find("the Payload of the package is "), std::string::npos) << r.output;
        EXPECT_NE(r.output.find(c.named), std::string::npos) << c.name << ": " << r.output;
        EXPECT_TRUE(targetIsEmpty()) << c.name;
    }
    // The test-only option is the test build's alone.
    process::Result shipped = process::run(
        {INSTALLER_PATH, {"-pkg", "x.pkg", "-target", target_, "-test-skip-scripts"}, false});
    EXPECT_EQ(shipped.terminationStatus, 2);
}

// The sniffing itself, on files: what it lets through and what it names.
TEST(UnsupportedFormat, LetsCpioThroughAndNamesTheRest) {
    char templ[] = "/tmp/xq-installer-format.XXXXXX";
    ASSERT_NE(::mkdtemp(templ), nullptr);
    const std::string dir = templ;
    auto file = [&](const std::string& name, const std::string& bytes) {
        const std::string path = dir + "/" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    };
    auto format = [](const std::string& path) {
        return installer::unsupportedFormat(installer::PayloadSource{path, {}});
    };
    const std::vector<Entry> entries = {{"./f", S_IFREG | 0644, "f"}};
    EXPECT_EQ(format(file("gzip-cpio", makeCpio(entries))), std::nullopt);
    EXPECT_EQ(format(file("odc", "070707" + std::string(70, '0'))), std::nullopt);
    EXPECT_EQ(format(file("newc", "070702" + std::string(104, '0'))), std::nullopt);
    EXPECT_EQ(format(file("binary", std::string("\xc7\x71\0\0", 4))), std::nullopt);
    EXPECT_EQ(format(file("empty", "")), "empty");
    EXPECT_EQ(format(dir + "/missing"), "unreadable");
    EXPECT_EQ(format(file("bzip2", "BZh91AY&SY")), "bzip2-compressed");
    EXPECT_EQ(format(file("tar", std::string(257, '\0') + "ustar")), "a tar archive");
    // A gzip header, then a deflate block of the reserved type.
    EXPECT_EQ(format(file("damaged", std::string("\x1f\x8b\x08\0\0\0\0\0\0\x03\xff\xff\xff", 13))),
              "damaged gzip-compressed data");
    EXPECT_EQ(format(file("gzip-tar", makeCpio(entries, Format::GzipTar))),
              "gzip-compressed data that is a tar archive");
    std::error_code ec;
    fs::remove_all(dir, ec);
}

}  // namespace
}  // namespace installer_test
