// The playout: a window of frames by index, from the oldest not yet final to the newest that
// time has reached. A frame leaves, in index order, once it is final: when the decoder has
// rendered it, or when time has reached `hold` frames past it, so that nothing can still
// rebuild it; a frame that leaves with nothing rendered is filled by concealment of the audio
// before it, or with silence. Every frame that leaves is handed out once, in order, with how
// it came to be; the window never holds more than hold + 2 frames.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "conceal/Concealer.h"
#include "receive/ReceiveCounters.h"

namespace zbreceive {

// How one frame of the stream was played in the end.
enum class FrameOutcome : uint8_t { Lost, Received, Rebuilt, Concealed };

// A frame as it leaves, in index order.
struct OutFrame {
  int64_t index = 0;
  uint64_t segment = 0;       // segments count restarts from 0
  bool segmentStart = false;  // the first frame of its segment
  FrameOutcome outcome = FrameOutcome::Lost;
  bool parityUsed = false;    // a rebuild came from the parity frame of this number
  std::vector<int16_t> samples;
};

// What became of a rendered frame offered to the playout.
enum class Placement : uint8_t { Placed, AlreadyFinal, AlreadyPlaced };

class Playout {
 public:
  // `sampleRate` sets up the concealment when `conceal`; `hold` counts the frames after a
  // missing frame that must pass before it is given up.
  Playout(int32_t frameSamples, int32_t sampleRate, bool conceal, int32_t hold, ReceiveCounters& counters);

  // Starts a segment whose first frame is `first`; with `mayStartEarlier`, the frame before it
  // starts the segment instead when it is rendered before anything has left.
  void Start(int64_t first, bool mayStartEarlier);
  bool started() const { return m_bStarted; }
  int64_t next() const { return m_nNext; }
  int64_t horizon() const { return m_nHorizon; }
  uint64_t segment() const { return m_nSegment; }

  // Time has reached frame `index` (never moves back).
  void See(int64_t index);
  // Places a rendered frame of exactly one frame's samples.
  Placement Place(int64_t index, const int16_t* samples, bool rebuilt);
  // A rebuild came from the parity frame numbered `index`; true the first time for it.
  bool MarkParityUsed(int64_t index);
  // Lets the final frames leave; with `all`, every frame up to the horizon.
  void Release(bool all);
  // The oldest frame that has left and not been taken yet.
  bool Take(OutFrame& out);
  size_t held() const { return m_slots.size(); }
  size_t waiting() const { return m_out.size(); }

 private:
  struct Slot {
    bool placed = false;
    bool rebuilt = false;
    bool parityUsed = false;
    std::vector<int16_t> samples;
  };
  Slot* SlotOf(int64_t index);
  void Leave();

  int32_t m_nFrameSamples;
  int32_t m_nHold;
  ReceiveCounters& m_counters;
  std::unique_ptr<zbconceal::Concealer> m_concealer;  // null: lost frames stay silent
  bool m_bStarted = false;
  bool m_bOpenAtStart = false;  // nothing of the segment has left, the frame before may lead
  bool m_bSegmentStart = false; // the next frame to leave starts its segment
  uint64_t m_nSegment = 0;
  int64_t m_nNext = 0;          // the oldest frame not yet final
  int64_t m_nHorizon = -1;      // the newest frame time has reached
  int64_t m_nLostRun = 0;
  std::deque<Slot> m_slots;     // frames m_nNext .. m_nHorizon
  std::deque<OutFrame> m_out;   // frames that have left, not yet taken
};

}  // namespace zbreceive
