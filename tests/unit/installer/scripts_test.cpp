// The preinstall and postinstall scripts: their arguments, their order
// around the payload, and what their failure does.

#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "tests/unit/installer/installer_fixture.h"
#include "tools/installer/scripts.h"

namespace installer_test {
namespace {

TEST_F(InstallerTest, PayloadFromDirectoryKeepsModesAndRunsScripts) {
    write("root/usr/local/libexec/helper", "new helper", 0755);
    write("root/usr/local/share/data", "data", 0640);
    write("root/usr/local/share/secret", "s", 0600);
    ::chmod((work_ + "/root/usr/local/share").c_str(), 0750);
    std::string log = work_ + "/scripts.log";
    write("scripts/preinstall",
          "#!/bin/sh\necho \"pre $# $1 $2 $3 $4\" >> " + log +
              "\ntest ! -e \"$2/usr/local/libexec/helper\" || exit 9\n",
          0755);
    write("scripts/postinstall",
          "#!/bin/sh\necho \"post $# $1 $2 $3 $4\" >> " + log +
              "\ntest -e \"$2/usr/local/libexec/helper\" || exit 9\n",
          0755);
    std::string pkg =
        package("dir.pkg", {"--root", work_ + "/root", "--scripts", work_ + "/scripts"});
    ASSERT_EQ(install(pkg), 0);

    EXPECT_EQ(xqtest::readFile(target_ + "/usr/local/libexec/helper"), "new helper");
    struct stat st;
    ASSERT_EQ(::stat((target_ + "/usr/local/libexec/helper").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    ASSERT_EQ(::stat((target_ + "/usr/local/share/data").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    ASSERT_EQ(::stat((target_ + "/usr/local/share/secret").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    ASSERT_EQ(::stat((target_ + "/usr/local/share").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0750u);
    // The target directory itself keeps its own mode.
    ASSERT_EQ(::stat(target_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);

    std::string expectedArgs = " 4 " + pkg + " " + target_ + " " + target_ + " /\n";
    EXPECT_EQ(xqtest::readFile(log), "pre" + expectedArgs + "post" + expectedArgs);
}

TEST_F(InstallerTest, FailingPreinstallStopsTheInstall) {
    write("root/usr/f", "f");
    write("scripts/preinstall", "#!/bin/sh\nexit 3\n", 0755);
    write("scripts/postinstall", "#!/bin/sh\ntouch \"$2/post-ran\"\n", 0755);
    std::string pkg =
        package("failpre.pkg", {"--root", work_ + "/root", "--scripts", work_ + "/scripts"});
    EXPECT_EQ(install(pkg), 1);
    EXPECT_TRUE(targetIsEmpty());
}

TEST_F(InstallerTest, FailingPostinstallFailsTheInstall) {
    write("root/usr/f", "f");
    write("scripts/postinstall", "#!/bin/sh\nexit 4\n", 0755);
    std::string pkg =
        package("failpost.pkg", {"--root", work_ + "/root", "--scripts", work_ + "/scripts"});
    EXPECT_EQ(install(pkg), 1);
}

// One script, run directly: from its own directory, with its arguments, and
// each way it can fail named.
TEST_F(InstallerTest, AScriptRunsFromItsDirectoryAndItsFailuresAreNamed) {
    const std::string dir = work_ + "/scripts";
    write("scripts/preinstall", "#!/bin/sh\necho \"$(pwd) $#:$1:$2\" > ran\n", 0755);
    write("scripts/postinstall", "#!/bin/sh\nexit 3\n", 0755);
    write("scripts/plain", "#!/bin/sh\nexit 0\n", 0644);
    fs::create_directories(dir + "/folder");
    const fs::path before = fs::current_path();

    EXPECT_EQ(installer::runScript(dir, "preinstall", {"one", "two words"}), std::nullopt);
    EXPECT_EQ(xqtest::readFile(dir + "/ran"), dir + " 2:one:two words\n");
    EXPECT_EQ(fs::current_path(), before);
    EXPECT_EQ(installer::runScript(dir, "missing", {}), std::nullopt);
    auto reason = [&](const std::string& name) {
        const std::optional<installer::Failure> f = installer::runScript(dir, name, {});
        return f ? f->reason : std::string("(ran)");
    };
    EXPECT_EQ(reason("postinstall"), "postinstall exited with status 3");
    EXPECT_EQ(reason("folder"), "folder is not a regular file");
    EXPECT_EQ(reason("plain").rfind("plain cannot be run: ", 0), 0u) << reason("plain");
    EXPECT_EQ(fs::current_path(), before);
}

}  // namespace
}  // namespace installer_test
