#include "tests/integration/attacks/attack.h"

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace attack {

int connectTo(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (fd < 0 || path.size() >= sizeof address.sun_path) {
        return -1;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    // As every client must (docs/wire-protocol.md): without it, a request
    // sent before the service has switched on credential passing for the
    // accepted socket travels without the sender's identity, and is refused.
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

bool sendRun(int fd, unsigned seq) {
    char body[128];
    const int n = std::snprintf(
        body, sizeof body,
        R"({"seq":%u,"selector":"runLocationHelperWithReply:","types":"c","args":[]})", seq);
    unsigned char frame[4 + sizeof body];
    frame[0] = 0;
    frame[1] = 0;
    frame[2] = static_cast<unsigned char>(n >> 8);
    frame[3] = static_cast<unsigned char>(n);
    std::memcpy(frame + 4, body, static_cast<size_t>(n));
    const size_t size = 4 + static_cast<size_t>(n);
    return ::send(fd, frame, size, MSG_NOSIGNAL) == static_cast<ssize_t>(size);
}

Outcome awaitOutcome(int fd, int milliseconds) {
    pollfd p{fd, POLLIN, 0};
    int ready = 0;
    do {
        ready = ::poll(&p, 1, milliseconds);
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0) {
        return Outcome::Silent;
    }
    char byte = 0;
    const ssize_t n = ::recv(fd, &byte, 1, MSG_DONTWAIT);
    return n > 0 ? Outcome::Served : Outcome::Closed;
}

const char* describe(Outcome outcome) {
    switch (outcome) {
        case Outcome::Served:
            return "served";
        case Outcome::Closed:
            return "closed";
        case Outcome::Silent:
            return "silent";
    }
    return "?";
}

void report(int tries, int served, const std::string& extra) {
    std::printf("tries %d served %d%s%s\n", tries, served, extra.empty() ? "" : " ", extra.c_str());
    std::fflush(stdout);
}

pid_t startLinkFlipper(const std::string& link, const std::string& first, const std::string& second,
                       unsigned pauseMicros) {
    const pid_t flipper = ::fork();
    if (flipper == 0) {
        // Ends with the program that started it, however that ends.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        const std::string next = link + ".next";
        for (unsigned i = 0;; ++i) {
            ::unlink(next.c_str());
            if (::symlink((i % 2 == 0 ? first : second).c_str(), next.c_str()) != 0 ||
                ::rename(next.c_str(), link.c_str()) != 0) {
                _exit(1);
            }
            ::usleep(pauseMicros);
        }
    }
    return flipper;
}

void stopLinkFlipper(pid_t flipper) {
    if (flipper > 0) {
        ::kill(flipper, SIGKILL);
        ::waitpid(flipper, nullptr, 0);
    }
}

}  // namespace attack
