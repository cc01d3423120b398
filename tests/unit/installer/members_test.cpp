// The package's members: each one is checked against its checksum before
// anything of the package is installed.

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "tests/unit/installer/installer_fixture.h"

namespace installer_test {
namespace {

TEST_F(InstallerTest, TamperedPayloadIsRefused) {
    write("root/usr/f", std::string(100000, 'p'), 0644);
    std::string pkg = package("good.pkg", {"--root", work_ + "/root"});
    std::string tampered = work_ + "/tampered.pkg";
    run(XQPKG_PATH, {"sign", "--pki", XQ_TESTPKI_DIR, "--tamper-member", "Payload", pkg, tampered},
        0);
    EXPECT_NE(install(tampered), 0);
    EXPECT_TRUE(targetIsEmpty());
    // The same package signed without tampering installs.
    std::string signedPkg = work_ + "/signed.pkg";
    run(XQPKG_PATH, {"sign", "--pki", XQ_TESTPKI_DIR, pkg, signedPkg}, 0);
    EXPECT_EQ(install(signedPkg), 0);
    EXPECT_EQ(fs::file_size(target_ + "/usr/f"), 100000u);
}

}  // namespace
}  // namespace installer_test
