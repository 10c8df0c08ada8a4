// The block encoder (one channel; one block, or several side by side) and the block decoder
// (one or two channels).
#include "codec/AdpcmBlock.h"

#include <cstddef>
#include <cstring>

#include "codec/AdpcmKernel.h"

namespace {

constexpr int32_t kGroupPcmBytes = 16;    // one channel: 8 samples, coded into 4 bytes
constexpr int32_t kGroupCodeBytes = 4;    // one channel's codes of a group
constexpr int32_t kStereoGroupBytes = 8;  // two channels: 4 bytes of channel 0, then 4 of channel 1
constexpr int32_t kPcmSampleBytes = 2;

int32_t LoadPcm(const uint8_t* bytes) {
  return static_cast<int16_t>(static_cast<uint16_t>(bytes[0] | (bytes[1] << 8)));
}

void StorePcm(uint8_t* bytes, int32_t sample) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  // One 16-bit store per sample; assembled from bytes, two samples would be merged with shifts.
  const int16_t value = static_cast<int16_t>(sample);
  std::memcpy(bytes, &value, sizeof value);
#else
  bytes[0] = static_cast<uint8_t>(sample);
  bytes[1] = static_cast<uint8_t>(sample >> 8);
#endif
}

void ReadHeader(AdpcmChannelState& channel, const uint8_t* header) {
  channel.decodePredictor = LoadPcm(header);
  const int32_t index = header[2];  // byte 3 is reserved and ignored
  channel.stepIndex = static_cast<int16_t>(index > kAdpcmMaxStepIndex ? kAdpcmMaxStepIndex : index);
}

int32_t GroupsPerBlock(const AdpcmCodecState& state) {
  return state.pcmBytesPerBlock >= kGroupPcmBytes ? state.pcmBytesPerBlock / kGroupPcmBytes : 0;
}

// Writes a block's header (the first sample, step index 0, the reserved byte) and returns
// the cursor the block's codes start from.
AdpcmEncoderCursor StartBlock(uint8_t* out, const uint8_t* pcm) {
  const int32_t first = LoadPcm(pcm);
  StorePcm(out, first);
  out[2] = 0;  // step index
  out[3] = 0;  // reserved
  return AdpcmEncoderCursor{first, &AdpcmEncoderRows.row[0]};
}

void SaveCursor(AdpcmCodecState& state, const AdpcmEncoderCursor& cursor) {
  state.channel[0].encodePredictor = cursor.predictor;
  state.channel[0].stepIndex = static_cast<int16_t>(cursor.row - AdpcmEncoderRows.row);
}

#if defined(__GNUC__)
// The lanes' cursors must live in registers: every step is inlined into the lane loop.
#define ADPCM_FLATTEN __attribute__((flatten))
#define ADPCM_UNROLL_LANES _Pragma("GCC unroll 8")
// A whole group per pass: with two lanes the loop's own count and branch showed in the time.
#define ADPCM_UNROLL_GROUP _Pragma("GCC unroll 4")
#else
#define ADPCM_FLATTEN
#define ADPCM_UNROLL_LANES
#define ADPCM_UNROLL_GROUP
#endif

// Blocks coded side by side: each lane's chain from one sample to the next is serial, but
// the lanes' chains are independent, so the processor overlaps them. Four lanes while four
// blocks remain, then two (a 20 ms frame is two blocks), then the single-block path.
constexpr int32_t kEncodeLanes = 4;
constexpr int32_t kEncodePairLanes = 2;

// Codes kLanes consecutive blocks in lockstep; returns the last lane's final cursor.
template <int32_t kLanes>
ADPCM_FLATTEN AdpcmEncoderCursor EncodeLanes(uint8_t* out, const uint8_t* pcm, ptrdiff_t pcmStride,
                                             ptrdiff_t blockBytes, int32_t groups) {
  AdpcmEncoderCursor cursor[kLanes];
  ADPCM_UNROLL_LANES
  for (int32_t lane = 0; lane < kLanes; ++lane) {
    cursor[lane] = StartBlock(out + lane * blockBytes, pcm + lane * pcmStride);
  }
  uint8_t* code = out + kAdpcmHeaderBytes;
  for (int32_t g = 0; g < groups; ++g, pcm += kGroupPcmBytes, code += kGroupCodeBytes) {
    ADPCM_UNROLL_GROUP
    for (int32_t j = 0; j < kGroupCodeBytes; ++j) {
      const uint8_t* pair = pcm + 2 * kPcmSampleBytes * j;
      uint32_t early[kLanes];
      ADPCM_UNROLL_LANES
      for (int32_t lane = 0; lane < kLanes; ++lane) {
        early[lane] = AdpcmEncodeStep(cursor[lane], LoadPcm(pair + lane * pcmStride));
      }
      ADPCM_UNROLL_LANES
      for (int32_t lane = 0; lane < kLanes; ++lane) {
        const uint32_t late = AdpcmEncodeStep<1>(cursor[lane], LoadPcm(pair + lane * pcmStride + kPcmSampleBytes));
        code[lane * blockBytes + j] = static_cast<uint8_t>(early[lane] | late);
      }
    }
  }
  return cursor[kLanes - 1];
}

}  // namespace

