// The per-frame account of a run (--frames): for every frame, what the link did to its
// data and parity frames, how it was rendered in the end, and its SNR against the
// lossless decode; written as CSV or as JSON Lines.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/stream/Stream.h"

namespace zbhost {

struct FrameRow {
  int32_t frame = 0;
  double startSeconds = 0;
  std::string data;    // "delivered", "dropped", "duplicated", "reordered", "reordered+duplicated"
  std::string parity;  // the same, or "not sent" (frame 0, or parity off)
  FrameOutcome outcome = FrameOutcome::Lost;
  double snrDb = 0;  // against the lossless decode; +inf when identical
  bool dataDropped = false;
  bool parityDropped = false;
};

std::vector<FrameRow> FrameRows(const StreamResult& result, const std::vector<int16_t>& lossless,
                                const FrameLayout& layout);

// "received", "rebuilt", "lost" or "concealed".
const char* OutcomeName(FrameOutcome outcome);

// True when a row was touched by loss: a dropped data or parity frame, or a frame that
// never rendered.
bool IsAffected(const FrameRow& row);

// JSON Lines for a name ending in .jsonl or .ndjson, CSV for any other.
bool WantsJsonLines(const std::string& path);
std::string FramesCsv(const std::vector<FrameRow>& rows);
std::string FramesJsonLines(const std::vector<FrameRow>& rows);

}  // namespace zbhost
