#include "platform/base/proc.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace base {

std::optional<std::vector<long>> procNumbers(const std::string& path, std::string_view key) {
    FILE* file = std::fopen(path.c_str(), "re");
    if (file == nullptr) {
        return std::nullopt;
    }
    char line[256];
    std::optional<std::vector<long>> out;
    while (std::fgets(line, sizeof line, file) != nullptr) {
        if (std::strncmp(line, key.data(), key.size()) != 0) {
            continue;
        }
        std::vector<long> numbers;
        const char* at = line + key.size();
        for (;;) {
            while (*at == ' ' || *at == '\t') {
                ++at;
            }
            if (*at == '\n' || *at == '\0') {
                break;
            }
            char* end = nullptr;
            errno = 0;
            const long value = std::strtol(at, &end, 10);
            if (end == at || errno != 0) {
                numbers.clear();
                break;
            }
            numbers.push_back(value);
            at = end;
        }
        if (!numbers.empty()) {
            out = std::move(numbers);
        }
        break;
    }
    std::fclose(file);
    return out;
}

std::optional<long> pidOfPidfd(int pidfd) {
    const auto numbers = procNumbers("/proc/self/fdinfo/" + std::to_string(pidfd), "Pid:");
    if (!numbers) {
        return std::nullopt;
    }
    return numbers->front();
}

namespace {

// The numbers after `key` on one line of a status text; nullopt when anything
// else is there. `allowEmpty` accepts a line with no number at all.
std::optional<std::vector<long>> numbersAfter(const std::string& line, std::string_view key,
                                              bool allowEmpty) {
    if (line.compare(0, key.size(), key) != 0) {
        return std::nullopt;
    }
    std::vector<long> numbers;
    const char* at = line.c_str() + key.size();
    for (;;) {
        while (*at == ' ' || *at == '\t') {
            ++at;
        }
        if (*at == '\0') {
            break;
        }
        char* end = nullptr;
        errno = 0;
        const long value = std::strtol(at, &end, 10);
        if (end == at || errno != 0 || value < 0) {
            return std::nullopt;
        }
        numbers.push_back(value);
        at = end;
    }
    if (numbers.empty() && !allowEmpty) {
        return std::nullopt;
    }
    return numbers;
}

}  // namespace

std::optional<ProcessUser> processUser(pid_t pid) {
    // Read whole: the "Groups:" line of a user with many groups is long.
    std::ifstream file("/proc/" + std::to_string(pid) + "/status");
    if (!file) {
        return std::nullopt;
    }
    std::optional<std::vector<long>> uids;
    std::optional<std::vector<long>> gids;
    std::optional<std::vector<long>> groups;
    std::string line;
    while (std::getline(file, line)) {
        if (!uids && line.rfind("Uid:", 0) == 0) {
            uids = numbersAfter(line, "Uid:", false);
            if (!uids) {
                return std::nullopt;
            }
        } else if (!gids && line.rfind("Gid:", 0) == 0) {
            gids = numbersAfter(line, "Gid:", false);
            if (!gids) {
                return std::nullopt;
            }
        } else if (!groups && line.rfind("Groups:", 0) == 0) {
            groups = numbersAfter(line, "Groups:", true);
            if (!groups) {
                return std::nullopt;
            }
        }
    }
    if (file.bad() || !uids || !gids || !groups) {
        return std::nullopt;
    }
    ProcessUser user;
    user.uid = static_cast<uid_t>(uids->front());
    user.gid = static_cast<gid_t>(gids->front());
    user.groups.reserve(groups->size());
    for (const long g : *groups) {
        user.groups.push_back(static_cast<gid_t>(g));
    }
    return user;
}

}  // namespace base
