// The run's report: the figures worked out from what the host observed (link counters,
// the sink's placements, the allocator's counts, the two decoded streams) and their
// rendering in plain words or as one JSON object.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/HostAllocator.h"
#include "host/Stream.h"

namespace zbhost {

// What was run, for the report's heading.
struct RunDescription {
  std::string input;        // file name, or empty for the built-in signal
  std::string inputFormat;  // the file's format and original rate and channels
  std::string library;
  std::string output;       // empty when no file was written
  std::string link;         // the loss model in words
  FrameLayout layout;
  double inputSeconds = 0;
  bool parity = true;
  bool conceal = false;
  bool random = false;      // a seed drove the link
  uint64_t seed = 0;
  double duplicatePercent = 0;
  double reorderPercent = 0;
};

struct Figures {
  int64_t sentData = 0;
  int64_t sentParity = 0;
  int64_t droppedData = 0;
  int64_t droppedParity = 0;
  int64_t duplicatedByLink = 0;
  int64_t reorderedByLink = 0;
  int64_t repaired = 0;           // frames the decoder rebuilt from parity
  int64_t duplicatesDropped = 0;  // deliveries the decoder dropped as already rendered
  int64_t parityNotNeeded = 0;    // parity frames delivered that no rebuild came from
  int64_t lostForGood = 0;
  int64_t longestLostRun = 0;
  int64_t concealed = 0;
  int64_t renderedAgain = 0;
  int64_t unusable = 0;
  double residualLossPercent = 0;
  double snrInputDb = 0;          // may be infinite when identical
  double snrLosslessDb = 0;
  bool identicalToLossless = false;
  double kbpsWithParity = 0;
  double kbpsDataOnly = 0;
  double speedRealTime = 0;
  AllocatorCounters allocator;
};

// Signal-to-noise ratio of `test` against `reference` in dB: +inf when they are identical.
double SnrDb(const std::vector<int16_t>& reference, const std::vector<int16_t>& test);

Figures ComputeFigures(const StreamResult& result, const std::vector<int16_t>& input,
                       const std::vector<int16_t>& lossless, const FrameLayout& layout,
                       const AllocatorCounters& allocator);

std::string PlainReport(const RunDescription& run, const Figures& figures);
nlohmann::json JsonReport(const RunDescription& run, const Figures& figures);

}  // namespace zbhost
