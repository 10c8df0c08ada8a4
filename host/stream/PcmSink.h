// The PCM sink at the end of the graph: places each rendered frame by its timestamp in a
// short window of frames still open, counts frames that were received, rebuilt or rendered
// twice, and hands out each frame once it is final (nothing can still rebuild it), a frame
// that never arrived filled with silence or, when asked, by pitch-based concealment of the
// audio before it.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <set>
#include <vector>

#include "conceal/Concealer.h"
#include "host/library/HostFaces.h"
#include "host/stream/StreamFrame.h"

namespace zbhost {

// Frames the sink holds open ahead of the oldest one not yet final; a render further ahead
// is unusable.
inline constexpr int32_t kSinkWindowFrames = 8;

// How one frame of the stream was rendered in the end.
enum class FrameOutcome : uint8_t { Lost, Received, Rebuilt, Concealed };

struct SinkCounters {
  int64_t received = 0;       // frames rendered from a data frame that arrived
  int64_t rebuilt = 0;        // frames rendered from a parity frame and a partner
  int64_t renderedAgain = 0;  // renders of a frame already placed or final (kept the first)
  int64_t unusable = 0;       // renders with a timestamp off the grid or the window, or a wrong length
  int64_t lostForGood = 0;    // frames never rendered
  int64_t longestLostRun = 0;
  int64_t concealed = 0;      // lost frames filled by concealment (the rest are silent)
};

// A final frame as the sink hands it out: valid until the next call into the sink.
struct FinalFrame {
  const int16_t* samples = nullptr;
  FrameOutcome outcome = FrameOutcome::Lost;
  bool parityUsed = false;  // a rebuild came from the parity frame of this number
};

class PcmSink : public HostSinkFace {
 public:
  // `origin` tells which frame is being delivered into the decoder; null when the decoder is
  // fed directly, and then every render counts as received. `conceal` fills lost frames from
  // the audio before them; a loss before any good frame stays silent (and lost).
  PcmSink(int32_t frameSamples, const FrameOrigin* origin, bool conceal);

  bool AcceptsType(uint16_t type) override { return type == AV_TYPE_PCM; }
  bool HandleFrame(AvSourceFace* from, AvFrame* frame) override;

  // Makes the oldest open frame final, filling it when it never arrived, and hands it out;
  // frames are made final one after another from 0.
  FinalFrame Finalize();
  int64_t NextFinal() const { return m_nNextFinal; }
  size_t FrameBytes() const { return static_cast<size_t>(m_nFrameSamples) * sizeof(int16_t); }
  const SinkCounters& counters() const { return m_counters; }

 private:
  struct Slot {
    std::vector<int16_t> samples;
    FrameOutcome outcome = FrameOutcome::Lost;
  };
  Slot& SlotOf(int64_t frame) { return m_slots[static_cast<size_t>(frame % kSinkWindowFrames)]; }
  void FillLost(Slot& slot);

  int32_t m_nFrameSamples;
  const FrameOrigin* m_pOrigin;
  std::unique_ptr<zbconceal::Concealer> m_concealer;  // null: lost frames stay silent
  std::array<Slot, kSinkWindowFrames> m_slots;
  int64_t m_nNextFinal = 0;          // the oldest frame not yet final
  int64_t m_nLostRun = 0;            // lost frames since the last good one
  std::vector<int16_t> m_final;      // the frame handed out last
  std::set<int32_t> m_paritySeqsUsed;  // parity frames a rebuild came from, until final
  SinkCounters m_counters;
};

}  // namespace zbhost
