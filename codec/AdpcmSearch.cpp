// The searching block encoder: a beam of the closest code sequences, followed through the
// decoder's own steps, so that what it scores is what a decoder plays.
#include "codec/AdpcmSearch.h"

#include <algorithm>
#include <cstring>

#include "codec/AdpcmKernel.h"

namespace {

constexpr int32_t kGroupPcmBytes = 16;  // one group: 8 samples, coded into 4 bytes
constexpr int32_t kGroupSamples = 8;
constexpr int32_t kGroupCodeBytes = 4;
constexpr int32_t kPcmSampleBytes = 2;

// Codes tried after each kept sequence, at most: the one whose decoded sample lies nearest
// the input sample, then its neighbour among the sixteen decoded values on the input's
// side, then the neighbour on the other side. A fourth gains nothing on speech.
constexpr int32_t kMaxCandidates = 3;
// A block may start at any step index near the carried one (the header tells every decoder
// where): a block after a pause or an onset need not spend its first samples moving the
// step size. A wider spread gains nothing measurable.
constexpr int32_t kStartStates = 2 * kAdpcmSearchStartSpread + 1;

// A search level: how many code sequences it keeps from one sample to the next, how many
// codes it tries after each, and how close two of them must come to count as one. Two
// sequences in the same step index whose last decoded samples differ by at most the step
// size shifted right by mergeShift lead to nearly the same futures; only the closer one is
// kept, which leaves the other places to sequences that differ, and that diversity is most
// of the gain over keeping exact states.
struct SearchLevel {
  int32_t paths;
  int32_t candidates;
  int mergeShift;
};
constexpr SearchLevel kStandardLevel{16, 2, 2};
constexpr SearchLevel kDeepLevel{64, 3, 4};

int32_t LoadPcm(const uint8_t* bytes) {
  return static_cast<int16_t>(static_cast<uint16_t>(bytes[0] | (bytes[1] << 8)));
}

// A block's squared error as a decoder decodes it, and the decoder's state at its end.
struct BlockScore {
  int64_t error;
  int32_t predictor;  // the last decoded sample
  int32_t stepIndex;
};

// Within 32 bits unsigned for any two 16-bit samples.
uint32_t SquaredError(int32_t sample, int32_t decoded) {
  const uint32_t e = static_cast<uint32_t>(sample >= decoded ? sample - decoded : decoded - sample);
  return e * e;
}

uint32_t AddSaturating(uint32_t a, uint32_t b) {
  const uint32_t sum = a + b;
  return sum < a ? UINT32_MAX : sum;
}

// Decodes the block's codes as a decoder does and scores them against `pcm`.
BlockScore ScoreBlock(const uint8_t* block, const uint8_t* pcm, int32_t samples) {
  AdpcmChannelState header{};
  ReadAdpcmHeader(header, block);
  BlockScore path{0, header.decodePredictor, header.stepIndex};
  AdpcmDecoderLink link = AdpcmDecoderLinkOf(path.stepIndex);
  for (int32_t t = 0; t < samples; ++t) {
    const uint32_t byte = block[kAdpcmHeaderBytes + t / 2];
    const uint32_t code = (t % 2 == 0 ? byte : byte >> kAdpcmNibbleBits) & kAdpcmNibbleMask;
    path.error += SquaredError(LoadPcm(pcm + t * kPcmSampleBytes), AdpcmDecodeStep(path.predictor, link, code));
  }
  path.stepIndex = AdpcmDecoderStepIndex(link);
  return path;
}

// The sixteen codes ordered by the value they decode to, lowest first: the negative
// magnitudes from 7 down to 0, then the positive ones from 0 up to 7.
constexpr int32_t kLowestPositiveRank = kAdpcmMagnitudes;
uint32_t CodeOfRank(int32_t rank) {
  return rank >= kLowestPositiveRank ? static_cast<uint32_t>(rank - kLowestPositiveRank)
                                     : kAdpcmSignBit | static_cast<uint32_t>(kLowestPositiveRank - 1 - rank);
}

// The beam of one sample for a level of kPaths sequences: the kept sequences' decoder
// states and their squared errors so far beyond the closest one's, held in 32 bits (which
// 32-bit builds add and compare in one instruction) and saturating at the top: a block's
// chosen codes are scored again in full before they are kept.
template <int32_t kPaths>
struct Beam {
  int32_t count;
  uint32_t error[kPaths];
  int32_t predictor[kPaths];  // the last decoded sample
  int32_t stepIndex[kPaths];
};

// Per sample and kept sequence: its last code and the sequence (of the sample before, or
// of the start states at the first sample) it extends.
struct SearchStep {
  uint8_t code;
  uint8_t from;
};

// The extensions of one sample, with the closer of every two that merge kept in place.
template <int32_t kPaths>
class Extensions {
 public:
  static constexpr int32_t kMax = (kPaths > kStartStates ? kPaths : kStartStates) * kMaxCandidates;

