// xqsip-client: sends one operation to the location helper and prints the
// reply values as one JSON array on one line.
//
// Exit status: 0 a reply came; 3 the connection ended without a reply; 4 no
// reply within the timeout; 2 bad usage or no connection could be made.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <iostream>

#include <nlohmann/json.hpp>

#include "platform/xpc/wire.h"
#include "platform/xpc/xpc.h"

namespace {

constexpr const char* kServiceName = "lx.pelk.XQSipLocationHelper";

struct Operation {
    const char* name;
    const char* selector;
    const char* replyTypes;
    bool takesArgument;
};

constexpr Operation kOperations[] = {
    {"run", "runLocationHelperWithReply:", "c", false},
    {"exit", "exitLocationHelperWithReply:", "@", false},
    {"install", "installNewLocationHelperPackage:reply:", "c@", true},
    {"uninstall", "uninstallLocationHelperWithReply:", "c@", false},
    {"lldp", "runLLDPCaptureWithReply:", "@@", false},
};

void usage(FILE* out) {
    std::fprintf(out,
                 "usage: xqsip-client [--socket PATH] [--timeout SECONDS] OPERATION [ARG]\n"
                 "       xqsip-client [--socket PATH] session\n"
                 "  OPERATION: run | exit | install PKG | uninstall | lldp\n"
                 "  --socket PATH     the helper's socket (default %s)\n"
                 "  --timeout SECONDS how long to wait for the reply (default 300)\n"
                 "  --linger SECONDS  keep the connection open this long after the reply;\n"
                 "                    exit 3 if the service ends it meanwhile\n"
                 "  --from-child      send the request from a forked child on the inherited\n"
                 "                    connection (the service must refuse to serve it)\n"
                 "  session: send each JSON request object read from standard input, one per\n"
                 "  line, as it is; print every message received as one JSON line\n"
                 "Prints the reply values as one JSON array. Exit status: 0 reply, 3 connection\n"
                 "ended without a reply, 4 timed out, 2 usage or connection error.\n",
                 xpc::socketPathForServiceName(kServiceName).c_str());
}

nlohmann::json toJson(const std::vector<xpc::Value>& values) {
    auto array = nlohmann::json::array();
    for (const auto& v : values) {
        if (const bool* b = std::get_if<bool>(&v)) {
            array.push_back(*b);
        } else {
            const auto& s = std::get<std::optional<std::string>>(v);
            if (s) {
                array.push_back(*s);
            } else {
                array.push_back(nullptr);
            }
        }
    }
    return array;
}

bool writeAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Raw session: every line of standard input is sent as one message body, and
// every message that arrives within the timeout is printed on a line.
int connectRaw(const std::string& path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (fd < 0 || path.size() >= sizeof addr.sun_path) {
        return -1;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        std::fprintf(stderr, "xqsip-client: cannot connect to %s: %s\n", path.c_str(),
                     std::strerror(errno));
        ::close(fd);
        return -1;
    }
    return fd;
}

// Prints every message that arrives within the timeout, one per line. Returns
// 0 at the timeout, 3 when the service ends the connection first.
int printMessages(int fd, std::chrono::milliseconds timeout) {
    xpc::wire::FrameReader reader;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            ::close(fd);
            return 0;
        }
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        char chunk[65536];
        ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) {
            ::close(fd);
            return 3;
        }
        reader.append(chunk, static_cast<size_t>(n));
        std::string body;
        for (;;) {
            auto status = reader.next(body);
            if (status == xpc::wire::FrameReader::Status::TooLarge) {
                ::close(fd);
                return 3;
            }
            if (status != xpc::wire::FrameReader::Status::Message) {
                break;
            }
            std::printf("%s\n", body.c_str());
            std::fflush(stdout);
        }
    }
}

int runSession(const std::string& path, std::chrono::milliseconds timeout) {
    int fd = connectRaw(path);
    if (fd < 0) {
        return 2;
    }
    std::string line;
    while (std::getline(std::cin, line)) {
        if (!line.empty() && !writeAll(fd, xpc::wire::frame(line))) {
            ::close(fd);
            return 3;
        }
    }
    return printMessages(fd, timeout);
}

// Connects, then lets a forked child write the request on the inherited
// socket. Whatever the service sends back is printed; 3 means it ended the
// connection without serving anything.
int runFromChild(const std::string& path, const std::string& body,
                 std::chrono::milliseconds timeout) {
    int fd = connectRaw(path);
    if (fd < 0) {
        return 2;
    }
    pid_t child = ::fork();
    if (child == 0) {
        _exit(writeAll(fd, xpc::wire::frame(body)) ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return printMessages(fd, timeout);
}

}  // namespace

int main(int argc, char** argv) {
    std::string socketPath = xpc::socketPathForServiceName(kServiceName);
    double timeoutSeconds = 300;
    double lingerSeconds = 0;
    bool fromChild = false;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            usage(stdout);
            return 0;
        } else if (arg == "--socket" && i + 1 < argc) {
            socketPath = argv[++i];
        } else if (arg == "--timeout" && i + 1 < argc) {
            char* end = nullptr;
            timeoutSeconds = std::strtod(argv[++i], &end);
            if (end == nullptr || *end != '\0' || !(timeoutSeconds > 0)) {
                std::fprintf(stderr, "xqsip-client: bad timeout '%s'\n", argv[i]);
                return 2;
            }
        } else if (arg == "--linger" && i + 1 < argc) {
            lingerSeconds = std::strtod(argv[++i], nullptr);
        } else if (arg == "--from-child") {
            fromChild = true;
        } else {
            positional.push_back(arg);
        }
    }
    const auto timeout = std::chrono::milliseconds(static_cast<long long>(timeoutSeconds * 1000));
    if (positional.size() == 1 && positional[0] == "session") {
        return runSession(socketPath, timeout);
    }
    const Operation* op = nullptr;
    if (!positional.empty()) {
        for (const auto& candidate : kOperations) {
            if (positional[0] == candidate.name) {
                op = &candidate;
            }
        }
    }
    if (op == nullptr || positional.size() != (op->takesArgument ? 2u : 1u)) {
        usage(stderr);
        return 2;
    }

    std::vector<xpc::Value> args;
    if (op->takesArgument) {
        args.emplace_back(std::optional<std::string>(positional[1]));
    }
    if (fromChild) {
        return runFromChild(
            socketPath, xpc::wire::encodeRequest(1, op->selector, op->replyTypes, args), timeout);
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    // A service started on demand may be between two runs for a moment:
    // retry a refused connection until the deadline.
    std::unique_ptr<xpc::ClientConnection> connection;
    std::string error;
    for (;;) {
        connection = xpc::ClientConnection::connectToPath(socketPath, &error);
        if (connection || std::chrono::steady_clock::now() >= deadline) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!connection) {
        std::fprintf(stderr, "xqsip-client: cannot connect to %s: %s\n", socketPath.c_str(),
                     error.c_str());
        return 2;
    }

    const auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    auto result = connection->sendSync(op->selector, op->replyTypes, args,
                                       std::max(remaining, std::chrono::milliseconds(1)));
    switch (result.status) {
        case xpc::ClientConnection::Status::Replied:
            std::printf("%s\n", toJson(result.values).dump().c_str());
            std::fflush(stdout);
            if (lingerSeconds > 0 && connection->waitForInvalidation(std::chrono::milliseconds(
                                         static_cast<long long>(lingerSeconds * 1000)))) {
                return 3;
            }
            return 0;
        case xpc::ClientConnection::Status::ConnectionEnded:
            return 3;
        case xpc::ClientConnection::Status::TimedOut:
            return 4;
    }
    return 2;
}
