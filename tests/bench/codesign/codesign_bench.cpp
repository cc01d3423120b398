// Cost of checking a connecting client's code, for a signed 1 MiB and a
// signed 100 MiB executable, against `sha256sum` on the same file.
//
// BM_CheckClient: lookup of the running peer through its token (pidfd),
// requirement compile, and SecCodeCheckValidity (CMS and chain, length, one
// SHA-256 pass, info section, requirement), as the daemon does per connection.
// BM_Sha256sum: `sha256sum FILE` run as a process and waited for.
// BM_CheckProcess: the same check as a whole process (check_peer), next to
// BM_OpensslDgst: `openssl dgst -sha256 FILE`, also a whole process.
// BM_Sha256InMemory: the floor under the hashing, the same bytes hashed from
// memory.
// The summary at the end prints the means and the ratios.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "platform/codesign/codesign.h"
#include "platform/codesign/signature.h"
#include "platform/security/security.h"

extern char** environ;

namespace {

using namespace codesign;
using Clock = std::chrono::steady_clock;

constexpr char kRequirement[] =
    "identifier \"lx.pelk.dvk\" and anchor apple generic and certificate leaf[subject.OU] = "
    "\"T3MQ8VX2LC\" and certificate leaf[subject.CN] = \"Developer ID Application: Pelk Labs, "
    "Inc. (T3MQ8VX2LC)\" and info [CFBundleVersion] >= \"5.5.0\"";

int run(const std::vector<std::string>& argv, bool quiet = false) {
    std::vector<char*> args;
    for (auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (quiet)
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    int rc = posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0)
        return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct Client {
    std::string path;
    pid_t pid = 0;
    int pidfd = -1;
    int stdin_fd = -1;
};

std::string g_dir;
std::map<size_t, Client> g_clients;
std::map<std::string, double> g_mean_ms;

// A signed copy of the peer padded with a section of random bytes to about
// `size` bytes, running and waiting on its standard input.
Client& client(size_t size) {
    auto it = g_clients.find(size);
    if (it != g_clients.end())
        return it->second;
    Client c;
    std::string base = g_dir + "/client-" + std::to_string(size >> 20) + "MiB";
    std::string pad = base + ".pad", plist = base + ".plist";
    {
        std::ofstream p(plist);
        p << "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleVersion</key>"
             "<string>5.20.1</string></dict></plist>";
        std::vector<char> bytes(size);
        std::mt19937 rng(1);
        for (auto& b : bytes)
            b = static_cast<char>(rng());
        std::ofstream(pad, std::ios::binary).write(bytes.data(), static_cast<long>(bytes.size()));
    }
    run({XQ_OBJCOPY, "--add-section", "__info_plist=" + plist, "--add-section", ".pad=" + pad,
         XQ_PEER, base});
    std::string pki = XQ_TESTPKI_DIR;
    auto cert = security::certificates_from_file(pki + "/app.pem");
    auto key = security::private_key_from_file(pki + "/app.key.pem");
    auto chain = security::certificates_from_file(pki + "/app.chain.pem");
    Identity id{cert.at(0).get(), key.get(), {}};
    for (auto& x : chain)
        id.chain.push_back(x.get());
    std::string error;
    if (!sign_file(base, id, "lx.pelk.dvk", &error)) {
        std::fprintf(stderr, "cannot sign %s: %s\n", base.c_str(), error.c_str());
        std::exit(1);
    }
    chmod(base.c_str(), 0755);
    c.path = base;
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
        std::exit(1);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    char* args[] = {base.data(), nullptr};
    if (posix_spawn(&c.pid, base.c_str(), &fa, nullptr, args, environ) != 0)
        std::exit(1);
    posix_spawn_file_actions_destroy(&fa);
    close(in[0]);
    close(out[1]);
    char ready[6];
    if (read(out[0], ready, sizeof ready) != 6)
        std::exit(1);
    close(out[0]);
    c.stdin_fd = in[1];
    c.pidfd = static_cast<int>(syscall(SYS_pidfd_open, c.pid, 0));
    return g_clients.emplace(size, c).first->second;
}

// Keeps the mean milliseconds per iteration under `name`/size for the summary.
void recordMean(const benchmark::State& state, const std::string& name, double totalSeconds) {
    if (state.iterations() > 0) {
        g_mean_ms[name + "/" + std::to_string(state.range(0))] =
            1000 * totalSeconds / static_cast<double>(state.iterations());
    }
}

void BM_CheckClient(benchmark::State& state) {
    Client& c = client(static_cast<size_t>(state.range(0)) << 20);
    double total = 0;
    for (auto _ : state) {
        auto t0 = Clock::now();
        SecCodeRef code;
        OSStatus s = SecCodeCopyGuestWithAttributes(
            nullptr, {make_audit_token(c.pid, c.pidfd), std::nullopt}, 0, &code);
        SecRequirementRef req;
        CFErrorRef errors;
        if (s == errSecSuccess)
            s = SecRequirementCreateWithStringAndErrors(kRequirement, 0, &errors, &req);
        if (s == errSecSuccess)
            s = SecCodeCheckValidity(code, 0, req);
        auto t1 = Clock::now();
        if (s != errSecSuccess) {
            state.SkipWithError("check failed");
            break;
        }
        double secs = std::chrono::duration<double>(t1 - t0).count();
        state.SetIterationTime(secs);
        total += secs;
    }
    struct stat st {};
    stat(c.path.c_str(), &st);
    state.counters["file_MiB"] = static_cast<double>(st.st_size) / (1 << 20);
    recordMean(state, "check", total);
}

void BM_Sha256sum(benchmark::State& state) {
    Client& c = client(static_cast<size_t>(state.range(0)) << 20);
    double total = 0;
    for (auto _ : state) {
        auto t0 = Clock::now();
        int rc = run({"sha256sum", c.path}, true);
        auto t1 = Clock::now();
        if (rc != 0) {
            state.SkipWithError("sha256sum failed");
            break;
        }
        double secs = std::chrono::duration<double>(t1 - t0).count();
        state.SetIterationTime(secs);
        total += secs;
    }
    recordMean(state, "sha256sum", total);
}

// A whole process, run and waited for; `name` keys its mean.
void timeProcess(benchmark::State& state, const std::string& name,
                 const std::vector<std::string>& argv) {
    double total = 0;
    for (auto _ : state) {
        auto t0 = Clock::now();
        int rc = run(argv, true);
        auto t1 = Clock::now();
        if (rc != 0) {
            state.SkipWithError((name + " failed").c_str());
            break;
        }
        double secs = std::chrono::duration<double>(t1 - t0).count();
        state.SetIterationTime(secs);
        total += secs;
    }
    recordMean(state, name, total);
}

void BM_CheckProcess(benchmark::State& state) {
    Client& c = client(static_cast<size_t>(state.range(0)) << 20);
    timeProcess(state, "check-process", {XQ_CHECK_PEER, std::to_string(c.pid), kRequirement});
}

void BM_OpensslDgst(benchmark::State& state) {
    Client& c = client(static_cast<size_t>(state.range(0)) << 20);
    timeProcess(state, "openssl-dgst", {"openssl", "dgst", "-sha256", c.path});
}

// The floor under the check's hashing: SHA-256 of the same bytes already in
// this process's memory, at the machine's speed, no reading.
void BM_Sha256InMemory(benchmark::State& state) {
    Client& c = client(static_cast<size_t>(state.range(0)) << 20);
    std::ifstream in(c.path, std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                     std::istreambuf_iterator<char>());
    double total = 0;
    for (auto _ : state) {
        auto t0 = Clock::now();
        auto digest = security::sha256(bytes);
        auto t1 = Clock::now();
        if (!digest) {
            state.SkipWithError("hash failed");
            break;
        }
        benchmark::DoNotOptimize(digest);
        double secs = std::chrono::duration<double>(t1 - t0).count();
        state.SetIterationTime(secs);
        total += secs;
    }
    recordMean(state, "sha256-memory", total);
}

BENCHMARK(BM_CheckClient)->Arg(1)->Arg(100)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sha256InMemory)->Arg(100)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sha256sum)->Arg(1)->Arg(100)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CheckProcess)->Arg(100)->UseManualTime()->MinTime(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpensslDgst)->Arg(100)->UseManualTime()->MinTime(2)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    char dir[] = "/tmp/codesign_bench.XXXXXX";
    if (!mkdtemp(dir))
        return 1;
    g_dir = dir;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    std::printf("\nSummary (mean per check, page cache warm):\n");
    for (int mib : {1, 100}) {
        auto check = g_mean_ms.find("check/" + std::to_string(mib));
        auto sum = g_mean_ms.find("sha256sum/" + std::to_string(mib));
        if (check == g_mean_ms.end() || sum == g_mean_ms.end())
            continue;
        std::printf(
            "  %3d MiB client: check %.3f ms, sha256sum %.3f ms, ratio %.2f"
            " (targets: 1 MiB < 5 ms; ratio <= 1.3)\n",
            mib, check->second, sum->second, check->second / sum->second);
    }
    auto check = g_mean_ms.find("check/100");
    auto memory = g_mean_ms.find("sha256-memory/100");
    if (check != g_mean_ms.end() && memory != g_mean_ms.end()) {
        std::printf("  100 MiB client: check %.3f ms, SHA-256 of the bytes in memory %.3f ms\n",
                    check->second, memory->second);
    }
    auto process = g_mean_ms.find("check-process/100");
    auto dgst = g_mean_ms.find("openssl-dgst/100");
    if (process != g_mean_ms.end() && dgst != g_mean_ms.end()) {
        std::printf(
            "  100 MiB client, whole processes: check %.3f ms, openssl dgst -sha256 %.3f ms, "
            "ratio %.2f (target <= 0.8)\n",
            process->second, dgst->second, process->second / dgst->second);
    }
    for (auto& [size, c] : g_clients) {
        close(c.stdin_fd);
        waitpid(c.pid, nullptr, 0);
        close(c.pidfd);
    }
    run({"rm", "-rf", g_dir});
    return 0;
}
