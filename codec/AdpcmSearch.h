// The searching block encoder: plain IMA ADPCM blocks whose codes are chosen by looking
// ahead rather than sample by sample, for a closer decoded signal at the same bit rate.
#pragma once

#include <cstdint>

#include "codec/AdpcmBlock.h"

// The longest block the search takes whole: 512 samples (1024 PCM bytes). Longer blocks are
// coded as EncodeAdpcmBlocksCarried codes them.
inline constexpr int32_t kAdpcmSearchMaxSamples = 512;

// Codes `count` blocks laid out and carried as EncodeAdpcmBlocksCarried does them, each
// block from the same header (its first sample, the carried step index). The codes are
// chosen by a search that follows the decoder: from sample to sample it keeps the few code
// sequences whose decoded samples lie closest to the input so far (least squared error),
// and the block gets the closest one at its end. A block never decodes with more squared
// error than the carried encoder's codes from the same start; where it would, those codes
// are kept. Leaves channel 0 at the chosen codes' end: the step index the next block starts
// at, and the decoded last sample as the predictor. A count of 0 or less, or a negative
// pcmBytesPerBlock, codes nothing and returns 0.
int32_t SearchAdpcmBlocks(AdpcmCodecState& state, uint8_t* out, const uint8_t* pcm, int32_t count);
