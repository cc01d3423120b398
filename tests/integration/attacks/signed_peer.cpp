// A process that passes the signature check (it is signed as the client is)
// and then lets another process use its accepted connection:
//   signed_peer SOCKET fork    a forked child writes on the inherited socket
//   signed_peer SOCKET pass    the socket goes to another process (SCM_RIGHTS)
//   signed_peer SOCKET exit    prints "pid P", leaves the socket to a child
//                              and exits; on "go" from standard input the
//                              child forks until a process with pid P
//                              exists, which writes on the socket
// The first request is its own (it must be served); the count is of the
// requests that the other process sent.
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "tests/integration/attacks/attack.h"
#include "tests/support/descriptors.h"

namespace {

// The other process's attempt: one request, then what became of it.
[[noreturn]] void useConnection(int fd, const std::string& extra) {
    const bool sent = attack::sendRun(fd, 2);
    const attack::Outcome outcome = sent ? attack::awaitOutcome(fd, 5000) : attack::Outcome::Closed;
    attack::report(1, outcome == attack::Outcome::Served ? 1 : 0,
                   extra + (extra.empty() ? "" : " ") + "outcome " + attack::describe(outcome));
    _exit(0);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: signed_peer SOCKET fork|pass|exit\n");
        return 2;
    }
    const std::string mode = argv[2];
    const int fd = attack::connectTo(argv[1]);
    if (fd < 0 || !attack::sendRun(fd, 1) ||
        attack::awaitOutcome(fd, 10000) != attack::Outcome::Served) {
        std::printf("own request not served\n");
        return 1;
    }
    // Whatever else is buffered of the reply is of no interest.
    char drain[256];
    while (::recv(fd, drain, sizeof drain, MSG_DONTWAIT) > 0) {
    }

    if (mode == "fork") {
        const pid_t child = ::fork();
        if (child == 0) {
            useConnection(fd, "");
        }
        ::waitpid(child, nullptr, 0);
        return 0;
    }
    if (mode == "pass") {
        int pair[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) {
            return 2;
        }
        const pid_t other = ::fork();
        if (other == 0) {
            ::close(fd);
            ::close(pair[0]);
            const int passed = xqtest::receiveDescriptor(pair[1]);
            useConnection(passed, "");
        }
        ::close(pair[1]);
        xqtest::sendWithDescriptor(pair[0], "x", fd);
        ::waitpid(other, nullptr, 0);
        return 0;
    }
    if (mode == "exit") {
        const pid_t self = ::getpid();
        const pid_t holder = ::fork();
        if (holder == 0) {
            char go[8] = {};
            if (::read(0, go, sizeof go) <= 0) {
                _exit(1);
            }
            for (int attempt = 0; attempt < 1000; ++attempt) {
                const pid_t heir = ::fork();
                if (heir == 0) {
                    if (::getpid() != self) {
                        _exit(3);
                    }
                    useConnection(fd, "reused-pid " + std::to_string(self));
                }
                int status = 0;
                ::waitpid(heir, &status, 0);
                if (!WIFEXITED(status) || WEXITSTATUS(status) != 3) {
                    _exit(0);
                }
            }
            attack::report(0, 0, "pid-not-reused");
            _exit(0);
        }
        std::printf("pid %d\n", static_cast<int>(self));
        std::fflush(stdout);
        return 0;
    }
    return 2;
}
