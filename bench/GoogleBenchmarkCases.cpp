// Shared cases under Google Benchmark, with a reporter that keeps each case's fastest
// repetition for the summary.
#include "bench/GoogleBenchmarkCases.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <map>
#include <string>

namespace zbbench {

namespace {

constexpr const char* kMinimum = "min";

// Keeps each case's fastest repetition: from the repetitions themselves, or from the
// "min" statistic when only aggregates are reported.
class MinimumReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      const bool usable = run.run_type == Run::RT_Iteration || run.aggregate_name == kMinimum;
      if (!usable || run.error_occurred || run.iterations == 0) continue;
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

int RunWithGoogleBenchmark(const std::vector<Case>& cases, int argc, char** argv) {
  // Each case is checked once, before its first timing.
  std::map<std::string, bool> checked;
  for (const Case& c : cases) {
    const auto timed = [&c, &checked](benchmark::State& state) {
      const auto [it, first] = checked.emplace(c.name, false);
      if (first) it->second = c.check();
      if (!it->second) {
        state.SkipWithError("output differs from the transcription's");
        return;
      }
      if (c.before) c.before();
      for (auto _ : state) {
        c.run();
        benchmark::ClobberMemory();
      }
      if (c.after) c.after();
      if (c.samples > 0) {
        state.counters["ns_per_sample"] = benchmark::Counter(
            static_cast<double>(c.samples * static_cast<int64_t>(state.iterations())),
            benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
      }
    };
    benchmark::internal::Benchmark* registered = benchmark::RegisterBenchmark(c.name.c_str(), timed);
    registered->ComputeStatistics(kMinimum, [](const std::vector<double>& values) {
      return *std::min_element(values.begin(), values.end());
    });
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  MinimumReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  std::vector<Result> results;
  for (const Case& c : cases) {
    const auto it = reporter.Best().find(c.name);
    if (it != reporter.Best().end()) results.push_back({&c, it->second});
  }
  PrintSummary(results, stdout);
  return 0;
}

}  // namespace zbbench
