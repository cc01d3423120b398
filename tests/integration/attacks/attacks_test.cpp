// Attacks by a local user on the daemon, each a small program of this folder
// run as an unprivileged user against the real daemon started through socket
// activation, its socket owned by root and the client group as the socket
// unit makes it. The client is installed setgid to that group, as the
// package installs it. Each attack must get nothing served and leave the
// daemon serving the genuine client; every test prints its tries and
// servings.
//
// The attacker is given the client group as a supplementary group, so that
// the file system lets it connect: what refuses it is the daemon's check of
// the kernel's credentials, not the socket's mode.
//
// XQ_ATTACK_BASELINE_BUILD, when set, names the build folder of another tree
// (the main line's, say): its daemon, client and test PKI then face the same
// attacks, for figures before and after a change.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <sys/wait.h>

#include <sstream>

#include <gtest/gtest.h>

#include "Common/XQHelperLabel.h"
#include "platform/codesign/codesign.h"
#include "tests/support/harness.h"

namespace {

using namespace std::chrono_literals;
using xqtest::ActivatedDaemon;
using xqtest::CommandResult;
using xqtest::Identity;

struct Tally {
    int tries = -1;
    int served = -1;
    std::string line;
};

// The "tries N served M ..." line of an attack program.
Tally tallyOf(const CommandResult& result) {
    Tally tally;
    std::istringstream lines(result.out);
    std::string line;
    while (std::getline(lines, line)) {
        if (std::sscanf(line.c_str(), "tries %d served %d", &tally.tries, &tally.served) == 2) {
            tally.line = line;
        }
    }
    return tally;
}

std::string attackProgram(const std::string& name) {
    return xqtest::buildPath("tests/integration/attacks/" + name);
}

// The pids of the processes whose real user is `uid` (the owner of
// /proc/<pid> would be root for a setgid process).
std::vector<pid_t> processesOf(uid_t uid) {
    std::vector<pid_t> found;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::ifstream status(entry.path() / "status");
        std::string line;
        while (std::getline(status, line)) {
            unsigned real = 0;
            if (std::sscanf(line.c_str(), "Uid:\t%u", &real) == 1) {
                if (real == uid) {
                    found.push_back(std::stoi(name));
                }
                break;
            }
        }
    }
    return found;
}

void copyFile(const std::string& from, const std::string& to, mode_t mode) {
    std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing);
    ::chmod(to.c_str(), mode);
}

// The baseline build's path for `relative`, or this build's.
std::string fromBuild(const std::string& relative) {
    const char* baseline = std::getenv("XQ_ATTACK_BASELINE_BUILD");
    return baseline != nullptr && *baseline != '\0' ? std::string(baseline) + "/" + relative
                                                    : xqtest::buildPath(relative);
}

// A listening socket of the test at `path` (owner and mode as given) that
// accepts and closes every connection, counting them.
class CountingListener {
  public:
    CountingListener(const std::string& path, uid_t owner, gid_t group) {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        ok_ = fd_ >= 0 && path.size() < sizeof address.sun_path &&
              ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
              ::chown(path.c_str(), owner, group) == 0 && ::chmod(path.c_str(), 0660) == 0 &&
              ::listen(fd_, 64) == 0;
        thread_ = std::thread([this] {
            while (!stop_) {
                pollfd p{fd_, POLLIN, 0};
                if (::poll(&p, 1, 50) > 0) {
                    const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
                    if (c >= 0) {
                        ++accepted_;
                        ::close(c);
                    }
                }
            }
        });
    }
    ~CountingListener() {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }
    CountingListener(const CountingListener&) = delete;
    CountingListener& operator=(const CountingListener&) = delete;
    bool ok() const { return ok_; }
    int accepted() const { return accepted_; }

  private:
    int fd_ = -1;
    bool ok_ = false;
    std::atomic<bool> stop_{false};
    std::atomic<int> accepted_{0};
    std::thread thread_;
};

