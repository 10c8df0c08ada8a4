// The block coder's paths: the same multi-block encode and decode written for different
// widths, from one block at a time to vector lanes. Every path codes bit-exactly what the
// block operations code one block at a time; they differ only in speed. The multi-block
// operations of AdpcmBlock.h pick among them; tests and benchmarks run each one.
#pragma once

#include <cstdint>

#include "codec/AdpcmBlock.h"

using AdpcmEncodeBlocksFn = int32_t (*)(AdpcmCodecState& state, uint8_t* out, const uint8_t* pcm, int32_t count);
using AdpcmEncodeSamplesFn = void (*)(AdpcmChannelState* channels, const int16_t* samples, uint8_t* codes,
                                      int32_t count);
using AdpcmDecodeBlocksFn = int32_t (*)(AdpcmCodecState& state, uint8_t* pcmOut, const uint8_t* blocks,
                                        int32_t blockBytes, int32_t count);

struct AdpcmPath {
  const char* name;     // "single", "scalar", "sse2", "avx2"
  // The fewest blocks that fill its narrowest side-by-side batch: the multi-block
  // operations take the widest path whose batch their count fills.
  int32_t encodeFrom;
  int32_t decodeFrom;
  AdpcmEncodeBlocksFn encode;  // as EncodeAdpcmBlocks
  // Codes samples[k] on channels[k] for every k below count, as EncodeAdpcmSample does, with
  // the step this path's encoder runs; codes[k] receives the code. Every step index and
  // predictor can be reached this way, which blocks (each starting at index 0) cannot.
  AdpcmEncodeSamplesFn encodeSamples;
  AdpcmDecodeBlocksFn decode;  // as DecodeAdpcmBlocks; null for a path that only encodes
};

// The paths this build has and this processor runs, narrowest first.
int32_t AdpcmPathCount();
const AdpcmPath& AdpcmPathAt(int32_t i);

// For tests: the multi-block operations choose only among the paths up to the one named
// `widest` (an AdpcmPath name), or among all of them again when it is null, so that the
// same tests run on every path. False, with the choice as it was, for a name that is not
// among the paths this build has and this processor runs.
bool AdpcmLimitPaths(const char* widest);
