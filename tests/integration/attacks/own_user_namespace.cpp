// Enters a user namespace of its own (where it is root and could point its
// executable link anywhere), then connects and sends a request.
//
// usage: own_user_namespace SOCKET
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "tests/integration/attacks/attack.h"

namespace {
bool writeFile(const char* path, const std::string& text) {
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    const bool ok = fd >= 0 && ::write(fd, text.data(), text.size()) == ssize_t(text.size());
    if (fd >= 0) {
        ::close(fd);
    }
    return ok;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: own_user_namespace SOCKET\n");
        return 2;
    }
    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    if (::unshare(CLONE_NEWUSER) != 0 || !writeFile("/proc/self/setgroups", "deny") ||
        !writeFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
        !writeFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
        std::perror("own_user_namespace: unshare");
        return 2;
    }
    const int fd = attack::connectTo(argv[1]);
    if (fd < 0) {
        // The file system may already say no: that is a refusal too.
        attack::report(1, 0, "outcome refused-at-connect");
        return 0;
    }
    const bool sent = attack::sendRun(fd, 1);
    const attack::Outcome outcome = sent ? attack::awaitOutcome(fd, 5000) : attack::Outcome::Closed;
    attack::report(1, outcome == attack::Outcome::Served ? 1 : 0,
                   std::string("euid-inside ") + std::to_string(::geteuid()) + " outcome " +
                       attack::describe(outcome));
    return 0;
}
