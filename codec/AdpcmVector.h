// The vector paths (x86, GCC or clang): blocks coded side by side in SSE2 or AVX2 lanes, and
// decoded side by side in AVX2 lanes, each chosen at run time from what the processor
// reports. The functions are built for their instruction set alone; the rest of the
// library stays baseline.
#pragma once

#include <cstdint>

#include "codec/AdpcmBlock.h"

#if defined(__GNUC__) && (defined(__i386__) || defined(__x86_64__))
#define ADPCM_VECTOR_PATHS 1
#else
#define ADPCM_VECTOR_PATHS 0
#endif

#if ADPCM_VECTOR_PATHS
// Blocks per batch: each lane's chain waits on its step lookup, so several vectors of
// lanes run interleaved.
inline constexpr int32_t kAdpcmSse2Lanes = 8;
inline constexpr int32_t kAdpcmAvx2Lanes = 16;
// Blocks per AVX2 decoder batch: one vector. Each code's amount is gathered, and the
// gathers, not the lanes' chains, set the pace (two or four vectors measured slower).
inline constexpr int32_t kAdpcmAvx2DecodeLanes = 8;

bool AdpcmCpuHasSse2();
bool AdpcmCpuHasAvx2();

// Code whole batches of the set's lanes from the start of `count` blocks, as
// EncodeAdpcmBlocks does, and return the blocks coded (a multiple of the lanes, at most
// `count`); channel 0 is left as the last coded block leaves it. The caller codes the rest.
int32_t AdpcmEncodeSse2Batches(AdpcmCodecState& state, uint8_t* out, const uint8_t* pcm, int32_t count);
int32_t AdpcmEncodeAvx2Batches(AdpcmCodecState& state, uint8_t* out, const uint8_t* pcm, int32_t count);

// Decode whole batches of kAdpcmAvx2DecodeLanes blocks from the start of `count`, as
// DecodeAdpcmBlocks does, and return the blocks decoded (a multiple of the lanes, at most
// `count`); channel 0 is left as the last decoded block leaves it. The caller decodes the rest.
int32_t AdpcmDecodeAvx2Batches(AdpcmCodecState& state, uint8_t* pcmOut, const uint8_t* blocks, int32_t blockBytes,
                               int32_t count);

// One sample on each of `count` channel records with the set's step (AdpcmPath::encodeSamples).
void AdpcmEncodeSse2Samples(AdpcmChannelState* channels, const int16_t* samples, uint8_t* codes, int32_t count);
void AdpcmEncodeAvx2Samples(AdpcmChannelState* channels, const int16_t* samples, uint8_t* codes, int32_t count);
#endif
