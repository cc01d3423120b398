// Install and uninstall through the real daemon (its test build), started by
// socket activation and driven by the signed client tool over the real socket,
// with packages built and signed at test time. The test build's "sudo" logs
// every child the daemon starts, and its install seam runs an executable
// placed next to the package between the first signature check and staging.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/support/harness.h"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr const char* kLabel = "lx.pelk.XQSipLocationHelper";
constexpr const char* kOwnVersion = "5.16.0.124";
const std::string kTestArea = XQ_TEST_AREA;
const std::string kStagingArea = kTestArea + "/tmp";
const std::string kSudoLog = kTestArea + "/sudo.log";

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::set<std::string> entries(const std::string& dir) {
    std::set<std::string> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) {
        out.insert(e.path().string());
    }
    return out;
}

struct Reply {
    int exitCode = -1;
    nlohmann::json values;
};

class InstallTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "the daemon stages files for user 0: run as root";
        }
        stagingBefore_ = entries(kStagingArea);
        logOffset_ = fs::exists(kSudoLog) ? fs::file_size(kSudoLog) : 0;
    }

    void TearDown() override {
        // No request leaves a private directory, a staged copy or an
        // extraction directory behind.
        for (const std::string& e : entries(kStagingArea)) {
            EXPECT_TRUE(stagingBefore_.count(e) != 0) << "left behind: " << e;
        }
    }

    void xqpkg(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {XQPKG_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        auto r = xqtest::runCommand(argv);
        ASSERT_EQ(r.exitCode, 0) << r.err;
    }

    // A signed product archive whose payload puts `content` at
    // <dir>/installed/helper. `leaf` empty leaves it unsigned.
    std::string makePackage(const std::string& name, const std::string& version,
                            const std::string& content = "new helper",
                            std::vector<std::string> productArgs = {"--app-id", kLabel},
                            std::vector<std::string> signArgs = {},
                            const std::string& leaf = "installer",
                            std::vector<std::string> buildArgs = {}) {
        const std::string root = dir_.file("root-" + name);
        fs::create_directories(root);
        std::ofstream(root + "/helper") << content;
        ::chmod((root + "/helper").c_str(), 0755);
        const std::string comp = dir_.file("comp-" + name);
        std::vector<std::string> build = {"build",    "--identifier", kLabel, "--version",
                                          version,    "--root",       root,   "--install-location",
                                          installed()};
        build.insert(build.end(), buildArgs.begin(), buildArgs.end());
        build.push_back(comp);
        xqpkg(build);
        const std::string prod = dir_.file("prod-" + name);
        std::vector<std::string> product = {"product"};
        product.insert(product.end(), productArgs.begin(), productArgs.end());
        product.insert(product.end(), {"--component", "helper.pkg=" + comp, prod});
        xqpkg(product);
        const std::string out = dir_.file(name);
        if (leaf.empty()) {
            fs::copy_file(prod, out);
            return out;
        }
        std::vector<std::string> sign = {"sign", "--pki", XQ_TESTPKI_DIR, "--leaf", leaf};
        sign.insert(sign.end(), signArgs.begin(), signArgs.end());
        sign.insert(sign.end(), {prod, out});
        xqpkg(sign);
        return out;
    }

    std::string installed() const { return dir_.path() + "/installed"; }
    std::string installedHelper() const { return installed() + "/helper"; }

    // One request through a freshly activated daemon; the daemon ends when
    // the client leaves.
    Reply request(const std::vector<std::string>& args) {
        Reply reply;
        xqtest::ActivatedDaemon daemon(
            dir_.file("helper-" + std::to_string(socketSeq_++) + ".sock"));
        EXPECT_TRUE(daemon.started());
        auto r = xqtest::runClient(daemon.socketPath(), args, "", 120);
        reply.exitCode = r.exitCode;
        if (r.exitCode == 0) {
            reply.values = nlohmann::json::parse(r.out, nullptr, false);
        }
        daemon.waitForExit(10s);
        return reply;
    }

    Reply install(const std::string& pkg) { return request({"install", pkg}); }

    void expectReply(const Reply& r, bool ok, const std::string& text) {
        ASSERT_EQ(r.exitCode, 0) << "no reply";
        EXPECT_EQ(r.values, nlohmann::json::array({ok, text}));
    }

    // The children the daemon started since the test began, each as the
    // arguments that followed "sudo".
    std::vector<std::vector<std::string>> children() {
        std::vector<std::vector<std::string>> out;
        std::string log = readAll(kSudoLog);
        if (log.size() < logOffset_) {
            return out;
        }
        std::istringstream lines(log.substr(logOffset_));
        for (std::string line; std::getline(lines, line);) {
            out.push_back(nlohmann::json::parse(line).get<std::vector<std::string>>());
        }
        return out;
    }

    std::vector<std::vector<std::string>> installerRuns() {
        std::vector<std::vector<std::string>> out;
        for (auto& c : children()) {
            if (!c.empty() && c[0] == INSTALLER_PATH) {
                out.push_back(c);
            }
        }
        return out;
    }

    // The installer ran once, with exactly five arguments, on a staged copy
    // that is gone again.
    void expectInstallerRanOnStagedCopy(const std::string& clientPath) {
        auto runs = installerRuns();
        ASSERT_EQ(runs.size(), 1u);
        const auto& argv = runs[0];
        ASSERT_EQ(argv.size(), 5u);
        EXPECT_EQ(argv[1], "-pkg");
        EXPECT_EQ(argv[3], "-target");
        EXPECT_EQ(argv[4], "/");
        const std::string& staged = argv[2];
        EXPECT_NE(staged, clientPath);
        EXPECT_EQ(fs::path(staged).filename(), "locationTmp.pkg");
        EXPECT_EQ(fs::path(staged).parent_path().parent_path(), fs::path(kStagingArea));
        EXPECT_EQ(
            fs::path(staged).parent_path().filename().string().rfind(std::string(kLabel) + ".", 0),
            0u);
        EXPECT_FALSE(fs::exists(staged));
    }

    // A swap executable for the seam: runs `script` with the package path as $1.
    void onFirstCheck(const std::string& pkg, const std::string& script) {
        const std::string hook = pkg + ".after-first-check";
        std::ofstream(hook) << "#!/bin/sh\nset -e\n" << script << "\n";
        ::chmod(hook.c_str(), 0755);
    }

    xqtest::TempDir dir_;
    std::set<std::string> stagingBefore_;
    size_t logOffset_ = 0;
    int socketSeq_ = 0;
};

