// xqsip-client: sends one operation to the location helper and prints the
// reply values as one JSON array on one line; or, in a session, relays
// requests read from standard input and prints every message that comes back.
//
// Installed setgid to the client group, this tool is what the daemon admits
// besides root: a desktop program talks to the daemon through it (as a broker
// it runs), since GUI toolkits refuse to run setgid. Because it runs with
// that group, it trusts nothing it is given: when the kernel runs it in
// secure-execution mode (setgid), it drops its environment, closes every
// descriptor but the standard ones (opening those that are missing on
// /dev/null), takes a socket path only if the file is a socket of root and
// the group it runs with, bounds every number and line it reads, and starts
// no other program.
//
// Exit status: 0 a reply came; 3 the connection ended without a reply; 4 no
// reply within the timeout; 2 bad usage or no connection could be made.
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/auxv.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "Common/XQHelperLabel.h"
#include "Main/XQSipLocationXPCProtocol.h"
#include "platform/base/fd.h"
#include "platform/xpc/wire.h"
#include "platform/xpc/xpc.h"

namespace {

// Longest wait a caller may ask for: a day.
constexpr double kMaxSeconds = 86400;

// The name a caller gives each operation of the service's protocol.
struct Operation {
    const char* name;
    const XQSipLocationXPCOperation& operation;
    bool takesArgument() const { return operation.argumentTypes[0] != '\0'; }
};

constexpr Operation kOperations[] = {
    {"run", kRunLocationHelperOperation},
    {"exit", kExitLocationHelperOperation},
    {"install", kInstallNewLocationHelperPackageOperation},
    {"uninstall", kUninstallLocationHelperOperation},
    {"lldp", kRunLLDPCaptureOperation},
};

void usage(FILE* out) {
    std::fprintf(out,
                 "usage: xqsip-client [--socket PATH] [--timeout SECONDS] OPERATION [ARG]\n"
                 "       xqsip-client [--socket PATH] [--timeout SECONDS] session\n"
                 "  OPERATION: run | exit | install PKG | uninstall | lldp\n"
                 "  --socket PATH     the helper's socket (default %s); when this tool\n"
                 "                    runs setgid, only a socket of root and its group\n"
                 "  --timeout SECONDS how long to wait for the reply (default 300)\n"
                 "  --linger SECONDS  keep the connection open this long after the reply;\n"
                 "                    exit 3 if the service ends it meanwhile\n"
                 "  --from-child      send the request from a forked child on the inherited\n"
                 "                    connection (the service must refuse to serve it; not\n"
                 "                    when running setgid)\n"
                 "  session: send each line of standard input (one JSON request object,\n"
                 "  at most 1 MiB) as it comes; print every message received as one JSON\n"
                 "  line; after the end of the input, wait up to the timeout\n"
                 "Prints the reply values as one JSON array. Exit status: 0 reply, 3 connection\n"
                 "ended without a reply, 4 timed out, 2 usage or connection error.\n",
                 xpc::socketPathForServiceName(xq::kHelperLabel).c_str());
}

[[noreturn, gnu::format(printf, 1, 2)]] void fail(const char* format, ...) {
    std::fprintf(stderr, "xqsip-client: ");
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fprintf(stderr, "\n");
    std::exit(2);
}

// Running setgid (or setuid): the kernel's secure-execution mode.
bool runsPrivileged() {
    return ::getauxval(AT_SECURE) != 0;
}

// What a program that runs with more privilege than its caller must do
// before anything else.
void takeCareOfInheritedState() {
    ::clearenv();
    ::umask(077);
    ::close_range(3, ~0U, 0);
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            // Takes the lowest free number, which is this one.
            if (::open("/dev/null", O_RDWR) != fd) {
                std::_Exit(2);
            }
        }
    }
}

