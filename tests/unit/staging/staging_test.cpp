// Staging of a client's package into a private root-owned directory, and the
// link tests applied to the staged copy. These tests run as root, as the
// daemon does, so that ownership by user 0 can be given and checked.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Common/XQCompiledPaths.h"
#include "Common/XQDaemonToolHelper.h"
#include "tests/support/harness.h"

#ifndef XQ_EXPECTED_PREFIX
#error "XQ_EXPECTED_PREFIX names the private directories' prefix in this test build"
#endif

namespace fs = std::filesystem;

namespace {

class StagingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "staging gives files to user 0: run as root";
        }
        char templ[] = "/tmp/xq-staging-test.XXXXXX";
        ASSERT_NE(::mkdtemp(templ), nullptr);
        work_ = templ;
        before_ = privateDirs();
    }
    void TearDown() override {
        if (!work_.empty()) {
            std::error_code ec;
            fs::remove_all(work_, ec);
        }
        for (const std::string& d : created_) {
            XQDaemonToolHelper::removePrivateDirectory(d);
        }
    }

    // The private directories of this build's prefix in the temporary directory.
    static std::set<std::string> privateDirs() {
        std::set<std::string> out;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(xq::paths::kTemporaryDirectory, ec)) {
            if (e.path().filename().string().rfind(XQ_EXPECTED_PREFIX ".", 0) == 0) {
                out.insert(e.path().string());
            }
        }
        return out;
    }

    std::string writeFile(const std::string& name, const std::string& content, mode_t mode) {
        std::string p = work_ + "/" + name;
        std::ofstream(p, std::ios::binary) << content;
        ::chmod(p.c_str(), mode);
        return p;
    }

    std::optional<std::string> stage(const std::string& src, const std::string& dst) {
        auto r = XQDaemonToolHelper::copyRegularFileToPrivateDirectory(src, dst);
        if (r) {
            created_.insert(fs::path(*r).parent_path().string());
        }
        return r;
    }

    // Runs a staging that must end promptly, whatever is at the path: a hang
    // would otherwise block the whole test run.
    std::optional<std::string> stageWithDeadline(const std::string& src) {
        auto fut = std::async(std::launch::async, [&] { return stage(src, "locationTmp.pkg"); });
        if (fut.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
            ADD_FAILURE() << "staging " << src << " did not return within 10 s";
            std::_Exit(1);
        }
        return fut.get();
    }

    void expectNothingLeftBehind() {
        std::set<std::string> after = privateDirs();
        for (const std::string& d : after) {
            if (before_.count(d) == 0 && created_.count(d) == 0) {
                ADD_FAILURE() << "left behind: " << d;
            }
        }
    }

    std::string work_;
    std::set<std::string> before_;
    std::set<std::string> created_;
};

