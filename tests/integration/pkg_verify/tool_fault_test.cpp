// The package tool check against tools that misbehave, and the daemon's
// helper class (synchronous and asynchronous forms). The library runs the
// program at FAKE_PKGUTIL, which each test writes before it runs.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Common/XQCheckPkgSignatureHelper.h"
#include "codesign_verify/pkg_verify/internal.h"
#include "codesign_verify/pkg_verify/pkg_verify.h"
#include "platform/dispatch/dispatch.h"
#include "tests/integration/pkg_verify/log_capture.h"
#include "tests/integration/pkg_verify/test_packages.h"
#include "tests/support/harness.h"

namespace {

using namespace pkg_verify_test;
using Messages = std::vector<std::string>;

const std::string kTool = FAKE_PKGUTIL;

std::string good_report() {
    return "Package \"p.pkg\":\n"
           "   Status: signed by a developer certificate issued by Apple for distribution\n"
           "   Certificate Chain:\n"
           "    1. " +
           kAuthority +
           "\n"
           "    2. Developer ID Certification Authority\n"
           "    3. Apple Root CA\n";
}

// Installs the fake tool: a shell script with this body. Written beside and
// renamed into place, so no process ever executes a half-written file.
void install_tool(const std::string& body) {
    const std::string temp = kTool + ".new";
    {
        std::ofstream out(temp, std::ios::trunc);
        out << "#!/bin/sh\n" << body;
    }
    ASSERT_EQ(::chmod(temp.c_str(), 0755), 0);
    ASSERT_EQ(std::rename(temp.c_str(), kTool.c_str()), 0);
}

class ToolFaults : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { factory = new PackageFactory(); }
    static void TearDownTestSuite() {
        delete factory;
        factory = nullptr;
        std::remove(kTool.c_str());
    }
    void SetUp() override {
        pkg = factory->dir() + "/p.pkg";
        std::ofstream(pkg) << "not inspected by the package tool check itself";
        marker = factory->dir() + "/ran";
        std::remove(marker.c_str());
    }
    bool tool(const std::string& path) {
        return pkg_verify::check_installer_authority_by_pkgutil(path, kAuthority, log.callback());
    }
    static PackageFactory* factory;
    std::string pkg;
    std::string marker;
    LogCapture log;
};
PackageFactory* ToolFaults::factory = nullptr;

TEST_F(ToolFaults, ArgumentsAndReport) {
    install_tool("printf '%s\\n' \"$@\" > '" + marker + "'\ncat <<'EOF'\n" + good_report() +
                 "EOF\n");
    EXPECT_TRUE(tool(pkg));
    EXPECT_EQ(xqtest::readFile(marker), "--check-signature\n" + pkg + "\n");
    EXPECT_EQ(log.messages(), (Messages{good_report(), "result = 1"}));
}

TEST_F(ToolFaults, RefusedPathsStartNoTool) {
    install_tool("touch '" + marker + "'\nexit 0\n");
    for (const char* name : {"p.PKG", "p.pkg ", "p"}) {
        const std::string path = factory->dir() + "/" + std::string(name);
        std::ofstream(path) << "x";
        EXPECT_FALSE(tool(path)) << name;
        EXPECT_EQ(log.messages(), Messages{}) << name;
    }
    EXPECT_FALSE(tool(""));
    EXPECT_FALSE(tool(factory->dir() + "/missing.pkg"));
    EXPECT_EQ(log.messages(), Messages{});
    EXPECT_FALSE(std::filesystem::exists(marker));
}

TEST_F(ToolFaults, NonZeroExitOrSignalDropsTheReport) {
    install_tool("cat <<'EOF'\n" + good_report() + "EOF\nexit 3\n");
    EXPECT_FALSE(tool(pkg));
    EXPECT_EQ(log.messages(), Messages{"Error! Task failed."});
    install_tool("cat <<'EOF'\n" + good_report() + "EOF\nkill -9 $$\n");
    EXPECT_FALSE(tool(pkg));
    EXPECT_EQ(log.messages(), Messages{"Error! Task failed."});
}