class Attacks : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string why = xqtest::testIdentitiesUnavailable();
        if (!why.empty()) {
            GTEST_SKIP() << why;
        }
        group_ = xqtest::testClientGroup();
        attacker_ = Identity{xqtest::testUser(0), xqtest::testUser(0), {group_}};
        user_ = Identity{xqtest::testUser(1), xqtest::testUser(1), {}};
        socket_ = dir_.file("service.sock");
        // Installed as the package installs it: owner root, the client
        // group, setgid.
        client_ = dir_.file("xqsip-client");
        copyFile(fromBuild("tools/xqsip-client/xqsip-client"), client_, 0755);
        ASSERT_EQ(::chown(client_.c_str(), 0, group_), 0);
        ASSERT_EQ(::chmod(client_.c_str(), 02755), 0);
        // The attacker's own folder.
        own_ = dir_.file("attacker");
        ASSERT_EQ(::mkdir(own_.c_str(), 0700), 0);
        ASSERT_EQ(::chown(own_.c_str(), attacker_.uid, attacker_.gid), 0);
    }

    void TearDown() override {
        // Nothing of the attacker or the user may outlive a test.
        for (const Identity* who : {&attacker_, &user_}) {
            if (who->uid == 0) {
                continue;
            }
            std::vector<pid_t> left;
            for (int i = 0; i < 200; ++i) {
                left = processesOf(who->uid);
                if (left.empty()) {
                    break;
                }
                std::this_thread::sleep_for(25ms);
            }
            EXPECT_TRUE(left.empty()) << left.size() << " processes of " << who->uid << " left";
            for (pid_t pid : left) {
                ::kill(pid, SIGKILL);
            }
        }
    }

    std::unique_ptr<ActivatedDaemon> startDaemon(
        const std::string& daemon = fromBuild(std::string(xq::kHelperLabel) + "-test")) {
        ::unlink(socket_.c_str());
        auto d = std::make_unique<ActivatedDaemon>(socket_, daemon, group_);
        EXPECT_TRUE(d->started());
        return d;
    }

    // True once the activated process has become the daemon.
    static bool runsDaemon(ActivatedDaemon& daemon, const std::string& path) {
        for (int i = 0; i < 400; ++i) {
            std::error_code error;
            const auto exe = std::filesystem::read_symlink(
                "/proc/" + std::to_string(daemon.pid()) + "/exe", error);
            if (!error && exe == std::filesystem::canonical(path)) {
                return true;
            }
            std::this_thread::sleep_for(5ms);
        }
        return false;
    }

    CommandResult runAs(const Identity& who, const std::vector<std::string>& argv,
                        const std::vector<std::string>& environment = {}) {
        return xqtest::runCommandAs(who, argv, "", 60s, environment);
    }

    // A daemon that has ended as an idle daemon ends (status 0) is started
    // again: on a busy machine the tries of an attack can be further apart
    // than its idle lifetime. Any other end fails the test.
    void keepServing(std::unique_ptr<ActivatedDaemon>& daemon) {
        if (daemon->running()) {
            return;
        }
        const auto status = daemon->waitForExit(0s);
        ASSERT_TRUE(status.has_value() && WIFEXITED(*status) && WEXITSTATUS(*status) == 0)
            << "the daemon ended with status " << status.value_or(-1);
        daemon.reset();  // which removes its socket path
        daemon = startDaemon();
    }

    // The genuine client, run by a user through the setgid client, is served;
    // once it has left, the idle daemon ends with status 0.
    void expectGenuineClientServed(std::unique_ptr<ActivatedDaemon>& daemon) {
        keepServing(daemon);
        ASSERT_FALSE(HasFatalFailure());
        auto r = runAs(user_, {client_, "--socket", socket_, "--timeout", "20", "run"});
        EXPECT_EQ(r.out, "[true]\n") << r.err;
        auto status = daemon->waitForExit(60s);
        ASSERT_TRUE(status.has_value()) << "the daemon did not end";
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
    }

    // A package of the helper's identifier at `version`, signed with the
    // test PKI (the baseline's when one is given) and owned by `owner`.
    std::string signedPackage(const std::string& name, const std::string& version, uid_t owner) {
        const std::string root = dir_.file("root-" + name);
        std::filesystem::create_directories(root);
        std::ofstream(root + "/helper") << "helper " << version;
        const std::string component = dir_.file("component-" + name);
        const std::string product = dir_.file("product-" + name);
        const std::string out = dir_.file(name);
        const char* baseline = std::getenv("XQ_ATTACK_BASELINE_BUILD");
        const std::string pki = baseline != nullptr && *baseline != '\0'
                                    ? std::string(baseline) + "/testpki"
                                    : std::string(XQ_TESTPKI_DIR);
        for (const std::vector<std::string>& argv : std::vector<std::vector<std::string>>{
                 {XQPKG_PATH, "build", "--identifier", xq::kHelperLabel, "--version", version,
                  "--root", root, "--install-location", dir_.file("installed"), component},
                 {XQPKG_PATH, "product", "--app-id", xq::kHelperLabel, "--component",
                  "helper.pkg=" + component, product},
                 {XQPKG_PATH, "sign", "--pki", pki, "--leaf", "installer", product, out}}) {
            auto r = xqtest::runCommand(argv);
            EXPECT_EQ(r.exitCode, 0) << r.err;
        }
        EXPECT_EQ(::chown(out.c_str(), owner, owner), 0);
        return out;
    }

    // Runs an attack program `times` times as `who`, each run one try, and
    // adds up its tries and servings; `check` looks at each run's line. The
    // tries meet the `shared` daemon (kept serving), or without it, a daemon
    // started for each alone.
    struct Totals {
        int tries = 0;
        int served = 0;
    };
    void repeatAttack(Totals& totals, int times, const Identity& who,
                      const std::vector<std::string>& argv,
                      std::unique_ptr<ActivatedDaemon>* shared,
                      const std::function<void(const std::string&)>& check = {}) {
        for (int i = 0; i < times; ++i) {
            std::unique_ptr<ActivatedDaemon> daemon;
            if (shared != nullptr) {
                keepServing(*shared);
                ASSERT_FALSE(HasFatalFailure());
            } else {
                daemon = startDaemon();
            }
            auto r = runAs(who, argv);
            const Tally t = tallyOf(r);
            ASSERT_EQ(t.tries, 1) << r.out << r.err;
            totals.tries += t.tries;
            totals.served += t.served;
            if (check) {
                check(t.line);
            }
            if (daemon) {
                EXPECT_TRUE(daemon->stop(20s).has_value());
            }
        }
    }

    static void print(const std::string& attack, int tries, int served) {
        std::cout << "[attack] " << attack << ": tries " << tries << ", served " << served
                  << std::endl;
    }

    xqtest::TempDir dir_;
    gid_t group_ = 0;
    Identity attacker_;
    Identity user_;
    std::string socket_;
    std::string client_;
    std::string own_;
};

