// The install and uninstall commands, called on the service object with its
// parts handed in: each step's order, and what a failing step leaves behind.
// The packages and the version gate are real; the signature checks, staging
// and the child runner record their calls and fail where a case says so.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Common/XQHelperLabel.h"
#include "Main/XQSipLocationCheckVersionHelper.h"
#include "Main/XQSipLocationHelperParts.h"
#include "Main/XQSipLocationHelperXPCMgr.h"
#include "tests/support/harness.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kOwnVersion = "5.16.0";

// Where a case makes a step fail.
struct Faults {
    bool open = true;
    bool firstCheck = true;
    bool copy = true;
    bool symbolicLink = false;
    bool hardLink = false;
    bool secondCheck = true;
    bool sudoStarts = true;
    int installerStatus = 0;
};

class ServicePartsTest : public ::testing::Test {
  protected:
    // A flat component package of the helper's identifier and this version.
    std::string package(const std::string& name, const std::string& version) {
        const std::string root = dir_.path() + "/root-" + name;
        fs::create_directories(root + "/usr/libexec");
        std::ofstream(root + "/usr/libexec/helper") << "payload of " << name;
        const std::string out = dir_.path() + "/" + name;
        const auto r = xqtest::runCommand({XQPKG_PATH, "build", "--identifier", xq::kHelperLabel,
                                           "--version", version, "--root", root, out});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return out;
    }

    std::shared_ptr<XQSipLocationHelperXPCMgr> service(const Faults& faults) {
        XQSipLocationHelperParts parts = XQSipLocationHelperParts::compiledIn();
        parts.checkVersionHelper = std::make_shared<XQSipLocationCheckVersionHelper>(
            [] { return std::string(kOwnVersion); });
        auto checks = std::make_shared<int>(0);
        parts.openClientPackage = [this, faults](const std::string& path) {
            log_.push_back("open " + path);
            return faults.open ? base::UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC))
                               : base::UniqueFd();
        };
        // The first check is of the open file, which must be the client's.
        parts.isOpenPkgCodesignValid = [this, faults, checks](int fd, const std::string& path) {
            log_.push_back("check " + path);
            EXPECT_EQ(openPath(fd), path);
            return ++*checks == 1 ? faults.firstCheck : faults.secondCheck;
        };
        parts.isPkgCodesignValid = [this, faults, checks](const std::string& path) {
            log_.push_back("check " + path);
            return ++*checks == 1 ? faults.firstCheck : faults.secondCheck;
        };
        parts.afterFirstPackageCheck = [this](const std::string& path) {
            log_.push_back("after-first-check " + path);
        };
        // Logs the file behind the descriptor it is given.
        parts.copyToPrivateDirectory =
            [this, faults](int fd, const std::string& name) -> std::optional<std::string> {
            const std::string source = openPath(fd);
            log_.push_back("copy " + source + " " + name);
            if (!faults.copy) {
                return std::nullopt;
            }
            fs::create_directories(staging());
            fs::copy_file(source, staging() + "/" + name, fs::copy_options::overwrite_existing);
            return staging() + "/" + name;
        };
        parts.isSymbolicLink = [this, faults](const std::string& path) {
            log_.push_back("symbolic-link " + path);
            return faults.symbolicLink;
        };
        parts.isHardLink = [this, faults](const std::string& path) {
            log_.push_back("hard-link " + path);
            return faults.hardLink;
        };
        parts.removeStagedFile = [this](const std::string& path) {
            log_.push_back("remove " + path);
            fs::remove_all(fs::path(path).parent_path());
        };
        parts.runTask = [this, faults](const process::Task& task) {
            std::string line = "run " + task.launchPath;
            for (const auto& a : task.arguments) {
                line += " " + a;
            }
            log_.push_back(line);
            process::Result r;
            r.launched = faults.sudoStarts;
            r.exited = true;
            r.terminationStatus = faults.installerStatus;
            return r;
        };
        parts.sudoPath = "/sudo";
        parts.installerPath = "/installer";
        parts.launchctlPath = "/launchctl";
        parts.launchDaemonPlistFormat = dir_.path() + "/jobs/%@.service";
        parts.privilegedHelperToolFormat = dir_.path() + "/tools/%@";
        return XQSipLocationHelperXPCMgr::initWithListener(nullptr, std::move(parts));
    }

    // One install; its reply.
    std::pair<bool, XQNullableString> install(const Faults& faults, const XQNullableString& path) {
        std::vector<std::pair<bool, XQNullableString>> replies;
        service(faults)->installNewLocationHelperPackage(
            path, [&](bool ok, const XQNullableString& text) { replies.emplace_back(ok, text); });
        EXPECT_EQ(replies.size(), 1u);
        return replies.empty() ? std::make_pair(false, XQNullableString()) : replies.front();
    }

    // The path of the file open at `fd`, as the kernel records it.
    static std::string openPath(int fd) {
        std::error_code ec;
        return fs::read_symlink("/proc/self/fd/" + std::to_string(fd), ec).string();
    }

    std::string staging() const { return dir_.path() + "/private"; }
    std::string staged() const { return staging() + "/locationTmp.pkg"; }

    xqtest::TempDir dir_;
    std::vector<std::string> log_;
};

