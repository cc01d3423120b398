// The installer stand-in's command line, and whole packages (the real ones
// of the test data) installed by it; beside it, the other two stand-ins that
// the daemon starts.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Common/XQHelperLabel.h"
#include "platform/process/process.h"
#include "tests/unit/installer/installer_fixture.h"

namespace installer_test {
namespace {

TEST_F(InstallerTest, BadInvocationsAndInputs) {
    write("root/f", "f");
    std::string pkg = package("ok.pkg", {"--root", work_ + "/root"});
    auto status = [&](const std::vector<std::string>& args) {
        process::Result r = process::run({INSTALLER_PATH, args, false});
        return r.exited ? r.terminationStatus : -1;
    };
    EXPECT_NE(status({}), 0);
    EXPECT_NE(status({"-pkg", pkg}), 0);
    EXPECT_NE(status({"-target", target_}), 0);
    EXPECT_NE(status({"-pkg", pkg, "-target", target_, "-extra"}), 0);
    EXPECT_NE(status({"-pkg", pkg, "-target", work_ + "/no-such-dir"}), 0);
    EXPECT_NE(status({"-pkg", write("not.pkg", "not a package"), "-target", target_}), 0);
    EXPECT_NE(status({"-pkg", work_ + "/missing.pkg", "-target", target_}), 0);
    EXPECT_NE(status({"-pkg", "/dev/zero", "-target", target_}), 0);
    EXPECT_TRUE(targetIsEmpty());
    // Arguments in the other order are accepted.
    EXPECT_EQ(status({"-target", target_, "-pkg", pkg}), 0);
    EXPECT_EQ(xqtest::readFile(target_ + "/f"), "f");
}

// Every real package of the test data, into a scratch target of its own, with
// the test build's scripts switched off (they are other makers' scripts for
// another system). Each installs, but for the one whose table of contents is
// damaged, which is refused with a message and leaves its target empty.
TEST_F(InstallerTest, RealPackagesInstallIntoAScratchTarget) {
    struct Expected {
        bool installs;
        std::vector<std::string> present;  // below the target
    };
    const std::map<std::string, Expected> expected = {
        {"Karabiner-DriverKit-VirtualHIDDevice-7.3.0.pkg",
         {true,
          {"Applications/.Karabiner-VirtualHIDDevice-Manager.app/Contents",
           "Library/Application Support/org.pqrs/Karabiner-DriverKit-VirtualHIDDevice"}}},
        {"Sigmatizm.pkg", {true, {"Applications/Sigmatizm.app/Contents/Info.plist"}}},
        {"fleet_not-distribution-signed.pkg", {true, {}}},
        {"fleet_wrong-toc.pkg", {false, {}}},
        // A product whose Resources hold an empty directory member; its
        // payload holds symbolic links of its own.
        {"gino_XZ.pkg",
         {true, {"usr/local/lib/liblzma.5.dylib", "usr/local/share/man/man1/xzcat.1"}}},
        {"outset_script-20140507.pkg", {true, {"usr/local/outset/everyboot-scripts"}}},
    };
    size_t seen = 0;
    for (const auto& e : fs::directory_iterator(REAL_PACKAGES_DIR)) {
        if (e.path().extension() != ".pkg") {
            continue;
        }
        ++seen;
        const std::string name = e.path().filename().string();
        const std::string target = work_ + "/real-" + name;
        fs::create_directories(target);
        Run r = installWithoutScripts(e.path().string(), target);
        auto it = expected.find(name);
        const bool installs = it == expected.end() || it->second.installs;
        if (installs) {
            EXPECT_EQ(r.status, 0) << name << ": " << r.output;
            EXPECT_NE(r.output.find("installer: The install was successful."), std::string::npos);
        } else {
            EXPECT_EQ(r.status, 1) << name << ": " << r.output;
            EXPECT_NE(r.output.find("installer: Error - "), std::string::npos) << r.output;
            EXPECT_TRUE(fs::is_empty(target)) << name;
        }
        if (it != expected.end()) {
            for (const std::string& p : it->second.present) {
                EXPECT_TRUE(fs::exists(fs::symlink_status(target + "/" + p))) << name << ": " << p;
            }
        }
    }
    EXPECT_GE(seen, expected.size());
    EXPECT_TRUE(fs::is_symlink(work_ + "/real-gino_XZ.pkg/usr/local/share/man/man1/xzcat.1"));
    // The package's own resources are not installed, the empty folder neither.
    EXPECT_FALSE(fs::exists(work_ + "/real-gino_XZ.pkg/Resources"));
}

// The other two stand-ins the daemon starts: launchctl and the test sudo.
TEST(LaunchctlStandIn, RefusesBadInvocationsAndIsHarmlessWithoutSystemd) {
    auto status = [](const std::vector<std::string>& args) {
        process::Result r = process::run({LAUNCHCTL_PATH, args, false});
        return r.exited ? r.terminationStatus : -1;
    };
    EXPECT_EQ(status({}), 2);
    EXPECT_EQ(status({"remove"}), 2);
    EXPECT_EQ(status({"load", xq::kHelperLabel}), 2);
    EXPECT_EQ(status({"remove", "--now"}), 2);  // never an option for systemctl
    EXPECT_EQ(status({"remove", "../../etc/x"}), 2);
    EXPECT_EQ(status({"remove", "a b"}), 2);
    struct stat st;
    if (::lstat("/run/systemd/system", &st) == 0) {
        GTEST_SKIP() << "systemd is running here; not touching its units";
    }
    EXPECT_EQ(status({"remove", xq::kHelperLabel}), 0);
}

TEST(TestSudo, LogsItsArgumentsThenRunsThem) {
    char templ[] = "/tmp/xq-testsudo.XXXXXX";
    ASSERT_NE(::mkdtemp(templ), nullptr);
    const std::string dir = templ;
    const std::string log = dir + "/sudo.log";
    ::setenv("XQ_TESTSUDO_LOG", log.c_str(), 1);
    process::Result r =
        process::run({TESTSUDO_PATH, {"/bin/sh", "-c", "exit 7", "with \"quotes\""}, false});
    process::Result missing = process::run({TESTSUDO_PATH, {dir + "/no-such-tool"}, false});
    ::unsetenv("XQ_TESTSUDO_LOG");
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.terminationStatus, 7);
    EXPECT_EQ(missing.terminationStatus, 1);
    EXPECT_EQ(xqtest::readFile(log),
              "[\"/bin/sh\",\"-c\",\"exit 7\",\"with \\\"quotes\\\"\"]\n[\"" + dir +
                  "/no-such-tool\"]\n");
    std::error_code ec;
    fs::remove_all(dir, ec);
}

}  // namespace
}  // namespace installer_test
