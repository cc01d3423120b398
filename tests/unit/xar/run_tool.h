// Runs a tool as a child process (no shell) and returns its exit status;
// optionally captures its standard output.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char** environ;

namespace xartest {

inline int run_tool(const std::vector<std::string>& argv, std::string* out = nullptr) {
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    int pipefd[2] = {-1, -1};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (out) {
        if (pipe2(pipefd, O_CLOEXEC) != 0)
            return -1;
        posix_spawn_file_actions_adddup2(&fa, pipefd[1], 1);
    } else {
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    }
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (out) {
        close(pipefd[1]);
        if (rc == 0) {
            char buf[4096];
            ssize_t n;
            while ((n = read(pipefd[0], buf, sizeof buf)) > 0)
                out->append(buf, size_t(n));
        }
        close(pipefd[0]);
    }
    if (rc != 0)
        return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

inline bool have_tool(const std::string& name) {
    return run_tool({"sh", "-c", "command -v " + name}) == 0;
}

}  // namespace xartest
