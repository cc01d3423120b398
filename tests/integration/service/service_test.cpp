// The daemon as the client meets it: started on demand through socket
// activation, real signed and wrongly signed client processes over a real
// Unix socket.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "tests/support/harness.h"

using namespace std::chrono_literals;
using xqtest::ActivatedDaemon;
using xqtest::runClient;
using xqtest::TempDir;

namespace {

class ServiceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        daemon_ = std::make_unique<ActivatedDaemon>(dir_.file("helper.sock"));
        ASSERT_TRUE(daemon_->started()) << "socket activation did not start";
    }

    // The daemon exited by itself with status 0 (at the latest once it has
    // been idle for its idle lifetime, 10 s).
    void expectCleanExit() {
        auto status = daemon_->waitForExit(60s);
        ASSERT_TRUE(status.has_value()) << "daemon still running";
        EXPECT_TRUE(WIFEXITED(*status)) << "status " << *status;
        EXPECT_EQ(WEXITSTATUS(*status), 0);
    }

    TempDir dir_;
    std::unique_ptr<ActivatedDaemon> daemon_;
};

TEST_F(ServiceTest, SignedClientIsAnsweredAndTheDaemonEndsOnceIdle) {
    auto r = runClient(daemon_->socketPath(), {"run"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "[true]\n");
    expectCleanExit();
}

TEST_F(ServiceTest, ClientAtTheMinimumVersionIsAccepted) {
    auto r = runClient(daemon_->socketPath(), {"run"}, "minimum");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "[true]\n");
}

