// The cpio payload: what its entries carry (owners, modes, links) is what is
// installed, and what is already in the target is treated as the system's
// installer treats it.

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "tests/unit/installer/installer_fixture.h"

namespace installer_test {
namespace {

TEST_F(InstallerTest, OwnersModesAndLinksFromTheArchiveAreKept) {
    std::string pkg =
        packageWithPayload("owners.pkg", {{".", S_IFDIR | 0755, ""},
                                          {"./opt", S_IFDIR | 0711, "", 1234, 5678},
                                          {"./opt/tool", S_IFREG | 04750, "suid tool", 0, 5678},
                                          {"./opt/user-file", S_IFREG | 0640, "mine", 1234, 5678},
                                          {"./opt/alias", S_IFLNK | 0777, "", 0, 0, "tool"}});
    ASSERT_EQ(install(pkg), 0);
    struct stat st;
    ASSERT_EQ(::lstat((target_ + "/opt").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 1234u);
    EXPECT_EQ(st.st_gid, 5678u);
    EXPECT_EQ(st.st_mode & 07777, 0711u);
    ASSERT_EQ(::lstat((target_ + "/opt/tool").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 04750u);
    EXPECT_EQ(st.st_gid, 5678u);
    ASSERT_EQ(::lstat((target_ + "/opt/user-file").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 1234u);
    ASSERT_EQ(::lstat((target_ + "/opt/alias").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(fs::read_symlink(target_ + "/opt/alias"), "tool");
}

TEST_F(InstallerTest, ExistingDirectoriesKeepTheirOwnerAndMode) {
    fs::create_directories(target_ + "/usr");
    ::chmod((target_ + "/usr").c_str(), 0755);
    std::string pkg = packageWithPayload(
        "dirs.pkg", {{"./usr", S_IFDIR | 0700, "", 99, 99}, {"./usr/f", S_IFREG | 0644, "f"}});
    ASSERT_EQ(install(pkg), 0);
    struct stat st;
    ASSERT_EQ(::stat((target_ + "/usr").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(xqtest::readFile(target_ + "/usr/f"), "f");
}

TEST_F(InstallerTest, ReplacesAnExistingFile) {
    write("target/usr/local/libexec/helper", "old", 0755);
    std::string pkg =
        packageWithPayload("replace.pkg", {{"./usr/local/libexec/helper", S_IFREG | 0755, "new"}});
    ASSERT_EQ(install(pkg), 0);
    EXPECT_EQ(xqtest::readFile(target_ + "/usr/local/libexec/helper"), "new");
}

}  // namespace
}  // namespace installer_test