TEST_F(ToolFaults, ToolThatCannotStart) {
    std::remove(kTool.c_str());
    EXPECT_FALSE(tool(pkg));
    ASSERT_EQ(log.messages().size(), 1u);
    EXPECT_EQ(log.messages()[0].rfind("Error! Task launch failed", 0), 0u);
    // Present but not executable.
    install_tool("exit 0\n");
    ASSERT_EQ(::chmod(kTool.c_str(), 0644), 0);
    EXPECT_FALSE(tool(pkg));
    ASSERT_EQ(log.messages().size(), 1u);
    EXPECT_EQ(log.messages()[0].rfind("Error! Task launch failed", 0), 0u);
}

TEST_F(ToolFaults, OutputThatIsNotUtf8IsNoReport) {
    install_tool("cat <<'EOF'\n" + good_report() + "EOF\nprintf '\\377\\376'\n");
    EXPECT_FALSE(tool(pkg));
    EXPECT_EQ(log.messages(), Messages{"Error! report is not UTF-8"});
    // An overlong encoding of "1" would read as a digit to a lax decoder.
    install_tool("printf '\\300\\261. x\\n'\ncat <<'EOF'\n" + good_report() + "EOF\n");
    EXPECT_FALSE(tool(pkg));
    EXPECT_EQ(log.messages(), Messages{"Error! report is not UTF-8"});
}

TEST_F(ToolFaults, LargeReportIsDrainedBeforeTheWait) {
    // 4 MiB of filler, far beyond a pipe's buffer, then the chain.
    install_tool("head -c 4194304 /dev/zero | tr '\\0' 'a'\necho\ncat <<'EOF'\n" + good_report() +
                 "EOF\n");
    EXPECT_TRUE(tool(pkg));
    ASSERT_EQ(log.messages().size(), 2u);
    EXPECT_EQ(log.messages()[0].size(), 4194304u + 1 + good_report().size());
    EXPECT_EQ(log.messages()[1], "result = 1");
}

// A check that is begun and then dropped (the caller gave up before the
// report was read) still waits for its tool: no zombie is left, and a tool
// whose output fills the pipe is not left blocked on it.
TEST_F(ToolFaults, RunDroppedUnreadWaitsForItsTool) {
    install_tool("head -c 4194304 /dev/zero\ntouch '" + marker + "'\n");
    {
        pkg_verify::PackageToolRun run = pkg_verify::start_check_by_pkgutil(pkg, pkg);
        ASSERT_FALSE(run.refused);
    }
    EXPECT_TRUE(std::filesystem::exists(marker));
    errno = 0;
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
    EXPECT_EQ(log.messages(), Messages{});
}

TEST_F(ToolFaults, NulInTheReportCannotHideLines) {
    // The report goes to the callback as a C string, but the rules see it all.
    install_tool("printf 'head\\000'\ncat <<'EOF'\n" + good_report() + "    4. Extra\nEOF\n");
    EXPECT_FALSE(tool(pkg));
    EXPECT_EQ(log.messages(), (Messages{"head", "Error! number not match", "result = 0"}));
}

// ---- XQCheckPkgSignatureHelper ---------------------------------------------

class Helper : public ToolFaults {};

TEST_F(Helper, SynchronousFormReturnsTheEntrysVerdict) {
    install_tool("cat <<'EOF'\n" + good_report() + "EOF\n");
    const std::string good = factory->sign("helper-good.pkg");
    EXPECT_TRUE(XQCheckPkgSignatureHelper::isPkgCodesignValidForPathSync(good));
    EXPECT_EQ(XQCheckPkgSignatureHelper::isPkgCodesignValidForPathSync(good),
              is_pkg_codesign_valid(good.c_str(), nullptr));
    EXPECT_FALSE(XQCheckPkgSignatureHelper::isPkgCodesignValidForPathSync(std::nullopt));
    EXPECT_FALSE(
        XQCheckPkgSignatureHelper::isPkgCodesignValidForPathSync(factory->unsignedPackage()));
    // The daemon's callback takes any message and does nothing.
    logCallback("Error! anything");
    logCallback("");
}

