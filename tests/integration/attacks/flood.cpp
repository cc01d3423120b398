// One user's connection flood: THREADS threads connect, send a request and
// wait briefly for its fate, over and over, for SECONDS.
//
// usage: flood SOCKET SECONDS THREADS
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "tests/integration/attacks/attack.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: flood SOCKET SECONDS THREADS\n");
        return 2;
    }
    const std::string socket = argv[1];
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(std::atoi(argv[2]));
    std::atomic<int> tries{0};
    std::atomic<int> served{0};
    std::atomic<int> refusedAtConnect{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < std::atoi(argv[3]); ++t) {
        threads.emplace_back([&] {
            while (std::chrono::steady_clock::now() < until) {
                const int fd = attack::connectTo(socket);
                ++tries;
                if (fd < 0) {
                    ++refusedAtConnect;
                    continue;
                }
                if (attack::sendRun(fd, 1) &&
                    attack::awaitOutcome(fd, 200) == attack::Outcome::Served) {
                    ++served;
                }
                ::close(fd);
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    attack::report(tries, served, "refused-at-connect " + std::to_string(refusedAtConnect.load()));
    return 0;
}
