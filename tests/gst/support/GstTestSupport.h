// What the plug-in's tests share: GStreamer initialised once with the plug-in's elements
// registered in the test process, the coded frames the encoder element makes of a signal, and
// the decoder element run over a list of coded frames.
#pragma once

#include <gst/check/gstharness.h>
#include <gst/gst.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace zbtest {

inline constexpr int kTestRate = 16000;

// Initialises GStreamer and registers the zbadpcm elements; safe to call repeatedly.
void InitGstreamer();

// One coded buffer as it left an element: its bytes (frame header first), times and flags.
struct CodedFrame {
  bool parity = false;
  uint32_t number = 0;
  GstClockTime pts = GST_CLOCK_TIME_NONE;
  GstClockTime duration = GST_CLOCK_TIME_NONE;
  bool discont = false;
  bool marker = false;  // the sender's new stream starts here
  std::vector<uint8_t> bytes;
};

CodedFrame ToCodedFrame(GstBuffer* buffer);
GstBuffer* ToBuffer(const CodedFrame& frame);
// Pulls what the harness's element has sent so far.
std::vector<GstBuffer*> PullAll(GstHarness* harness);

// `pcm` (16-bit mono samples at `rate`) through zbadpcmenc in `mode` (null: the element's default),
// pushed in buffers of 20 ms.
std::vector<CodedFrame> Encode(const std::vector<uint8_t>& pcm, int rate, bool parity = true,
                               const char* mode = nullptr);

// What zbadpcmdec made of a list of coded frames followed by EOS.
struct Decoded {
  std::vector<int16_t> samples;
  bool continuous = true;        // every buffer starts where the one before ended
  GstStructure* stats = nullptr;  // owned
  ~Decoded() { if (stats != nullptr) gst_structure_free(stats); }
  uint64_t Stat(const char* field) const;
};
// Each event is pushed after the frame at position `after` in `frames` (or at the end, past it).
struct PositionedEvent {
  std::size_t after;
  GstEvent* event;
};
void Decode(const std::vector<CodedFrame>& frames, Decoded& out, bool plc = false,
            const std::vector<PositionedEvent>& events = {});
// Adds a PCM buffer to `out`, checking that it starts where the one before ended.
void Append(GstBuffer* buffer, Decoded& out, GstClockTime& expectedPts);
// Every 20 ms frame of `got` equals `lossless`, but those in `lost`, which are silent.
void ExpectLosslessBut(const std::vector<int16_t>& got, const std::vector<int16_t>& lossless,
                       const std::set<int>& lost);

}  // namespace zbtest
