// The ADPCM block format: a 4-byte header per channel (predictor, step index, reserved)
// followed by 4-bit codes, two per byte, earlier sample in the low nibble.
#pragma once

#include <cstdint>

#include "codec/AdpcmSample.h"
#include "codec/AdpcmTables.h"

inline constexpr int32_t kAdpcmHeaderBytes = 4;  // per channel
inline constexpr int32_t kAdpcmMaxChannels = 2;

// Reads one channel's 4-byte header into `channel`: the predictor (signed 16-bit, low byte
// first) and the step index (above 88 read as 88); the reserved byte is ignored.
inline void ReadAdpcmHeader(AdpcmChannelState& channel, const uint8_t* header) {
  channel.decodePredictor = static_cast<int16_t>(static_cast<uint16_t>(header[0] | (header[1] << 8)));
  const int32_t index = header[2];
  channel.stepIndex = static_cast<int16_t>(index > kAdpcmMaxStepIndex ? kAdpcmMaxStepIndex : index);
}

struct AdpcmCodecState {
  int32_t channels;          // 1 or 2 for decoding, 1 for encoding
  int32_t pcmBytesPerBlock;  // PCM bytes one encoded block covers (encoding only)
  int32_t maxInputBytes;     // when not 0, the most input bytes decoding reads
  AdpcmChannelState channel[kAdpcmMaxChannels];
};

// Codes pcmBytesPerBlock / 16 groups of 8 little-endian 16-bit samples from `pcm` into one
// one-channel block at `out`; returns the bytes written, 4 * (1 + pcmBytesPerBlock / 16).
int32_t EncodeAdpcmBlock(AdpcmCodecState& state, uint8_t* out, const uint8_t* pcm);

// Codes `count` blocks: block i from pcm + i * pcmBytesPerBlock, exactly as EncodeAdpcmBlock
// codes it, written back to back from `out`; returns the bytes written, count times
// EncodeAdpcmBlock's size. Blocks restart from their own headers and do not depend on one
// another, so several are coded side by side to overlap their serial sample chains, on the
// widest path that `count` fills. Leaves channel 0 as EncodeAdpcmBlock leaves it after the
// last block; a count of 0 or less, or a negative pcmBytesPerBlock (pieces before `pcm`),
// codes nothing, returns 0 and leaves the state alone.
int32_t EncodeAdpcmBlocks(AdpcmCodecState& state, uint8_t* out, const uint8_t* pcm, int32_t count);

// Codes `count` blocks back to back as EncodeAdpcmBlocks lays them out, but with the step
// index carried: the first block starts at channel 0's stepIndex (taken within 0..88),
// each later one at the index its predecessor ended with, and each header holds the index
// its block starts at. Leaves channel 0 as the last block leaves it, so that the next call
// carries on from there; a count of 0 or less, or a negative pcmBytesPerBlock, codes
// nothing and returns 0.
int32_t EncodeAdpcmBlocksCarried(AdpcmCodecState& state, uint8_t* out, const uint8_t* pcm, int32_t count);

// Decodes `count` one-channel blocks of `blockBytes` bytes each, back to back from `blocks`,
// exactly as DecodeAdpcmBlock decodes each one with one channel and no cap; block i's PCM
// goes to pcmOut + i * 4 * (blockBytes - 4). Returns the PCM bytes written, count times
// that. Several blocks are decoded side by side, on the widest path that `count` fills.
// Leaves channel 0 as DecodeAdpcmBlock leaves it after the last block; a count of 0 or
// less, or blocks shorter than their header, decode nothing, return 0 and leave the state
// alone. Reads `channels` and `maxInputBytes` not at all.
int32_t DecodeAdpcmBlocks(AdpcmCodecState& state, uint8_t* pcmOut, const uint8_t* blocks, int32_t blockBytes,
                          int32_t count);

// Decodes the block of `blockBytes` bytes (capped at maxInputBytes when that is not 0)
// into little-endian 16-bit PCM at `pcmOut`, which has room for
// 4 * (L - 4 * channels) bytes. Sets pcmBytesWritten (left alone when blockBytes is 0)
// and returns the input bytes consumed. Never reads past block + L and never writes more
// than that room, whatever the block holds.
int32_t DecodeAdpcmBlock(AdpcmCodecState& state, uint8_t* pcmOut, int32_t& pcmBytesWritten,
                         const uint8_t* block, int32_t blockBytes);
