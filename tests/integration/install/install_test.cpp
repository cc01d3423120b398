// Install and uninstall through the real daemon (its test build), started by
// socket activation and driven by the signed client tool over the real socket,
// with packages built and signed at test time. The test build's "sudo" logs
// every child the daemon starts, and its install seam runs an executable
// placed next to the package between the first signature check and staging.
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "Common/XQHelperLabel.h"
#include "tests/support/harness.h"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr const char* kLabel = xq::kHelperLabel;
constexpr const char* kOwnVersion = "5.16.0.124";
const std::string kTestArea = XQ_TEST_AREA;
const std::string kStagingArea = kTestArea + "/tmp";
const std::string kSudoLog = kTestArea + "/sudo.log";
const std::string kSeams = kTestArea + "/seams";

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
        std::error_code ec;
        fs::remove_all(kSeams + dir_.path(), ec);
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
        // Given build arguments come first: the package tool takes the first
        // of a repeated option, so they may name another install location.
        std::vector<std::string> build = {"build"};
        build.insert(build.end(), buildArgs.begin(), buildArgs.end());
        build.insert(build.end(), {"--identifier", kLabel, "--version", version, "--root", root,
                                   "--install-location", installed()});
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

    // One request through a freshly activated daemon, which is then stopped
    // as the service manager stops it.
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
        EXPECT_TRUE(daemon.stop(30s).has_value());
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
        std::string log = xqtest::readFileIfExists(kSudoLog);
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

    // The seam's hook for a package: in the test area, at the package's path
    // below the seams directory.
    static std::string hookPath(const std::string& pkg) {
        return kSeams + pkg + ".after-first-check";
    }

    // A swap executable for the seam: runs `script` with the package path as
    // $1. Made by root, writable by no one else, as the seam requires.
    void onFirstCheck(const std::string& pkg, const std::string& script) {
        const std::string hook = hookPath(pkg);
        fs::create_directories(fs::path(hook).parent_path());
        std::ofstream(hook) << "#!/bin/sh\nset -e\n" << script << "\n";
        ::chmod(hook.c_str(), 0755);
    }

    // The helper's test package with `scripts` (a directory holding
    // preinstall and/or postinstall) and `location` as its install location.
    std::string makeScriptedPackage(const std::string& name, const std::string& content,
                                    const std::string& scripts, const std::string& location = "") {
        std::vector<std::string> build = {"--scripts", scripts};
        if (!location.empty()) {
            build = {"--scripts", scripts, "--install-location", location};
        }
        return makePackage(name, "5.17", content, {"--app-id", kLabel}, {}, "installer", build);
    }

    // A package whose preinstall marks that it runs, then waits until the
    // test lets it go on; its postinstall marks the install's end.
    struct SlowPackage {
        std::string path, started, go, finished, content;
    };
    SlowPackage makeSlowPackage(const std::string& name) {
        SlowPackage p;
        p.started = dir_.file(name + ".started");
        p.go = dir_.file(name + ".go");
        p.finished = dir_.file(name + ".finished");
        p.content = std::string(3 << 20, '\0');
        for (size_t i = 0; i < p.content.size(); ++i) {
            p.content[i] = static_cast<char>((i * 2654435761u) >> 13);
        }
        const std::string scripts = dir_.file(name + "-scripts");
        fs::create_directories(scripts);
        std::ofstream(scripts + "/preinstall")
            << "#!/bin/sh\ntouch '" << p.started << "'\ni=0\nwhile [ ! -e '" << p.go
            << "' ]; do sleep 0.05; i=$((i+1)); [ $i -lt 2400 ] || exit 1; done\n";
        std::ofstream(scripts + "/postinstall") << "#!/bin/sh\ntouch '" << p.finished << "'\n";
        ::chmod((scripts + "/preinstall").c_str(), 0755);
        ::chmod((scripts + "/postinstall").c_str(), 0755);
        p.path = makeScriptedPackage(name, p.content, scripts);
        return p;
    }

    static bool waitForFile(const std::string& path, std::chrono::seconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!fs::exists(path)) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(20ms);
        }
        return true;
    }

    // Entries of the staging area that were not there before the test.
    std::set<std::string> newStagingEntries() {
        std::set<std::string> out;
        for (const std::string& e : entries(kStagingArea)) {
            if (stagingBefore_.count(e) == 0) {
                out.insert(e);
            }
        }
        return out;
    }

    xqtest::TempDir dir_;
    std::set<std::string> stagingBefore_;
    size_t logOffset_ = 0;
    int socketSeq_ = 0;
};

