// A minimal benchmark runner for builds without Google Benchmark (the 32-bit Windows build,
// run under Wine): the same cases and names as the Google Benchmark programs, each timed as
// the minimum over repetitions, then the same summary table.
// Usage: bench_runner [--filter=TEXT] [--repetitions=N] [--min-ms=MS] [--check]
// (--check runs each case once against the transcription's output and times nothing).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "bench/BenchCases.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  std::string filter;
  int repetitions = 30;
  double minMs = 2;  // the least time one repetition runs
  bool checkOnly = false;
};

Options ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strncmp(arg, "--filter=", 9) == 0) {
      options.filter = arg + 9;
    } else if (std::strncmp(arg, "--repetitions=", 14) == 0) {
      options.repetitions = std::max(1, std::atoi(arg + 14));
    } else if (std::strncmp(arg, "--min-ms=", 9) == 0) {
      options.minMs = std::max(0.1, std::atof(arg + 9));
    } else if (std::strcmp(arg, "--check") == 0) {
      options.checkOnly = true;
    } else {
      std::fprintf(stderr, "usage: %s [--filter=TEXT] [--repetitions=N] [--min-ms=MS] [--check]\n", argv[0]);
      std::exit(2);
    }
  }
  return options;
}

double ElapsedNs(Clock::time_point start) {
  return std::chrono::duration<double, std::nano>(Clock::now() - start).count();
}

// Runs per repetition: as many as fill minMs.
int64_t RunsFillingMinTime(const zbbench::Case& c, const Options& options) {
  int64_t runs = 1;
  for (;;) {
    const Clock::time_point start = Clock::now();
    for (int64_t i = 0; i < runs; ++i) c.run();
    if (ElapsedNs(start) >= options.minMs * 1e6 || runs >= (int64_t{1} << 40)) return runs;
    runs *= 2;
  }
}

double NsPerRun(const zbbench::Case& c, int64_t runs) {
  if (c.before) c.before();
  const Clock::time_point start = Clock::now();
  for (int64_t i = 0; i < runs; ++i) c.run();
  const double ns = ElapsedNs(start) / static_cast<double>(runs);
  if (c.after) c.after();
  return ns;
}

}  // namespace

// The machine may be shared: the repetitions go round all cases, in a new order each
// round so that a disturbance that recurs at a steady period does not always meet the
// same case, and each case keeps its fastest repetition. Short repetitions make it likely
// that each case has some undisturbed ones.
int main(int argc, char** argv) {
  const Options options = ParseOptions(argc, argv);
  std::vector<zbbench::Case> cases = zbbench::CodecCases();
  for (zbbench::Case& c : zbbench::ChainCases()) cases.push_back(std::move(c));
  std::vector<const zbbench::Case*> chosen;
  int failed = 0;
  for (const zbbench::Case& c : cases) {
    if (c.name.find(options.filter) == std::string::npos) continue;
    if (!c.check()) {
      std::printf("%-34s output differs from the transcription's\n", c.name.c_str());
      ++failed;
      continue;
    }
    chosen.push_back(&c);
  }
  if (options.checkOnly) {
    std::printf("%d cases match the transcription, %d differ\n", static_cast<int>(chosen.size()), failed);
    return failed == 0 ? 0 : 1;
  }
  std::vector<int64_t> runs;
  for (const zbbench::Case* c : chosen) runs.push_back(RunsFillingMinTime(*c, options));
  std::vector<zbbench::Result> results;
  for (const zbbench::Case* c : chosen) results.push_back({c, 0});
  std::vector<size_t> order(chosen.size());
  std::iota(order.begin(), order.end(), size_t{0});
  std::minstd_rand shuffle(1);
  for (int r = 0; r < options.repetitions; ++r) {
    std::shuffle(order.begin(), order.end(), shuffle);
    for (size_t i : order) {
      const double ns = NsPerRun(*chosen[i], runs[i]);
      if (r == 0 || ns < results[i].nsPerRun) results[i].nsPerRun = ns;
    }
  }
  zbbench::PrintSummary(results, stdout);
  return failed == 0 ? 0 : 1;
}
