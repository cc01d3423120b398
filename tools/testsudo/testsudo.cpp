// The test build's "sudo": appends its arguments to a log as one JSON array per
// line, then executes them (the tests already run as root, so there is
// nothing to change). The log is XQ_TESTSUDO_LOG when set, else the test
// area's sudo.log; the daemon passes its environment on to its children, so a
// test that starts the daemon with that variable reads its own log.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/base/fd.h"

#ifndef XQ_TESTSUDO_DEFAULT_LOG
#error "XQ_TESTSUDO_DEFAULT_LOG must name the default log"
#endif

int main(int argc, char** argv) try {
    if (argc < 2) {
        std::fprintf(stderr, "usage: sudo command [args...]\n");
        return 1;
    }
    nlohmann::json args = nlohmann::json::array();
    for (int i = 1; i < argc; ++i) {
        args.push_back(argv[i]);
    }
    const std::string line =
        args.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    const char* log = std::getenv("XQ_TESTSUDO_LOG");
    if (log == nullptr || *log == '\0') {
        log = XQ_TESTSUDO_DEFAULT_LOG;
    }
    base::UniqueFd fd(::open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    // One write with O_APPEND keeps lines from concurrent children whole.
    if (!fd || ::write(fd.get(), line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
        std::fprintf(stderr, "sudo: cannot write log %s: %s\n", log, std::strerror(errno));
        return 1;
    }
    fd.reset();
    ::execv(argv[1], argv + 1);
    // As the real sudo: a command that cannot be run is reported, status 1.
    std::fprintf(stderr, "sudo: %s: %s\n", argv[1], std::strerror(errno));
    return 1;
} catch (const std::exception& e) {
    std::fprintf(stderr, "sudo: %s\n", e.what());
    return 1;
}
