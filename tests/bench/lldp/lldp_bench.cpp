// Figures for LLDP discovery; see CMakeLists.txt for what is measured.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <netpacket/packet.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Lldp/LLDPReadDecoder.h"
#include "Main/XQSipLocationHelperXPCMgr.h"
#include "platform/bpf/bpf.h"
#include "tests/integration/lldp_capture/netns_lab.h"
#include "tests/unit/lldp_decode/lldp_frames.h"

using namespace lldp_test;
using Clock = std::chrono::steady_clock;

namespace {

Bytes corpusFile(const char* name) {
    std::ifstream in(std::string(XQ_LLDP_CORPUS) + "/" + name, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void decodeLoop(benchmark::State& state, const Bytes& read, int framesPerRead) {
    if (read.empty()) {
        state.SkipWithError("corpus file missing");
        return;
    }
    std::string first, second;
    for (auto _ : state) {
        bool done = lldp::decodeRead(read.data(), read.size(), first, second);
        benchmark::DoNotOptimize(done);
    }
    state.SetItemsProcessed(state.iterations() * framesPerRead);
    state.SetLabel(first + " " + second);
}

// One read holding lldpd's LLDP frame (chassis MAC, ifname port, TTL, port
// description, system name and description, capabilities, management
// address, MAC/PHY, End), 135 octets.
void BM_DecodeLldpdFrame(benchmark::State& state) {
    decodeLoop(state, corpusFile("lldpd-lldp.read"), 1);
}
BENCHMARK(BM_DecodeLldpdFrame);

// A switch's minimal frame padded to 60 octets.
void BM_DecodePaddedSwitchFrame(benchmark::State& state) {
    decodeLoop(state, corpusFile("switch-ifname-padded.read"), 1);
}
BENCHMARK(BM_DecodePaddedSwitchFrame);

// One transmission of lldpd -l -ccc -ee -ss -ff: LLDP, CDP, two SONMP, EDP and
// FDP frames in one read.
void BM_DecodeLldpdBurst(benchmark::State& state) {
    decodeLoop(state, corpusFile("lldpd-burst.read"), 6);
}
BENCHMARK(BM_DecodeLldpdBurst);

// ------------------------------------------------------------------ as root

std::unique_ptr<lab::Netns> gTx, gRx;

Bytes goodFrame() {
    return lldpFrame({chassisMac({0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e}), portId(5, text("Gi1/0/12")),
                      ttl(120), capabilities(0x0014, 0x0014), endOfLldpdu()});
}

int countEntries(const char* dir) {
    int n = 0;
    if (DIR* d = opendir(dir)) {
        while (dirent* e = readdir(d)) {
            n += e->d_name[0] != '.';
        }
        closedir(d);
    }
    return n;
}

struct ReplyWait {
    std::mutex lock;
    std::condition_variable cv;
    int replies = 0;
    Clock::time_point at;
};

// From the send of a completing frame to the reply callback on the
// capture's worker. A sender in "tx" sends numbered frames (port "t<N>")
// every 2 ms from the request on, noting when each left; the reply names the
// frame that completed the capture.
void BM_FrameToReplyLatency(benchmark::State& state) {
    auto service = XQSipLocationHelperXPCMgr::initWithListener(
        nullptr, XQSipLocationHelperParts::compiledIn());
    for (auto _ : state) {
        auto wait = std::make_shared<ReplyWait>();
        std::string port;
        service->runLLDPCaptureWithReply(
            [wait, &port](const XQNullableString&, const XQNullableString& p) {
                std::lock_guard<std::mutex> g(wait->lock);
                wait->at = Clock::now();
                port = p.value_or("");
                ++wait->replies;
                wait->cv.notify_all();
            });
        std::vector<Clock::time_point> sentAt(100000);
        std::atomic<bool> stop{false};
        std::thread sender = gTx->startInside([&] {
            int sock = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
            sockaddr_ll to{};
            to.sll_family = AF_PACKET;
            to.sll_ifindex = static_cast<int>(if_nametoindex("vtx"));
            to.sll_halen = 6;
            std::memcpy(to.sll_addr, kNearestBridge.data(), 6);
            for (size_t n = 0; n < sentAt.size() && !stop; ++n) {
                std::string name = "t";
                name += std::to_string(n);
                Bytes f = lldpFrame({chassisMac({0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e}),
                                     portId(5, text(name)), capabilities(0x0014, 0x0014)});
                sentAt[n] = Clock::now();
                (void)sendto(sock, f.data(), f.size(), 0, reinterpret_cast<sockaddr*>(&to),
                             sizeof(to));
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            ::close(sock);
        });
        std::unique_lock<std::mutex> g(wait->lock);
        bool got = wait->cv.wait_for(g, std::chrono::seconds(5), [&] { return wait->replies > 0; });
        g.unlock();
        stop = true;
        sender.join();
        if (!got || port.size() < 2 || port[0] != 't') {
            state.SkipWithError("no reply naming a frame");
            break;
        }
        size_t n = std::stoul(port.substr(1));
        state.SetIterationTime(std::chrono::duration<double>(wait->at - sentAt[n]).count());
    }
    service->cancelAllLLDPTask();
}
BENCHMARK(BM_FrameToReplyLatency)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(50);

// 200 requests at once while frames arrive; afterwards (once the workers have
// gone idle and ended) the descriptors and threads of the process.
void BM_StormOf200Requests(benchmark::State& state) {
    auto service = XQSipLocationHelperXPCMgr::initWithListener(
        nullptr, XQSipLocationHelperParts::compiledIn());
    int fdsBefore = countEntries("/proc/self/fd");
    int threadsBefore = countEntries("/proc/self/task");
    int answered = 0, peakUnits = 0;
    for (auto _ : state) {
        auto wait = std::make_shared<ReplyWait>();
        lab::RepeatingSender sender(*gTx, "vtx", {goodFrame()}, std::chrono::milliseconds(20));
        for (int i = 0; i < 200; ++i) {
            service->runLLDPCaptureWithReply(
                [wait](const XQNullableString&, const XQNullableString&) {
                    std::lock_guard<std::mutex> g(wait->lock);
                    ++wait->replies;
                    wait->cv.notify_all();
                });
            peakUnits = std::max(peakUnits, static_cast<int>(bpf::busyUnits().size()));
        }
        std::unique_lock<std::mutex> g(wait->lock);
        wait->cv.wait_for(g, std::chrono::seconds(10), [&] { return wait->replies > 0; });
        g.unlock();
        for (int i = 0; i < 1000 && !bpf::busyUnits().empty(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        answered = wait->replies;
    }
    service->cancelAllLLDPTask();
    service.reset();
    // Idle workers end after the queue's idle lifetime.
    std::this_thread::sleep_for(std::chrono::milliseconds(3000));
    state.counters["replies"] = answered;
    state.counters["peak_devices"] = peakUnits;
    state.counters["fds_before"] = fdsBefore;
    state.counters["fds_after"] = countEntries("/proc/self/fd");
    state.counters["threads_before"] = threadsBefore;
    state.counters["threads_after"] = countEntries("/proc/self/task");
}
BENCHMARK(BM_StormOf200Requests)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    bool root = geteuid() == 0;
    std::vector<char*> args(argv, argv + argc);
    static char decodeOnly[] = "--benchmark_filter=BM_Decode";
    if (!root) {
        std::fprintf(stderr, "not root: only the decoding figures\n");
        args.push_back(decodeOnly);
    }
    int n = static_cast<int>(args.size());
    benchmark::Initialize(&n, args.data());
    int original = -1;
    if (root) {
        // Before any thread exists: every worker starts inside "rx".
        gTx = std::make_unique<lab::Netns>("btx");
        gRx = std::make_unique<lab::Netns>("brx");
        lab::addVethPair(*gTx, "vtx", *gRx, "vrx");
        original = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        int fd = ::open(("/run/netns/" + gRx->name()).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || setns(fd, CLONE_NEWNET) != 0) {
            std::fprintf(stderr, "cannot enter the test namespace\n");
            return 1;
        }
        ::close(fd);
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (root) {
        setns(original, CLONE_NEWNET);
        ::close(original);
        gRx.reset();
        gTx.reset();
    }
    return 0;
}