TEST_F(Attacks, ConnectThenExecuteTheGenuineClient) {
    const std::vector<std::string> attack = {attackProgram("connect_then_exec"), socket_, client_};
    const auto closed = [](const std::string& line) {
        EXPECT_NE(line.find("outcome closed"), std::string::npos) << line;
    };
    Totals totals;
    // Cold: the attacker's connection starts the daemon.
    repeatAttack(totals, 20, attacker_, attack, nullptr, closed);
    ASSERT_FALSE(HasFatalFailure());
    for (int i = 0; i < 20; ++i) {
        auto daemon = startDaemon();
        // Warm: the daemon runs already, a genuine session holds it.
        auto holder = std::async(std::launch::async, [&] {
            return runAs(user_, {client_, "--socket", socket_, "--timeout", "0.5", "session"});
        });
        ASSERT_TRUE(runsDaemon(*daemon, xqtest::daemonPath()));
        repeatAttack(totals, 1, attacker_, attack, &daemon, closed);
        ASSERT_FALSE(HasFatalFailure());
        holder.get();
        EXPECT_TRUE(daemon->stop(20s).has_value());
    }
    print(std::string("connect, then execute the genuine client (20 cold, 20 warm)"), totals.tries,
          totals.served);
    EXPECT_EQ(totals.tries, 40);
    EXPECT_EQ(totals.served, 0);
    auto daemon = startDaemon();
    expectGenuineClientServed(daemon);
}

TEST_F(Attacks, ExecutableLinkPointedAtTheGenuineClient) {
    auto daemon = startDaemon();
    Totals totals;
    repeatAttack(totals, 20, attacker_, {attackProgram("exe_masquerade"), client_, socket_},
                 &daemon, [](const std::string& line) {
                     // The masquerade itself works: the link names the genuine client.
                     EXPECT_NE(line.find("masqueraded yes"), std::string::npos) << line;
                 });
    ASSERT_FALSE(HasFatalFailure());
    print("CLONE_VM sibling in a user namespace of its own sets the exe link (PR_SET_MM_MAP)",
          totals.tries, totals.served);
    EXPECT_EQ(totals.served, 0);
    expectGenuineClientServed(daemon);
}

