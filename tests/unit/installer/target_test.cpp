// Target resolution: entry names that leave the target, and symbolic links
// on the way, crossed only when the system put them there.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/base/fd.h"
#include "tests/unit/installer/installer_fixture.h"
#include "tools/installer/installer.h"
#include "tools/installer/target.h"

namespace installer_test {
namespace {

TEST(NormalizeEntryName, Rules) {
    std::string r;
    EXPECT_TRUE(installer::normalizeEntryName("./a/b", r));
    EXPECT_EQ(r, "a/b");
    EXPECT_TRUE(installer::normalizeEntryName("a//./b/", r));
    EXPECT_EQ(r, "a/b");
    EXPECT_TRUE(installer::normalizeEntryName(".", r));
    EXPECT_EQ(r, "");
    EXPECT_TRUE(installer::normalizeEntryName("a/..b", r));
    EXPECT_EQ(r, "a/..b");
    EXPECT_FALSE(installer::normalizeEntryName("/etc/passwd", r));
    EXPECT_FALSE(installer::normalizeEntryName("../x", r));
    EXPECT_FALSE(installer::normalizeEntryName("a/../../x", r));
    EXPECT_FALSE(installer::normalizeEntryName("a/..", r));
    EXPECT_FALSE(installer::normalizeEntryName(std::string("a\0b", 3), r));
}

TEST_F(InstallerTest, PathsLeavingTheTargetAreRefusedBeforeAnythingIsWritten) {
    const std::string outside = work_ + "/outside";
    fs::create_directories(outside);
    const std::vector<std::vector<Entry>> hostile = {
        {{"./fine", S_IFREG | 0644, "x"}, {"../outside/evil", S_IFREG | 0644, "evil"}},
        {{"./fine", S_IFREG | 0644, "x"}, {"./a/../../outside/evil", S_IFREG | 0644, "evil"}},
        {{"./fine", S_IFREG | 0644, "x"}, {outside + "/evil", S_IFREG | 0644, "evil"}},
        // Writing through a symbolic link of the payload itself.
        {{"./fine", S_IFREG | 0644, "x"},
         {"./link", S_IFLNK | 0777, "", 0, 0, outside},
         {"./link/evil", S_IFREG | 0644, "evil"}},
        // Device nodes and FIFOs are not installed.
        {{"./fine", S_IFREG | 0644, "x"}, {"./dev", S_IFCHR | 0666, ""}},
        {{"./fine", S_IFREG | 0644, "x"}, {"./fifo", S_IFIFO | 0666, ""}},
    };
    int i = 0;
    for (const auto& entries : hostile) {
        std::string pkg = packageWithPayload("hostile" + std::to_string(i++) + ".pkg", entries);
        EXPECT_NE(install(pkg), 0) << pkg;
        EXPECT_TRUE(targetIsEmpty()) << pkg;
        EXPECT_TRUE(fs::is_empty(outside)) << pkg;
    }
    // A symbolic link already in the target is not followed either.
    ASSERT_EQ(::symlink(outside.c_str(), (target_ + "/usr").c_str()), 0);
    std::string pkg =
        packageWithPayload("through-existing.pkg", {{"./usr/evil", S_IFREG | 0644, "evil"}});
    EXPECT_NE(install(pkg), 0);
    EXPECT_TRUE(fs::is_empty(outside));
}

// A symbolic link already in the target is crossed only when the system put
// it there: owned by root, in a root-owned directory no one else may write
// to, and leading to a place inside the target (like Debian's /bin -> usr/bin).
TEST_F(InstallerTest, SystemSymbolicLinksAreCrossedOthersNever) {
    const std::vector<Entry> payload = {{"./usr", S_IFDIR | 0755, ""},
                                        {"./usr/local", S_IFDIR | 0755, ""},
                                        {"./usr/local/bin", S_IFDIR | 0755, ""},
                                        {"./usr/local/bin/tool", S_IFREG | 0755, "tool"}};
    const std::string pkg = packageWithPayload("tool.pkg", payload);

    // Relative, as the system's own: the payload goes through it, and the
    // link stays a link.
    fs::create_directories(target_ + "/sys/usr");
    fs::create_symlink("sys/usr", target_ + "/usr");
    ASSERT_EQ(install(pkg), 0);
    EXPECT_EQ(xqtest::readFile(target_ + "/sys/usr/local/bin/tool"), "tool");
    EXPECT_TRUE(fs::is_symlink(target_ + "/usr"));

    // An absolute one that names a place inside the target, and a chain.
    fs::remove_all(target_);
    fs::create_directories(target_ + "/sys/usr");
    fs::create_symlink(target_ + "/sys/usr", target_ + "/abs");
    fs::create_symlink("abs", target_ + "/usr");
    ASSERT_EQ(install(pkg), 0);
    EXPECT_EQ(xqtest::readFile(target_ + "/sys/usr/local/bin/tool"), "tool");

    // The install location itself may lie behind one.
    fs::remove_all(target_);
    fs::create_directories(target_ + "/usr/bin");
    fs::create_symlink("usr/bin", target_ + "/bin");
    write("loc-root/tool", "located");
    std::string located =
        package("located.pkg", {"--root", work_ + "/loc-root", "--install-location", "/bin"});
    ASSERT_EQ(install(located), 0);
    EXPECT_EQ(xqtest::readFile(target_ + "/usr/bin/tool"), "located");
    EXPECT_TRUE(fs::is_symlink(target_ + "/bin"));

    // Links a user could have planted, and one leading out of the target: the
    // install is refused before anything is written.
    const std::string outside = work_ + "/outside";
    fs::create_directories(outside);
    struct Case {
        const char* what;
        std::function<void()> prepare;
    };
    const std::vector<Case> refused = {
        {"owned by a user",
         [&] {
             fs::create_directories(target_ + "/sys/usr");
             fs::create_symlink("sys/usr", target_ + "/usr");
             ASSERT_EQ(::lchown((target_ + "/usr").c_str(), 65534, 65534), 0);
         }},
        {"in a directory others may write to",
         [&] {
             fs::create_directories(target_ + "/shared/sys/usr");
             ::chmod((target_ + "/shared").c_str(), 01777);
             fs::create_symlink("sys/usr", target_ + "/shared/usr");
             fs::create_symlink("shared/usr", target_ + "/usr");
         }},
        {"in a directory a user owns",
         [&] {
             fs::create_directories(target_ + "/home/sys/usr");
             ASSERT_EQ(::chown((target_ + "/home").c_str(), 65534, 65534), 0);
             fs::create_symlink("sys/usr", target_ + "/home/usr");
             fs::create_symlink("home/usr", target_ + "/usr");
         }},
        {"leading out of the target", [&] { fs::create_symlink(outside, target_ + "/usr"); }},
        {"leading out through ..", [&] { fs::create_symlink("../outside", target_ + "/usr"); }},
    };
    for (const Case& c : refused) {
        fs::remove_all(target_);
        fs::create_directories(target_);
        c.prepare();
        std::set<std::string> before;
        for (const auto& e : fs::recursive_directory_iterator(target_)) {
            before.insert(e.path().string());
        }
        EXPECT_NE(install(pkg), 0) << c.what;
        std::set<std::string> after;
        for (const auto& e : fs::recursive_directory_iterator(target_)) {
            after.insert(e.path().string());
        }
        EXPECT_EQ(before, after) << c.what;
        EXPECT_TRUE(fs::is_empty(outside)) << c.what;
    }
}

// Resolution itself, against a target with links of the system's kind (made
// by root in a directory only root may write to).
TEST_F(InstallerTest, ResolvesLinksOnTheWayButNotTheFinalOneUnlessAsked) {
    const base::UniqueFd fd(::open(target_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(fd);
    const installer::Target top{fd.get(), target_};
    fs::create_directories(target_ + "/real");
    fs::create_symlink("real", target_ + "/link");
    std::string resolved;
    EXPECT_EQ(installer::resolveInTarget(top, "link", {}, false, resolved), std::nullopt);
    EXPECT_EQ(resolved, "link");  // the entry itself, which an extraction replaces
    EXPECT_EQ(installer::resolveInTarget(top, "link", {}, true, resolved), std::nullopt);
    EXPECT_EQ(resolved, "real");
    EXPECT_EQ(installer::resolveInTarget(top, "./link/new/deeper", {}, false, resolved),
              std::nullopt);
    EXPECT_EQ(resolved, "real/new/deeper");  // missing components kept as they are
    // A link the payload made is never crossed, however it looks.
    const std::optional<installer::Failure> own =
        installer::resolveInTarget(top, "link/x", {"link"}, false, resolved);
    ASSERT_TRUE(own);
    EXPECT_NE(own->reason.find("through a symbolic link"), std::string::npos) << own->reason;
    // A loop ends with a refusal.
    fs::create_symlink("b", target_ + "/a");
    fs::create_symlink("a", target_ + "/b");
    const std::optional<installer::Failure> loop =
        installer::resolveInTarget(top, "a/x", {}, false, resolved);
    ASSERT_TRUE(loop);
    EXPECT_NE(loop->reason.find("cannot follow the symbolic link"), std::string::npos)
        << loop->reason;

    // Opening makes what is missing and never follows a link.
    base::UniqueFd dir;
    EXPECT_EQ(installer::openResolvedDirectory(top, "real/new/deeper", dir), std::nullopt);
    EXPECT_TRUE(dir);
    EXPECT_TRUE(fs::is_directory(target_ + "/real/new/deeper"));
    base::UniqueFd through;
    EXPECT_TRUE(installer::openResolvedDirectory(top, "link/sub", through));
    EXPECT_FALSE(through);
    EXPECT_FALSE(fs::exists(target_ + "/real/sub"));
}

}  // namespace
}  // namespace installer_test
