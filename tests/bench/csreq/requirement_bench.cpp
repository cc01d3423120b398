// Figures for the requirement compiler: the daemon compiles and evaluates its client
// requirement once per connection, and hostile texts must cost time linear in their
// length. Run: bench_csreq (prints time per iteration and bytes per second).
#include <benchmark/benchmark.h>

#include <string>

#include "platform/csreq/requirement.h"

namespace {

const std::string kDaemonRequirement =
    "identifier \"lx.pelk.dvk\" and anchor apple generic and certificate leaf[subject.OU] = "
    "\"T3MQ8VX2LC\" and certificate leaf[subject.CN] = \"Developer ID Application: Pelk Labs, "
    "Inc. (T3MQ8VX2LC)\" and info [CFBundleVersion] >= \"5.5.0\"";

csreq::CodeFacts clientFacts() {
    csreq::CodeFacts f;
    f.identifier = "lx.pelk.dvk";
    f.anchorAppleGeneric = true;
    csreq::CertificateFacts leaf;
    leaf.subject = {{"CN", "Developer ID Application: Pelk Labs, Inc. (T3MQ8VX2LC)"},
                    {"OU", "T3MQ8VX2LC"}};
    f.chain = {leaf, {}, {}};
    f.info = {{"CFBundleVersion", "5.16.0.124"}};
    return f;
}

void BM_CompileDaemonRequirement(benchmark::State& state) {
    for (auto _ : state) {
        auto r = csreq::compile(kDaemonRequirement);
        benchmark::DoNotOptimize(r);
    }
}
BENCHMARK(BM_CompileDaemonRequirement);

void BM_EvaluateDaemonRequirement(benchmark::State& state) {
    auto r = csreq::compile(kDaemonRequirement);
    const csreq::CodeFacts facts = clientFacts();
    for (auto _ : state) {
        benchmark::DoNotOptimize(r.requirement->evaluate(facts));
    }
}
BENCHMARK(BM_EvaluateDaemonRequirement);

// Time per byte should stay flat as the text grows (no quadratic step).
void BM_CompileLongAnd(benchmark::State& state) {
    std::string text = "always";
    while (text.size() < static_cast<std::size_t>(state.range(0))) {
        text += " and info [CFBundleVersion] >= \"5.5.0\"";
    }
    for (auto _ : state) {
        auto r = csreq::compile(text);
        benchmark::DoNotOptimize(r);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_CompileLongAnd)->RangeMultiplier(8)->Range(1 << 10, 1 << 22);

void BM_RejectDeepNesting(benchmark::State& state) {
    const std::string text(static_cast<std::size_t>(state.range(0)), '(');
    for (auto _ : state) {
        auto r = csreq::compile(text);
        benchmark::DoNotOptimize(r);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_RejectDeepNesting)->Range(1 << 10, 1 << 22);

void BM_RejectUnterminatedString(benchmark::State& state) {
    const std::string text =
        "identifier \"" + std::string(static_cast<std::size_t>(state.range(0)), 'x');
    for (auto _ : state) {
        auto r = csreq::compile(text);
        benchmark::DoNotOptimize(r);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_RejectUnterminatedString)->Range(1 << 10, 1 << 22);

void BM_CompareNumerically(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(csreq::compareNumerically("5.16.0.124", "5.5.0"));
    }
}
BENCHMARK(BM_CompareNumerically);

}  // namespace

BENCHMARK_MAIN();
