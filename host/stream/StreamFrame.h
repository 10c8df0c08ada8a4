// The stream's frames as the graph's parts share them: their duration, and the record of
// which frame the link is delivering, which the link writes and the PCM sink reads.
#pragma once

#include <cstdint>

#include "Include/QV_Interface/zbav_abi.h"

namespace zbhost {

inline constexpr int32_t kFrameMs = 20;  // frame duration and timestamp step
inline constexpr int32_t kMsPerSecond = 1000;

// How long `frames` frames last, in seconds.
inline constexpr double FrameSeconds(int64_t frames) {
  return static_cast<double>(frames) * kFrameMs / kMsPerSecond;
}

// Which frame the link is handing to the decoder at this moment; null between deliveries.
// The graph owns one: the link records each delivery in it, and the sink at the end reads
// it to tell a received frame (it carries the delivered frame's info record) from one the
// decoder rebuilt (the decoder's own record), without knowing the link.
class FrameOrigin {
 public:
  const AvFrame* InFlight() const { return m_pInFlight; }
  void SetInFlight(const AvFrame* frame) { m_pInFlight = frame; }

 private:
  const AvFrame* m_pInFlight = nullptr;
};

}  // namespace zbhost
