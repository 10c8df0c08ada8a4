// The coded stream between the elements: its media type, the 20 ms frame, the sample rates the
// library codes, and the four-byte header that starts every coded buffer and every RTP payload.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include <gst/gst.h>

#include "exports/zbstream.h"

namespace zbgst {

// Media type of the coded stream; its caps carry `rate` and `channels` (1).
inline constexpr const char* kMediaType = "audio/x-zbadpcm";
// Encoding name in RTP caps and SDP.
inline constexpr const char* kRtpEncodingName = "ZBADPCM";

inline constexpr int kFramesPerSecond = 1000 / ZB_FRAME_MS;  // ms in a second over ms in a frame
inline constexpr GstClockTime kFrameDuration = GST_SECOND / kFramesPerSecond;
inline constexpr int kBytesPerSample = 2;           // S16LE mono
inline constexpr int kPcmBytesPerBlock = ZB_PCM_BYTES_PER_BLOCK;  // one ADPCM block codes this much PCM
inline constexpr int kAdpcmBytesPerBlock = ZB_ADPCM_BYTES_PER_BLOCK;

// Rates whose 20 ms frame is a whole number of blocks that the decoder's 512-byte slots hold.
inline constexpr std::array<int, 6> kRates = {ZB_STREAM_RATES};
// The same list in caps syntax, for the pad templates.
#define ZBGST_RATES_CAPS "{ 8000, 16000, 24000, 32000, 40000, 48000 }"

inline constexpr int SamplesPerFrame(int rate) { return rate / kFramesPerSecond; }
inline constexpr std::size_t PcmBytesPerFrame(int rate) {
  return static_cast<std::size_t>(SamplesPerFrame(rate)) * kBytesPerSample;
}
inline constexpr std::size_t CodedBytesPerFrame(int rate) {
  return PcmBytesPerFrame(rate) / kPcmBytesPerBlock * kAdpcmBytesPerBlock;
}
bool IsSupportedRate(int rate);

// Frame header, big-endian: bit 31 set for a parity frame, bits 0 to 30 the frame number.
// Numbers count 20 ms frames and wrap at 2^31; a parity frame numbered n is the XOR of the data
// frames n - 1 and n.
inline constexpr std::size_t kFrameHeaderBytes = ZB_FRAME_HEADER_BYTES;
inline constexpr uint32_t kParityBit = 0x80000000u;
inline constexpr uint32_t kFrameNumberMask = 0x7FFFFFFFu;

struct FrameHeader {
  bool parity = false;
  uint32_t number = 0;
};

void WriteFrameHeader(uint8_t* out, FrameHeader header);
FrameHeader ReadFrameHeader(const uint8_t* in);
// The distance from `from` to `to` in the 31-bit number space, in (-2^30, 2^30].
int32_t FrameNumberDistance(uint32_t from, uint32_t to);

}  // namespace zbgst
