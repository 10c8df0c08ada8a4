// Benchmark cases shared by the Google Benchmark programs (native) and the minimal runner
// that the cross build runs under Wine: the same names, the same work, the same summary.
// Every case is timed against the line-by-line transcription doing the same work in the
// same run, and the summary gives the ratio and the streams one core carries.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace zbbench {

inline constexpr int32_t kLongBlocks = 3000;  // 60 s of 8 kHz signal in 84-byte blocks
inline constexpr int32_t kFrameBlocks = 2;    // one 20 ms frame of 640 PCM bytes
inline constexpr int32_t kFrameBlocks8k = 1;   // one 20 ms frame at 8 kHz
inline constexpr int32_t kFrameBlocks48k = 6;  // one 20 ms frame at 48 kHz
inline constexpr double kFrameNs = 20e6;      // 20 ms

struct Case {
  std::string name;      // "Encode/scalar/3000": operation, path, blocks per run
  std::string baseline;  // the transcription's case doing the same work; empty for that case itself
  int64_t frames = 0;    // 20 ms frames one run processes (0: not a per-frame rate)
  int64_t samples = 0;   // samples one run processes (0: not a per-sample rate)
  std::function<bool()> check;  // runs the case once; false when its output differs from the transcription's
  std::function<void()> run;    // one timed run
  std::function<void()> before;       // when set: called before the timed runs
  std::function<void()> after;        // when set: called after them
  std::function<std::string()> note;  // when set: a line printed under the summary
};

// The codec cases: block encode and decode over long runs and over one frame, for the
// transcription, every path this build and processor have, and the multi-block operations;
// and the encoder modes on one 20 ms frame at 8, 16 and 48 kHz.
std::vector<Case> CodecCases();

// The whole chain for one 20 ms frame, the library's and the transcription's, and the
// cost of one debugger-output call.
std::vector<Case> ChainCases();

// One result line: the case and its best (minimum) time per run.
struct Result {
  const Case* bench;
  double nsPerRun;
};

// Prints the table: absolute times, the ratio to the transcription in the same run and
// the 20 ms streams one core carries.
void PrintSummary(const std::vector<Result>& results, std::FILE* out);

}  // namespace zbbench
