#include "tests/support/harness.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

#include "Common/XQHelperLabel.h"

extern char** environ;

namespace xqtest {
namespace {

int statusToCode(int status) {
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return -1;
}

// The null-terminated array of C strings that exec takes, over copies of
// its own: made before fork(), since after it the child makes only system
// calls.
class CStrings {
  public:
    explicit CStrings(std::vector<std::string> strings) : strings_(std::move(strings)) {
        for (auto& s : strings_) {
            pointers_.push_back(s.data());
        }
        pointers_.push_back(nullptr);
    }
    CStrings(const CStrings&) = delete;
    CStrings& operator=(const CStrings&) = delete;
    char** data() { return pointers_.data(); }
    char* operator[](size_t i) { return pointers_[i]; }

  private:
    std::vector<std::string> strings_;
    std::vector<char*> pointers_;
};

// This process's environment but for the entries whose names begin with
// `without` (none when empty), then `added`.
std::vector<std::string> environmentWith(const std::vector<std::string>& added,
                                         const std::string& without = "") {
    std::vector<std::string> out;
    for (char** e = environ; *e != nullptr; ++e) {
        if (without.empty() || std::strncmp(*e, without.c_str(), without.size()) != 0) {
            out.emplace_back(*e);
        }
    }
    out.insert(out.end(), added.begin(), added.end());
    return out;
}

// fork() and exec, with the child's credentials and environment set first.
pid_t spawnAs(const Identity* who, const std::vector<std::string>& argv,
              const std::vector<std::string>& environment, int in, int out, int err) {
    CStrings args(argv);
    CStrings env(environmentWith(environment));
    const pid_t pid = ::fork();
    if (pid != 0) {
        return pid;
    }
    if ((in >= 0 && ::dup2(in, 0) < 0) || (out >= 0 && ::dup2(out, 1) < 0) ||
        (err >= 0 && ::dup2(err, 2) < 0)) {
        _exit(126);
    }
    if (who != nullptr && (::setgroups(who->groups.size(), who->groups.data()) != 0 ||
                           ::setresgid(who->gid, who->gid, who->gid) != 0 ||
                           ::setresuid(who->uid, who->uid, who->uid) != 0)) {
        _exit(126);
    }
    ::execve(args[0], args.data(), env.data());
    _exit(127);
}

pid_t spawn(const std::vector<std::string>& argv, int in, int out, int err) {
    CStrings args(argv);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (in >= 0) {
        posix_spawn_file_actions_adddup2(&fa, in, 0);
    }
    if (out >= 0) {
        posix_spawn_file_actions_adddup2(&fa, out, 1);
    }
    if (err >= 0) {
        posix_spawn_file_actions_adddup2(&fa, err, 2);
    }
    pid_t pid = -1;
    int rc = posix_spawn(&pid, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    return rc == 0 ? pid : -1;
}

}  // namespace

CommandResult runCommand(const std::vector<std::string>& argv, const std::string& input,
                         std::chrono::milliseconds timeout) {
    return runCommandAs(Identity{::geteuid(), ::getegid(), {}}, argv, input, timeout, {});
}

CommandResult runCommandAs(const Identity& who, const std::vector<std::string>& argv,
                           const std::string& input, std::chrono::milliseconds timeout,
                           const std::vector<std::string>& environment) {
    const bool asSelf = who.uid == ::geteuid() && who.gid == ::getegid() && who.groups.empty() &&
                        environment.empty();
    CommandResult result;
    int inPipe[2], outPipe[2], errPipe[2];
    if (pipe2(inPipe, O_CLOEXEC) || pipe2(outPipe, O_CLOEXEC) || pipe2(errPipe, O_CLOEXEC)) {
        throw std::runtime_error("pipe failed");
    }
    pid_t pid = asSelf ? spawn(argv, inPipe[0], outPipe[1], errPipe[1])
                       : spawnAs(&who, argv, environment, inPipe[0], outPipe[1], errPipe[1]);
    close(inPipe[0]);
    close(outPipe[1]);
    close(errPipe[1]);
    if (pid < 0) {
        close(inPipe[1]);
        close(outPipe[0]);
        close(errPipe[0]);
        result.err = "cannot start " + argv[0];
        return result;
    }
    std::thread writer([fd = inPipe[1], input] {
        signal(SIGPIPE, SIG_IGN);
        size_t done = 0;
        while (done < input.size()) {
            ssize_t n = write(fd, input.data() + done, input.size() - done);
            if (n <= 0) {
                break;
            }
            done += static_cast<size_t>(n);
        }
        close(fd);
    });
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    int open = 2;
    while (open > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timedOut = true;
            kill(pid, SIGKILL);
            break;
        }
        if (poll(fds, 2, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP | POLLERR))) {
                char buf[4096];
                ssize_t n = read(fds[i].fd, buf, sizeof buf);
                if (n > 0) {
                    (i == 0 ? result.out : result.err).append(buf, static_cast<size_t>(n));
                } else {
                    close(fds[i].fd);
                    fds[i].fd = -1;
                    --open;
                }
            }
        }
    }
    for (auto& f : fds) {
        if (f.fd >= 0) {
            close(f.fd);
        }
    }
    writer.join();
    int status = 0;
    waitpid(pid, &status, 0);
    result.exitCode = statusToCode(status);
    return result;
}

