// Reference coder that the tests, benchmarks and fuzz targets hold the library's fast paths to:
// a line-by-line transcription of the ADPCM sample steps and block loops, simple on purpose.
#pragma once

#include <cstdint>

#include "codec/AdpcmBlock.h"
#include "codec/AdpcmTables.h"

namespace adpcm_reference {

inline constexpr int32_t kSampleMin = -32768;
inline constexpr int32_t kSampleMax = 32767;

inline int32_t Clamp(int32_t value, int32_t low, int32_t high) {
  if (value < low) return low;
  if (value > high) return high;
  return value;
}

inline uint8_t EncodeSample(AdpcmChannelState& channel, int16_t sample) {
  const int32_t p = channel.encodePredictor;
  const int32_t i = channel.stepIndex;
  int32_t d = int32_t{sample} - p;
  int32_t sign = 0;
  if (d < 0) {
    sign = 1;
    d = -d;
  }
  const int32_t step = AdpcmStepTable[i];
  int32_t m = (4 * d) / step;
  if (m > 7) m = 7;
  const int32_t delta = (m * step) / 4 + step / 8;
  channel.stepIndex = static_cast<int16_t>(Clamp(i + AdpcmIndexTable[m], 0, kAdpcmMaxStepIndex));
  channel.encodePredictor = Clamp(sign ? p - delta : p + delta, kSampleMin, kSampleMax);
  return static_cast<uint8_t>(sign * 8 + m);
}

inline int16_t DecodeSample(AdpcmChannelState& channel, uint8_t code) {
  const int32_t i = channel.stepIndex;
  const int32_t step = AdpcmStepTable[i];
  const int32_t p = channel.decodePredictor;
  const int32_t delta = ((2 * (code & 7) + 1) * step) >> 3;
  channel.stepIndex = static_cast<int16_t>(Clamp(i + AdpcmIndexTable[code], 0, kAdpcmMaxStepIndex));
  channel.decodePredictor = Clamp((code & 8) ? p - delta : p + delta, kSampleMin, kSampleMax);
  return static_cast<int16_t>(channel.decodePredictor);
}

inline int16_t LoadSample(const uint8_t* bytes) {
  return static_cast<int16_t>(static_cast<uint16_t>(bytes[0] | (bytes[1] << 8)));
}

inline void StoreSample(uint8_t* bytes, int16_t sample) {
  const uint16_t bits = static_cast<uint16_t>(sample);
  bytes[0] = static_cast<uint8_t>(bits & 0xFF);
  bytes[1] = static_cast<uint8_t>(bits >> 8);
}

// Codes one block from step index `stepIndex`, which the header holds.
inline int32_t EncodeBlockFrom(AdpcmCodecState& state, uint8_t* out, const uint8_t* pcm, int16_t stepIndex) {
  int32_t n = state.pcmBytesPerBlock / 16;
  if (n < 0) n = 0;  // below 16: the header alone
  AdpcmChannelState& channel = state.channel[0];
  const int16_t first = LoadSample(pcm);
  channel.encodePredictor = first;
  channel.stepIndex = stepIndex;
  StoreSample(out, first);
  out[2] = static_cast<uint8_t>(stepIndex);
  out[3] = 0;
  uint8_t* o = out + 4;
  const uint8_t* x = pcm;
  for (int32_t group = 0; group < n; ++group) {
    for (int32_t j = 0; j < 4; ++j) {
      const uint8_t low = EncodeSample(channel, LoadSample(x + 4 * j));
      const uint8_t high = EncodeSample(channel, LoadSample(x + 4 * j + 2));
      *o++ = static_cast<uint8_t>(low | (high << 4));
    }
    x += 16;
  }
  return 4 * (1 + n);
}

inline int32_t EncodeBlock(AdpcmCodecState& state, uint8_t* out, const uint8_t* pcm) {
  return EncodeBlockFrom(state, out, pcm, 0);
}

// The index carried: the block starts at the step index channel 0 holds, where the block
// before it ended.
inline int32_t EncodeBlockCarried(AdpcmCodecState& state, uint8_t* out, const uint8_t* pcm) {
  return EncodeBlockFrom(state, out, pcm, state.channel[0].stepIndex);
}

// Decodes as the library does: blocks too short for their headers and a two-channel
// group cut short by the end of the input are not decoded.
inline int32_t DecodeBlock(AdpcmCodecState& state, uint8_t* pcmOut, int32_t& pcmBytesWritten,
                           const uint8_t* block, int32_t blockBytes) {
  if (blockBytes == 0) return 0;
  if (state.maxInputBytes != 0 && blockBytes > state.maxInputBytes) {
    blockBytes = state.maxInputBytes;
  }
  const int32_t channels = state.channels;
  if (blockBytes < 4 * channels) {
    pcmBytesWritten = 0;
    return 0;
  }
  for (int32_t k = 0; k < channels; ++k) {
    const uint8_t* header = block + 4 * k;
    state.channel[k].decodePredictor = LoadSample(header);
    state.channel[k].stepIndex =
        static_cast<int16_t>(header[2] > kAdpcmMaxStepIndex ? kAdpcmMaxStepIndex : header[2]);
  }
  const uint8_t* p = block + 4 * channels;
  const uint8_t* end = block + blockBytes;
  if (channels == 2) end = p + (end - p) / 8 * 8;
  uint8_t* out = pcmOut;
  int32_t group = 4;
  while (p < end) {
    if (channels == 1) {
      StoreSample(out, DecodeSample(state.channel[0], static_cast<uint8_t>(p[0] & 15)));
      StoreSample(out + 2, DecodeSample(state.channel[0], static_cast<uint8_t>(p[0] >> 4)));
      out += 4;
    } else {
      StoreSample(out, DecodeSample(state.channel[0], static_cast<uint8_t>(p[0] & 15)));
      StoreSample(out + 2, DecodeSample(state.channel[1], static_cast<uint8_t>(p[4] & 15)));
      StoreSample(out + 4, DecodeSample(state.channel[0], static_cast<uint8_t>(p[0] >> 4)));
      StoreSample(out + 6, DecodeSample(state.channel[1], static_cast<uint8_t>(p[4] >> 4)));
      out += 8;
      if (--group == 0) {
        group = 4;
        p += 4;
      }
    }
    ++p;
  }
  pcmBytesWritten = static_cast<int32_t>(out - pcmOut);
  return static_cast<int32_t>(p - block);
}

}  // namespace adpcm_reference
