// Figures for the package signature verdict: both checks read only the table
// of contents and the signature, so a 100 MiB package costs what a 100 KiB one
// does. The target is under 30 ms for the whole verdict, the start of the
// package tool's stand-in included (wall-clock time).
// Run: ./bench_pkg_verify (not part of ctest).
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "Common/XQHelperLabel.h"
#include "codesign_verify/pkg_verify/pkg_verify.h"
#include "platform/process/process.h"

namespace {

const std::string kTeam = "T3MQ8VX2LC";
const std::string kAuthority = "Developer ID Installer: Pelk Labs, Inc. (T3MQ8VX2LC)";

// A scratch directory that goes, with the packages (one of 100 MiB), when the
// run ends.
class Scratch {
  public:
    Scratch() {
        char t[] = "/tmp/pkg-verify-bench-XXXXXX";
        const char* made = mkdtemp(t);
        if (made == nullptr) {
            std::perror("mkdtemp");
            std::exit(1);
        }
        path_ = made;
    }
    ~Scratch() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

const std::string& scratch() {
    static const Scratch dir;
    return dir.path();
}

bool xqpkg(const std::vector<std::string>& args) {
    const process::Result r = process::run({XQPKG_PATH, args, true});
    return r.launched && r.exited && r.terminationStatus == 0;
}

// A signed package whose payload is `bytes` of incompressible data, made once.
const std::string& package(size_t bytes) {
    static std::map<size_t, std::string> made;
    auto it = made.find(bytes);
    if (it != made.end()) {
        return it->second;
    }
    const std::string tag = std::to_string(bytes);
    const std::string root = scratch() + "/root-" + tag;
    std::filesystem::create_directories(root);
    {
        std::ofstream out(root + "/data", std::ios::binary);
        std::mt19937_64 rng(7);
        std::vector<uint64_t> block(8192);
        for (size_t done = 0; done < bytes; done += block.size() * 8) {
            for (auto& v : block) {
                v = rng();
            }
            const size_t n = std::min(bytes - done, block.size() * 8);
            out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(n));
        }
    }
    const std::string unsignedPkg = scratch() + "/unsigned-" + tag + ".pkg";
    const std::string signedPkg = scratch() + "/signed-" + tag + ".pkg";
    if (!xqpkg({"build", "--identifier", xq::kHelperLabel, "--version", "5.16.0", "--root", root,
                unsignedPkg}) ||
        !xqpkg({"sign", "--pki", XQ_TESTPKI_DIR, unsignedPkg, signedPkg})) {
        std::fprintf(stderr, "cannot make the %s-byte package\n", tag.c_str());
        std::exit(1);
    }
    std::filesystem::remove_all(root);
    std::filesystem::remove(unsignedPkg);
    return made.emplace(bytes, signedPkg).first->second;
}

// CPU seconds of this process and of its waited-for children so far.
double cpu_seconds() {
    double total = 0;
    for (int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
        struct rusage ru {};
        getrusage(who, &ru);
        total += static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                 static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    }
    return total;
}

// Wall-clock time suffers when the machine is loaded; the CPU time of the
// check and of the stand-in it starts is reported beside it.
void report_cpu(benchmark::State& state, double before) {
    if (state.iterations() > 0) {
        state.counters["cpu_ms_with_children"] =
            (cpu_seconds() - before) * 1000.0 / static_cast<double>(state.iterations());
    }
}

size_t size_arg(const benchmark::State& state) {
    return static_cast<size_t>(state.range(0)) << 10;
}

void BM_Verdict(benchmark::State& state) {
    const std::string& pkg = package(size_arg(state));
    const double before = cpu_seconds();
    for (auto _ : state) {
        if (!is_pkg_codesign_valid(pkg.c_str(), nullptr)) {
            state.SkipWithError("package refused");
            break;
        }
    }
    report_cpu(state, before);
    state.counters["package_MiB"] =
        static_cast<double>(std::filesystem::file_size(pkg)) / (1024.0 * 1024.0);
}

void BM_CmsCheck(benchmark::State& state) {
    const std::string& pkg = package(size_arg(state));
    const double before = cpu_seconds();
    for (auto _ : state) {
        if (!pkg_verify::check_installer_authority_by_cms(pkg, kTeam, kAuthority, nullptr)) {
            state.SkipWithError("package refused");
            break;
        }
    }
    report_cpu(state, before);
}

void BM_PackageToolCheck(benchmark::State& state) {
    const std::string& pkg = package(size_arg(state));
    const double before = cpu_seconds();
    for (auto _ : state) {
        if (!pkg_verify::check_installer_authority_by_pkgutil(pkg, kAuthority, nullptr)) {
            state.SkipWithError("package refused");
            break;
        }
    }
    report_cpu(state, before);
}

// The floor under the package tool's row: a process that only reads the
// installer certificate and its issuer and checks the one with the other.
void BM_ProcessReadingOneCertificate(benchmark::State& state) {
    const std::string dir = XQ_TESTPKI_DIR;
    const process::Task task{ONE_CERTIFICATE_PATH, {dir + "/installer.der", dir + "/devid-ca.der"}};
    const double before = cpu_seconds();
    for (auto _ : state) {
        const process::Result r = process::run(task);
        if (!r.launched || !r.exited || r.terminationStatus != 0) {
            state.SkipWithError("the certificate check failed");
            break;
        }
    }
    report_cpu(state, before);
}

// Arguments in KiB: 100 KiB and 100 MiB.
BENCHMARK(BM_Verdict)->Arg(100)->Arg(100 << 10)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CmsCheck)->Arg(100)->Arg(100 << 10)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PackageToolCheck)
    ->Arg(100)
    ->Arg(100 << 10)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_ProcessReadingOneCertificate)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