  explicit Extensions(int mergeShift) : m_mergeShift(mergeShift) {
    std::memset(m_firstOfIndex, kNone, sizeof m_firstOfIndex);
  }

  // An error that no extension needs to undercut to be kept: with the beam's worth of
  // extensions offered, the farthest error any of them was offered at; none is ever
  // dropped or made farther, so the beam's last place is at least that close.
  uint32_t Bound() const { return m_nCount < kPaths ? UINT32_MAX : m_nFarthest; }

  // Offers sequence `from` extended by `code` to `predictor` and `stepIndex` at `error`:
  // kept unless a kept one merges with it and is as close; one it merges with and that is
  // farther takes its place.
  void Offer(uint32_t error, int32_t predictor, int32_t stepIndex, uint32_t code, int32_t from) {
    const int32_t tolerance = AdpcmStepTable[stepIndex] >> m_mergeShift;
    for (int32_t k = m_firstOfIndex[stepIndex]; k != kNone; k = m_nextOfIndex[k]) {
      const int32_t apart = predictor - m_predictor[k];
      if (apart <= tolerance && apart >= -tolerance) {
        if (m_error[k] > error) Set(k, error, predictor, code, from);
        return;
      }
    }
    const int32_t k = m_nCount++;
    m_nFarthest = std::max(m_nFarthest, error);
    Set(k, error, predictor, code, from);
    m_stepIndex[k] = static_cast<uint8_t>(stepIndex);
    m_nextOfIndex[k] = m_firstOfIndex[stepIndex];
    m_firstOfIndex[stepIndex] = static_cast<uint8_t>(k);
  }

  // Keeps the kPaths closest extensions (all when there are no more) in `beam`, their
  // errors taken relative to the closest, and their steps in `steps`.
  void Keep(Beam<kPaths>& beam, SearchStep* steps) {
    uint32_t order[kMax];  // ordering keys: the error, saturated where the slot bits begin, above the slot
    int32_t kept = m_nCount;
    for (int32_t k = 0; k < kept; ++k) order[k] = std::min(m_error[k], kMaxRankedError) << kSlotBits | k;
    if (kept - kPaths > kDropOneByOne) {
      std::nth_element(order, order + kPaths - 1, order + kept);
      kept = kPaths;
    }
    // A few too many: the farthest dropped one by one, cheaper than a selection.
    while (kept > kPaths) {
      int32_t farthest = 0;
      for (int32_t j = 1; j < kept; ++j) farthest = order[j] > order[farthest] ? j : farthest;
      order[farthest] = order[--kept];
    }
    uint32_t closest = UINT32_MAX;
    for (int32_t j = 0; j < kept; ++j) closest = std::min(closest, m_error[order[j] & kSlotMask]);
    beam.count = kept;
    for (int32_t j = 0; j < kept; ++j) {
      const uint32_t k = order[j] & kSlotMask;
      beam.error[j] = m_error[k] - closest;
      beam.predictor[j] = m_predictor[k];
      beam.stepIndex[j] = m_stepIndex[k];
      steps[j] = SearchStep{m_code[k], m_from[k]};
    }
  }

 private:
  static constexpr uint8_t kNone = UINT8_MAX;
  static constexpr int kSlotBits = 8;
  static constexpr uint32_t kSlotMask = (uint32_t{1} << kSlotBits) - 1;
  static constexpr uint32_t kMaxRankedError = UINT32_MAX >> kSlotBits;
  // With more than this many extensions beyond the beam, a selection costs less than
  // dropping the farthest one by one.
  static constexpr int32_t kDropOneByOne = 2;
  static_assert(kMax < kNone, "an extension's slot fits a byte beside the none marker");

