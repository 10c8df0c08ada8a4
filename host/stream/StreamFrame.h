// The stream's frames as the graph's parts share them: their duration.
#pragma once

#include <cstdint>

namespace zbhost {

inline constexpr int32_t kFrameMs = 20;  // frame duration and timestamp step
inline constexpr int32_t kMsPerSecond = 1000;

// How long `frames` frames last, in seconds.
inline constexpr double FrameSeconds(int64_t frames) {
  return static_cast<double>(frames) * kFrameMs / kMsPerSecond;
}

}  // namespace zbhost
