// The searching block encoder: plain IMA ADPCM blocks whose codes are chosen by looking
// ahead rather than sample by sample, for a closer decoded signal at the same bit rate.
#pragma once

#include <cstdint>

#include "codec/AdpcmBlock.h"

// The longest block the search takes whole: 512 samples (1024 PCM bytes). Longer blocks are
// coded as EncodeAdpcmBlocksCarried codes them.
inline constexpr int32_t kAdpcmSearchMaxSamples = 512;

// How many step indices either side of the carried one a searched block may start at.
inline constexpr int32_t kAdpcmSearchStartSpread = 4;

// Codes `count` blocks laid out and carried as EncodeAdpcmBlocksCarried does them, each
// block's header holding its first sample. The codes, and the step index in the header,
// are chosen by a search that follows the decoder: from sample to sample it keeps the code
// sequences whose decoded samples lie closest to the input so far (least squared error),
// no two of them in nearly the same decoder state, from a start at the carried step index
// or at one up to kAdpcmSearchStartSpread either side; the block gets the closest sequence
// at its end. A block never decodes with more squared error than the carried encoder's
// block from the carried index; where it would, that block is kept. Leaves channel 0 at
// the chosen codes' end: the step index the next block is carried from, and the decoded
// last sample as the predictor. A count of 0 or less, or a negative pcmBytesPerBlock,
// codes nothing and returns 0.
int32_t SearchAdpcmBlocks(AdpcmCodecState& state, uint8_t* out, const uint8_t* pcm, int32_t count);

// As SearchAdpcmBlocks, with four times the sequences kept, three codes tried after each
// and a finer notion of nearly the same state: 0.4 to 0.7 dB closer on speech, at about
// fifteen times the time.
int32_t SearchAdpcmBlocksDeep(AdpcmCodecState& state, uint8_t* out, const uint8_t* pcm, int32_t count);
