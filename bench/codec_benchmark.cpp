// Block encode and decode speed, natively with Google Benchmark: the transcription, every
// coder path this build and processor have, and the multi-block operations, over 60 s of
// 8 kHz speech-like signal in 84-byte blocks and over one 20 ms frame. After the usual
// output, a summary gives each case's minimum over the repetitions (run with
// --benchmark_repetitions=N), its ratio to the transcription and the streams per core.
#include "bench/GoogleBenchmarkCases.h"

int main(int argc, char** argv) {
  const std::vector<zbbench::Case> cases = zbbench::CodecCases();
  return zbbench::RunWithGoogleBenchmark(cases, argc, argv);
}