gid_t testClientGroup() {
    return static_cast<gid_t>(XQ_TEST_CLIENT_GID);
}

uid_t testUser(int index) {
    static const uid_t users[] = {XQ_TEST_USER_UIDS};
    // Tests that run side by side are given users of their own.
    if (const char* chosen = std::getenv("XQ_TEST_USER_UIDS"); chosen != nullptr) {
        std::istringstream list(chosen);
        std::string uid;
        for (int i = 0; std::getline(list, uid, ','); ++i) {
            if (i == index) {
                return static_cast<uid_t>(std::stoul(uid));
            }
        }
    }
    return users[index];
}

pid_t spawnActivated(const std::vector<std::string>& argv, int listenFd, int out, int err) {
    // The child only writes its pid into the space left for it.
    constexpr size_t kDigits = 20;
    CStrings args(argv);
    std::vector<std::string> environment =
        environmentWith({"LISTEN_FDS=1", "LISTEN_PID=" + std::string(kDigits, '\0')}, "LISTEN_");
    const size_t pidEntry = environment.size() - 1;
    CStrings env(std::move(environment));
    char* pidText = env[pidEntry] + std::strlen("LISTEN_PID=");
    const pid_t pid = ::fork();
    if (pid != 0) {
        return pid;
    }
    if ((out >= 0 && ::dup2(out, 1) < 0) || (err >= 0 && ::dup2(err, 2) < 0)) {
        _exit(126);
    }
    if (listenFd == 3) {
        ::fcntl(3, F_SETFD, 0);
    } else if (listenFd >= 0) {
        if (::dup2(listenFd, 3) != 3) {
            _exit(126);
        }
    } else {
        ::close(3);
    }
    char digits[kDigits];
    size_t n = 0;
    for (pid_t v = ::getpid(); v > 0 && n < kDigits; v /= 10) {
        digits[n++] = static_cast<char>('0' + v % 10);
    }
    for (size_t i = 0; i < n; ++i) {
        pidText[i] = digits[n - 1 - i];
    }
    ::execve(args[0], args.data(), env.data());
    _exit(127);
}

std::string readFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
    }
    std::string out;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_size > 0) {
        out.reserve(static_cast<size_t>(st.st_size));
    }
    char block[1 << 16];
    for (;;) {
        const ssize_t n = ::read(fd, block, sizeof block);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            const int error = errno;
            ::close(fd);
            throw std::runtime_error("cannot read " + path + ": " + std::strerror(error));
        }
        if (n == 0) {
            break;
        }
        out.append(block, static_cast<size_t>(n));
    }
    ::close(fd);
    return out;
}

std::string readFileIfExists(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 && errno == ENOENT) {
        return {};
    }
    return readFile(path);
}

std::vector<uint8_t> readBytes(const std::string& path) {
    const std::string text = readFile(path);
    return {text.begin(), text.end()};
}

std::string testIdentitiesUnavailable() {
    if (::geteuid() != 0) {
        return "needs root, to run processes as other users";
    }
    if (::getgrgid(testClientGroup()) != nullptr) {
        return "group " + std::to_string(testClientGroup()) + " exists on this system";
    }
    for (int i = 0; i < 2; ++i) {
        if (::getpwuid(testUser(i)) != nullptr || ::getgrgid(testUser(i)) != nullptr) {
            return "id " + std::to_string(testUser(i)) + " exists on this system";
        }
    }
    return {};
}