TEST_F(InstallTest, NewerPackageIsInstalledFromTheStagedCopy) {
    const std::string pkg = makePackage("newer.pkg", "5.17.0.1", "helper 5.17");
    expectReply(install(pkg), true, "");
    EXPECT_EQ(xqtest::readFile(installedHelper()), "helper 5.17");
    expectInstallerRanOnStagedCopy(pkg);
}

TEST_F(InstallTest, EqualVersionIsInstalled) {
    const std::string pkg = makePackage("equal.pkg", kOwnVersion, "same version");
    expectReply(install(pkg), true, "");
    EXPECT_EQ(xqtest::readFile(installedHelper()), "same version");
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
    EXPECT_EQ(xqtest::readFile(installedHelper()), "flat");
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
    EXPECT_EQ(xqtest::readFile(installedHelper()), "broken dist");
}

// Signed packages whose metadata carry a document type declaration, through
// the daemon: declarations the document holds itself are read and the
// verdict is the version's, as without them; entities, parameter entities
// and an external subset are refused, which blocks. The external subset is a
// FIFO: opening it would hang the request, and inotify sees any open.
TEST_F(InstallTest, DocumentTypeDeclarationsInTheMetadata) {
    const std::string fifo = dir_.file("subset.dtd");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(::inotify_add_watch(watch, fifo.c_str(), IN_OPEN | IN_ACCESS), 0);

    const std::string body = std::string("<installer-gui-script minSpecVersion='2'><app id='") +
                             kLabel + "'/><pkg-ref id='h'>#helper.pkg</pkg-ref>" +
                             "</installer-gui-script>";
    auto withDistribution = [&](const std::string& name, const std::string& xml,
                                const std::string& version = "5.18.0") {
        std::ofstream(dir_.file(name + ".xml")) << "<?xml version='1.0'?>\n" << xml;
        return makePackage(name + ".pkg", version, name,
                           {"--distribution", dir_.file(name + ".xml")});
    };
    auto withPackageInfo = [&](const std::string& name, const std::string& doctype,
                               const std::string& version) {
        return makePackage(name + ".pkg", version, name, {"--app-id", kLabel}, {}, "installer",
                           {"--doctype", doctype});
    };
    const std::string notAllowed = "safe install path's location pkg version not allowed";

    // Read: installed, as the same package without the declaration is.
    const std::pair<std::string, std::string> accepted[] = {
        {"dist-plain", withDistribution("dist-plain", "<!DOCTYPE installer-gui-script>\n" + body)},
        {"dist-elements",
         withDistribution("dist-elements",
                          "<!DOCTYPE installer-gui-script [\n"
                          "  <!ELEMENT installer-gui-script (app|pkg-ref)*>\n"
                          "  <!ELEMENT app EMPTY> <!ATTLIST app id CDATA #REQUIRED>\n]>\n" +
                              body)},
        {"info-plain", withPackageInfo("info-plain", "<!DOCTYPE pkg-info>", "5.18.0")},
    };
    for (const auto& [name, pkg] : accepted) {
        expectReply(install(pkg), true, "");
        EXPECT_EQ(xqtest::readFile(installedHelper()), name);
    }
    const size_t installs = installerRuns().size();
    EXPECT_EQ(installs, 3u);

    // The verdict is still the version's and the application's.
    expectReply(install(withPackageInfo("info-old", "<!DOCTYPE pkg-info>", "5.16.0.123")), false,
                notAllowed);
    std::string other = body;
    other.replace(other.find(kLabel), std::string(kLabel).size(), "lx.pelk.Other");
    expectReply(install(withDistribution("dist-other", "<!DOCTYPE installer-gui-script>" + other)),
                false, notAllowed);

    // Refused, so blocked, before anything outside the document is opened.
    const std::string refused[] = {
        withDistribution("dist-entity",
                         "<!DOCTYPE installer-gui-script [<!ENTITY v '5.18.0'>]>\n" + body),
        withDistribution("dist-pe", "<!DOCTYPE installer-gui-script [<!ENTITY % p 'x'>]>\n" + body),
        withDistribution("dist-pe-system", "<!DOCTYPE installer-gui-script [<!ENTITY % p SYSTEM '" +
                                               fifo + "'> %p;]>\n" + body),
        withDistribution("dist-system",
                         "<!DOCTYPE installer-gui-script SYSTEM '" + fifo + "'>\n" + body),
        withDistribution("dist-public", "<!DOCTYPE installer-gui-script PUBLIC '-//x//y' 'file://" +
                                            fifo + "'>\n" + body),
        withPackageInfo("info-system", "<!DOCTYPE pkg-info SYSTEM '" + fifo + "'>", "5.18.0"),
        withPackageInfo("info-entity", "<!DOCTYPE pkg-info [<!ENTITY e SYSTEM '" + fifo + "'>]>",
                        "5.18.0"),
    };
    for (const std::string& pkg : refused) {
        expectReply(install(pkg), false, notAllowed);
    }
    EXPECT_EQ(installerRuns().size(), installs);
    EXPECT_EQ(xqtest::readFile(installedHelper()), "info-plain");
    char events[4096];
    EXPECT_EQ(::read(watch, events, sizeof events), -1) << "the declared subset was opened";
    EXPECT_EQ(errno, EAGAIN);
    ::close(watch);
}