TEST_F(StagingTest, RegularFileBecomesRootOwnedPrivateCopy) {
    std::string content(200000, '\0');
    for (size_t i = 0; i < content.size(); ++i) {
        content[i] = static_cast<char>(i * 7 + 3);
    }
    std::string src = writeFile("pkg.pkg", content, 0644);
    ASSERT_EQ(::chown(src.c_str(), 65534, 65534), 0);
    mode_t old = ::umask(0077);  // the mode must not depend on the umask
    auto staged = stage(src, "locationTmp.pkg");
    ::umask(old);
    ASSERT_TRUE(staged);
    EXPECT_EQ(fs::path(*staged).filename(), "locationTmp.pkg");
    struct stat st;
    ASSERT_EQ(::lstat(staged->c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_gid, 0u);
    EXPECT_EQ(st.st_nlink, 1u);
    EXPECT_EQ(xqtest::readFile(*staged), content);

    // The private directory: only root may enter, named after the prefix.
    std::string dir = fs::path(*staged).parent_path().string();
    ASSERT_EQ(::lstat(dir.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    std::string name = fs::path(dir).filename().string();
    EXPECT_EQ(name.size(), std::string(XQ_EXPECTED_PREFIX).size() + 9);
    EXPECT_EQ(name.rfind(XQ_EXPECTED_PREFIX ".", 0), 0u) << name;
    EXPECT_EQ(fs::path(dir).parent_path().string() + "/", xq::paths::kTemporaryDirectory);

    // Later changes to the source do not reach the copy.
    std::ofstream(src, std::ios::binary | std::ios::trunc) << "changed";
    EXPECT_EQ(xqtest::readFile(*staged), content);
}

TEST_F(StagingTest, SymbolicLinkSourceIsStagedAsRegularFile) {
    std::string src = writeFile("real.pkg", "package bytes", 0600);
    std::string link = work_ + "/link.pkg";
    ASSERT_EQ(::symlink(src.c_str(), link.c_str()), 0);
    std::string chain = work_ + "/chain.pkg";
    ASSERT_EQ(::symlink(link.c_str(), chain.c_str()), 0);
    for (const std::string& p : {link, chain}) {
        auto staged = stage(p, "locationTmp.pkg");
        ASSERT_TRUE(staged) << p;
        struct stat st;
        ASSERT_EQ(::lstat(staged->c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(xqtest::readFile(*staged), "package bytes");
        EXPECT_FALSE(XQDaemonToolHelper::isSymbolicLinkWithPath(*staged));
        EXPECT_FALSE(XQDaemonToolHelper::isHardLinkWithPath(*staged));
    }
}

TEST_F(StagingTest, HardLinkedSourceGivesSingleLinkCopy) {
    std::string src = writeFile("a.pkg", "hard linked", 0644);
    std::string other = work_ + "/b.pkg";
    ASSERT_EQ(::link(src.c_str(), other.c_str()), 0);
    ASSERT_TRUE(XQDaemonToolHelper::isHardLinkWithPath(other));
    auto staged = stage(other, "locationTmp.pkg");
    ASSERT_TRUE(staged);
    EXPECT_FALSE(XQDaemonToolHelper::isHardLinkWithPath(*staged));
    EXPECT_EQ(xqtest::readFile(*staged), "hard linked");
}

TEST_F(StagingTest, EmptyFileIsStaged) {
    std::string src = writeFile("empty.pkg", "", 0644);
    auto staged = stage(src, "locationTmp.pkg");
    ASSERT_TRUE(staged);
    EXPECT_EQ(fs::file_size(*staged), 0u);
}

TEST_F(StagingTest, SpecialFilesAreRefusedAtOnce) {
    std::string fifo = work_ + "/fifo.pkg";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0666), 0);
    std::string linkToFifo = work_ + "/fifo-link.pkg";
    ASSERT_EQ(::symlink(fifo.c_str(), linkToFifo.c_str()), 0);
    std::string linkToZero = work_ + "/zero-link.pkg";
    ASSERT_EQ(::symlink("/dev/zero", linkToZero.c_str()), 0);
    std::string dir = work_ + "/dir.pkg";
    ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
    // A procfs file claims size 0 yet has content: its size changes under the
    // read, which staging refuses rather than follow.
    for (const std::string& p : {fifo, linkToFifo, std::string("/dev/zero"), linkToZero,
                                 std::string("/dev/null"), dir, std::string("/proc/self/status")}) {
        EXPECT_FALSE(stageWithDeadline(p)) << p;
    }
    expectNothingLeftBehind();
}

TEST_F(StagingTest, MissingOrEmptyArgumentsAreRefused) {
    std::string src = writeFile("p.pkg", "x", 0644);
    EXPECT_FALSE(stage("", "locationTmp.pkg"));
    EXPECT_FALSE(stage(src, ""));
    EXPECT_FALSE(stage(work_ + "/missing.pkg", "locationTmp.pkg"));
    std::string dangling = work_ + "/dangling.pkg";
    ASSERT_EQ(::symlink((work_ + "/nowhere").c_str(), dangling.c_str()), 0);
    EXPECT_FALSE(stage(dangling, "locationTmp.pkg"));
    // Names that would not give a new file inside the private directory.
    EXPECT_FALSE(stage(src, ".."));
    EXPECT_FALSE(stage(src, "a/."));
    EXPECT_FALSE(stage(src, "/"));
    expectNothingLeftBehind();
}

TEST_F(StagingTest, DestinationKeepsOnlyItsLastComponent) {
    std::string src = writeFile("p.pkg", "bytes", 0644);
    auto a = stage(src, "some/dir/locationTmp.pkg");
    ASSERT_TRUE(a);
    EXPECT_EQ(fs::path(*a).filename(), "locationTmp.pkg");
    EXPECT_EQ(fs::path(*a).parent_path().parent_path().string() + "/",
              xq::paths::kTemporaryDirectory);
    auto b = stage(src, "../../escape.pkg");
    ASSERT_TRUE(b);
    EXPECT_EQ(fs::path(*b).filename(), "escape.pkg");
    EXPECT_EQ(fs::path(*b).parent_path().parent_path().string() + "/",
              xq::paths::kTemporaryDirectory);
    auto c = stage(src, "trailing/");
    ASSERT_TRUE(c);
    EXPECT_EQ(fs::path(*c).filename(), "trailing");
}

TEST_F(StagingTest, TwoCallsGiveTwoDirectories) {
    std::string src = writeFile("p.pkg", "bytes", 0644);
    auto a = stage(src, "locationTmp.pkg");
    auto b = stage(src, "locationTmp.pkg");
    ASSERT_TRUE(a && b);
    EXPECT_NE(fs::path(*a).parent_path(), fs::path(*b).parent_path());
    auto d1 = XQDaemonToolHelper::getRandomlyDirectory();
    auto d2 = XQDaemonToolHelper::getRandomlyDirectory();
    ASSERT_TRUE(d1 && d2);
    created_.insert(*d1);
    created_.insert(*d2);
    EXPECT_NE(*d1, *d2);
}

TEST_F(StagingTest, RemovingStagedFileRemovesItsDirectory) {
    std::string src = writeFile("p.pkg", "bytes", 0644);
    auto a = stage(src, "locationTmp.pkg");
    ASSERT_TRUE(a);
    XQDaemonToolHelper::removeStagedFile(*a);
    EXPECT_FALSE(fs::exists(*a));
    EXPECT_FALSE(fs::exists(fs::path(*a).parent_path()));
}

TEST_F(StagingTest, LinkTests) {
    std::string file = writeFile("f", "x", 0644);
    std::string second = work_ + "/f2";
    std::string dir = work_ + "/d";
    ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
    std::string linkToFile = work_ + "/lf";
    std::string linkToDir = work_ + "/ld";
    std::string dangling = work_ + "/dangling";
    ASSERT_EQ(::symlink(file.c_str(), linkToFile.c_str()), 0);
    ASSERT_EQ(::symlink(dir.c_str(), linkToDir.c_str()), 0);
    ASSERT_EQ(::symlink((work_ + "/none").c_str(), dangling.c_str()), 0);

    EXPECT_FALSE(XQDaemonToolHelper::isSymbolicLinkWithPath(file));
    EXPECT_TRUE(XQDaemonToolHelper::isSymbolicLinkWithPath(linkToFile));
    EXPECT_TRUE(XQDaemonToolHelper::isSymbolicLinkWithPath(linkToDir));
    EXPECT_FALSE(XQDaemonToolHelper::isSymbolicLinkWithPath(dangling));
    EXPECT_FALSE(XQDaemonToolHelper::isSymbolicLinkWithPath(work_ + "/none"));
    EXPECT_FALSE(XQDaemonToolHelper::isSymbolicLinkWithPath(""));

    EXPECT_FALSE(XQDaemonToolHelper::isHardLinkWithPath(file));
    ASSERT_EQ(::link(file.c_str(), second.c_str()), 0);
    EXPECT_TRUE(XQDaemonToolHelper::isHardLinkWithPath(file));
    EXPECT_TRUE(XQDaemonToolHelper::isHardLinkWithPath(second));
    // The link itself is examined, not its target.
    EXPECT_FALSE(XQDaemonToolHelper::isHardLinkWithPath(linkToFile));
    // A directory has several links but is never a hard-linked file.
    ASSERT_EQ(::mkdir((dir + "/sub").c_str(), 0755), 0);
    EXPECT_FALSE(XQDaemonToolHelper::isHardLinkWithPath(dir));
    EXPECT_FALSE(XQDaemonToolHelper::isHardLinkWithPath(work_ + "/none"));
    EXPECT_FALSE(XQDaemonToolHelper::isHardLinkWithPath(dangling));
}

// Eight random characters after the prefix (letters and digits), every name
// new; the directory belongs to root alone.
TEST_F(StagingTest, PrivateDirectoriesHaveEightRandomCharacters) {
    std::set<std::string> suffixes;
    std::set<char> characters;
    for (int i = 0; i < 64; ++i) {
        auto d = XQDaemonToolHelper::getRandomlyDirectory();
        ASSERT_TRUE(d);
        created_.insert(*d);
        const std::string name = fs::path(*d).filename().string();
        const std::string prefix = XQ_EXPECTED_PREFIX ".";
        ASSERT_EQ(name.rfind(prefix, 0), 0u) << name;
        const std::string suffix = name.substr(prefix.size());
        ASSERT_EQ(suffix.size(), 8u) << name;
        for (char c : suffix) {
            EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c))) << name;
            characters.insert(c);
        }
        suffixes.insert(suffix);
        struct stat st;
        ASSERT_EQ(::lstat(d->c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0700u);
    }
    EXPECT_EQ(suffixes.size(), 64u);
    // 512 draws from 62 characters: a generator stuck on a few would show.
    EXPECT_GT(characters.size(), 40u);
    for (const std::string& d : created_) {
        XQDaemonToolHelper::removePrivateDirectory(d);
        EXPECT_FALSE(fs::exists(d));
    }
    created_.clear();
}

// The cap is checked on the open descriptor before anything is made: a file
// one byte over it is refused at once, with nothing left. Sparse files stand
// in for large ones; their holes stay holes in the copy (the copy itself is
// tested in tests/unit/copy).
TEST_F(StagingTest, SizeCap) {
    const uint64_t cap = XQDaemonToolHelper::kMaxStagedFileSize;
    ASSERT_EQ(cap, uint64_t{2} << 30);
    const std::string over = work_ + "/over.pkg";
    { std::ofstream(over) << "signed package bytes"; }
    ASSERT_EQ(::truncate(over.c_str(), static_cast<off_t>(cap + 1)), 0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(stage(over, "locationTmp.pkg"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    expectNothingLeftBehind();

    ASSERT_EQ(::truncate(over.c_str(), static_cast<off_t>(cap)), 0);
    auto atCap = stage(over, "locationTmp.pkg");
    ASSERT_TRUE(atCap);
    struct stat st;
    ASSERT_EQ(::stat(atCap->c_str(), &st), 0);
    EXPECT_EQ(static_cast<uint64_t>(st.st_size), cap);
    EXPECT_LT(st.st_blocks * 512, 64 << 20) << "the holes were written out";
    XQDaemonToolHelper::removeStagedFile(*atCap);
}

// At start the service removes what a crashed or killed process left: private
// directories of its prefix that no living process holds. One that this or
// another living process holds stays, as does anything not of that name.
TEST_F(StagingTest, SweepRemovesOnlyAbandonedPrivateDirectories) {
    const std::string tmp = xq::paths::kTemporaryDirectory;
    const std::string prefix = XQ_EXPECTED_PREFIX ".";
    // Left by a process that is gone: nobody holds its lock. Made under
    // another name and renamed into place, so that it appears whole to other
    // processes at work in the same area.
    const std::string abandoned = tmp + prefix + "Ab3dEf9H";
    const std::string making = tmp + prefix + "making-" + std::to_string(::getpid());
    ASSERT_EQ(::mkdir(making.c_str(), 0700), 0);
    std::ofstream(making + "/locationTmp.pkg") << "staged";
    ASSERT_EQ(::mkdir((making + "/sub").c_str(), 0700), 0);
    ASSERT_EQ(::rename(making.c_str(), abandoned.c_str()), 0);
    // Not of the name: wrong length, and a link (never followed).
    const std::string shortName = tmp + prefix + "short";
    ASSERT_EQ(::mkdir(shortName.c_str(), 0700), 0);
    const std::string linkTarget = work_ + "/kept";
    ASSERT_EQ(::mkdir(linkTarget.c_str(), 0700), 0);
    std::ofstream(linkTarget + "/file") << "kept";
    const std::string link = tmp + prefix + "LinkLink";
    ASSERT_EQ(::symlink(linkTarget.c_str(), link.c_str()), 0);
    // Held by this process.
    auto own = stage(writeFile("p.pkg", "bytes", 0644), "locationTmp.pkg");
    ASSERT_TRUE(own);
    // Held by another living process, which is then killed.
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto d = XQDaemonToolHelper::getRandomlyDirectory();
        std::string path = d.value_or("") + "\n";
        (void)!::write(pipeFds[1], path.data(), path.size());
        ::pause();
        std::_Exit(0);
    }
    ::close(pipeFds[1]);
    std::string theirs;
    char c;
    while (::read(pipeFds[0], &c, 1) == 1 && c != '\n') {
        theirs.push_back(c);
    }
    ::close(pipeFds[0]);
    ASSERT_FALSE(theirs.empty());

    XQDaemonToolHelper::removeAbandonedPrivateDirectories();
    EXPECT_FALSE(fs::exists(fs::symlink_status(abandoned)));
    EXPECT_TRUE(fs::exists(*own));
    EXPECT_TRUE(fs::is_directory(theirs));
    EXPECT_TRUE(fs::is_directory(shortName));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_TRUE(fs::exists(linkTarget + "/file"));

    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    XQDaemonToolHelper::removeAbandonedPrivateDirectories();
    EXPECT_FALSE(fs::exists(theirs));
    EXPECT_TRUE(fs::exists(*own));

    ::rmdir(shortName.c_str());
    ::unlink(link.c_str());
}

// A client's package is opened as its user would open it: with that user's
// ids and groups, for a regular file only, never opening a FIFO or device,
// and without changing the identity of any other thread.
TEST_F(StagingTest, OpenAsUserFollowsTheUsersOwnRights) {
    const std::string why = xqtest::testIdentitiesUnavailable();
    if (!why.empty()) {
        GTEST_SKIP() << why;
    }
    const uid_t uid = xqtest::testUser(0);
    const gid_t group = xqtest::testClientGroup();
    const base::ProcessUser user{uid, uid, {}};
    const base::ProcessUser member{uid, uid, {group}};
    const base::ProcessUser primary{uid, group, {}};
    ASSERT_EQ(::chmod(work_.c_str(), 0755), 0);
    const std::string readable = writeFile("readable.pkg", "readable", 0644);
    const std::string rootOnly = writeFile("root-only.pkg", "secret", 0600);
    const std::string groupOnly = writeFile("group.pkg", "group", 0640);
    ASSERT_EQ(::chown(groupOnly.c_str(), 0, group), 0);
    const std::string hidden = work_ + "/hidden";
    ASSERT_EQ(::mkdir(hidden.c_str(), 0700), 0);
    std::ofstream(hidden + "/inside.pkg") << "inside";
    ::chmod((hidden + "/inside.pkg").c_str(), 0644);
    const std::string link = work_ + "/link.pkg";
    ASSERT_EQ(::symlink(rootOnly.c_str(), link.c_str()), 0);
    const std::string fifo = work_ + "/fifo.pkg";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0666), 0);
    // Returns from its open only once someone opens the FIFO for reading.
    auto writer = std::async(std::launch::async, [&] { return ::open(fifo.c_str(), O_WRONLY); });

    auto opens = [](const std::string& path, const base::ProcessUser& who) {
        const base::UniqueFd fd = XQDaemonToolHelper::openRegularFileAs(path, who);
        char c = 0;
        return fd.valid() && ::read(fd.get(), &c, 1) == 1;
    };
    EXPECT_TRUE(opens(readable, user));
    EXPECT_TRUE(opens(groupOnly, member));
    EXPECT_TRUE(opens(groupOnly, primary));
    EXPECT_TRUE(opens(rootOnly, base::ProcessUser{0, 0, {}}));
    for (const std::string& p :
         {rootOnly, groupOnly, link, hidden + "/inside.pkg", work_ + "/missing.pkg", work_, fifo,
          std::string("/dev/null"), std::string("")}) {
        EXPECT_FALSE(opens(p, user)) << p;
    }
    // The calling thread keeps its own rights, and no one opened the FIFO.
    EXPECT_TRUE(base::UniqueFd(::open(rootOnly.c_str(), O_RDONLY | O_CLOEXEC)).valid());
    EXPECT_EQ(writer.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    const int written = writer.get();
    ::close(reader);
    ::close(written);

    // The identity is the one a process runs for: a process of the user,
    // running setgid to the group (as the client does) with a supplementary
    // group, reads as the user's real ids and its supplementary groups.
    int ready[2];
    ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        const gid_t groups[] = {uid + 1, group};
        if (::setgroups(2, groups) != 0 || ::setresgid(uid, group, group) != 0 ||
            ::setresuid(uid, uid, uid) != 0) {
            _exit(1);
        }
        ::close(ready[0]);
        char c = 'x';
        (void)!::write(ready[1], &c, 1);
        ::pause();
        _exit(0);
    }
    ::close(ready[1]);
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    ::close(ready[0]);
    const std::optional<base::ProcessUser> seen = base::processUser(child);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->uid, uid);
    EXPECT_EQ(seen->gid, uid);
    // (The kernel keeps them sorted.)
    EXPECT_EQ(std::set<gid_t>(seen->groups.begin(), seen->groups.end()),
              (std::set<gid_t>{uid + 1, group}));
    EXPECT_EQ(seen->groups.size(), 2u);
    EXPECT_TRUE(opens(groupOnly, *seen));

    // What is staged from the descriptor is the file opened, even once the
    // path names another.
    const base::UniqueFd fd = XQDaemonToolHelper::openRegularFileAs(readable, user);
    ASSERT_EQ(::rename(rootOnly.c_str(), readable.c_str()), 0);
    auto staged =
        XQDaemonToolHelper::copyRegularFileToPrivateDirectory(fd.get(), "locationTmp.pkg");
    ASSERT_TRUE(staged);
    created_.insert(fs::path(*staged).parent_path().string());
    EXPECT_EQ(xqtest::readFile(*staged), "readable");
}

}  // namespace