bool eventually(const std::function<bool()>& predicate, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

std::string buildPath(const std::string& relative) {
    return std::string(XQ_BINARY_DIR) + "/" + relative;
}

std::string daemonPath() {
    return buildPath(std::string(xq::kHelperLabel) + "-test");
}

std::string clientPath(const std::string& variant) {
    const std::string name = variant.empty() ? "xqsip-client" : "xqsip-client-" + variant;
    return buildPath("tools/xqsip-client/" + name);
}

TempDir::TempDir() {
    char tmpl[] = "/tmp/xqtest.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = tmpl;
    chmod(path_.c_str(), 0755);
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

namespace {

// True once a socket bound at `path` listens. The file appears at bind(),
// before listen(): a client that connects in between is refused. Connecting
// to find out would start the daemon, so the kernel's table is read instead
// (flag __SO_ACCEPTCON, 0x10000, marks a listening socket).
bool listensAt(const std::string& path) {
    // The calling thread's network namespace (a test may start the daemon
    // from a thread inside one of its namespaces).
    std::ifstream table("/proc/thread-self/net/unix");
    std::string line;
    std::getline(table, line);  // the header
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string num, refCount, protocol, flags, type, state, inode, name;
        fields >> num >> refCount >> protocol >> flags >> type >> state >> inode >> name;
        if (name == path && (std::stoul(flags, nullptr, 16) & 0x10000) != 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

ActivatedDaemon::ActivatedDaemon(std::string socketPath, std::string daemon,
                                 const std::vector<std::string>& environment)
    : socketPath_(std::move(socketPath)) {
    int devnull = open("/dev/null", O_RDWR | O_CLOEXEC);
    std::vector<std::string> argv = {"/usr/bin/systemd-socket-activate", "-l", socketPath_};
    for (const std::string& variable : environment) {
        argv.push_back("-E");
        argv.push_back(variable);
    }
    argv.push_back(daemon);
    pid_ = spawn(argv, devnull, devnull, -1);
    close(devnull);
    for (int i = 0; i < 500 && pid_ > 0; ++i) {
        struct stat st;
        if (stat(socketPath_.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && listensAt(socketPath_)) {
            started_ = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

ActivatedDaemon::ActivatedDaemon(std::string socketPath, std::string daemon, gid_t group)
    : ActivatedDaemon(std::move(socketPath), std::move(daemon)) {
    // Nothing connects before the test's first client, so the owner and mode
    // are set before anyone could use the socket.
    if (started_ &&
        (::chown(socketPath_.c_str(), 0, group) != 0 || ::chmod(socketPath_.c_str(), 0660) != 0)) {
        started_ = false;
    }
}

ActivatedDaemon::~ActivatedDaemon() {
    // The daemon stays for further clients until it has been idle for a
    // while; a test that is done with it ends it as a stop of the service
    // would, which also lets a command in progress leave nothing behind.
    if (pid_ > 0 && !status_ && !stop(std::chrono::seconds(30))) {
        kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
    unlink(socketPath_.c_str());
}

bool ActivatedDaemon::running() {
    if (status_) {
        return false;
    }
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
        status_ = status;
        return false;
    }
    return true;
}

std::optional<int> ActivatedDaemon::waitForExit(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (running()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return status_;
}

std::optional<int> ActivatedDaemon::stop(std::chrono::milliseconds timeout) {
    if (running()) {
        kill(pid_, SIGTERM);
    }
    return waitForExit(timeout);
}

CommandResult runClient(const std::string& socketPath, const std::vector<std::string>& args,
                        const std::string& variant, double timeoutSeconds) {
    std::vector<std::string> argv = {clientPath(variant), "--socket", socketPath, "--timeout",
                                     std::to_string(timeoutSeconds)};
    argv.insert(argv.end(), args.begin(), args.end());
    return runCommand(
        argv, "", std::chrono::milliseconds(static_cast<long long>(timeoutSeconds * 1000) + 30000));
}

}  // namespace xqtest
