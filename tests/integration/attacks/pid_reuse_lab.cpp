// Runs as root and as process 1 of a pid namespace of its own (started with
// `unshare --pid --fork --mount-proc`), so that it can choose the next pid
// (/proc/sys/kernel/ns_last_pid) and make pid reuse happen at once rather
// than after some 30,000 forks. For each try: starts the daemon on a socket
// of root and GROUP (the socket-activation protocol), runs signed_peer in
// "exit" mode as USER with effective group GROUP, reaps it, sets the next
// pid to the one it had, and lets its child fork the process that takes the
// pid over and writes on the old connection.
//
// usage: pid_reuse_lab DAEMON SIGNED_PEER DIR USER GROUP TRIES
// Prints "tries N served M reused R service-ended E" (R: tries in which the
// pid was reused; E: tries in which the service ended the connection, and so
// itself, once the checked process had exited).
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/integration/attacks/attack.h"

namespace {

int listenAt(const std::string& path, gid_t group) {
    ::unlink(path.c_str());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::chown(path.c_str(), 0, group) != 0 || ::chmod(path.c_str(), 0660) != 0 ||
        ::listen(fd, 16) != 0) {
        return -1;
    }
    return fd;
}

pid_t startDaemon(const char* daemon, int listening) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(listening, 3);
        const std::string self = std::to_string(::getpid());
        ::setenv("LISTEN_PID", self.c_str(), 1);
        ::setenv("LISTEN_FDS", "1", 1);
        ::execl(daemon, daemon, static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

bool readLine(int fd, std::string& line, int milliseconds) {
    line.clear();
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, milliseconds) <= 0) {
            return false;
        }
        char c = 0;
        if (::read(fd, &c, 1) != 1) {
            return false;
        }
        if (c == '\n') {
            return true;
        }
        line.push_back(c);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 7 || ::getpid() != 1) {
        std::fprintf(stderr,
                     "usage (as pid 1): pid_reuse_lab DAEMON SIGNED_PEER DIR USER GROUP TRIES\n");
        return 2;
    }
    const char* daemon = argv[1];
    const char* peer = argv[2];
    const std::string socket = std::string(argv[3]) + "/reuse.sock";
    const uid_t user = static_cast<uid_t>(std::atol(argv[4]));
    const gid_t group = static_cast<gid_t>(std::atol(argv[5]));
    const int tries = std::atoi(argv[6]);
    int served = 0;
    int reused = 0;
    int done = 0;
    int ended = 0;
    for (int t = 0; t < tries; ++t) {
        const int listening = listenAt(socket, group);
        if (listening < 0) {
            std::perror("pid_reuse_lab: listen");
            return 2;
        }
        const pid_t service = startDaemon(daemon, listening);
        ::close(listening);
        int toPeer[2];
        int fromPeer[2];
        if (::pipe(toPeer) != 0 || ::pipe(fromPeer) != 0) {
            return 2;
        }
        const pid_t signedPeer = ::fork();
        if (signedPeer == 0) {
            ::dup2(toPeer[0], 0);
            ::dup2(fromPeer[1], 1);
            ::close(toPeer[1]);
            ::close(fromPeer[0]);
            if (::setgroups(0, nullptr) != 0 || ::setresgid(group, group, group) != 0 ||
                ::setresuid(user, user, user) != 0) {
                _exit(126);
            }
            ::execl(peer, peer, socket.c_str(), "exit", static_cast<char*>(nullptr));
            _exit(127);
        }
        ::close(toPeer[0]);
        ::close(fromPeer[1]);
        std::string line;
        int pidOfPeer = 0;
        if (!readLine(fromPeer[0], line, 20000) ||
            std::sscanf(line.c_str(), "pid %d", &pidOfPeer) != 1) {
            std::fprintf(stderr, "pid_reuse_lab: signed peer said '%s'\n", line.c_str());
            return 2;
        }
        ::waitpid(signedPeer, nullptr, 0);  // its pid is free from now on
        // A daemon that still serves the connection would now meet the heir;
        // one that ended it has no threads left to take the pid first.
        bool serviceEnded = false;
        for (int i = 0; i < 200 && !serviceEnded; ++i) {
            serviceEnded = ::waitpid(service, nullptr, WNOHANG) == service;
            if (!serviceEnded) {
                ::usleep(10000);
            }
        }
        const std::string last = std::to_string(pidOfPeer - 1);
        const int next = ::open("/proc/sys/kernel/ns_last_pid", O_WRONLY);
        if (next < 0 || ::write(next, last.data(), last.size()) != ssize_t(last.size())) {
            std::perror("pid_reuse_lab: ns_last_pid");
            return 2;
        }
        ::close(next);
        if (::write(toPeer[1], "go\n", 3) != 3 || !readLine(fromPeer[0], line, 20000)) {
            std::fprintf(stderr, "pid_reuse_lab: no report from the heir\n");
            return 2;
        }
        int n = 0;
        int s = 0;
        if (std::sscanf(line.c_str(), "tries %d served %d", &n, &s) == 2) {
            served += s;
            done += n;
            reused += line.find("reused-pid") != std::string::npos ? 1 : 0;
        }
        ::close(toPeer[1]);
        ::close(fromPeer[0]);
        ended += serviceEnded ? 1 : 0;
        if (!serviceEnded) {
            ::kill(service, SIGKILL);
        }
        while (::waitpid(-1, nullptr, WNOHANG) > 0) {
        }
    }
    attack::report(done, served,
                   "reused " + std::to_string(reused) + " service-ended " + std::to_string(ended));
    return 0;
}