TEST_F(InstallTest, SignatureRefusalsComeBeforeStaging) {
    const std::string unsignedPkg =
        makePackage("unsigned.pkg", "5.17", "x", {"--app-id", kLabel}, {}, "");
    expectReply(install(unsignedPkg), false, "Location pkg codeSign is invalid");
    const std::string otherTeam =
        makePackage("other-team.pkg", "5.17", "x", {"--app-id", kLabel}, {}, "installer-otherteam");
    expectReply(install(otherTeam), false, "Location pkg codeSign is invalid");
    // No signed attributes, so no signing time: the CMS check judges the
    // signer now, and this leaf has expired since its time-stamp (which the
    // package tool would accept).
    const std::string expiredSince = makePackage(
        "noattr-past.pkg", "5.17", "x", {"--app-id", kLabel},
        {"--no-signed-attributes", "--timestamp-time", "2020-06-01T00:00:00Z"}, "installer-past");
    expectReply(install(expiredSince), false, "Location pkg codeSign is invalid");
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
    EXPECT_EQ(xqtest::readFile(installedHelper()), "linked");
    fs::remove(installedHelper());
    const std::string hardlink = dir_.file("hardlink.pkg");
    fs::create_hard_link(pkg, hardlink);
    expectReply(install(hardlink), true, "");
    EXPECT_EQ(xqtest::readFile(installedHelper()), "linked");
    auto runs = installerRuns();
    ASSERT_EQ(runs.size(), 2u);
    for (const auto& argv : runs) {
        EXPECT_NE(argv[2], symlink);
        EXPECT_NE(argv[2], hardlink);
    }
}