TEST_F(InstallTest, NewerPackageIsInstalledFromTheStagedCopy) {
    const std::string pkg = makePackage("newer.pkg", "5.17.0.1", "helper 5.17");
    expectReply(install(pkg), true, "");
    EXPECT_EQ(readAll(installedHelper()), "helper 5.17");
    expectInstallerRanOnStagedCopy(pkg);
}

TEST_F(InstallTest, EqualVersionIsInstalled) {
    const std::string pkg = makePackage("equal.pkg", kOwnVersion, "same version");
    expectReply(install(pkg), true, "");
    EXPECT_EQ(readAll(installedHelper()), "same version");
    expectInstallerRanOnStagedCopy(pkg);
}

TEST_F(InstallTest, FlatComponentPackageIsInstalled) {
    const std::string root = dir_.file("flat-root");
    fs::create_directories(root);
    std::ofstream(root + "/helper") << "flat";
    xqpkg({"build", "--identifier", kLabel, "--version", "6.0", "--root", root,
           "--install-location", installed(), dir_.file("flat-unsigned.pkg")});
    xqpkg({"sign", "--pki", XQ_TESTPKI_DIR, dir_.file("flat-unsigned.pkg"), dir_.file("flat.pkg")});
    expectReply(install(dir_.file("flat.pkg")), true, "");
    EXPECT_EQ(readAll(installedHelper()), "flat");
}

TEST_F(InstallTest, VersionGateRefusals) {
    const std::string older = makePackage("older.pkg", "5.16.0.123");
    expectReply(install(older), false, "safe install path's location pkg version not allowed");
    const std::string other =
        makePackage("other-id.pkg", "5.17", "x", {"--app-id", "lx.pelk.SomethingElse"});
    expectReply(install(other), false, "safe install path's location pkg version not allowed");
    EXPECT_TRUE(installerRuns().empty());
    EXPECT_FALSE(fs::exists(installedHelper()));
}

TEST_F(InstallTest, NotWellFormedDistributionDoesNotBlock) {
    std::ofstream(dir_.file("broken.xml")) << "<installer-gui-script><app id='lx.pelk.Other'>";
    const std::string pkg = makePackage("broken-dist.pkg", "5.17", "broken dist",
                                        {"--distribution", dir_.file("broken.xml")});
    expectReply(install(pkg), true, "");
    EXPECT_EQ(readAll(installedHelper()), "broken dist");
}

TEST_F(InstallTest, SignatureRefusalsComeBeforeStaging) {
    const std::string unsignedPkg =
        makePackage("unsigned.pkg", "5.17", "x", {"--app-id", kLabel}, {}, "");
    expectReply(install(unsignedPkg), false, "Location pkg codeSign is invalid");
    const std::string otherTeam =
        makePackage("other-team.pkg", "5.17", "x", {"--app-id", kLabel}, {}, "installer-otherteam");
    expectReply(install(otherTeam), false, "Location pkg codeSign is invalid");
    expectReply(install(dir_.file("missing.pkg")), false, "Location pkg codeSign is invalid");
    const std::string notPkg = dir_.file("text.pkg");
    std::ofstream(notPkg) << "not a package";
    expectReply(install(notPkg), false, "Location pkg codeSign is invalid");
    EXPECT_TRUE(installerRuns().empty());
}

