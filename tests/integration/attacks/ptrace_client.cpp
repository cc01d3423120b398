// Starts the client (as its own child, so that even a restrictive ptrace
// policy would allow a parent to trace it) in a session that stays open, and
// tries to take it over: PTRACE_ATTACH, PTRACE_SEIZE, writing its memory
// through /proc/<pid>/mem and with process_vm_writev.
//
// usage: ptrace_client CLIENT SOCKET
// Prints "tries 4 served N" where N counts the ways in that worked.
#include <fcntl.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "tests/integration/attacks/attack.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: ptrace_client CLIENT SOCKET\n");
        return 2;
    }
    int input[2];
    int output[2];
    if (::pipe(input) != 0 || ::pipe(output) != 0) {
        return 2;
    }
    const pid_t client = ::fork();
    if (client == 0) {
        ::dup2(input[0], 0);
        ::dup2(output[1], 1);
        ::execl(argv[1], argv[1], "--socket", argv[2], "--timeout", "1", "session",
                static_cast<char*>(nullptr));
        _exit(127);
    }
    ::close(input[0]);
    ::close(output[1]);
    // Once it answers a request, it runs, connected and accepted.
    const std::string request =
        R"({"seq":1,"selector":"runLocationHelperWithReply:","types":"c","args":[]})"
        "\n";
    char reply[256] = {};
    if (::write(input[1], request.data(), request.size()) != ssize_t(request.size()) ||
        ::read(output[0], reply, sizeof reply - 1) <= 0) {
        std::fprintf(stderr, "ptrace_client: the client did not answer\n");
        return 2;
    }

    int worked = 0;
    std::string how;
    const std::string mem = "/proc/" + std::to_string(client) + "/mem";
    const int fd = ::open(mem.c_str(), O_RDWR);
    if (fd >= 0) {
        ++worked;
        how += " mem";
        ::close(fd);
    }
    // The write needs the right to write before the address is looked at.
    char byte = 0;
    iovec local{&byte, 1};
    iovec remote{reinterpret_cast<void*>(0x10000), 1};
    if (::process_vm_writev(client, &local, 1, &remote, 1, 0) >= 0 || errno != EPERM) {
        ++worked;
        how += " vm_writev";
    }
    if (::ptrace(PTRACE_SEIZE, client, nullptr, nullptr) == 0) {
        ++worked;
        how += " seize";
        // Stop it, so that it can be let go again.
        ::ptrace(PTRACE_INTERRUPT, client, nullptr, nullptr);
        ::waitpid(client, nullptr, __WALL);
        ::ptrace(PTRACE_DETACH, client, nullptr, nullptr);
    }
    if (::ptrace(PTRACE_ATTACH, client, nullptr, nullptr) == 0) {
        ++worked;
        how += " attach";
        ::waitpid(client, nullptr, __WALL);
        ::ptrace(PTRACE_DETACH, client, nullptr, nullptr);
    }
    ::close(input[1]);
    int status = 0;
    for (int i = 0; i < 500 && ::waitpid(client, &status, WNOHANG) == 0; ++i) {
        ::usleep(10000);
    }
    ::kill(client, SIGKILL);
    ::waitpid(client, &status, 0);
    attack::report(4, worked, "worked:" + (how.empty() ? std::string(" none") : how));
    return 0;
}