double parseSeconds(const char* text, bool zeroAllowed) {
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !std::isfinite(value) || value > kMaxSeconds ||
        value < 0 || (!zeroAllowed && value == 0)) {
        fail("bad number of seconds '%s'", text);
    }
    return value;
}

std::chrono::milliseconds toMilliseconds(double seconds) {
    return std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
}

// The daemon reads the package from the path it is given, in its own working
// directory: a relative path is made absolute here, against this process's.
// Nothing is resolved or opened: the daemon checks what it finds.
std::string absolutePackagePath(const std::string& path) {
    if (path.empty() || path.size() >= PATH_MAX) {
        fail("bad package path '%s'", path.c_str());
    }
    if (path.front() == '/') {
        return path;
    }
    std::vector<char> cwd(PATH_MAX);
    if (::getcwd(cwd.data(), cwd.size()) == nullptr) {
        fail("cannot tell the working directory: %s", std::strerror(errno));
    }
    std::string absolute(cwd.data());
    if (absolute.back() != '/') {
        absolute += '/';
    }
    absolute += path;
    if (absolute.size() >= PATH_MAX) {
        fail("package path too long: '%s'", path.c_str());
    }
    return absolute;
}

// Under setgid, the socket may only be one that root made for the group this
// tool runs with, as the service's socket unit makes it. The path is looked
// up once (O_PATH; a final symbolic link is not followed), that lookup is
// what is checked, and the connection is made through it (its
// /proc/self/fd entry names the very socket found), so that a folder on the
// way swapped after the check cannot send the connection elsewhere.
struct CheckedSocket {
    base::UniqueFd found;     // the O_PATH lookup, held until connected
    std::string connectPath;  // the path to connect to
};

CheckedSocket openCheckedSocket(const std::string& path) {
    CheckedSocket socket;
    socket.found.reset(::open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!socket.found || ::fstat(socket.found.get(), &st) != 0) {
        fail("cannot use socket '%s'", path.c_str());
    }
    if (!S_ISSOCK(st.st_mode) || st.st_uid != 0 || st.st_gid != ::getegid()) {
        fail("'%s' is not the service's socket (a socket of root and the client group)",
             path.c_str());
    }
    socket.connectPath = "/proc/self/fd/" + std::to_string(socket.found.get());
    return socket;
}

// The socket to connect to: the path itself, or under setgid with a path
// given, the checked lookup of it (made anew for each connection attempt).
CheckedSocket socketToConnect(const std::string& path, bool check) {
    if (check) {
        return openCheckedSocket(path);
    }
    CheckedSocket socket;
    socket.connectPath = path;
    return socket;
}

// Connects to `path`; `shown` names it in a message.
base::UniqueFd connectRaw(const std::string& path, const std::string& shown) {
    std::string error;
    base::UniqueFd fd = xpc::ClientConnection::connectSocket(path, &error);
    if (!fd) {
        std::fprintf(stderr, "xqsip-client: cannot connect to %s: %s\n", shown.c_str(),
                     error.c_str());
    }
    return fd;
}

// Prints the complete messages buffered in `reader`; false when the service
// sent more than a message may hold.
bool printMessages(xpc::wire::FrameReader& reader) {
    std::string body;
    for (;;) {
        const auto status = reader.next(body);
        if (status == xpc::wire::FrameReader::Status::TooLarge) {
            return false;
        }
        if (status != xpc::wire::FrameReader::Status::Message) {
            return true;
        }
        std::printf("%s\n", body.c_str());
        std::fflush(stdout);
    }
}

// Bytes queued on either side of a session before that side stops being read:
// requests read but not yet sent, replies received but not yet printed.
constexpr size_t kSessionBacklog = size_t{4} << 20;