int32_t EncodeAdpcmBlock(AdpcmCodecState& state, uint8_t* out, const uint8_t* pcm) {
  const int32_t groups = GroupsPerBlock(state);
  AdpcmEncoderCursor cursor = StartBlock(out, pcm);
  uint8_t* code = out + kAdpcmHeaderBytes;
  for (int32_t g = 0; g < groups; ++g, pcm += kGroupPcmBytes, code += kGroupCodeBytes) {
    for (int32_t j = 0; j < kGroupCodeBytes; ++j) {
      const uint8_t* pair = pcm + 2 * kPcmSampleBytes * j;
      const uint32_t early = AdpcmEncodeStep(cursor, LoadPcm(pair));
      const uint32_t late = AdpcmEncodeStep<1>(cursor, LoadPcm(pair + kPcmSampleBytes));
      code[j] = static_cast<uint8_t>(early | late);
    }
  }
  SaveCursor(state, cursor);
  return kAdpcmHeaderBytes + groups * kGroupCodeBytes;
}

int32_t EncodeAdpcmBlocks(AdpcmCodecState& state, uint8_t* out, const uint8_t* pcm, int32_t count) {
  if (count <= 0 || state.pcmBytesPerBlock < 0) return 0;
  const int32_t groups = GroupsPerBlock(state);
  const ptrdiff_t pcmStride = state.pcmBytesPerBlock;
  const ptrdiff_t blockBytes = kAdpcmHeaderBytes + groups * kGroupCodeBytes;
  int32_t done = 0;
  for (; count - done >= kEncodeLanes; done += kEncodeLanes) {
    SaveCursor(state, EncodeLanes<kEncodeLanes>(out + done * blockBytes, pcm + done * pcmStride, pcmStride,
                                                 blockBytes, groups));
  }
  if (count - done >= kEncodePairLanes) {
    SaveCursor(state, EncodeLanes<kEncodePairLanes>(out + done * blockBytes, pcm + done * pcmStride, pcmStride,
                                                     blockBytes, groups));
    done += kEncodePairLanes;
  }
  for (; done < count; ++done) EncodeAdpcmBlock(state, out + done * blockBytes, pcm + done * pcmStride);
  return static_cast<int32_t>(count * blockBytes);
}

int32_t DecodeAdpcmBlock(AdpcmCodecState& state, uint8_t* pcmOut, int32_t& pcmBytesWritten,
                         const uint8_t* block, int32_t blockBytes) {
  if (blockBytes == 0) return 0;
  if (state.maxInputBytes != 0 && blockBytes > state.maxInputBytes) blockBytes = state.maxInputBytes;
  const int32_t channels = state.channels;
  // Too short for its headers (or a channel count the layout does not have): nothing to decode.
  if ((channels != 1 && channels != 2) || blockBytes < kAdpcmHeaderBytes * channels) {
    pcmBytesWritten = 0;
    return 0;
  }

  ReadHeader(state.channel[0], block);
  int32_t p0 = state.channel[0].decodePredictor;
  uint32_t i0 = static_cast<uint32_t>(state.channel[0].stepIndex);
  uint8_t* out = pcmOut;
  const uint8_t* in;

  if (channels == 1) {
    in = block + kAdpcmHeaderBytes;
    for (const uint8_t* end = block + blockBytes; in < end; ++in, out += 2 * kPcmSampleBytes) {
      int32_t early;
      int32_t late;
      AdpcmDecodeByte(p0, i0, *in, early, late);
      StorePcm(out, early);
      StorePcm(out + kPcmSampleBytes, late);
    }
  } else {
    ReadHeader(state.channel[1], block + kAdpcmHeaderBytes);
    int32_t p1 = state.channel[1].decodePredictor;
    uint32_t i1 = static_cast<uint32_t>(state.channel[1].stepIndex);
    in = block + 2 * kAdpcmHeaderBytes;
    // Only whole groups: channel 1's bytes of a group cut short would lie past the input.
    const int32_t groups = (blockBytes - 2 * kAdpcmHeaderBytes) / kStereoGroupBytes;
    for (int32_t g = 0; g < groups; ++g, in += kStereoGroupBytes) {
      for (int32_t j = 0; j < kGroupCodeBytes; ++j, out += 4 * kPcmSampleBytes) {
        const uint32_t left = in[j];
        const uint32_t right = in[j + kGroupCodeBytes];
        int32_t leftEarly;
        int32_t leftLate;
        int32_t rightEarly;
        int32_t rightLate;
        AdpcmDecodeByte(p0, i0, left, leftEarly, leftLate);
        AdpcmDecodeByte(p1, i1, right, rightEarly, rightLate);
        StorePcm(out, leftEarly);
        StorePcm(out + kPcmSampleBytes, rightEarly);
        StorePcm(out + 2 * kPcmSampleBytes, leftLate);
        StorePcm(out + 3 * kPcmSampleBytes, rightLate);
      }
    }
    state.channel[1].decodePredictor = p1;
    state.channel[1].stepIndex = static_cast<int16_t>(i1);
  }
  state.channel[0].decodePredictor = p0;
  state.channel[0].stepIndex = static_cast<int16_t>(i0);
  pcmBytesWritten = static_cast<int32_t>(out - pcmOut);
  return static_cast<int32_t>(in - block);
}