  void Set(int32_t k, uint32_t error, int32_t predictor, uint32_t code, int32_t from) {
    m_error[k] = error;
    m_predictor[k] = predictor;
    m_code[k] = static_cast<uint8_t>(code);
    m_from[k] = static_cast<uint8_t>(from);
  }

  int m_mergeShift;
  int32_t m_nCount = 0;
  uint32_t m_nFarthest = 0;  // the farthest error a kept extension was added at
  uint32_t m_error[kMax];
  int32_t m_predictor[kMax];
  uint8_t m_stepIndex[kMax];
  uint8_t m_code[kMax];
  uint8_t m_from[kMax];
  uint8_t m_nextOfIndex[kMax];  // the next kept extension in the same step index
  uint8_t m_firstOfIndex[kAdpcmMaxStepIndex + 1];
};

// The rank (see CodeOfRank) of the code whose decoded sample lies nearest `sample` after
// `predictor` at `stepIndex`: the encoder's own decision, read from its thresholds.
int32_t NearestRank(int32_t predictor, int32_t stepIndex, int32_t sample) {
  const int32_t difference = sample - predictor;
  const int32_t d = difference < 0 ? -difference : difference;
  const AdpcmEncoderRow& row = AdpcmEncoderRows.row[stepIndex];
  int32_t nearest = 0;
  for (int32_t k = 0; k < kAdpcmMagnitudes - 1; ++k) nearest += d >= row.threshold[k] ? 1 : 0;
  return difference < 0 ? kLowestPositiveRank - 1 - nearest : kLowestPositiveRank + nearest;
}

// The sequence's extension by the code of `rank`: its error and decoder state.
struct Extension {
  uint32_t error;
  int32_t predictor;
  int32_t stepIndex;
  uint32_t code;
};

inline Extension ExtensionOf(uint32_t error, int32_t predictor, int32_t stepIndex, int32_t rank, int32_t sample) {
  const AdpcmDecoderLink link = AdpcmDecoderLinkOf(stepIndex);
  const uint32_t code = CodeOfRank(rank);
  const int32_t decoded = AdpcmAddAmount(predictor, AdpcmDecoderAmount(link, code));
  return Extension{AddSaturating(error, SquaredError(sample, decoded)), decoded,
                   AdpcmDecoderStepIndex(AdpcmDecoderNext(link, code)), code};
}

// Offers `candidates` codes around `sample` after each of `count` sequences: each one's
// nearest code first, whose extensions bound the errors worth keeping once they fill the
// beam, so that most of the other codes, and whole sequences, are turned away by their
// error alone.
template <int32_t kPaths, int32_t kCount>
void ExtendAll(Extensions<kPaths>& next, int32_t candidates, int32_t count, const uint32_t* error,
               const int32_t* predictor, const int32_t* stepIndex, int32_t sample) {
  int32_t nearest[kCount];
  int32_t towards[kCount];  // +1 when the input lies above the nearest code's sample, else -1
  for (int32_t j = 0; j < count; ++j) {
    nearest[j] = NearestRank(predictor[j], stepIndex[j], sample);
    const Extension e = ExtensionOf(error[j], predictor[j], stepIndex[j], nearest[j], sample);
    towards[j] = sample > e.predictor ? 1 : -1;
    next.Offer(e.error, e.predictor, e.stepIndex, e.code, j);
  }
  // Then the neighbours on the input's side, then the others, each pass bounded by the
  // extensions offered before it.
  for (int32_t c = 1; c < candidates; ++c) {
    const uint32_t bound = next.Bound();
    for (int32_t j = 0; j < count; ++j) {
      const int32_t r = nearest[j] + (c == 1 ? towards[j] : -towards[j]);
      if (error[j] >= bound || r < 0 || r >= kAdpcmCodes) continue;
      const Extension e = ExtensionOf(error[j], predictor[j], stepIndex[j], r, sample);
      if (e.error < bound) next.Offer(e.error, e.predictor, e.stepIndex, e.code, j);
    }
  }
}

// Searches the codes of one block of `samples` samples (at most kAdpcmSearchMaxSamples)
// from the first sample as predictor and a step index near `carriedIndex`; writes them two
// to a byte to `codes` and returns the step index they start at.
template <int32_t kPaths>
int32_t SearchBlock(uint8_t* codes, const uint8_t* pcm, int32_t samples, int32_t carriedIndex, SearchLevel level) {
  SearchStep steps[kAdpcmSearchMaxSamples][kPaths];
  const int32_t first = LoadPcm(pcm);
  int32_t startIndex[kStartStates];
  int32_t starts = 0;
  for (int32_t index = std::max(carriedIndex - kAdpcmSearchStartSpread, 0);
       index <= std::min(carriedIndex + kAdpcmSearchStartSpread, kAdpcmMaxStepIndex); ++index) {
    startIndex[starts++] = index;
  }
  Beam<kPaths> beam;
  {
    Extensions<kPaths> next(level.mergeShift);
    const uint32_t none[kStartStates] = {};
    int32_t predictor[kStartStates];
    std::fill(predictor, predictor + starts, first);
    ExtendAll<kPaths, kStartStates>(next, level.candidates, starts, none, predictor, startIndex, first);
    next.Keep(beam, steps[0]);
  }
  for (int32_t t = 1; t < samples; ++t) {
    const int32_t sample = LoadPcm(pcm + t * kPcmSampleBytes);
    Extensions<kPaths> next(level.mergeShift);
    ExtendAll<kPaths, kPaths>(next, level.candidates, beam.count, beam.error, beam.predictor, beam.stepIndex, sample);
    next.Keep(beam, steps[t]);
  }

  int32_t best = 0;
  for (int32_t k = 1; k < beam.count; ++k) {
    if (beam.error[k] < beam.error[best]) best = k;
  }
  // Back from the chosen sequence's end: the later code of each byte comes first.
  int32_t slot = best;
  for (int32_t t = samples - 1; t >= 0; --t) {
    const SearchStep& step = steps[t][slot];
    if (t % 2 == 1) {
      codes[t / 2] = static_cast<uint8_t>(step.code << kAdpcmNibbleBits);
    } else {
      codes[t / 2] = static_cast<uint8_t>(codes[t / 2] | step.code);
    }
    slot = step.from;
  }
  return startIndex[slot];
}

template <int32_t kPaths>
int32_t SearchBlocksAt(SearchLevel level, AdpcmCodecState& state, uint8_t* out, const uint8_t* pcm,
                       int32_t count) {
  if (count <= 0 || state.pcmBytesPerBlock < 0) return 0;
  const int32_t groups = state.pcmBytesPerBlock / kGroupPcmBytes;
  const int32_t samples = groups * kGroupSamples;
  const int32_t blockBytes = kAdpcmHeaderBytes + groups * kGroupCodeBytes;
  for (int32_t b = 0; b < count; ++b) {
    uint8_t* block = out + b * blockBytes;
    const uint8_t* piece = pcm + b * state.pcmBytesPerBlock;
    // The carried encoder's block first: the header, and the codes to beat.
    EncodeAdpcmBlocksCarried(state, block, piece, 1);
    BlockScore chosen = ScoreBlock(block, piece, samples);
    if (samples > 0 && samples <= kAdpcmSearchMaxSamples) {
      uint8_t found[kAdpcmHeaderBytes + kAdpcmSearchMaxSamples / 2];
      std::memcpy(found, block, kAdpcmHeaderBytes);
      constexpr int32_t kHeaderStepIndexByte = 2;
      found[kHeaderStepIndexByte] = static_cast<uint8_t>(SearchBlock<kPaths>(
          found + kAdpcmHeaderBytes, piece, samples, block[kHeaderStepIndexByte], level));
      const BlockScore scored = ScoreBlock(found, piece, samples);
      if (scored.error < chosen.error) {
        std::memcpy(block, found, static_cast<size_t>(blockBytes));
        chosen = scored;
      }
    }
    state.channel[0].encodePredictor = chosen.predictor;
    state.channel[0].stepIndex = static_cast<int16_t>(chosen.stepIndex);
  }
  return count * blockBytes;
}

}  // namespace

int32_t SearchAdpcmBlocks(AdpcmCodecState& state, uint8_t* out, const uint8_t* pcm, int32_t count) {
  return SearchBlocksAt<kStandardLevel.paths>(kStandardLevel, state, out, pcm, count);
}

int32_t SearchAdpcmBlocksDeep(AdpcmCodecState& state, uint8_t* out, const uint8_t* pcm, int32_t count) {
  return SearchBlocksAt<kDeepLevel.paths>(kDeepLevel, state, out, pcm, count);
}