// The asynchronous checks run on the helper's one serial queue: a check
// submitted while other work holds that queue starts only after it.
TEST_F(Helper, AsynchronousChecksTakeTheirTurnOnTheHelpersSerialQueue) {
    dispatch::QueuePtr queue = XQCheckPkgSignatureHelper::validCodeSignQueue();
    ASSERT_NE(queue, nullptr);
    EXPECT_EQ(queue, XQCheckPkgSignatureHelper::validCodeSignQueue());
    EXPECT_TRUE(queue->isSerial());
    EXPECT_EQ(queue->label(), "XQCheckPkgSignatureHelper.Valid.Queue");

    const std::string trace = factory->dir() + "/turns";
    std::remove(trace.c_str());
    install_tool("echo check >> '" + trace + "'\ncat <<'EOF'\n" + good_report() + "EOF\n");
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    dispatch::async(queue, [released, trace] {
        released.wait();
        std::ofstream(trace, std::ios::app) << "held\n";
    });
    std::optional<bool> verdict;
    XQCheckPkgSignatureHelper::verifyPkgCodesignValidityForPathAsync(
        factory->sign("turn.pkg"), [&](bool valid) { verdict = valid; });
    release.set_value();
    ASSERT_TRUE(
        dispatch::run_main_loop_until([&] { return verdict.has_value(); },
                                      std::chrono::steady_clock::now() + std::chrono::seconds(30)));
    EXPECT_TRUE(*verdict);
    EXPECT_EQ(xqtest::readFile(trace), "held\ncheck\n");
}

TEST_F(Helper, AsynchronousChecksRunInOrderOneAtATimeAndCompleteOnTheMainQueue) {
    const std::string trace = factory->dir() + "/trace";
    std::remove(trace.c_str());
    // Each tool run records its start and end around a pause, so overlapping
    // runs would interleave in the trace.
    install_tool("echo \"start $2\" >> '" + trace + "'\nsleep 0.2\necho \"end $2\" >> '" + trace +
                 "'\ncat <<'EOF'\n" + good_report() + "EOF\n");
    const std::string first = factory->sign("async-1.pkg");
    const std::string second = factory->sign("async-2.pkg", {"--leaf", "installer-otherteam"});

    const std::thread::id mainThread = std::this_thread::get_id();
    std::vector<std::pair<std::string, bool>> completions;
    bool offMain = false;
    auto record = [&](const std::string& name) {
        return [&, name](bool valid) {
            offMain = offMain || std::this_thread::get_id() != mainThread;
            completions.emplace_back(name, valid);
        };
    };
    XQCheckPkgSignatureHelper::verifyPkgCodesignValidityForPathAsync(first, record("first"));
    XQCheckPkgSignatureHelper::verifyPkgCodesignValidityForPathAsync(second, record("second"));
    // A nil completion still runs the check.
    XQCheckPkgSignatureHelper::verifyPkgCodesignValidityForPathAsync(first, nullptr);
    XQCheckPkgSignatureHelper::verifyPkgCodesignValidityForPathAsync(std::nullopt, record("nil"));

    // Nothing completes until the main queue is drained on this thread.
    EXPECT_TRUE(completions.empty());
    auto traceLines = [&] {
        const std::string text = std::filesystem::exists(trace) ? xqtest::readFile(trace) : "";
        return std::count(text.begin(), text.end(), '\n');
    };
    const bool done =
        dispatch::run_main_loop_until([&] { return completions.size() == 3 && traceLines() == 6; },
                                      std::chrono::steady_clock::now() + std::chrono::seconds(30));
    ASSERT_TRUE(done);
    EXPECT_FALSE(offMain);
    EXPECT_EQ(completions, (std::vector<std::pair<std::string, bool>>{
                               {"first", true}, {"second", false}, {"nil", false}}));
    EXPECT_EQ(xqtest::readFile(trace), "start " + first + "\nend " + first + "\nstart " + second +
                                           "\nend " + second + "\nstart " + first + "\nend " +
                                           first + "\n");
}

}  // namespace