// The first check and the copy read the one file the daemon opened: what the
// path names after the check (renamed over, a re-pointed link, a FIFO, a
// device) never reaches the staged copy, which holds the checked package;
// only bytes written into that very file do, and the second check refuses them.
TEST_F(InstallTest, SwapsAfterTheFirstCheckDoNotReachTheStagedCopy) {
    const std::string good = makePackage("good.pkg", "5.17", "genuine");
    const std::string bad = makePackage("bad.pkg", "5.17", "forged", {"--app-id", kLabel}, {}, "");

    struct Swap {
        const char* what;
        std::string script;
        bool asLink;
    };
    const std::vector<Swap> swaps = {
        {"renamed over", "cp '" + bad + "' \"$1.new\"\nmv \"$1.new\" \"$1\"", false},
        {"a symbolic link re-pointed", "ln -sfn '" + bad + "' \"$1\"", true},
        {"a FIFO with no writer", "rm -f \"$1\"\nmkfifo \"$1\"", false},
        {"/dev/zero", "rm -f \"$1\"\nln -s /dev/zero \"$1\"", false},
    };
    int i = 0;
    for (const Swap& swap : swaps) {
        SCOPED_TRACE(swap.what);
        const std::string pkg = dir_.file("swap-" + std::to_string(i++) + ".pkg");
        if (swap.asLink) {
            fs::create_symlink(good, pkg);
        } else {
            fs::copy_file(good, pkg);
        }
        onFirstCheck(pkg, swap.script);
        expectReply(install(pkg), true, "");
        EXPECT_EQ(xqtest::readFile(installedHelper()), "genuine");
        fs::remove(installedHelper());
    }
    EXPECT_EQ(installerRuns().size(), swaps.size());

    // Written over in place: the open file itself changes.
    const std::string inPlace = dir_.file("in-place.pkg");
    fs::copy_file(good, inPlace);
    onFirstCheck(inPlace, "cat '" + bad + "' > \"$1\"");
    expectReply(install(inPlace), false, "safe install path's Location pkg codeSign is invalid");
    EXPECT_EQ(installerRuns().size(), swaps.size());
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

    // With "systemd running" in the test area, the test build's job-control
    // tool makes it forget the socket unit too, then stops both without
    // waiting; all of it in the test area, through the systemctl stand-in.
    const std::string unitDir = kTestArea + "/root/etc/systemd/system";
    const std::string socket = unitDir + "/" + kLabel + ".socket";
    const std::string wants = unitDir + "/sockets.target.wants/" + kLabel + ".socket";
    const std::string running = kTestArea + "/run/systemd/system";
    const std::string log = kTestArea + "/systemctl.log";
    fs::create_directories(running);
    fs::create_directories(fs::path(wants).parent_path());
    std::ofstream(unit) << "[Unit]\n";
    std::ofstream(socket) << "[Socket]\n";
    fs::create_symlink("../" + std::string(kLabel) + ".socket", wants);
    const size_t logOffset = fs::exists(log) ? fs::file_size(log) : 0;
    expectReply(request({"uninstall"}), true, "");
    std::error_code ec;
    fs::remove_all(kTestArea + "/run", ec);
    EXPECT_FALSE(fs::exists(unit));
    EXPECT_FALSE(fs::exists(socket));
    EXPECT_FALSE(fs::exists(fs::symlink_status(wants)));
    std::vector<std::string> verbs;
    std::istringstream lines(xqtest::readFileIfExists(log).substr(logOffset));
    for (std::string line; std::getline(lines, line);) {
        verbs.push_back(nlohmann::json::parse(line)["args"][0].get<std::string>());
    }
    // Both units disabled by name (the service's file is gone already), then
    // systemd reloads, and only then is anything stopped.
    EXPECT_EQ(verbs, (std::vector<std::string>{"disable", "disable", "daemon-reload", "stop"}));
}

// While A's install runs (its preinstall waits), B asks for exit, or the
// service manager stops the service (SIGTERM): the end waits for A. A gets its
// reply, the helper is installed whole, no staged copy is left, and only then
// does the process exit, with status 0; no new client is taken on meanwhile.
// A client that merely asks and leaves ends nothing: the next is served.
TEST_F(InstallTest, TheProcessEndWaitsForTheRunningInstall) {
    struct Departure {
        const char* what;
        std::vector<std::string> args;  // none: SIGTERM to the daemon
        std::string reply;
        bool ends;
    };
    const std::vector<Departure> departures = {
        {"exit", {"exit"}, "[\"Location helper terminate start\"]\n", true},
        {"SIGTERM", {}, "", true},
        {"run, then leaving", {"run"}, "[true]\n", false},
    };
    int n = 0;
    for (const Departure& b : departures) {
        SCOPED_TRACE(b.what);
        std::error_code ec;
        fs::remove_all(installed(), ec);
        SlowPackage pkg = makeSlowPackage("slow" + std::to_string(n++) + ".pkg");
        xqtest::ActivatedDaemon daemon(dir_.file("ending-" + std::to_string(n) + ".sock"));
        ASSERT_TRUE(daemon.started());
        auto a = std::async(std::launch::async, [&] {
            return xqtest::runClient(daemon.socketPath(), {"install", pkg.path}, "", 120);
        });
        ASSERT_TRUE(waitForFile(pkg.started, 60s));
        EXPECT_EQ(newStagingEntries().size(), 1u);

        if (b.args.empty()) {
            ASSERT_EQ(::kill(daemon.pid(), SIGTERM), 0);
        } else {
            auto br = xqtest::runClient(daemon.socketPath(), b.args, "", 0.5);
            EXPECT_EQ(br.exitCode, 0) << br.err;
            EXPECT_EQ(br.out, b.reply);
        }
        // Time for a wrong end to happen: the process must still be there,
        // A unanswered; a new client is taken on only when nothing is ending.
        std::this_thread::sleep_for(500ms);
        EXPECT_TRUE(daemon.running());
        EXPECT_EQ(a.wait_for(0s), std::future_status::timeout);
        // (The client tool retries a refused connection until its timeout.)
        auto c = xqtest::runClient(daemon.socketPath(), {"run"}, "", 0.5);
        EXPECT_EQ(c.out == "[true]\n", !b.ends) << c.out << c.err;

        std::ofstream(pkg.go) << "go";
        auto ar = a.get();
        EXPECT_EQ(ar.exitCode, 0) << ar.err;
        EXPECT_EQ(ar.out, "[true,\"\"]\n");
        EXPECT_TRUE(fs::exists(pkg.finished));
        EXPECT_TRUE(xqtest::readFile(installedHelper()) == pkg.content)
            << "the helper is not whole";
        if (!b.ends) {
            EXPECT_TRUE(daemon.running());
            ASSERT_EQ(::kill(daemon.pid(), SIGTERM), 0);
        }
        std::optional<int> status = daemon.waitForExit(30s);
        ASSERT_TRUE(status.has_value()) << "the process did not end";
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
        EXPECT_TRUE(newStagingEntries().empty());
    }
}

