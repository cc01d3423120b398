// Reading the kernel's process texts under /proc.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace base {

// The numbers on the first line of the text file at `path` that begins with
// `key` (e.g. "Uid:" of /proc/<pid>/status), in order; nullopt when the file
// cannot be read, no line begins with `key`, or that line holds anything but
// numbers.
std::optional<std::vector<long>> procNumbers(const std::string& path, std::string_view key);

// The pid of the process behind a pidfd of this process (the "Pid:" line of
// its fdinfo: -1 once the process has been reaped); nullopt when unreadable.
std::optional<long> pidOfPidfd(int pidfd);

// The user on whose behalf a process runs: its real user and group and its
// supplementary groups, what the user's own shell would have.
struct ProcessUser {
    uid_t uid = static_cast<uid_t>(-1);
    gid_t gid = static_cast<gid_t>(-1);
    std::vector<gid_t> groups;
};

// The ProcessUser of the process `pid` as /proc/<pid>/status tells it now
// (the first numbers of its "Uid:" and "Gid:" lines, and its "Groups:" line,
// which may be empty); nullopt when the file cannot be read or does not have
// that form. The caller makes sure that the pid still names the process it
// means (a pidfd that has not become readable since).
std::optional<ProcessUser> processUser(pid_t pid);

}  // namespace base
