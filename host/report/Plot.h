// The run as a picture (--plot): per column of the run (one, or three with --compare) the
// decoded waveform's envelope under the input's, every frame the link touched marked by what
// became of it, the density of frames lost for good, and the per-frame SNR against the
// lossless decode. What is kept while streaming is bounded: envelopes of at most a few
// thousand buckets, which merge pairwise as the input grows, and one small record per
// affected frame. SVG by name, or PNG rendered from it with librsvg and cairo.
#pragma once

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
  // The items each bucket covers (the last may be partial).
  int64_t span() const { return m_nSpan; }
  const std::vector<Bucket>& buckets() const { return m_buckets; }

 private:
  std::vector<Bucket> m_buckets;
  int64_t m_nSpan = 1;
};

// A frame the link touched, as the plot marks it.
struct PlotMark {
  int32_t frame = 0;
  FrameOutcome outcome = FrameOutcome::Lost;
  bool dataDropped = false;
  bool parityDropped = false;
};

// A waveform's envelope: the peaks, and the power for the RMS drawn inside them.
struct Envelope {
  Track peaks;  // samples
  Track power;  // squared samples
  void Add(int16_t sample);
};

struct PlotColumn {
  std::string label;
  Envelope decoded;
  Track snr;       // frames, dB (an identical frame counts as the top of the scale)
  Track lost;      // frames, 1 for a frame lost for good (concealed or not)
  std::vector<PlotMark> marks;
  int64_t rebuilt = 0;
  int64_t unrecovered = 0;
};

// What the plot keeps of a run while it streams.
class PlotTrace {
 public:
  PlotTrace(const std::vector<std::string>& labels, std::optional<PlotRange> range);
  // One final frame; `rows` holds each column's row for it.
  void Add(const FrameView& view, const std::vector<FrameRow>& rows);

  std::optional<PlotRange> range() const { return m_range; }
  int64_t firstFrame() const { return m_nFirst; }  // the first frame drawn
  int64_t frames() const { return m_nFrames; }     // frames drawn
  const Envelope& input() const { return m_input; }
  const std::vector<PlotColumn>& columns() const { return m_columns; }

 private:
  std::optional<PlotRange> m_range;
  int64_t m_nFirst = -1;
  int64_t m_nFrames = 0;
  Envelope m_input;
  std::vector<PlotColumn> m_columns;
};

// One <rect class="mark ..."> per affected frame drawn (see IsAffected), its class naming
// the outcome: "rebuilt", "unrecovered", "concealed" or "parity-lost" (only parity dropped).
std::string PlotSvg(const RunDescription& run, const PlotTrace& trace);

// The SVG rendered as a PNG image. Throws HostError (output) naming `path` on failure.
std::string PlotPng(const std::string& svg, const std::string& path);

}  // namespace zbhost
