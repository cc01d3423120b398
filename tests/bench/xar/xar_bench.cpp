// Figures for the XAR reader:
// - opening a package and walking its members costs time in proportion to the
//   table of contents, not the payload: the same members with a 100 KiB and a
//   100 MiB Payload;
// - extracting a zlib member compared with `gzip -dc` of the same data
//   (both write a file in the same scratch directory; bytes_per_second counts
//   decompressed bytes).
// Run: ./bench_xar (not part of ctest).
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "platform/xar/xar.h"
#include "tools/xqpkg/xar_writer.h"

extern char** environ;

namespace {

using xqpkg::Bytes;

std::string scratch() {
    static std::string dir = [] {
        char t[] = "/tmp/xar-bench-XXXXXX";
        return std::string(mkdtemp(t));
    }();
    return dir;
}

void write_file(const std::string& path, const Bytes& b) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
}

Bytes random_bytes(size_t n) {
    Bytes b(n);
    std::mt19937_64 rng(42);
    for (size_t i = 0; i + 8 <= n; i += 8) {
        uint64_t v = rng();
        for (int k = 0; k < 8; ++k)
            b[i + size_t(k)] = uint8_t(v >> (8 * k));
    }
    return b;
}

// Text-like data that compresses about 3:1, like binaries and scripts do.
Bytes texty(size_t n) {
    static const char* words[] = {"install",   "helper",   "package", "version", "lldp",
                                  "interface", "network",  "0x7f3a",  "return",  "socket",
                                  "{",         "}",        "\n",      " ",       "=",
                                  "bundle",    "signature"};
    std::mt19937 rng(7);
    Bytes b;
    b.reserve(n);
    while (b.size() < n) {
        const char* w = words[rng() % (sizeof words / sizeof *words)];
        b.insert(b.end(), w, w + strlen(w));
        if (rng() % 5 == 0)
            b.push_back(uint8_t('a' + rng() % 26));
    }
    b.resize(n);
    return b;
}

std::string package_with_payload(size_t payload) {
    std::string path = scratch() + "/pkg-" + std::to_string(payload) + ".pkg";
    if (std::filesystem::exists(path))
        return path;
    std::vector<xqpkg::Member> m;
    m.push_back({"Payload", false, random_bytes(payload), xqpkg::Encoding::None});
    m.push_back({"Scripts", false, random_bytes(2048), xqpkg::Encoding::None});
    std::string pi = "<pkg-info identifier=\"lx.pelk.bench\" version=\"1.0\"/>";
    m.push_back({"PackageInfo", false, Bytes(pi.begin(), pi.end()), xqpkg::Encoding::Gzip});
    Bytes out;
    std::string err;
    if (!xqpkg::write_xar(m, {}, &out, &err))
        abort();
    write_file(path, out);
    return path;
}

void BM_OpenAndWalk(benchmark::State& state) {
    std::string pkg = package_with_payload(size_t(state.range(0)));
    for (auto _ : state) {
        xar_t x = xar_open(pkg.c_str(), READ);
        if (!x) {
            state.SkipWithError("open failed");
            break;
        }
        xar_iter_t it = xar_iter_new();
        int n = 0;
        for (xar_file_t f = xar_file_first(x, it); f; f = xar_file_next(it)) {
            char* p = xar_get_safe_path(f);
            n += p != nullptr;
            free(p);
        }
        xar_iter_free(it);
        xar_close(x);
        benchmark::DoNotOptimize(n);
    }
    state.SetLabel(std::to_string(state.range(0) >> 10) + " KiB payload");
}
BENCHMARK(BM_OpenAndWalk)->Arg(100 << 10)->Arg(100 << 20)->Unit(benchmark::kMicrosecond);

constexpr size_t kExtractSize = 64u << 20;

std::string zlib_package() {
    std::string path = scratch() + "/zlib.pkg";
    if (std::filesystem::exists(path))
        return path;
    std::vector<xqpkg::Member> m;
    m.push_back({"Data", false, texty(kExtractSize), xqpkg::Encoding::Gzip});
    Bytes out;
    std::string err;
    if (!xqpkg::write_xar(m, {}, &out, &err))
        abort();
    write_file(path, out);
    return path;
}

void BM_ExtractZlibMember(benchmark::State& state) {
    std::string pkg = zlib_package();
    std::string dest = scratch() + "/extracted";
    xar_t x = xar_open(pkg.c_str(), READ);
    xar_iter_t it = xar_iter_new();
    xar_file_t f = xar_file_first(x, it);
    for (auto _ : state) {
        if (xar_extract_tofile(x, f, dest.c_str()) != 0) {
            state.SkipWithError("extract failed");
            break;
        }
    }
    xar_iter_free(it);
    xar_close(x);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kExtractSize));
}
BENCHMARK(BM_ExtractZlibMember)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_GzipDc(benchmark::State& state) {
    std::string gz = scratch() + "/data.gz";
    if (!std::filesystem::exists(gz)) {
        write_file(scratch() + "/data", texty(kExtractSize));
        std::string cmd = "gzip -9 -c '" + scratch() + "/data' > '" + gz + "'";
        if (system(cmd.c_str()) != 0) {
            state.SkipWithError("gzip missing");
            return;
        }
    }
    std::string out = scratch() + "/gunzipped";
    for (auto _ : state) {
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const char* argv[] = {"gzip", "-dc", gz.c_str(), nullptr};
        pid_t pid;
        if (posix_spawnp(&pid, "gzip", &fa, nullptr, const_cast<char**>(argv), environ) != 0) {
            state.SkipWithError("gzip missing");
            break;
        }
        posix_spawn_file_actions_destroy(&fa);
        int st = 0;
        waitpid(pid, &st, 0);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kExtractSize));
}
BENCHMARK(BM_GzipDc)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::filesystem::remove_all(scratch());
    return 0;
}