// Installs and uninstalls run one at a time, in the order they came, on any
// connection: another client's uninstall during A's install waits, and runs
// once A has its reply. Its job-control tool then stops the service (without
// waiting for the stop, which waits for the uninstall); the uninstall still
// replies, and the process ends with status 0 and nothing staged. A second
// install that waits for its turn and whose client leaves never runs.
TEST_F(InstallTest, AnUninstallDuringAnInstallRunsAfterIt) {
    // "systemd running" in the test area: the job-control tool stops the
    // service, which the test build's systemctl does by SIGTERM to the daemon.
    struct SystemdRunning {
        SystemdRunning() { fs::create_directories(kTestArea + "/run/systemd/system"); }
        ~SystemdRunning() {
            std::error_code ec;
            fs::remove_all(kTestArea + "/run", ec);
        }
        SystemdRunning(const SystemdRunning&) = delete;
        SystemdRunning& operator=(const SystemdRunning&) = delete;
    } systemdRunning;
    SlowPackage pkg = makeSlowPackage("before-uninstall.pkg");
    const std::string other = makePackage("waiting.pkg", "5.17", "never installed");
    xqtest::ActivatedDaemon daemon(dir_.file("turns.sock"));
    ASSERT_TRUE(daemon.started());
    // A client that stays connected throughout, so that only the stop can
    // end the process.
    auto holder = std::async(std::launch::async, [&] {
        return xqtest::runClient(daemon.socketPath(), {"--linger", "100", "run"}, "", 60);
    });
    auto a = std::async(std::launch::async, [&] {
        return xqtest::runClient(daemon.socketPath(), {"install", pkg.path}, "", 120);
    });
    ASSERT_TRUE(waitForFile(pkg.started, 60s));
    // A second install, whose client gives up while it waits.
    auto gaveUp = xqtest::runClient(daemon.socketPath(), {"install", other}, "", 1);
    EXPECT_EQ(gaveUp.exitCode, 4) << gaveUp.out << gaveUp.err;
    auto b = std::async(std::launch::async, [&] {
        return xqtest::runClient(daemon.socketPath(), {"uninstall"}, "", 120);
    });
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(b.wait_for(0s), std::future_status::timeout) << "the uninstall did not wait";
    EXPECT_EQ(children().size(), 1u) << "only the installer runs";
    EXPECT_TRUE(daemon.running());

    std::ofstream(pkg.go) << "go";
    auto ar = a.get();
    auto br = b.get();
    EXPECT_EQ(ar.out, "[true,\"\"]\n") << ar.err;
    EXPECT_EQ(br.out, "[true,\"\"]\n") << br.err;
    EXPECT_TRUE(xqtest::readFile(installedHelper()) == pkg.content) << "the helper is not whole";
    const auto c = children();
    ASSERT_EQ(c.size(), 2u);
    EXPECT_EQ(c[0][0], INSTALLER_PATH);
    EXPECT_EQ(c[1], (std::vector<std::string>{LAUNCHCTL_PATH, "remove", kLabel}));
    // Ended by the uninstall's own stop, while the holder was still there.
    std::optional<int> status = daemon.waitForExit(30s);
    ASSERT_TRUE(status.has_value()) << "the process did not end";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
    const auto held = holder.get();
    EXPECT_EQ(held.out, "[true]\n");
    EXPECT_EQ(held.exitCode, 3) << "the holder should have lost its connection";
    EXPECT_TRUE(newStagingEntries().empty());
}

