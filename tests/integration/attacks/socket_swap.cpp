// The setgid client's --socket check against a folder swapped under it: a
// child flips the attacker's symbolic link LINK between GENUINE (a folder
// holding the service's socket, of root and the client group) and DECOY (a
// folder holding a socket that only the client group may connect to, of
// another user), while the client is run TRIES times on LINK/SOCKET. The
// test counts the connections the decoy accepts; this program counts the
// runs (served: those that got past the check to a connection).
//
// usage: socket_swap CLIENT LINK GENUINE DECOY SOCKET TRIES
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/integration/attacks/attack.h"

int main(int argc, char** argv) {
    if (argc != 7) {
        std::fprintf(stderr, "usage: socket_swap CLIENT LINK GENUINE DECOY SOCKET TRIES\n");
        return 2;
    }
    const std::string client = argv[1];
    const std::string link = argv[2];
    const std::string genuine = argv[3];
    const std::string decoy = argv[4];
    const std::string socket = link + "/" + argv[5];
    const int tries = std::atoi(argv[6]);
    const pid_t flipper = attack::startLinkFlipper(link, genuine, decoy, 50);
    int connected = 0;
    for (int i = 0; i < tries; ++i) {
        const pid_t run = ::fork();
        if (run == 0) {
            // Nothing is printed: the outcome is the exit status (2: refused
            // by the check or no connection; 3: connected, then closed).
            ::freopen("/dev/null", "w", stdout);
            ::freopen("/dev/null", "w", stderr);
            ::execl(client.c_str(), client.c_str(), "--socket", socket.c_str(), "--timeout", "2",
                    "run", static_cast<char*>(nullptr));
            _exit(127);
        }
        int status = 0;
        ::waitpid(run, &status, 0);
        if (WIFEXITED(status) && WEXITSTATUS(status) != 2) {
            ++connected;
        }
    }
    attack::stopLinkFlipper(flipper);
    attack::report(tries, connected);
    return 0;
}
