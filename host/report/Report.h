// The run's report: the figures worked out from what the host observed (link counters,
// the sink's placements, the allocator's counts, the two decoded streams) and their
// rendering in plain words or as one JSON object; and the side-by-side report of --compare.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/library/HostAllocator.h"
#include "host/link/LossModels.h"
#include "host/report/SpeechScore.h"
#include "host/stream/Stream.h"

namespace zbhost {

inline constexpr int kReportSchemaVersion = 1;

// Where the run's wall time went, in seconds.
struct Timing {
  double reading = 0;     // reading and mixing the input (or making the built-in signal)
  double resampling = 0;  // both ways
  double library = 0;     // every chain's frames through the modules
  double writing = 0;     // encoding and writing the outputs, the frame table and the plot
  double plot = 0;        // keeping the plot's tracks and drawing them
  double figures = 0;     // SNR, segmental SNR, spectral distance and STOI of every column:
                          // what the stream spent on them or waited for
  double figuresAlongside = 0;  // CPU time of STOI's threads, alongside the stream
  double total = 0;
};

// What was run, for the report's heading.
struct RunDescription {
  std::string input;        // file name, "-" for standard input, empty for the built-in signal
  std::string inputFormat;  // libsndfile's name of the file's format
  int32_t inputRate = 0;    // the file's own rate, channels and length
  int32_t inputChannels = 0;
  int64_t inputSamples = 0;
  std::string library;
  std::string output;       // empty when no audio was written
  std::string outputFormat;
  int32_t outputRate = 0;
  FrameLayout layout;
  StreamSettings stream;    // parity, concealment, encoder and the link, its seed drawn when random
  std::vector<std::string> warnings;
  Timing timing;
  bool showTiming = false;  // the plain report tells where the time went (-v)

  double InputSeconds() const {
    return inputRate > 0 ? static_cast<double>(inputSamples) / inputRate : 0;
  }
};

// What the report works out from a run's counts and its decoded audio. The counts
// themselves it reads where the link and the sink keep them, in the run's StreamResult.
struct Figures {
  int64_t duplicatesDropped = 0;  // deliveries the decoder dropped as already rendered
  int64_t parityNotNeeded = 0;    // parity frames delivered that no rebuild came from
  double residualLossPercent = 0;
  double snrInputDb = 0;          // may be infinite when identical
  double snrLosslessDb = 0;
  bool identicalToLossless = false;
  double kbpsWithParity = 0;
  double kbpsDataOnly = 0;
  double speedEndToEnd = 0;       // audio time over the whole run's wall time
  double speedLibrary = 0;        // audio time over the lossless run's frame loop
  SpeechFigures speechVsInput;
  SpeechFigures speechVsLossless;
};

// One run of the stream through the lossy link: how it was run, what it counted and the
// figures worked out from that. --compare reports several side by side, the run as asked
// first; a single report reads the first alone.
struct LossyRun {
  std::string label;  // its column's heading in --compare
  bool parity = true;
  bool conceal = false;
  ZbEncoderMode encoder = ZB_ENCODER_SPECIFIED;
  std::string output;  // where its decoded audio was written, if anywhere
  StreamResult result;
  Figures figures;
};

// The energy of a reference and of a test's difference from it, summed block by block.
struct SnrSum {
  double signal = 0;
  double noise = 0;
  void Add(const int16_t* reference, const int16_t* test, size_t count);
  // In dB: +inf when the two were identical, -inf when the reference was silent.
  double Db() const;
};

// Signal-to-noise ratio of `test` against `reference` in dB: +inf when they are identical.
double SnrDb(const std::vector<int16_t>& reference, const std::vector<int16_t>& test);

// The figures of one lossy run from its counts and its SNR against the input and the
// lossless decode (+inf: identical). `librarySeconds` is the lossless chain's own time, `wallSeconds` the whole
// run, reading to writing (0: not measured).
Figures ComputeFigures(const StreamResult& result, double snrInputDb, double snrLosslessDb,
                       const FrameLayout& layout, double librarySeconds, double wallSeconds);

// "1 frame", "2 frames".
std::string Plural(int64_t count, const char* word);

// "2.51 s", or "5.0 ms" below a hundredth of a second.
std::string FormatDuration(double seconds);

// The JSON objects keep their keys in the order written: schema version, tool and input first.
// `allocator` holds the frame buffers' counts once every run is over.
std::string PlainReport(const RunDescription& run, const StreamResult& result,
                        const Figures& figures, const AllocatorCounters& allocator);
nlohmann::ordered_json JsonReport(const RunDescription& run, const StreamResult& result,
                                  const Figures& figures, const AllocatorCounters& allocator);

std::string PlainComparison(const RunDescription& run, const std::vector<LossyRun>& runs);
nlohmann::ordered_json JsonComparison(const RunDescription& run, const std::vector<LossyRun>& runs,
                                      const AllocatorCounters& allocator);

}  // namespace zbhost
