// Block encode and decode speed, natively with Google Benchmark: the transcription, every
// coder path this build and processor have, and the multi-block operations, over 60 s of
// 8 kHz speech-like signal in 84-byte blocks and over one 20 ms frame. After the usual
// output, a summary gives each case's minimum over the repetitions (run with
// --benchmark_repetitions=N), its ratio to the transcription and the streams per core.
#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

#include "bench/BenchCases.h"

namespace {

// Keeps the fastest repetition of every case for the summary.
class MinimumReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred || run.iterations == 0) continue;
      const double ns = run.real_accumulated_time * 1e9 / static_cast<double>(run.iterations);
      auto [it, inserted] = m_best.emplace(run.run_name.function_name, ns);
      if (!inserted && ns < it->second) it->second = ns;
    }
    ConsoleReporter::ReportRuns(runs);
  }

  const std::map<std::string, double>& Best() const { return m_best; }

 private:
  std::map<std::string, double> m_best;
};

}  // namespace

int main(int argc, char** argv) {
  const std::vector<zbbench::Case> cases = zbbench::CodecCases();
  for (const zbbench::Case& c : cases) {
    benchmark::RegisterBenchmark(c.name.c_str(), [&c](benchmark::State& state) {
      if (!c.check()) {
        state.SkipWithError("output differs from the transcription's");
        return;
      }
      for (auto _ : state) {
        c.run();
        benchmark::ClobberMemory();
      }
      state.counters["ns_per_sample"] = benchmark::Counter(
          static_cast<double>(c.samples * static_cast<int64_t>(state.iterations())),
          benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    });
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  MinimumReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  std::vector<zbbench::Result> results;
  for (const zbbench::Case& c : cases) {
    const auto it = reporter.Best().find(c.name);
    if (it != reporter.Best().end()) results.push_back({&c, it->second});
  }
  zbbench::PrintSummary(results, stdout);
  return 0;
}
