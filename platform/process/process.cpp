#include "platform/process/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/base/fd.h"

extern char** environ;

namespace process {

namespace {

int waitFor(pid_t pid, int& status) {
    return base::retryOnEintr([&] { return ::waitpid(pid, &status, 0); });
}

}  // namespace

Running::Running(Running&& other) noexcept
    : result_(std::move(other.result_)),
      pid_(std::exchange(other.pid_, -1)),
      output_(std::move(other.output_)) {}

Running& Running::operator=(Running&& other) noexcept {
    if (this != &other) {
        release();
        result_ = std::move(other.result_);
        pid_ = std::exchange(other.pid_, -1);
        output_ = std::move(other.output_);
    }
    return *this;
}

Running::~Running() {
    release();
}

void Running::release() {
    // A child still writing gets end of pipe rather than blocking.
    output_.reset();
    if (pid_ > 0) {
        int status = 0;
        (void)waitFor(std::exchange(pid_, -1), status);
    }
}

Result Running::finish() {
    Result result = std::exchange(result_, Result{});
    if (pid_ <= 0) {
        return result;
    }
    if (output_) {
        // A read error ends the capture as end of file does.
        (void)base::readToEnd(output_.get(), result.standardOutput);
        output_.reset();
    }
    int status = 0;
    if (waitFor(std::exchange(pid_, -1), status) < 0) {
        return result;
    }
    if (WIFEXITED(status)) {
        result.exited = true;
        result.terminationStatus = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.terminationStatus = WTERMSIG(status);
    }
    return result;
}

Result run(const Task& task) {
    return start(task).finish();
}

Running start(const Task& task) {
    Running running;
    Result& result = running.result_;
    std::vector<std::string> argStrings;
    argStrings.reserve(task.arguments.size() + 1);
    argStrings.push_back(task.launchPath);
    argStrings.insert(argStrings.end(), task.arguments.begin(), task.arguments.end());
    std::vector<char*> argv;
    argv.reserve(argStrings.size() + 1);
    for (auto& s : argStrings) {
        argv.push_back(s.data());
    }
    argv.push_back(nullptr);

    base::UniqueFd readEnd, writeEnd;
    if (task.pipeStandardOutput) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            result.launchError = errno;
            return running;
        }
        readEnd.reset(fds[0]);
        writeEnd.reset(fds[1]);
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (task.pipeStandardOutput) {
        // dup2 clears close-on-exec on the child's standard output only.
        posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDOUT_FILENO);
    }
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // The child starts with default signal handling whatever this process set.
    sigset_t all;
    sigfillset(&all);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, task.launchPath.c_str(), &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    writeEnd.reset();
    if (rc != 0) {
        result.launchError = rc;
        return running;
    }
    result.launched = true;
    running.pid_ = pid;
    running.output_ = std::move(readEnd);
    return running;
}

}  // namespace process
