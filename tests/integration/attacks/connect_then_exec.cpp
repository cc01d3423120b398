// Connects, sends a request, then executes the genuine client in the same
// process, so that the service's look at the process's executable (if it
// came after the exec) would find the genuine one. A forked reader keeps the
// connection open and reports whether the request was served.
//
// usage: connect_then_exec SOCKET CLIENT
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "tests/integration/attacks/attack.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: connect_then_exec SOCKET CLIENT\n");
        return 2;
    }
    const std::string socket = argv[1];
    const int fd = attack::connectTo(socket);
    if (fd < 0) {
        std::perror("connect_then_exec: connect");
        return 2;
    }
    if (!attack::sendRun(fd, 1)) {
        // Closed before the request could even be written: refused.
        attack::report(1, 0, "outcome closed");
        return 0;
    }
    const pid_t reader = ::fork();
    if (reader == 0) {
        const attack::Outcome outcome = attack::awaitOutcome(fd, 5000);
        attack::report(1, outcome == attack::Outcome::Served ? 1 : 0,
                       std::string("outcome ") + attack::describe(outcome));
        _exit(0);
    }
    // The genuine client, holding the connection while it runs (its own
    // connection is its business; it sends nothing on it).
    ::fcntl(fd, F_SETFD, 0);
    const int devnull = ::open("/dev/null", O_RDONLY);
    ::dup2(devnull, 0);
    ::execl(argv[2], argv[2], "--socket", argv[1], "--timeout", "0.2", "session",
            static_cast<char*>(nullptr));
    std::perror("connect_then_exec: exec");
    return 2;
}
