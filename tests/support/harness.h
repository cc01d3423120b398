// Shared test support: running commands as real child processes, and a daemon
// started on demand through systemd-socket-activate on a private socket path.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace xqtest {

// The whole content of a file, read in large blocks (a test may read a 65 MB
// sanitizer build: a character at a time that takes tens of seconds).
// Throws std::runtime_error when the file cannot be read.
std::string readFile(const std::string& path);
std::vector<uint8_t> readBytes(const std::string& path);
// The same, but empty when there is no such file (a log not written yet).
std::string readFileIfExists(const std::string& path);

struct CommandResult {
    int exitCode = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
    bool timedOut = false;
};

// Runs argv[0] (a path) with the arguments, feeding `input` to its standard
// input, and collects its output. A command still running at the timeout is
// killed and reported with timedOut.
CommandResult runCommand(const std::vector<std::string>& argv, const std::string& input = "",
                         std::chrono::milliseconds timeout = std::chrono::seconds(60));

// Who a child process runs as: user, group and supplementary groups, set
// before it executes its program (the caller must be root).
struct Identity {
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;
};

// runCommand as `who`, with `environment` entries ("NAME=value") added.
CommandResult runCommandAs(const Identity& who, const std::vector<std::string>& argv,
                           const std::string& input = "",
                           std::chrono::milliseconds timeout = std::chrono::seconds(60),
                           const std::vector<std::string>& environment = {});

// The test build's client group and the unprivileged users that tests run
// as (XQ_TEST_CLIENT_GID, XQ_TEST_USER_UIDS): numbers that no entry of the
// system's databases names. Each user's own group has the user's number.
// The environment's XQ_TEST_USER_UIDS ("uid,uid"), when set, names other
// users, for tests that run side by side.
gid_t testClientGroup();
uid_t testUser(int index);  // index 0 or 1
// Empty when the numbers are free to use here, otherwise why not.
std::string testIdentitiesUnavailable();

// Waits for `predicate` to hold, looking again every 2 ms, for at most
// `limit`: false when it never did, so that a fault shows as a failed
// expectation rather than a hung test.
bool eventually(const std::function<bool()>& predicate,
                std::chrono::milliseconds limit = std::chrono::seconds(10));

// A path inside the build tree.
std::string buildPath(const std::string& relative);

// The test build of the daemon and the client tool (and its variants).
std::string daemonPath();
std::string clientPath(const std::string& variant = "");

// A fresh directory under /tmp, removed with everything in it by the destructor.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// Starts `argv` (argv[0] a path) as the service manager starts a
// socket-activated service: `listenFd` at descriptor 3 (none for -1), with
// LISTEN_PID and LISTEN_FDS=1 added to the environment; `out` and `err`, when
// not -1, become its standard output and error. Returns its pid (-1 if the
// fork failed); the caller waits for it.
pid_t spawnActivated(const std::vector<std::string>& argv, int listenFd, int out = -1,
                     int err = -1);

// systemd-socket-activate listening on `socketPath`; the daemon is executed in
// its place on the first connection, so pid() is the daemon's pid once it runs.
// The daemon's environment holds the activation variables and `environment`
// ("NAME=value") only.
class ActivatedDaemon {
  public:
    ActivatedDaemon(std::string socketPath, std::string daemon = daemonPath(),
                    const std::vector<std::string>& environment = {});
    // The same, with the socket owned by root and `group`, mode 0660, as the
    // service's socket unit makes it.
    ActivatedDaemon(std::string socketPath, std::string daemon, gid_t group);
    // Stops what still runs as the service manager does (SIGTERM), and kills
    // it if it has not ended within 30 s.
    ~ActivatedDaemon();
    ActivatedDaemon(const ActivatedDaemon&) = delete;
    ActivatedDaemon& operator=(const ActivatedDaemon&) = delete;

    // False if the socket did not appear.
    bool started() const { return started_; }
    pid_t pid() const { return pid_; }
    const std::string& socketPath() const { return socketPath_; }
    // True while the process (the activator or the daemon) has not exited.
    bool running();
    // The wait status once the process has exited within the timeout.
    std::optional<int> waitForExit(std::chrono::milliseconds timeout);
    // Sends SIGTERM, as the service manager's stop does, and waits as
    // waitForExit does.
    std::optional<int> stop(std::chrono::milliseconds timeout);

  private:
    std::string socketPath_;
    pid_t pid_ = -1;
    bool started_ = false;
    std::optional<int> status_;
};

// Runs the client tool: xqsip-client --socket S --timeout T ARGS...
CommandResult runClient(const std::string& socketPath, const std::vector<std::string>& args,
                        const std::string& variant = "", double timeoutSeconds = 20);

}  // namespace xqtest
