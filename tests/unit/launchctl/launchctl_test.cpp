// `launchctl remove LABEL` as the daemon's test build runs it: launchctl-test,
// compiled to act on the build tree's test area, with the systemctl stand-in
// that logs each call and what the unit directory held at that moment.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "Common/XQHelperLabel.h"
#include "platform/process/process.h"
#include "tests/support/harness.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kLabel = xq::kHelperLabel;
const std::string kArea = XQ_TEST_AREA;
const std::string kUnitDir = kArea + "/root/etc/systemd/system";
const std::string kRunning = kArea + "/run/systemd/system";
const std::string kLog = kArea + "/systemctl.log";

struct Call {
    std::vector<std::string> args;
    std::vector<std::string> unitFiles;
};

class LaunchctlTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::error_code ec;
        fs::remove_all(kArea + "/run", ec);
        fs::create_directories(kUnitDir);
        logOffset_ = fs::exists(kLog) ? fs::file_size(kLog) : 0;
        for (const std::string& f :
             {std::string(kLabel) + ".socket", std::string(kLabel) + ".service",
              std::string("sockets.target.wants/") + kLabel + ".socket",
              std::string("multi-user.target.wants/") + kLabel + ".service"}) {
            fs::remove(kUnitDir + "/" + f, ec);
        }
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(kArea + "/run", ec);
        for (const std::string& f : created_) {
            fs::remove(f, ec);
        }
    }

    void file(const std::string& rel, const std::string& content = "[Unit]\n") {
        const std::string p = kUnitDir + "/" + rel;
        fs::create_directories(fs::path(p).parent_path());
        std::ofstream(p) << content;
        created_.push_back(p);
    }
    void link(const std::string& rel, const std::string& to) {
        const std::string p = kUnitDir + "/" + rel;
        fs::create_directories(fs::path(p).parent_path());
        fs::create_symlink(to, p);
        created_.push_back(p);
    }
    bool present(const std::string& rel) {
        return fs::exists(fs::symlink_status(kUnitDir + "/" + rel));
    }

    process::Result remove(const std::string& label = kLabel) {
        return process::run({"/bin/sh",
                             {"-c", "exec \"$0\" remove \"$1\" 2>&1", LAUNCHCTL_TEST_PATH, label},
                             true});
    }

    std::vector<Call> calls() {
        std::vector<Call> out;
        std::string log = xqtest::readFileIfExists(kLog);
        std::istringstream lines(log.substr(std::min(log.size(), logOffset_)));
        for (std::string line; std::getline(lines, line);) {
            auto j = nlohmann::json::parse(line);
            out.push_back({j["args"].get<std::vector<std::string>>(),
                           j["unitFiles"].get<std::vector<std::string>>()});
        }
        return out;
    }

    size_t logOffset_ = 0;
    std::vector<std::string> created_;
};

const std::string kSocket = std::string(kLabel) + ".socket";
const std::string kService = std::string(kLabel) + ".service";

TEST_F(LaunchctlTest, WithoutSystemdItSaysSoAndChangesNothing) {
    file(kSocket);
    file(kService);
    link("sockets.target.wants/" + kSocket, "../" + kSocket);
    process::Result r = remove();
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.terminationStatus, 0);
    EXPECT_NE(r.standardOutput.find("systemd is not running"), std::string::npos)
        << r.standardOutput;
    EXPECT_TRUE(present(kSocket));
    EXPECT_TRUE(present(kService));
    EXPECT_TRUE(present("sockets.target.wants/" + kSocket));
    EXPECT_TRUE(calls().empty());
}

// As after the daemon's uninstall: the service's unit file is gone already,
// the socket is enabled. Systemd is made to forget both (disabled, links and
// files removed, reloaded) before anything is stopped, and the stop does not
// wait: it ends the service that runs this very tool.
TEST_F(LaunchctlTest, ForgetsTheUnitsBeforeStoppingThemWithoutWaiting) {
    fs::create_directories(kRunning);
    file(kSocket);
    link("sockets.target.wants/" + kSocket, "../" + kSocket);
    link("multi-user.target.wants/" + kService, "../" + kService);  // dangling
    file("other.socket");
    link("sockets.target.wants/other.socket", "../other.socket");

    process::Result r = remove();
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.terminationStatus, 0) << r.standardOutput;
    for (const std::string& gone : {kSocket, kService, "sockets.target.wants/" + kSocket,
                                    "multi-user.target.wants/" + kService}) {
        EXPECT_FALSE(present(gone)) << gone;
    }
    EXPECT_TRUE(present("other.socket"));
    EXPECT_TRUE(present("sockets.target.wants/other.socket"));

    // Both are disabled by name, the service although its file is gone (its
    // dangling link is systemd's to remove too).
    std::vector<Call> c = calls();
    ASSERT_EQ(c.size(), 4u);
    EXPECT_EQ(c[0].args,
              (std::vector<std::string>{"disable", "--no-reload", "--quiet", "--", kSocket}));
    EXPECT_EQ(c[1].args,
              (std::vector<std::string>{"disable", "--no-reload", "--quiet", "--", kService}));
    EXPECT_EQ(c[2].args, (std::vector<std::string>{"daemon-reload"}));
    EXPECT_EQ(c[3].args, (std::vector<std::string>{"stop", "--no-block", "--", kSocket, kService}));
    // When systemd reloads, nothing of the helper is left for it to load.
    for (const std::string& f : c[2].unitFiles) {
        EXPECT_EQ(f.find(kLabel), std::string::npos) << f;
    }
}

TEST_F(LaunchctlTest, BothUnitFilesPresentAreDisabledOneByOne) {
    fs::create_directories(kRunning);
    file(kSocket);
    file(kService);
    link("sockets.target.wants/" + kSocket, "../" + kSocket);
    process::Result r = remove();
    EXPECT_EQ(r.terminationStatus, 0) << r.standardOutput;
    std::vector<Call> c = calls();
    ASSERT_EQ(c.size(), 4u);
    EXPECT_EQ(c[0].args.back(), kSocket);
    EXPECT_EQ(c[1].args.back(), kService);
    EXPECT_EQ(c[1].args.front(), "disable");
    EXPECT_EQ(c[3].args.front(), "stop");
    EXPECT_FALSE(present(kSocket));
    EXPECT_FALSE(present(kService));
    EXPECT_FALSE(present("sockets.target.wants/" + kSocket));
}

TEST_F(LaunchctlTest, BadInvocationsTouchNothing) {
    fs::create_directories(kRunning);
    file(kSocket);
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{},
                                               {"remove"},
                                               {"load", kLabel},
                                               {"remove", "--now"},
                                               {"remove", "../../x"},
                                               {"remove", kLabel, "extra"}}) {
        process::Result r = process::run({LAUNCHCTL_TEST_PATH, args, false});
        EXPECT_EQ(r.terminationStatus, 2);
    }
    EXPECT_TRUE(present(kSocket));
    EXPECT_TRUE(calls().empty());
}

// The test build names no directory or program of the host's own systemd:
// everything it acts on lies in the test area.
TEST(LaunchctlTestBuild, NamesNoHostPath) {
    const std::string binary = xqtest::readFile(LAUNCHCTL_TEST_PATH);
    for (const char* host : {"/usr/bin/systemctl", "/run/systemd/system", "/etc/systemd/system"}) {
        std::string asCString = std::string(1, '\0') + host + std::string(1, '\0');
        EXPECT_EQ(binary.find(asCString), std::string::npos) << host;
    }
    EXPECT_NE(binary.find(kArea + "/root/etc/systemd/system"), std::string::npos);
}

}  // namespace
