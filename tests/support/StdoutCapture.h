// What a piece of code writes to standard output, for tests of the library's printed
// warnings.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace zbtest {

// Runs `op` and returns what it printed on stdout.
template <typename Op>
std::string StdoutOf(Op op) {
  std::fflush(stdout);
  testing::internal::CaptureStdout();
  op();
  std::fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

}  // namespace zbtest
