// Runs shared benchmark cases under Google Benchmark, together with the program's own
// BENCHMARK registrations, then prints the shared summary of the cases.
#pragma once

#include <vector>

#include "bench/BenchCases.h"

namespace zbbench {

// Registers `cases`, runs every registered benchmark with the command line's options
// (--benchmark_repetitions=N gives the minimum of N) and prints the summary; returns the
// program's exit status.
int RunWithGoogleBenchmark(const std::vector<Case>& cases, int argc, char** argv);

}  // namespace zbbench
