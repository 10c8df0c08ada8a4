// The run as a picture (--plot): per column of the run (one, or four with --compare) the
// decoded waveform's envelope under the input's, shaded by the share of each pixel column's
// frames the link touched and what became of them, the density of frames lost for good, and
// the per-frame SNR against the lossless decode (against the input with --compare-encoders)
// as each pixel column's median and worst. What is kept while streaming is bounded: tracks
// of at most a few thousand buckets, which merge pairwise as the input grows. Drawn with
// cairo into an SVG or a PNG surface, by the name.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/report/FrameLog.h"
#include "host/report/Report.h"

namespace zbhost {

// A stretch of the stream to draw, in seconds.
struct PlotRange {
  double start = 0;
  double end = 0;
};

// Parses "START-END", each in seconds or as M:SS ("1:30-2:00"); throws
// std::invalid_argument naming the fault.
PlotRange ParsePlotRange(const std::string& text);

enum class PlotFormat { Svg, Png };
// By the name's extension; throws HostError (output) for any other.
PlotFormat PlotFormatFor(const std::string& path);

// Values over time in at most a fixed number of buckets, each keeping the lowest and highest
// value of its span and their sum; when full, neighbours merge and the span doubles.
class Track {
 public:
  struct Bucket {
    float low = 0;
    float high = 0;
    double sum = 0;
    uint32_t count = 0;
  };
  void Add(float value);
  void Add(const float* values, size_t count);
  // The items each bucket covers (the last may be partial).
  int64_t span() const { return m_nSpan; }
  const std::vector<Bucket>& buckets() const { return m_buckets; }

 private:
  std::vector<Bucket> m_buckets;
  int64_t m_nSpan = 1;
};

// How a frame the link touched came out, as the plot shades it.
enum class PlotKind { Rebuilt, ParityLost, Concealed, Unrecovered };
inline constexpr int kPlotKinds = 4;

// Per-frame SNR over time in at most a fixed number of buckets, each keeping its worst value
// and a histogram of 1 dB bins from the bottom of the scale to its top (identical frames sit
// on top), so a column's median survives any number of merges.
class SnrTrack {
 public:
  static constexpr double kBottomDb = -20;  // concealment can make a frame worse than silence
  static constexpr double kTopDb = 60;      // identical frames, and any better, sit here
  static constexpr int kBins = static_cast<int>(kTopDb - kBottomDb) + 1;
  struct Bucket {
    float worst = 0;
    uint32_t count = 0;  // frames with an SNR (a silent reference has none)
    uint32_t frames = 0;
    std::array<uint32_t, kBins> bins{};
  };
  // One frame; nullopt when its reference was silent.
  void Add(std::optional<double> db);
  int64_t span() const { return m_nSpan; }
  const std::vector<Bucket>& buckets() const { return m_buckets; }

 private:
  std::vector<Bucket> m_buckets;
  int64_t m_nSpan = 1;
};

// A waveform's envelope: the peaks, and the power for the RMS drawn inside them.
class Envelope {
 public:
  void Add(const int16_t* samples, size_t count);
  const Track& peaks() const { return m_peaks; }  // samples
  const Track& power() const { return m_power; }  // squared samples

 private:
  Track m_peaks;
  Track m_power;
  std::vector<float> m_values;  // the samples being added, then their squares
};

struct PlotColumn {
  std::string label;
  Envelope decoded;
  SnrTrack snr;                          // frames, dB
  std::array<Track, kPlotKinds> kinds;   // frames, 1 for a frame of that kind (PlotKind)
  Track lost;                            // frames, 1 for a frame lost for good (concealed or not)
  int64_t rebuilt = 0;
  int64_t unrecovered = 0;
};

// What the SNR panel measures each frame against.
enum class PlotReference { Lossless, Input };

// What the plot keeps of a run while it streams: bounded however long the input.
class PlotTrace {
 public:
  PlotTrace(const std::vector<std::string>& labels, std::optional<PlotRange> range,
            PlotReference reference = PlotReference::Lossless);
  // One final frame; `rows` holds each column's row for it.
  void Add(const FrameView& view, const std::vector<FrameRow>& rows);

  std::optional<PlotRange> range() const { return m_range; }
  PlotReference reference() const { return m_reference; }
  int64_t firstFrame() const { return m_nFirst; }  // the first frame drawn
  int64_t frames() const { return m_nFrames; }     // frames drawn
  const Envelope& input() const { return m_input; }
  const std::vector<PlotColumn>& columns() const { return m_columns; }

 private:
  std::optional<PlotRange> m_range;
  PlotReference m_reference;
  int64_t m_nFirst = -1;
  int64_t m_nFrames = 0;
  Envelope m_input;
  std::vector<PlotColumn> m_columns;
};

// What one pixel column of a run's panels shows: the share of its frames of each kind, the
// share lost for good, and the median and worst frame SNR (nullopt: no frame with one).
struct PixelSummary {
  double frames = 0;
  std::array<double, kPlotKinds> share{};
  double lostShare = 0;
  std::optional<double> medianDb;
  std::optional<double> worstDb;
};
std::vector<PixelSummary> Summarise(const PlotColumn& column, int64_t frames, int pixels);

// The picture drawn with cairo straight into an SVG document or a PNG image, by `format`.
// Throws HostError (output) naming `path` on failure.
std::string DrawPlot(const RunDescription& run, const PlotTrace& trace, PlotFormat format,
                     const std::string& path);

}  // namespace zbhost
