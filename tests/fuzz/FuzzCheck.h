// Checks for the fuzz targets: a failed check names its condition and the input being
// replayed, then aborts, which both libFuzzer and CTest report as a failure.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace zbtest {

// Name of the input the replay runner is running; null under libFuzzer, which names the
// crashing input itself.
inline const char* g_currentInput = nullptr;

[[noreturn]] inline void CheckFailed(const char* condition, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: fuzz check failed: %s (input: %s)\n", file, line, condition,
               g_currentInput != nullptr ? g_currentInput : "-");
  std::fflush(stderr);
  std::abort();
}

}  // namespace zbtest

#define ZB_FUZZ_CHECK(cond) ((cond) ? static_cast<void>(0) : ::zbtest::CheckFailed(#cond, __FILE__, __LINE__))