// Bytes waiting to be written, written from the front as the other end takes
// them.
class Backlog {
  public:
    bool empty() const { return start_ == bytes_.size(); }
    size_t size() const { return bytes_.size() - start_; }
    void append(std::string_view more) { bytes_.append(more); }
    std::string_view front() const { return std::string_view(bytes_).substr(start_); }
    void consume(size_t n) {
        start_ += n;
        if (start_ == bytes_.size()) {
            bytes_.clear();
            start_ = 0;
        } else if (start_ > bytes_.size() / 2) {
            bytes_.erase(0, start_);
            start_ = 0;
        }
    }

  private:
    std::string bytes_;
    size_t start_ = 0;
};

// Relays a session in one loop over standard input, the socket and standard
// output, so that it never waits on one while another could move: each line
// of standard input goes out as one message as the socket takes it, replies
// are read while requests are still being written, and printed as standard
// output takes them. A side whose backlog is full is not read until its
// other end catches up (the service, likewise, stops reading a client that
// does not read its replies). Once the input has ended and every request has
// gone out, messages are printed until none has come for the timeout (0), or
// until the service ends the connection (3).
// The state of a session's relay, and its steps on each side that polled ready.
struct Session {
    explicit Session(int socket) : fd(socket) {}

    // Frames the line read so far as a request, unless the service no longer
    // takes any.
    void queueLine() {
        if (!line.empty() && sending) {
            requests.append(xpc::wire::frame(line));
        }
        line.clear();
    }

    // Writes the next reply bytes; false when standard output fails.
    bool writeOutput() {
        // At most PIPE_BUF bytes: a pipe that polls writable takes that
        // many without blocking.
        const std::string_view out = printed.front().substr(0, PIPE_BUF);
        const ssize_t n =
            base::retryOnEintr([&] { return ::write(STDOUT_FILENO, out.data(), out.size()); });
        if (n < 0) {
            return false;
        }
        printed.consume(static_cast<size_t>(n));
        return true;
    }

    // Reads from the socket and queues each whole message for printing; false
    // when the service has ended the connection.
    bool receive() {
        const ssize_t n =
            base::retryOnEintr([&] { return ::recv(fd, chunk.data(), chunk.size(), 0); });
        if (n <= 0) {
            status = 3;
            return false;
        }
        reader.append(chunk.data(), static_cast<size_t>(n));
        std::string body;
        for (;;) {
            const auto next = reader.next(body);
            if (next == xpc::wire::FrameReader::Status::TooLarge) {
                status = 3;
                break;
            }
            if (next != xpc::wire::FrameReader::Status::Message) {
                break;
            }
            printed.append(body);
            printed.append("\n");
            lastMessage = std::chrono::steady_clock::now();
        }
        return true;
    }

    // Sends what the socket takes of the pending requests.
    void send() {
        const std::string_view out = requests.front();
        const ssize_t n = base::retryOnEintr(
            [&] { return ::send(fd, out.data(), out.size(), MSG_DONTWAIT | MSG_NOSIGNAL); });
        if (n >= 0) {
            requests.consume(static_cast<size_t>(n));
        } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
            // The service takes no more: what it sent is still read.
            sending = false;
            requests = Backlog();
        }
        if (!inputOpen && requests.empty()) {
            lastMessage = std::chrono::steady_clock::now();
        }
    }

    // Reads standard input and queues each whole line as a request.
    void readInput() {
        const ssize_t n =
            base::retryOnEintr([&] { return ::read(STDIN_FILENO, chunk.data(), chunk.size()); });
        if (n <= 0) {
            inputOpen = false;
            queueLine();
            if (requests.empty()) {
                lastMessage = std::chrono::steady_clock::now();
            }
            return;
        }
        for (ssize_t i = 0; i < n; ++i) {
            const char c = chunk[static_cast<size_t>(i)];
            if (c == '\n') {
                queueLine();
                continue;
            }
            line.push_back(c);
            if (line.size() > xpc::kMaxMessageSize) {
                fail("a request line is longer than %s bytes", "1048576");
            }
        }
    }

    int fd;
    xpc::wire::FrameReader reader;
    std::string line;
    Backlog requests;  // framed, not yet sent
    Backlog printed;   // reply lines, not yet written to standard output
    bool inputOpen = true;
    bool sending = true;  // false once the service no longer takes requests
    int status = -1;      // set when the session is over
    std::chrono::steady_clock::time_point lastMessage = std::chrono::steady_clock::now();
    std::vector<char> chunk = std::vector<char>(size_t{64} * 1024);
};

