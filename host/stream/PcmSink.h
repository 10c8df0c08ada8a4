// The PCM sink at the end of the graph: places each rendered frame by its timestamp,
// counts frames that were received, rebuilt or rendered twice, and at the end fills each
// frame that never arrived with silence or, when asked, with a fading repetition of the
// last frame before it.
#pragma once

#include <cstdint>
#include <set>
#include <vector>

#include "host/library/HostFaces.h"
#include "host/stream/StreamFrame.h"

namespace zbhost {

inline constexpr int32_t kConcealFadeFrames = 3;  // a concealed run fades to silence over this

// How one frame of the stream was rendered in the end.
enum class FrameOutcome : uint8_t { Lost, Received, Rebuilt, Concealed };

struct SinkCounters {
  int64_t received = 0;       // frames rendered from a data frame that arrived
  int64_t rebuilt = 0;        // frames rendered from a parity frame and a partner
  int64_t renderedAgain = 0;  // renders of a frame already placed (kept the first)
  int64_t unusable = 0;       // renders with a timestamp off the grid or a wrong length
  int64_t lostForGood = 0;    // frames never rendered
  int64_t longestLostRun = 0;
  int64_t concealed = 0;      // lost frames filled by repetition (the rest are silent)
  std::set<int32_t> paritySeqsUsed;  // parity frames that a rebuild came from
};

class PcmSink : public HostSinkFace {
 public:
  // `origin` tells which frame is being delivered into the decoder; null when the decoder is
  // fed directly, and then every render counts as received.
  PcmSink(int32_t frameCount, int32_t frameSamples, const FrameOrigin* origin);

  bool AcceptsType(uint16_t type) override { return type == AV_TYPE_PCM; }
  bool HandleFrame(AvSourceFace* from, AvFrame* frame) override;

  // Fills the frames that never arrived and counts them; call once, after the stream.
  void Finish(bool conceal);

  const std::vector<int16_t>& samples() const { return m_samples; }
  const SinkCounters& counters() const { return m_counters; }
  // Per frame of the stream; complete after Finish.
  const std::vector<FrameOutcome>& outcomes() const { return m_outcomes; }

 private:
  void Conceal(int32_t slot, int32_t source, int32_t runIndex);

  int32_t m_nFrameCount;
  int32_t m_nFrameSamples;
  const FrameOrigin* m_pOrigin;
  std::vector<int16_t> m_samples;
  std::vector<FrameOutcome> m_outcomes;  // Lost until placed
  SinkCounters m_counters;
};

}  // namespace zbhost
