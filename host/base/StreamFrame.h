// The stream's frames as the graph's parts share them: their duration and the rates they
// can run at.
#pragma once

#include <cstdint>

namespace zbhost {

inline constexpr int32_t kFrameMs = 20;  // frame duration and timestamp step
inline constexpr int32_t kMsPerSecond = 1000;

// How long `frames` frames last, in seconds.
inline constexpr double FrameSeconds(int64_t frames) {
  return static_cast<double>(frames) * kFrameMs / kMsPerSecond;
}

inline constexpr int32_t kDefaultRate = 16000;
// Sample rates whose 20 ms frames are whole 320-byte pieces that fit the decoder's slots.
inline constexpr int32_t kStreamRates[] = {8000, 16000, 24000, 32000, 40000, 48000};

inline constexpr bool IsStreamRate(int32_t rate) {
  for (const int32_t streamRate : kStreamRates) {
    if (rate == streamRate) return true;
  }
  return false;
}

}  // namespace zbhost