TEST_F(ServiceTest, ExitRepliesThenEndsTheDaemon) {
    auto r = runClient(daemon_->socketPath(), {"exit"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "[\"Location helper terminate start\"]\n");
    expectCleanExit();
}

TEST_F(ServiceTest, RefusedClientsGetNothingAndTheDaemonGoesOnServing) {
    // A copy of the signed client with one byte changed after signing.
    const std::string modified = dir_.file("xqsip-client-modified");
    std::filesystem::copy_file(xqtest::clientPath(), modified);
    {
        std::fstream f(modified, std::ios::in | std::ios::out | std::ios::binary);
        f.seekg(0x200);
        char c = 0;
        f.read(&c, 1);
        f.seekp(0x200);
        c = static_cast<char>(c ^ 0x01);
        f.write(&c, 1);
    }
    chmod(modified.c_str(), 0755);

    for (const std::string variant :
         {"unsigned", "adhoc", "otherteam", "othercn", "otherid", "old", "expired"}) {
        SCOPED_TRACE(variant);
        auto r = runClient(daemon_->socketPath(), {"run"}, variant);
        EXPECT_EQ(r.exitCode, 3) << r.out << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(daemon_->running());
    }
    auto tampered =
        xqtest::runCommand({modified, "--socket", daemon_->socketPath(), "--timeout", "20", "run"});
    EXPECT_EQ(tampered.exitCode, 3) << tampered.out << tampered.err;
    EXPECT_EQ(tampered.out, "");
    EXPECT_TRUE(daemon_->running());

    auto r = runClient(daemon_->socketPath(), {"run"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "[true]\n");
    expectCleanExit();
}

// One process serves clients one after another and side by side: a
// client's departure ends nothing else, and the process ends, with status 0,
// once no client is left and it has been idle for a while.
TEST_F(ServiceTest, AClientsDepartureEndsNothingAndTheIdleDaemonEnds) {
    auto lingering = std::async(std::launch::async, [&] {
        return runClient(daemon_->socketPath(), {"--linger", "6", "run"});
    });
    // The first client holds its accepted connection; wait until it has its
    // reply, which proves that it was accepted.
    std::this_thread::sleep_for(2s);
    auto second = runClient(daemon_->socketPath(), {"run"});
    EXPECT_EQ(second.exitCode, 0) << second.err;
    EXPECT_EQ(second.out, "[true]\n");
    auto third = runClient(daemon_->socketPath(), {"run"});
    EXPECT_EQ(third.out, "[true]\n") << third.err;
    ASSERT_EQ(lingering.wait_for(30s), std::future_status::ready);
    auto first = lingering.get();
    EXPECT_EQ(first.out, "[true]\n");
    EXPECT_EQ(first.exitCode, 0) << "the lingering client lost its connection";
    expectCleanExit();
}

// A daemon that no client reached (its only peer refused, or killed before
// it was accepted) ends by itself, with status 0, once idle.
TEST_F(ServiceTest, ADaemonThatNoClientReachedEnds) {
    const auto started = std::chrono::steady_clock::now();
    auto refused = runClient(daemon_->socketPath(), {"run"}, "unsigned");
    EXPECT_EQ(refused.exitCode, 3) << refused.out << refused.err;
    expectCleanExit();
    std::cout << "[idle] refused peer: the daemon ended "
              << std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count()
              << " s after the connection" << std::endl;

    ActivatedDaemon daemon(dir_.file("killed.sock"));
    ASSERT_TRUE(daemon.started());
    const auto connected = std::chrono::steady_clock::now();
    const pid_t child = ::fork();
    if (child == 0) {
        // Connects, so the daemon is started for it, and dies at once.
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", daemon.socketPath().c_str());
        ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::raise(SIGKILL);
    }
    ASSERT_GT(child, 0);
    int childStatus = 0;
    ASSERT_EQ(::waitpid(child, &childStatus, 0), child);
    ASSERT_TRUE(WIFSIGNALED(childStatus));
    auto status = daemon.waitForExit(60s);
    ASSERT_TRUE(status.has_value()) << "the daemon of a killed client is still running";
    EXPECT_TRUE(WIFEXITED(*status)) << "status " << *status;
    EXPECT_EQ(WEXITSTATUS(*status), 0);
    std::cout << "[idle] client killed before acceptance: the daemon ended "
              << std::chrono::duration<double>(std::chrono::steady_clock::now() - connected).count()
              << " s after the connection" << std::endl;
}

TEST_F(ServiceTest, UndeclaredSelectorsAndWrongTypesAreDroppedAndTheConnectionStaysUsable) {
    const std::string requests =
        R"({"seq":1,"selector":"noSuchOperation:","types":"c","args":[]})"
        "\n"
        R"({"seq":2,"selector":"runLocationHelperWithReply:","types":"B","args":[]})"
        "\n"
        R"({"seq":3,"selector":"runLocationHelperWithReply:","types":"@","args":[]})"
        "\n"
        R"({"seq":4,"selector":"installNewLocationHelperPackage:reply:","types":"c@","args":[5]})"
        "\n"
        R"({"seq":5,"selector":"exitLocationHelperWithReply:","types":"@","args":["extra"]})"
        "\n"
        R"({"seq":6,"selector":"runLocationHelperWithReply:","types":"c","args":[]})"
        "\n";
    auto r = xqtest::runCommand(
        {xqtest::clientPath(), "--socket", daemon_->socketPath(), "--timeout", "2", "session"},
        requests);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::istringstream lines(r.out);
    std::string line;
    std::vector<nlohmann::json> replies;
    while (std::getline(lines, line)) {
        replies.push_back(nlohmann::json::parse(line));
    }
    ASSERT_EQ(replies.size(), 1u) << r.out;
    EXPECT_EQ(replies[0]["seq"], 6);
    EXPECT_EQ(replies[0]["reply"], nlohmann::json::array({true}));
}

TEST_F(ServiceTest, RequestWrittenByAForkedChildOnTheInheritedSocketIsNotServed) {
    auto r = runClient(daemon_->socketPath(), {"--from-child", "run"}, "", 5);
    EXPECT_EQ(r.exitCode, 3) << "the connection must end; printed: " << r.out;
    EXPECT_EQ(r.out, "");
    // The accepted connection was invalidated; nothing else is left.
    expectCleanExit();
}

TEST_F(ServiceTest, MalformedMessagesEndOnlyTheirOwnConnection) {
    // Not a JSON object, then a signed client that is still served.
    auto bad = xqtest::runCommand(
        {xqtest::clientPath(), "--socket", daemon_->socketPath(), "--timeout", "3", "session"},
        "[1,2,3]\n");
    EXPECT_EQ(bad.exitCode, 3) << bad.out;
    EXPECT_EQ(bad.out, "");
}

}  // namespace

namespace {

TEST(ServiceListener, AConnectionToAnotherListenerIsRefusedEvenFromTheSignedClient) {
    TempDir dir;
    const std::string own = dir.file("own.sock");
    const std::string other = dir.file("other.sock");
    auto service = std::async(std::launch::async, [&] {
        return xqtest::runCommand(
            {xqtest::buildPath("tests/integration/service/two_listeners"), own, other}, "", 60s);
    });
    for (int i = 0; i < 500 && !std::filesystem::exists(other); ++i) {
        std::this_thread::sleep_for(10ms);
    }
    // The signed client passes the signature check, but this listener is not
    // the service's own: refused, and the service goes on.
    auto refused = runClient(other, {"run"});
    EXPECT_EQ(refused.exitCode, 3) << refused.out << refused.err;
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(service.wait_for(0s), std::future_status::timeout) << "the service ended";
    // The same client on the service's own listener is accepted; once it has
    // left, the idle service ends with status 0.
    auto accepted = runClient(own, {"run"});
    EXPECT_EQ(accepted.exitCode, 0) << accepted.err;
    EXPECT_EQ(accepted.out, "[true]\n");
    ASSERT_EQ(service.wait_for(50s), std::future_status::ready);
    EXPECT_EQ(service.get().exitCode, 0);
}

}  // namespace

namespace {

TEST(ServiceEnvironment, AnOpenSslConfigurationChangesNoVerdict) {
    TempDir dir;
    // Makes every digest unavailable to a program that loads it.
    const std::string config = dir.file("hostile.cnf");
    std::ofstream(config) << "openssl_conf = openssl_init\n"
                             "[openssl_init]\nalg_section = evp_properties\n"
                             "[evp_properties]\ndefault_properties = \"fips=yes\"\n";
    ActivatedDaemon daemon(dir.file("helper.sock"), xqtest::daemonPath(),
                           {"OPENSSL_CONF=" + config});
    ASSERT_TRUE(daemon.started());
    auto r = runClient(daemon.socketPath(), {"run"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "[true]\n");
}

// The daemon started with LISTEN_FDS=1 for itself and `socketType` (or
// nothing, for -1) at descriptor 3: its exit status and standard error.
std::pair<int, std::string> startWithPassedSocket(int socketType) {
    int err[2];
    if (::pipe2(err, O_CLOEXEC) != 0) {
        return {-1, ""};
    }
    const int passed = socketType >= 0 ? ::socket(AF_UNIX, socketType | SOCK_CLOEXEC, 0) : -1;
    const pid_t pid = xqtest::spawnActivated({xqtest::daemonPath()}, passed, -1, err[1]);
    if (passed >= 0) {
        ::close(passed);
    }
    ::close(err[1]);
    std::string text;
    char buffer[512];
    ssize_t n = 0;
    while ((n = ::read(err[0], buffer, sizeof buffer)) > 0) {
        text.append(buffer, static_cast<size_t>(n));
    }
    ::close(err[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), text};
}

TEST(ServiceStart, WithoutAUsableListeningSocketTheDaemonSaysSoAndEnds) {
    const auto [datagramStatus, datagramError] = startWithPassedSocket(SOCK_DGRAM);
    EXPECT_NE(datagramStatus, 0);
    EXPECT_NE(datagramError.find("not a Unix stream socket"), std::string::npos) << datagramError;
    const auto [missingStatus, missingError] = startWithPassedSocket(-1);
    EXPECT_NE(missingStatus, 0);
    EXPECT_FALSE(missingError.empty());
}

}  // namespace