// A process killed in the middle of an install leaves its private directory;
// the next process of the service removes it when it starts.
TEST_F(InstallTest, DirectoryLeftByAKilledProcessIsRemovedAtTheNextStart) {
    SlowPackage pkg = makeSlowPackage("killed.pkg");
    {
        xqtest::ActivatedDaemon daemon(dir_.file("killed.sock"));
        ASSERT_TRUE(daemon.started());
        auto a = std::async(std::launch::async, [&] {
            return xqtest::runClient(daemon.socketPath(), {"install", pkg.path}, "", 120);
        });
        ASSERT_TRUE(waitForFile(pkg.started, 60s));
        ASSERT_EQ(::kill(daemon.pid(), SIGKILL), 0);
        ASSERT_TRUE(daemon.waitForExit(10s).has_value());
        EXPECT_NE(a.get().exitCode, 0);  // no reply
    }
    std::set<std::string> left = newStagingEntries();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_TRUE(fs::exists(*left.begin() + "/locationTmp.pkg"));
    // The orphaned installer runs to its end; then the next start sweeps.
    std::ofstream(pkg.go) << "go";
    ASSERT_TRUE(waitForFile(pkg.finished, 60s));
    Reply r = request({"run"});
    ASSERT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.values, nlohmann::json::array({true}));
    EXPECT_TRUE(newStagingEntries().empty());
}

// Bytes appended after a signed package pass both signature checks (the
// signature covers the table of contents): one byte over the 2 GiB cap is
// refused at staging with nothing left; 1 GiB of padding under the cap
// installs. Sparse padding costs the test neither time nor disk.
TEST_F(InstallTest, PaddedPackagesOverTheCapAreRefusedUnderItInstalled) {
    const std::string pkg = makePackage("padded.pkg", "5.17", "padded helper");
    const uintmax_t size = fs::file_size(pkg);
    const std::string over = dir_.file("over.pkg");
    fs::copy_file(pkg, over);
    fs::resize_file(over, (uintmax_t{2} << 30) + 1);
    expectReply(install(over), false, "copy pkg to safe install path failed");
    EXPECT_TRUE(installerRuns().empty());
    EXPECT_TRUE(newStagingEntries().empty());
    fs::remove(over);

    const std::string under = dir_.file("under.pkg");
    fs::copy_file(pkg, under);
    fs::resize_file(under, size + (uintmax_t{1} << 30));
    expectReply(install(under), true, "");
    EXPECT_EQ(xqtest::readFile(installedHelper()), "padded helper");
    expectInstallerRanOnStagedCopy(under);
}

// The daemon never reads a package from its own working directory: a
// relative path is refused as a package that fails the signature check is,
// even with a valid package of that name where the daemon runs.
TEST_F(InstallTest, RelativePathIsRefused) {
    const std::string pkg = makePackage("newer.pkg", "5.17", "from the daemon's directory");
    char cwd[4096];
    ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(::chdir(dir_.path().c_str()), 0);
    xqtest::ActivatedDaemon daemon(dir_.file("relative.sock"));
    ASSERT_EQ(::chdir(cwd), 0);
    ASSERT_TRUE(daemon.started());
    // The client tool makes paths absolute itself, so the request is sent as
    // it is on the wire.
    std::string requests;
    for (const char* path : {"newer.pkg", "./newer.pkg", ""}) {
        requests += nlohmann::json({{"seq", requests.size()},
                                    {"selector", "installNewLocationHelperPackage:reply:"},
                                    {"types", "c@"},
                                    {"args", {path}}})
                        .dump() +
                    "\n";
    }
    auto r = xqtest::runCommand(
        {xqtest::clientPath(), "--socket", daemon.socketPath(), "--timeout", "2", "session"},
        requests, 30s);
    std::istringstream lines(r.out);
    int replies = 0;
    for (std::string line; std::getline(lines, line); ++replies) {
        auto reply = nlohmann::json::parse(line);
        EXPECT_EQ(reply["reply"],
                  nlohmann::json::array({false, "Location pkg codeSign is invalid"}));
    }
    EXPECT_EQ(replies, 3) << r.out << r.err;
    EXPECT_TRUE(installerRuns().empty());
    EXPECT_FALSE(fs::exists(installedHelper()));
}