TEST_F(Attacks, PeerInAUserNamespaceOfItsOwn) {
    auto daemon = startDaemon();
    Totals totals;
    repeatAttack(totals, 20, attacker_, {attackProgram("own_user_namespace"), socket_}, &daemon,
                 [](const std::string& line) {
                     EXPECT_NE(line.find("euid-inside 0"), std::string::npos) << line;
                 });
    ASSERT_FALSE(HasFatalFailure());
    print("peer in a user namespace of its own", totals.tries, totals.served);
    EXPECT_EQ(totals.served, 0);
    expectGenuineClientServed(daemon);
}

TEST_F(Attacks, WriteLeaseOnTheFileTheExecutableLinkNames) {
    // A copy of the genuine client that the attacker owns and leases.
    const std::string leased = own_ + "/leased-client";
    copyFile(xqtest::clientPath(), leased, 0755);
    ASSERT_EQ(::chown(leased.c_str(), attacker_.uid, attacker_.gid), 0);

    auto daemon = startDaemon();
    Totals totals;
    const auto start = std::chrono::steady_clock::now();
    repeatAttack(totals, 5, attacker_,
                 {attackProgram("exe_masquerade"), "--lease", leased, socket_}, &daemon);
    ASSERT_FALSE(HasFatalFailure());
    print("write lease on the file the exe link names", totals.tries, totals.served);
    EXPECT_EQ(totals.served, 0);
    // Nothing waited for a lease to be broken (45 s each).
    EXPECT_LT(std::chrono::steady_clock::now() - start, 40s);
    expectGenuineClientServed(daemon);

    // The code lookup itself, which the group check now shields, does not
    // wait on such a lease either: it refuses at once.
    const std::string rootLeased = dir_.file("root-leased-client");
    copyFile(xqtest::clientPath(), rootLeased, 0755);
    int in[2];
    int out[2];
    ASSERT_EQ(::pipe2(in, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
    const pid_t holder = ::fork();
    if (holder == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::execl(attackProgram("exe_masquerade").c_str(), "exe_masquerade", "--lease",
                rootLeased.c_str(), "--hold", static_cast<char*>(nullptr));
        _exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    char ready[64] = {};
    ASSERT_GT(::read(out[0], ready, sizeof ready - 1), 0);
    EXPECT_EQ(std::string(ready), "ready masqueraded\n");
    codesign::GuestAttributes attributes;
    attributes.pid = holder;
    codesign::SecCodeRef code;
    const auto before = std::chrono::steady_clock::now();
    const codesign::OSStatus status = codesign::SecCodeCopyGuestWithAttributes(
        nullptr, attributes, codesign::kSecCSDefaultFlags, &code);
    const auto took = std::chrono::steady_clock::now() - before;
    EXPECT_EQ(status, codesign::errSecCSNoSuchCode);
    EXPECT_LT(took, 10s) << "the lookup waited for the lease";
    ::close(in[1]);
    ::close(out[0]);
    ::waitpid(holder, nullptr, 0);
}

// Both ways of tying messages to the process: pidfds from the kernel, and
// the fallback of a kernel without them (as Debian 12's), each a test.
class PidReuse : public Attacks {
  protected:
    void takeOverTheCheckedPid(const std::string& daemon) {
        // The signed peer stands for the genuine client letting its socket go
        // (it passes the signature check; the group comes from its runner).
        auto r = xqtest::runCommand(
            {"/usr/bin/unshare", "--pid", "--fork", "--mount-proc", attackProgram("pid_reuse_lab"),
             daemon, attackProgram("signed_peer"), dir_.path(), std::to_string(attacker_.uid),
             std::to_string(group_), "10"},
            "", 300s);
        const Tally t = tallyOf(r);
        ASSERT_EQ(t.tries, 10) << r.out << r.err;
        print("pid reuse after the checked process exits (" +
                  std::filesystem::path(daemon).filename().string() + "): " + t.line,
              t.tries, t.served);
        EXPECT_EQ(t.served, 0);
        EXPECT_NE(t.line.find("reused 10"), std::string::npos)
            << "the pid was not always taken over: " << t.line;
        auto served = startDaemon();
        expectGenuineClientServed(served);
    }
};

TEST_F(PidReuse, ProcessThatTakesOverTheCheckedPid) {
    takeOverTheCheckedPid(xqtest::daemonPath());
}

TEST_F(PidReuse, ProcessThatTakesOverTheCheckedPidOnAKernelWithoutPidfds) {
    takeOverTheCheckedPid(xqtest::buildPath(std::string(xq::kHelperLabel) + "-test-before-pidfd"));
}

TEST_F(Attacks, SocketHandedOverOrInherited) {
    const Identity inGroup{attacker_.uid, group_, {}};
    Totals totals;
    for (const char* mode : {"fork", "pass"}) {
        SCOPED_TRACE(mode);
        // Each try gets a fresh daemon.
        repeatAttack(totals, 5, inGroup, {attackProgram("signed_peer"), socket_, mode}, nullptr);
        ASSERT_FALSE(HasFatalFailure());
    }
    print("socket inherited by a forked child, or passed with SCM_RIGHTS", totals.tries,
          totals.served);
    EXPECT_EQ(totals.served, 0);
    auto daemon = startDaemon();
    expectGenuineClientServed(daemon);
}

TEST_F(Attacks, PreloadAndPtraceAgainstTheSetgidClient) {
    const Identity plain{attacker_.uid, attacker_.gid, {}};
    const std::string marker = own_ + "/marker";
    const std::vector<std::string> preload = {
        "LD_PRELOAD=" + attackProgram("libxq_preload_marker.so"), "XQ_ATTACK_MARKER=" + marker,
        "ASAN_OPTIONS=verify_asan_link_order=0"};
    // A plain copy of the same client, not setgid: what the attacks can do
    // to a program that is not protected (so that the checks below can fail).
    const std::string unprotected = own_ + "/plain-client";
    copyFile(xqtest::clientPath(), unprotected, 0755);

    // A fresh daemon for each traced client.
    {
        auto control = runAs(Identity{attacker_.uid, group_, {}},
                             {unprotected, "--socket", socket_, "--help"}, preload);
        EXPECT_EQ(::access(marker.c_str(), F_OK), 0) << "the preload library did not load at all";
        ::unlink(marker.c_str());
        auto daemon = startDaemon();
        auto lookAt = runAs(Identity{attacker_.uid, group_, {}},
                            {attackProgram("ptrace_client"), unprotected, socket_});
        EXPECT_GE(tallyOf(lookAt).served, 1) << lookAt.out << lookAt.err;
        EXPECT_TRUE(daemon->stop(20s).has_value());
    }

    int tries = 0;
    int served = 0;
    for (int i = 0; i < 5; ++i) {
        auto r = runAs(plain, {client_, "--socket", socket_, "--help"}, preload);
        EXPECT_EQ(r.exitCode, 0);
        ++tries;
        served += ::access(marker.c_str(), F_OK) == 0 ? 1 : 0;
        auto daemon = startDaemon();
        auto traced = runAs(plain, {attackProgram("ptrace_client"), client_, socket_});
        const Tally t = tallyOf(traced);
        ASSERT_EQ(t.tries, 4) << traced.out << traced.err;
        tries += t.tries;
        served += t.served;
        EXPECT_TRUE(daemon->stop(20s).has_value());
    }
    print("LD_PRELOAD and ptrace/mem/process_vm_writev against the setgid client", tries, served);
    EXPECT_EQ(served, 0);
    auto daemon = startDaemon();
    expectGenuineClientServed(daemon);
}

TEST_F(Attacks, OneUsersFloodDoesNotStarveTheGenuineClient) {
    auto daemon = startDaemon();
    const Identity plain{attacker_.uid, attacker_.gid, {}};
    // Raw connections refused at accept, and more sessions through the
    // setgid client than the daemon keeps open in all.
    auto flood = std::async(std::launch::async, [&] {
        return runAs(attacker_, {attackProgram("flood"), socket_, "4", "4"});
    });
    std::vector<std::future<CommandResult>> sessions;
    for (int i = 0; i < 70; ++i) {
        sessions.push_back(std::async(std::launch::async, [&] {
            return runAs(plain, {client_, "--socket", socket_, "--timeout", "5", "session"});
        }));
    }
    std::this_thread::sleep_for(1500ms);
    auto genuine = runAs(user_, {client_, "--socket", socket_, "--timeout", "20", "run"});
    EXPECT_EQ(genuine.out, "[true]\n") << genuine.err;
    const Tally t = tallyOf(flood.get());
    for (auto& s : sessions) {
        s.get();
    }
    print("one user's flood (" + t.line + ", 70 sessions) while the genuine client connects",
          t.tries, t.served);
    EXPECT_GT(t.tries, 0);
    EXPECT_EQ(t.served, 0);
    // No root process stays after the flood.
    EXPECT_TRUE(daemon->waitForExit(60s).has_value());
}

// Padding appended to a signed package keeps it valid (the signature covers
// the table of contents). Four installs of a package padded to 1 GiB, at once
// on four connections of one user: the daemon runs them one after another,
// so its staging area never holds more than one package. The staging area is
// watched throughout; its peak is printed.
TEST_F(Attacks, ConcurrentPaddedInstallsStageOnePackageAtATime) {
    const std::string label = xq::kHelperLabel;
    const std::string root = dir_.file("pkg-root");
    std::filesystem::create_directories(root);
    std::ofstream(root + "/helper") << "padded helper";
    const std::string comp = dir_.file("comp.pkg");
    const std::string prod = dir_.file("prod.pkg");
    const std::string pkg = own_ + "/padded.pkg";
    for (const std::vector<std::string>& step :
         {std::vector<std::string>{XQPKG_PATH, "build", "--identifier", label, "--version", "5.17",
                                   "--root", root, "--install-location", dir_.file("installed"),
                                   comp},
          {XQPKG_PATH, "product", "--app-id", label, "--component", "helper.pkg=" + comp, prod},
          {XQPKG_PATH, "sign", "--pki", XQ_TESTPKI_DIR, "--leaf", "installer", prod, pkg}}) {
        const auto r = xqtest::runCommand(step);
        ASSERT_EQ(r.exitCode, 0) << r.err;
    }
    // Sparse: the padding costs neither time nor disk, and staging keeps it so.
    std::filesystem::resize_file(pkg, std::filesystem::file_size(pkg) + (uintmax_t{1} << 30));
    ASSERT_EQ(::chown(pkg.c_str(), attacker_.uid, attacker_.gid), 0);
    const std::string staging = std::string(XQ_TEST_AREA) + "/tmp";

    auto daemon = startDaemon();
    const Identity plain{attacker_.uid, attacker_.gid, {}};
    std::atomic<bool> done{false};
    size_t peakFiles = 0;
    uintmax_t peakBytes = 0;
    std::thread watcher([&] {
        while (!done.load()) {
            size_t files = 0;
            uintmax_t bytes = 0;
            std::error_code ec;
            for (auto it = std::filesystem::recursive_directory_iterator(staging, ec);
                 !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
                std::error_code sizeError;
                if (it->path().filename() == "locationTmp.pkg" && it->is_regular_file(sizeError)) {
                    ++files;
                    bytes += it->file_size(sizeError);
                }
            }
            peakFiles = std::max(peakFiles, files);
            peakBytes = std::max(peakBytes, bytes);
            std::this_thread::sleep_for(2ms);
        }
    });
    std::vector<std::future<CommandResult>> installs;
    for (int i = 0; i < 4; ++i) {
        installs.push_back(std::async(std::launch::async, [&] {
            return xqtest::runCommandAs(
                plain, {client_, "--socket", socket_, "--timeout", "300", "install", pkg}, "",
                400s);
        }));
    }
    int served = 0;
    for (auto& install : installs) {
        const CommandResult r = install.get();
        EXPECT_EQ(r.out, "[true,\"\"]\n") << r.err;
        served += r.out == "[true,\"\"]\n" ? 1 : 0;
    }
    done = true;
    watcher.join();
    std::cout << "[attack] four concurrent installs of a package padded to 1 GiB: " << served
              << " installed, staging peak " << peakFiles << " file(s), " << peakBytes << " bytes"
              << std::endl;
    EXPECT_EQ(peakFiles, 1u) << "packages staged at once";
    EXPECT_LE(peakBytes, std::filesystem::file_size(pkg));
    EXPECT_TRUE(daemon->stop(60s).has_value());
}

// Install requests for files the user cannot read (through a link of the
// user's, in a folder the user cannot search), a missing file, a directory, a
// FIFO and a device all get the one reply of a missing file: the daemon opens
// the path as the user would, so nothing it does tells them apart (their
// times are printed, not asserted). The user's own package is read and
// checked. No one opens the FIFO: a writer blocked on it stays blocked.
// Then a link flipped between the user's package and a file the user cannot
// read never gets the latter staged, and one flipped to the FIFO never gets
// it opened.
TEST_F(Attacks, InstallRequestsTellNothingOfFilesTheUserCannotRead) {
    const std::string rootOnly = dir_.file("root-only");
    const std::string hidden = dir_.file("hidden");
    ASSERT_EQ(::mkdir(rootOnly.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(hidden.c_str(), 0700), 0);
    ASSERT_EQ(::mkdir((rootOnly + "/dir.pkg").c_str(), 0755), 0);
    const std::string fifo = rootOnly + "/fifo.pkg";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    // The same signed package (older than the helper), three times over.
    const std::string package = signedPackage("older.pkg", "5.15", 0);
    const std::string own = own_ + "/own.pkg";
    copyFile(package, own, 0644);
    ASSERT_EQ(::chown(own.c_str(), attacker_.uid, attacker_.gid), 0);
    copyFile(package, rootOnly + "/secret.pkg", 0600);
    copyFile(package, hidden + "/older.pkg", 0644);
    const std::string secretLink = own_ + "/secret-link.pkg";
    const std::string deviceLink = own_ + "/null.pkg";
    ASSERT_EQ(::symlink((rootOnly + "/secret.pkg").c_str(), secretLink.c_str()), 0);
    ASSERT_EQ(::symlink("/dev/null", deviceLink.c_str()), 0);
    ASSERT_EQ(::lchown(secretLink.c_str(), attacker_.uid, attacker_.gid), 0);
    ASSERT_EQ(::lchown(deviceLink.c_str(), attacker_.uid, attacker_.gid), 0);

    // A writer that returns from its open only when someone opens the FIFO
    // for reading.
    auto writer = std::async(std::launch::async, [&] { return ::open(fifo.c_str(), O_WRONLY); });
    const Identity plain{attacker_.uid, attacker_.gid, {}};
    const std::string missing = "missing=" + rootOnly + "/missing.pkg";
    std::string probeOut;
    // One daemon meets the three attacks, and ends by itself after them.
    auto daemon = startDaemon();
    {
        auto r = xqtest::runCommandAs(
            plain,
            {attackProgram("file_oracle"), "probe", client_, socket_, "40", "missing", "readable",
             missing, "unreadable=" + secretLink, "unsearchable=" + hidden + "/older.pkg",
             "directory=" + rootOnly + "/dir.pkg", "fifo=" + fifo, "device=" + deviceLink,
             "readable=" + own},
            "", 600s);
        probeOut = r.out;
        std::cout << r.out;
        const Tally t = tallyOf(r);
        ASSERT_EQ(t.tries, 200) << r.out << r.err;
        print(
            "install PATH as an existence oracle (told apart from a missing file, by "
            "reply or time)",
            t.tries, t.served);
    }
    const bool fifoOpened = writer.wait_for(500ms) == std::future_status::ready;
    // Lets the writer go (when it still waits) and closes both ends.
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    const int written = writer.get();
    ::close(reader);
    ::close(written);
    EXPECT_FALSE(fifoOpened) << "the FIFO was opened for reading";

    auto replyOf = [&](const std::string& name) {
        std::istringstream lines(probeOut);
        std::string line;
        while (std::getline(lines, line)) {
            if (line.rfind("path " + name + " ", 0) == 0) {
                return line.substr(line.find(" reply ") + 7);
            }
        }
        return std::string("(none)");
    };
    const std::string missingFile = R"([false,"Location pkg codeSign is invalid"])";
    EXPECT_EQ(replyOf("missing"), missingFile);
    for (const char* name : {"unreadable", "unsearchable", "directory", "fifo", "device"}) {
        EXPECT_EQ(replyOf(name), missingFile) << name;
    }
    EXPECT_EQ(replyOf("readable"),
              R"([false,"safe install path's location pkg version not allowed"])");

    // A plain root-only file, as /etc/shadow is, behind the flipped link.
    const std::string secret = rootOnly + "/shadow";
    std::ofstream(secret) << "root:secret\n";
    ::chmod(secret.c_str(), 0600);
    auto r = xqtest::runCommandAs(plain,
                                  {attackProgram("file_oracle"), "race", client_, socket_, "60",
                                   own_ + "/race.pkg", own, secret},
                                  "", 600s);
    std::cout << r.out;
    const Tally t = tallyOf(r);
    ASSERT_EQ(t.tries, 60) << r.out << r.err;
    print("link flipped between the user's package and a root-only file (staged unchecked)",
          t.tries, t.served);
    EXPECT_EQ(t.served, 0);
    EXPECT_EQ(r.out.find("copy pkg to safe install path failed"), std::string::npos) << r.out;

    // The link flipped between the user's package and the FIFO: a writer
    // that counts every open of the FIFO for reading sees none.
    std::atomic<bool> stop{false};
    std::atomic<int> fifoOpens{0};
    std::thread counter([&] {
        while (!stop) {
            const int w = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
            if (w >= 0 && !stop) {
                ++fifoOpens;
            }
            ::close(w);
        }
    });
    auto f = xqtest::runCommandAs(plain,
                                  {attackProgram("file_oracle"), "race", client_, socket_, "60",
                                   own_ + "/race-fifo.pkg", own, fifo},
                                  "", 600s);
    stop = true;
    const int release = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    counter.join();
    ::close(release);
    std::cout << f.out;
    ASSERT_EQ(tallyOf(f).tries, 60) << f.out << f.err;
    print("link flipped between the user's package and a FIFO (served: opens of the FIFO)", 60,
          fifoOpens);
    EXPECT_EQ(fifoOpens, 0);
    EXPECT_TRUE(daemon->waitForExit(20s).has_value());
}

// A program pipes 10,000 requests into the client's session at once: every
// one is answered, although the daemon reads a connection's requests only as
// it catches up and its replies wait for the client to read them.
TEST_F(Attacks, SessionOfTenThousandPipedRequestsGetsEveryReply) {
    constexpr int kRequests = 10000;
    std::string input;
    for (int seq = 1; seq <= kRequests; ++seq) {
        input += R"({"seq":)" + std::to_string(seq) +
                 R"(,"selector":"runLocationHelperWithReply:","types":"c","args":[]})" + "\n";
    }
    auto daemon = startDaemon();
    auto r = xqtest::runCommandAs(
        user_, {client_, "--socket", socket_, "--timeout", "5", "session"}, input, 300s);
    std::set<int> answered;
    std::istringstream lines(r.out);
    std::string line;
    while (std::getline(lines, line)) {
        int seq = 0;
        if (std::sscanf(line.c_str(), R"({"reply":[true],"seq":%d})", &seq) == 1 ||
            std::sscanf(line.c_str(), R"({"seq":%d,"reply":[true]})", &seq) == 1) {
            answered.insert(seq);
        }
    }
    print("10,000 requests piped into one session (served: replies)", kRequests,
          static_cast<int>(answered.size()));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    ASSERT_EQ(answered.size(), static_cast<size_t>(kRequests));
    EXPECT_EQ(*answered.begin(), 1);
    EXPECT_EQ(*answered.rbegin(), kRequests);
    EXPECT_TRUE(daemon->waitForExit(20s).has_value());
}

// The attacker's link to a folder flips between the service's socket (of
// root and the client group) and another user's socket that only the client
// group may connect to: the setgid client checks one and must never connect
// to the other.
TEST_F(Attacks, SocketFolderSwappedUnderTheSetgidClient) {
    const std::string genuine = dir_.file("genuine");
    const std::string decoy = dir_.file("decoy");
    ASSERT_EQ(::mkdir(genuine.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(decoy.c_str(), 0755), 0);
    ASSERT_EQ(::chown(decoy.c_str(), user_.uid, user_.gid), 0);
    CountingListener service(genuine + "/s.sock", 0, group_);
    CountingListener other(decoy + "/s.sock", user_.uid, group_);
    ASSERT_TRUE(service.ok() && other.ok());
    const Identity plain{attacker_.uid, attacker_.gid, {}};
    auto r = xqtest::runCommandAs(
        plain,
        {attackProgram("socket_swap"), client_, own_ + "/d", genuine, decoy, "s.sock", "300"}, "",
        600s);
    const Tally t = tallyOf(r);
    ASSERT_EQ(t.tries, 300) << r.out << r.err;
    print(
        "--socket through a folder link swapped after the check (served: connections to the "
        "other user's socket; " +
            std::to_string(service.accepted()) + " to the service's)",
        t.tries, other.accepted());
    EXPECT_GT(service.accepted(), 0) << "the attack never reached the service's socket";
    EXPECT_EQ(other.accepted(), 0);
}

}  // namespace
