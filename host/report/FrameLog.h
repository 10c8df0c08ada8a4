// The per-frame account of a run (--frames): for every frame, what the link did to its
// data and parity frames, how it was rendered in the end, its SNR against the lossless
// decode and, for a lost frame that holds speech, its log-spectral distance from it; written as each frame becomes final, as CSV, JSON Lines or one JSON
// document, by the file's name.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "host/io/OutputFile.h"
#include "host/stream/Stream.h"

namespace zbhost {

struct FrameRow {
  int32_t frame = 0;
  double startSeconds = 0;
  const char* data = "";    // "delivered", "dropped", "duplicated", "reordered", "reordered+duplicated"
  const char* parity = "";  // the same, or "not sent" (frame 0, or parity off)
  FrameOutcome outcome = FrameOutcome::Lost;
  double snrDb = 0;  // against the lossless decode; +inf when identical
  std::optional<double> lsdDb;  // log-spectral distance from the lossless decode: lost speech only
  bool dataDropped = false;
  bool parityDropped = false;
};

// The row of one final frame of a chain; `length` samples of it belong to the input.
FrameRow MakeFrameRow(int32_t index, const ChainFrame& frame, const int16_t* lossless, size_t length);

// "received", "rebuilt", "lost" or "concealed".
const char* OutcomeName(FrameOutcome outcome);

// True when a row was touched by loss: a dropped data or parity frame, or a frame that
// never rendered.
bool IsAffected(const FrameRow& row);

enum class FrameTableFormat { Csv, JsonLines, Json };

// JSON Lines for a name ending in .jsonl or .ndjson, one JSON document for .json, CSV else.
FrameTableFormat FrameTableFormatFor(const std::string& path);

// Writes rows to `target` (which must outlive it) as they come. Each row carries the seed of
// the link's random decisions (empty or null when nothing was drawn), so that the table alone
// is enough to repeat the run.
class FrameTable {
 public:
  FrameTable(OutputFile& target, FrameTableFormat format, std::optional<uint64_t> seed);
  void Add(const FrameRow& row);
  // Closes the document and writes what is still buffered. Throws HostError (output).
  void Finish();

 private:
  void Drain(bool always);

  OutputFile& m_target;
  FrameTableFormat m_format;
  std::optional<uint64_t> m_seed;
  std::string m_buffer;
  bool m_bFirst = true;
};

}  // namespace zbhost
