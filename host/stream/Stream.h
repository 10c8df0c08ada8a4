// The graph and its run: PCM source -> encoder -> lossy link -> decoder -> PCM sink, built
// from the library's modules and the host's own faces; and the lossless reference run,
// encoder connected straight to decoder.
#pragma once

#include <cstdint>
#include <vector>

#include "host/link/LossyLink.h"
#include "host/stream/PcmSink.h"
#include "host/report/Progress.h"
#include "host/stream/StreamFrame.h"
#include "host/library/ZbLibrary.h"

namespace zbhost {

inline constexpr int32_t kDefaultRate = 16000;
inline constexpr uint8_t kFrameFlags = AV_CLASS_MEDIA;  // class 2, partner distance 1

// Sample rates whose 20 ms frames are whole 320-byte pieces that fit the decoder's slots.
inline constexpr int32_t kStreamRates[] = {8000, 16000, 24000, 32000, 40000, 48000};
bool IsStreamRate(int32_t rate);

struct FrameLayout {
  int32_t rate = kDefaultRate;
  int32_t frameSamples = 0;  // samples per 20 ms frame
  int32_t frameCount = 0;    // frames that carry the whole input, the last one zero-padded

  static FrameLayout For(int32_t rate, size_t inputSamples);
  double Seconds() const { return FrameSeconds(frameCount); }
};

struct StreamSettings {
  bool parity = true;
  bool conceal = false;
  LinkSettings link;
};

struct StreamResult {
  std::vector<int16_t> output;  // the decoded stream, trimmed to the input's length
  LinkCounters link;
  SinkCounters sink;
  std::vector<FrameOutcome> outcomes;  // per frame
  int64_t refusedByEncoder = 0;  // PCM frames the encoder refused
};

// Streams `input` through encoder, lossy link and decoder.
StreamResult RunLossyStream(const ZbLibrary& library, const std::vector<int16_t>& input,
                            int32_t rate, const StreamSettings& settings, const ProgressFn& progress);

struct LosslessResult {
  std::vector<int16_t> output;
  double processingSeconds = 0;  // wall time of the frame loop: the library's own cost
};

// Streams `input` through an encoder connected straight to a decoder: the reference that
// a run without loss reaches.
LosslessResult RunLosslessStream(const ZbLibrary& library, const std::vector<int16_t>& input,
                                 int32_t rate);

}  // namespace zbhost