// A product archive with an empty directory among its resources (as real
// ones have) installs.
TEST_F(InstallTest, EmptyDirectoryMemberInstalls) {
    const std::string pkg = makePackage("empty-dir.pkg", "5.17", "with an empty folder",
                                        {"--app-id", kLabel, "--extra-directory", "Resources",
                                         "--extra-directory", "Resources/sv.lproj"});
    expectReply(install(pkg), true, "");
    EXPECT_EQ(xqtest::readFile(installedHelper()), "with an empty folder");
}

// The install location lies behind a symbolic link that root made in a
// root-owned directory (as /bin -> usr/bin is): the installer crosses it. The
// same link owned by a user is one the user could have planted: the
// installer refuses, and nothing is written.
TEST_F(InstallTest, SystemSymbolicLinkIsCrossedAPlantedOneIsNot) {
    const std::string real = dir_.file("real");
    fs::create_directories(real);
    const std::string link = dir_.file("system-link");
    fs::create_symlink("real", link);
    const std::string scripts = dir_.file("no-scripts");
    fs::create_directories(scripts);
    const std::string pkg =
        makeScriptedPackage("behind-link.pkg", "behind a link", scripts, link + "/helper-dir");
    expectReply(install(pkg), true, "");
    EXPECT_EQ(xqtest::readFile(real + "/helper-dir/helper"), "behind a link");
    EXPECT_TRUE(fs::is_symlink(link));

    fs::remove_all(real + "/helper-dir");
    ASSERT_EQ(::lchown(link.c_str(), 65534, 65534), 0);
    expectReply(install(pkg), false, "");
    EXPECT_TRUE(fs::is_empty(real));
}

// The test seam runs only a hook that root made in the test area and that no
// one else may change. Each planted hook below would write an unsigned
// package over the checked one (making the install fail) and leave a mark;
// none runs.
TEST_F(InstallTest, SeamRunsOnlyRootsHookInTheTestArea) {
    const std::string good = makePackage("seam.pkg", "5.17", "genuine");
    const std::string bad =
        makePackage("seam-bad.pkg", "5.17", "forged", {"--app-id", kLabel}, {}, "");
    const std::string mark = dir_.file("hook-ran");
    const std::string body = "#!/bin/sh\ntouch '" + mark + "'\ncat '" + bad + "' > \"$1\"\n";
    struct Planted {
        const char* what;
        std::function<void(const std::string& pkg)> plant;
    };
    auto writeHook = [&](const std::string& path) {
        fs::create_directories(fs::path(path).parent_path());
        std::ofstream(path) << body;
        ::chmod(path.c_str(), 0755);
    };
    const std::vector<Planted> planted = {
        {"beside the package, outside the test area",
         [&](const std::string& p) { writeHook(p + ".after-first-check"); }},
        {"owned by a user",
         [&](const std::string& p) {
             writeHook(hookPath(p));
             ASSERT_EQ(::chown(hookPath(p).c_str(), 65534, 65534), 0);
         }},
        {"writable by others",
         [&](const std::string& p) {
             writeHook(hookPath(p));
             ::chmod(hookPath(p).c_str(), 0777);
         }},
        {"in a directory a group may write to",
         [&](const std::string& p) {
             writeHook(hookPath(p));
             ::chmod(fs::path(hookPath(p)).parent_path().c_str(), 0775);
         }},
        {"a symbolic link to root's hook",
         [&](const std::string& p) {
             writeHook(dir_.file("real-hook"));
             fs::create_directories(fs::path(hookPath(p)).parent_path());
             fs::create_symlink(dir_.file("real-hook"), hookPath(p));
         }},
    };
    int i = 0;
    for (const Planted& h : planted) {
        SCOPED_TRACE(h.what);
        const std::string pkg = dir_.file("seam-" + std::to_string(i++) + ".pkg");
        fs::copy_file(good, pkg);
        h.plant(pkg);
        expectReply(install(pkg), true, "");
        EXPECT_FALSE(fs::exists(mark));
        std::error_code ec;
        fs::remove_all(kSeams + dir_.path(), ec);
    }
    // Root's own hook in the test area runs.
    const std::string pkg = dir_.file("seam-root.pkg");
    fs::copy_file(good, pkg);
    writeHook(hookPath(pkg));
    expectReply(install(pkg), false, "safe install path's Location pkg codeSign is invalid");
    EXPECT_TRUE(fs::exists(mark));
}

}  // namespace