// Relays a session in one loop over standard input, the socket and standard
// output, so that it never waits on one while another could move: each line
// of standard input goes out as one message as the socket takes it, replies
// are read while requests are still being written, and printed as standard
// output takes them. A side whose backlog is full is not read until its
// other end catches up (the service, likewise, stops reading a client that
// does not read its replies). Once the input has ended and every request has
// gone out, messages are printed until none has come for the timeout (0), or
// until the service ends the connection (3).
int runSession(const std::string& path, bool checkSocket, std::chrono::milliseconds timeout) {
    const CheckedSocket target = socketToConnect(path, checkSocket);
    const base::UniqueFd fd = connectRaw(target.connectPath, path);
    if (!fd) {
        return 2;
    }
    Session s(fd.get());

    while (s.status < 0 || !s.printed.empty()) {
        const bool idle = !s.inputOpen && s.requests.empty();
        int wait = -1;
        if (s.status < 0 && idle) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                s.lastMessage + timeout - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                s.status = 0;
                continue;
            }
            wait = static_cast<int>(left.count());
        }
        const bool readInput = s.status < 0 && s.inputOpen && s.requests.size() < kSessionBacklog;
        const bool readSocket = s.status < 0 && s.printed.size() < kSessionBacklog;
        const bool writeSocket = s.status < 0 && s.sending && !s.requests.empty();
        const short socketEvents =
            static_cast<short>((readSocket ? POLLIN : 0) | (writeSocket ? POLLOUT : 0));
        pollfd fds[3] = {
            {readInput ? STDIN_FILENO : -1, POLLIN, 0},
            {socketEvents != 0 ? fd.get() : -1, socketEvents, 0},
            {s.printed.empty() ? -1 : STDOUT_FILENO, POLLOUT, 0},
        };
        if (::poll(fds, 3, wait) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return 3;
        }
        // Standard output first: it frees room for more replies.
        if (fds[2].revents != 0 && !s.writeOutput()) {
            return 3;
        }
        if ((fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0 && readSocket && !s.receive()) {
            continue;
        }
        if ((fds[1].revents & (POLLOUT | POLLERR | POLLHUP)) != 0 && writeSocket) {
            s.send();
        }
        if (fds[0].revents != 0 && readInput) {
            s.readInput();
        }
    }
    return s.status;
}

