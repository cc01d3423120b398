// Reading the kernel's process texts under /proc.
#pragma once

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

}  // namespace base
