#include "platform/base/proc.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

}  // namespace base