TEST_F(InstallTest, InstallerFailureGivesNoWithEmptyText) {
    const std::string scripts = dir_.file("scripts");
    fs::create_directories(scripts);
    std::ofstream(scripts + "/preinstall") << "#!/bin/sh\nexit 1\n";
    ::chmod((scripts + "/preinstall").c_str(), 0755);
    const std::string pkg = makePackage("failing.pkg", "5.17", "x", {"--app-id", kLabel}, {},
                                        "installer", {"--scripts", scripts});
    expectReply(install(pkg), false, "");
    expectInstallerRanOnStagedCopy(pkg);
    EXPECT_FALSE(fs::exists(installedHelper()));
}

TEST_F(InstallTest, PayloadAlteredAfterSigningIsRefusedByTheInstaller) {
    const std::string pkg =
        makePackage("tampered.pkg", "5.17", std::string(50000, 't'), {"--app-id", kLabel},
                    {"--tamper-member", "helper.pkg/Payload"});
    Reply r = install(pkg);
    ASSERT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.values[0], false);
    EXPECT_FALSE(fs::exists(installedHelper()));
}

TEST_F(InstallTest, LinkedValidPackagesInstall) {
    const std::string pkg = makePackage("valid.pkg", "5.17", "linked");
    const std::string symlink = dir_.file("symlink.pkg");
    fs::create_symlink(pkg, symlink);
    expectReply(install(symlink), true, "");
    EXPECT_EQ(readAll(installedHelper()), "linked");
    fs::remove(installedHelper());
    const std::string hardlink = dir_.file("hardlink.pkg");
    fs::create_hard_link(pkg, hardlink);
    expectReply(install(hardlink), true, "");
    EXPECT_EQ(readAll(installedHelper()), "linked");
    auto runs = installerRuns();
    ASSERT_EQ(runs.size(), 2u);
    for (const auto& argv : runs) {
        EXPECT_NE(argv[2], symlink);
        EXPECT_NE(argv[2], hardlink);
    }
}

TEST_F(InstallTest, SwapsAfterTheFirstCheckAreRefused) {
    const std::string good = makePackage("good.pkg", "5.17", "genuine");
    const std::string bad = makePackage("bad.pkg", "5.17", "forged", {"--app-id", kLabel}, {}, "");

    // Renamed over.
    const std::string renamed = dir_.file("renamed.pkg");
    fs::copy_file(good, renamed);
    onFirstCheck(renamed, "cp '" + bad + "' \"$1.new\"\nmv \"$1.new\" \"$1\"");
    expectReply(install(renamed), false, "safe install path's Location pkg codeSign is invalid");

    // A symbolic link re-pointed.
    const std::string link = dir_.file("link.pkg");
    fs::create_symlink(good, link);
    onFirstCheck(link, "ln -sfn '" + bad + "' \"$1\"");
    expectReply(install(link), false, "safe install path's Location pkg codeSign is invalid");

    // A FIFO with no writer, and /dev/zero: refused at once, not read.
    const std::string fifo = dir_.file("fifo.pkg");
    fs::copy_file(good, fifo);
    onFirstCheck(fifo, "rm -f \"$1\"\nmkfifo \"$1\"");
    auto start = std::chrono::steady_clock::now();
    expectReply(install(fifo), false, "copy pkg to safe install path failed");
    const std::string zero = dir_.file("zero.pkg");
    fs::copy_file(good, zero);
    onFirstCheck(zero, "rm -f \"$1\"\nln -s /dev/zero \"$1\"");
    expectReply(install(zero), false, "copy pkg to safe install path failed");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 60s);

    EXPECT_TRUE(installerRuns().empty());
    EXPECT_FALSE(fs::exists(installedHelper()));
}

TEST_F(InstallTest, UninstallRemovesTheFilesThenTheJob) {
    const std::string unit = kTestArea + "/root/etc/systemd/system/" + kLabel + ".service";
    const std::string exe = kTestArea + "/root/usr/local/libexec/" + kLabel;
    // Neither file present: the job is still removed and the reply is YES.
    fs::remove(unit);
    fs::remove(exe);
    expectReply(request({"uninstall"}), true, "");
    auto c = children();
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0], (std::vector<std::string>{LAUNCHCTL_PATH, "remove", kLabel}));

    std::ofstream(unit) << "[Unit]\n";
    std::ofstream(exe) << "helper";
    expectReply(request({"uninstall"}), true, "");
    EXPECT_FALSE(fs::exists(unit));
    EXPECT_FALSE(fs::exists(exe));
}

}  // namespace
