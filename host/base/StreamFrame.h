// The stream's frames as the graph's parts share them: their duration and the rates they
// can run at.
#pragma once

#include <cstdint>

#include "exports/zbstream.h"

namespace zbhost {

inline constexpr int32_t kFrameMs = ZB_FRAME_MS;  // frame duration and timestamp step
inline constexpr int32_t kMsPerSecond = 1000;

// How long `frames` frames last, in seconds.
inline constexpr double FrameSeconds(int64_t frames) {
  return static_cast<double>(frames) * kFrameMs / kMsPerSecond;
}

inline constexpr int32_t kDefaultRate = ZB_DEFAULT_RATE;
inline constexpr int32_t kStreamRates[] = {ZB_STREAM_RATES};

inline constexpr bool IsStreamRate(int32_t rate) {
  for (const int32_t streamRate : kStreamRates) {
    if (rate == streamRate) return true;
  }
  return false;
}

}  // namespace zbhost