TEST_F(ServicePartsTest, InstallRunsEveryStepOnceInOrderOnTheStagedCopy) {
    const std::string pkg = package("newer.pkg", "5.16.1");
    EXPECT_EQ(install(Faults{}, pkg), std::make_pair(true, XQNullableString("")));
    const std::vector<std::string> expected = {
        "open " + pkg,
        "check " + pkg,
        "after-first-check " + pkg,
        "copy " + pkg + " locationTmp.pkg",
        "symbolic-link " + staged(),
        "hard-link " + staged(),
        "check " + staged(),
        "run /sudo /installer -pkg " + staged() + " -target /",
        "remove " + staged(),
    };
    EXPECT_EQ(log_, expected);
    EXPECT_FALSE(fs::exists(staging()));
}

TEST_F(ServicePartsTest, EachFailingStepGivesItsReplyRunsNothingLaterAndLeavesNothing) {
    const std::string newer = package("newer.pkg", "5.16.1");
    const std::string older = package("older.pkg", "5.15.9");
    struct Case {
        const char* name;
        Faults faults;
        std::string pkg;
        std::pair<bool, XQNullableString> reply;
        size_t steps;  // log lines, the last of them the step that failed (or the removal)
    };
    auto faults = [](auto change) {
        Faults f;
        change(f);
        return f;
    };
    const std::vector<Case> cases = {
        {"open as the client's user",
         faults([](Faults& f) { f.open = false; }),
         newer,
         {false, "Location pkg codeSign is invalid"},
         1},
        {"first check",
         faults([](Faults& f) { f.firstCheck = false; }),
         newer,
         {false, "Location pkg codeSign is invalid"},
         2},
        {"copy",
         faults([](Faults& f) { f.copy = false; }),
         newer,
         {false, "copy pkg to safe install path failed"},
         4},
        {"symbolic link",
         faults([](Faults& f) { f.symbolicLink = true; }),
         newer,
         {false, "safe install path's Location pkg is a link file"},
         7},
        {"hard link",
         faults([](Faults& f) { f.hardLink = true; }),
         newer,
         {false, "safe install path's Location pkg is a link file"},
         7},
        {"second check",
         faults([](Faults& f) { f.secondCheck = false; }),
         newer,
         {false, "safe install path's Location pkg codeSign is invalid"},
         8},
        {"version gate",
         Faults{},
         older,
         {false, "safe install path's location pkg version not allowed"},
         8},
        {"installer fails",
         faults([](Faults& f) { f.installerStatus = 1; }),
         newer,
         {false, ""},
         9},
        {"sudo does not start",
         faults([](Faults& f) { f.sudoStarts = false; }),
         newer,
         {false, ""},
         9},
    };
    for (const Case& c : cases) {
        log_.clear();
        EXPECT_EQ(install(c.faults, c.pkg), c.reply) << c.name;
        EXPECT_EQ(log_.size(), c.steps) << c.name;
        // Whatever was staged is gone, and the installer ran only after every check.
        EXPECT_FALSE(fs::exists(staged())) << c.name;
        for (size_t i = 0; i < log_.size(); ++i) {
            if (log_[i].rfind("run ", 0) == 0) {
                EXPECT_EQ(i, 7u) << c.name;
            }
        }
        if (c.steps > 4) {
            EXPECT_EQ(log_.back(), "remove " + staged()) << c.name;
        }
    }
}

TEST_F(ServicePartsTest, PathsThatNameNoClientFileAreRefusedBeforeAnyCheck) {
    for (const XQNullableString& path :
         {XQNullableString(), XQNullableString(""), XQNullableString("newer.pkg"),
          XQNullableString("./newer.pkg")}) {
        log_.clear();
        EXPECT_EQ(install(Faults{}, path),
                  std::make_pair(false, XQNullableString("Location pkg codeSign is invalid")));
        EXPECT_TRUE(log_.empty()) << (path ? *path : "(nil)");
    }
}

TEST_F(ServicePartsTest, UninstallRemovesTheInstalledFilesWhateverTheJobToolSays) {
    for (const bool sudoStarts : {true, false}) {
        log_.clear();
        const std::string job = dir_.path() + "/jobs/" + std::string(xq::kHelperLabel) + ".service";
        const std::string tool = dir_.path() + "/tools/" + std::string(xq::kHelperLabel);
        fs::create_directories(dir_.path() + "/jobs");
        fs::create_directories(tool);  // a directory with contents goes too
        std::ofstream(job) << "[Service]\n";
        std::ofstream(tool + "/inside") << "x";
        Faults f;
        f.sudoStarts = sudoStarts;
        f.installerStatus = 3;
        std::vector<std::pair<bool, XQNullableString>> replies;
        service(f)->uninstallLocationHelperWithReply(
            [&](bool ok, const XQNullableString& text) { replies.emplace_back(ok, text); });
        EXPECT_EQ(replies, (std::vector<std::pair<bool, XQNullableString>>{{true, ""}}));
        EXPECT_EQ(log_, std::vector<std::string>{"run /sudo /launchctl remove " +
                                                 std::string(xq::kHelperLabel)});
        EXPECT_FALSE(fs::exists(job));
        EXPECT_FALSE(fs::exists(tool));
    }
}

}  // namespace
