// Round trip of a run-style request (no arguments, one BOOL back) on an
// accepted connection over a real Unix socket, with the service's listener,
// connection reader, per-connection queue and reply path all in play.
// Reported per request: median and 99th percentile in microseconds (target:
// median under 100 us).
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include <benchmark/benchmark.h>

#include "platform/xpc/wire.h"
#include "platform/xpc/xpc.h"

namespace {

using Clock = std::chrono::steady_clock;

class AcceptAll final : public xpc::ListenerDelegate {
  public:
    bool shouldAcceptNewConnection(xpc::Listener&,
                                   const std::shared_ptr<xpc::Connection>& connection) override {
        auto interface = xpc::Interface::create();
        interface->addMethod("runWithReply:", "", "c",
                             [](const xpc::ExportedObject&, const std::vector<xpc::Value>&,
                                const xpc::Reply& reply) { reply({true}); });
        connection->setExportedInterface(interface);
        connection->setExportedObject(std::make_shared<int>(0));
        connection->resume();
        return true;
    }
};

struct Service {
    std::string dir;
    std::string path;
    AcceptAll delegate;
    std::shared_ptr<xpc::Listener> listener;

    Service() {
        char templ[] = "/tmp/xq-xpc-bench-XXXXXX";
        dir = ::mkdtemp(templ);
        path = dir + "/bench.sock";
        listener = xpc::Listener::listenerWithSocketPath(path);
        listener->setDelegate(&delegate);
        listener->resume();
    }
    ~Service() {
        listener->invalidate();
        std::filesystem::remove_all(dir);
    }
};

Service& service() {
    static Service* instance = new Service;
    return *instance;
}

void report(benchmark::State& state, std::vector<double>& micros) {
    if (micros.empty()) {
        return;
    }
    std::sort(micros.begin(), micros.end());
    state.counters["median_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[micros.size() * 99 / 100];
    state.counters["min_us"] = micros.front();
}

// Through the client side of the library (its reader thread matches the reply).
void BM_RunRoundTripClient(benchmark::State& state) {
    auto client = xpc::ClientConnection::connectToPath(service().path);
    if (!client) {
        state.SkipWithError("no connection");
        return;
    }
    std::vector<double> micros;
    for (auto _ : state) {
        const auto start = Clock::now();
        auto result = client->sendSync("runWithReply:", "c", {}, std::chrono::seconds(5));
        const auto end = Clock::now();
        if (result.status != xpc::ClientConnection::Status::Replied) {
            state.SkipWithError("no reply");
            return;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    }
    report(state, micros);
}
BENCHMARK(BM_RunRoundTripClient)->Iterations(20000)->UseRealTime();

// A bare blocking socket on the client side: the service's own share.
void BM_RunRoundTripRawSocket(benchmark::State& state) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, service().path.c_str(), sizeof address.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        state.SkipWithError("no connection");
        ::close(fd);
        return;
    }
    std::vector<double> micros;
    uint64_t seq = 0;
    char buffer[4096];
    for (auto _ : state) {
        const std::string bytes =
            xpc::wire::frame(xpc::wire::encodeRequest(++seq, "runWithReply:", "c", {}));
        const auto start = Clock::now();
        if (::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) != ssize_t(bytes.size())) {
            state.SkipWithError("send failed");
            break;
        }
        xpc::wire::FrameReader frames;
        std::string body;
        while (frames.next(body) != xpc::wire::FrameReader::Status::Message) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                state.SkipWithError("connection ended");
                ::close(fd);
                return;
            }
            frames.append(buffer, static_cast<size_t>(n));
        }
        const auto end = Clock::now();
        micros.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    }
    ::close(fd);
    report(state, micros);
}
BENCHMARK(BM_RunRoundTripRawSocket)->Iterations(20000)->UseRealTime();

// Decoding and checking one request, without sockets.
void BM_DecodeRequest(benchmark::State& state) {
    auto interface = xpc::Interface::create();
    interface->addMethod(
        "installNewLocationHelperPackage:reply:", "@", "c@",
        [](const xpc::ExportedObject&, const std::vector<xpc::Value>&, const xpc::Reply&) {});
    const std::string body = xpc::wire::encodeRequest(
        42, "installNewLocationHelperPackage:reply:", "c@",
        {std::optional<std::string>("/Users/someone/Downloads/helper.pkg")});
    for (auto _ : state) {
        xpc::wire::Request request;
        benchmark::DoNotOptimize(xpc::wire::decodeRequest(body, interface.get(), request));
    }
}
BENCHMARK(BM_DecodeRequest);

}  // namespace

BENCHMARK_MAIN();