// Connects, then lets a forked child write the request on the inherited
// socket. Whatever the service sends back is printed; 3 means it ended the
// connection without serving anything.
int runFromChild(const std::string& path, const std::string& body,
                 std::chrono::milliseconds timeout) {
    const base::UniqueFd fd = connectRaw(path, path);
    if (!fd) {
        return 2;
    }
    const pid_t child = ::fork();
    if (child == 0) {
        _exit(base::sendAll(fd.get(), xpc::wire::frame(body), MSG_NOSIGNAL) ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    xpc::wire::FrameReader reader;
    std::vector<char> chunk(size_t{64} * 1024);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return 0;
        }
        pollfd p{fd.get(), POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        const ssize_t n = ::recv(fd.get(), chunk.data(), chunk.size(), 0);
        if (n <= 0 ||
            (reader.append(chunk.data(), static_cast<size_t>(n)), !printMessages(reader))) {
            return 3;
        }
    }
}

// The operation positional[0] names (the last of that name), or null.
const Operation* findOperation(const std::vector<std::string>& positional) {
    const Operation* op = nullptr;
    if (!positional.empty()) {
        for (const auto& candidate : kOperations) {
            if (positional[0] == candidate.name) {
                op = &candidate;
            }
        }
    }
    return op;
}

// A service started on demand may be between two runs for a moment: retries
// a refused connection until the deadline. Null (with error) if none was made.
std::unique_ptr<xpc::ClientConnection> connectUntil(const std::string& socketPath, bool checkSocket,
                                                    std::chrono::steady_clock::time_point deadline,
                                                    std::string* error) {
    std::unique_ptr<xpc::ClientConnection> connection;
    for (;;) {
        const CheckedSocket target = socketToConnect(socketPath, checkSocket);
        connection = xpc::ClientConnection::connectToPath(target.connectPath, error);
        if (connection || std::chrono::steady_clock::now() >= deadline) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return connection;
}

// Prints a reply (then waits --linger for the service to end the
// connection); the exit status.
int reportResult(const xpc::ClientConnection::Result& result,
                 const xpc::ClientConnection& connection, double lingerSeconds) {
    switch (result.status) {
        case xpc::ClientConnection::Status::Replied:
            std::printf("%s\n", xpc::wire::encodeValues(result.values).c_str());
            std::fflush(stdout);
            if (lingerSeconds > 0 &&
                connection.waitForInvalidation(toMilliseconds(lingerSeconds))) {
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

}  // namespace

// Asked by LeakSanitizer (sanitizer builds only) before its check at exit,
// which needs to trace the process and so cannot run in a setgid one.
extern "C" [[gnu::used]] int __lsan_is_turned_off() {
    return runsPrivileged() ? 1 : 0;
}

int main(int argc, char** argv) {
    const bool privileged = runsPrivileged();
    if (privileged) {
        takeCareOfInheritedState();
    }
    std::string socketPath = xpc::socketPathForServiceName(xq::kHelperLabel);
    bool socketGiven = false;
    double timeoutSeconds = 300;
    double lingerSeconds = 0;
    bool fromChild = false;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            usage(stdout);
            return 0;
        }
        if (arg == "--socket" && i + 1 < argc) {
            socketPath = argv[++i];
            socketGiven = true;
        } else if (arg == "--timeout" && i + 1 < argc) {
            timeoutSeconds = parseSeconds(argv[++i], false);
        } else if (arg == "--linger" && i + 1 < argc) {
            lingerSeconds = parseSeconds(argv[++i], true);
        } else if (arg == "--from-child" && !privileged) {
            fromChild = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            usage(stderr);
            return 2;
        } else {
            positional.push_back(arg);
        }
    }
    const bool checkSocket = privileged && socketGiven;
    if (checkSocket) {
        (void)openCheckedSocket(socketPath);  // refuses before anything else
    }
    const auto timeout = toMilliseconds(timeoutSeconds);
    if (positional.size() == 1 && positional[0] == "session") {
        return runSession(socketPath, checkSocket, timeout);
    }
    const Operation* op = findOperation(positional);
    if (op == nullptr || positional.size() != (op->takesArgument() ? 2u : 1u)) {
        usage(stderr);
        return 2;
    }

    std::vector<xpc::Value> args;
    if (op->takesArgument()) {
        args.emplace_back(std::optional<std::string>(absolutePackagePath(positional[1])));
    }
    if (fromChild) {
        return runFromChild(
            socketPath,
            xpc::wire::encodeRequest(1, op->operation.selector, op->operation.replyTypes, args),
            timeout);
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string error;
    const std::unique_ptr<xpc::ClientConnection> connection =
        connectUntil(socketPath, checkSocket, deadline, &error);
    if (!connection) {
        std::fprintf(stderr, "xqsip-client: cannot connect to %s: %s\n", socketPath.c_str(),
                     error.c_str());
        return 2;
    }

    const auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    auto result = connection->sendSync(op->operation.selector, op->operation.replyTypes, args,
                                       std::max(remaining, std::chrono::milliseconds(1)));
    return reportResult(result, *connection, lingerSeconds);
}
