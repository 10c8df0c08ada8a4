// The searching block encoder: a beam of the closest code sequences, followed through the
// decoder's own steps, so that what it scores is what a decoder plays.
#include "codec/AdpcmSearch.h"

#include <cstring>

#include "codec/AdpcmKernel.h"

namespace {

constexpr int32_t kGroupPcmBytes = 16;  // one group: 8 samples, coded into 4 bytes
constexpr int32_t kGroupSamples = 8;
constexpr int32_t kGroupCodeBytes = 4;
constexpr int32_t kPcmSampleBytes = 2;
// Code sequences kept from one sample to the next: the closest ones, no two in the same
// decoder state. On speech, 8 gain 1.2 to 1.3 dB over the carried encoder; 12 gain 0.1 dB
// more at 1.5 times the time, which would bring 48 kHz in the 32-bit build near 50 times
// real time.
constexpr int32_t kSearchPaths = 8;

int32_t LoadPcm(const uint8_t* bytes) {
  return static_cast<int16_t>(static_cast<uint16_t>(bytes[0] | (bytes[1] << 8)));
}

// A block's squared error as a decoder decodes it, and the decoder's state at its end.
struct BlockScore {
  int64_t error;
  int32_t predictor;  // the last decoded sample
  int32_t stepIndex;
};

// A decoder state reached by a code sequence, and the sequence's squared error so far beyond
// the closest sequence's, held in 32 bits (which 32-bit builds add and compare in one
// instruction) and saturating at the top: a block's chosen codes are scored again in full
// before they are kept.
struct SearchPath {
  uint32_t error;
  int32_t predictor;  // the last decoded sample
  int32_t stepIndex;
};

// Per sample and kept path: its last code and the path (of the sample before) it extends.
struct SearchStep {
  uint8_t code;
  uint8_t from;
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

// The paths of the next sample: at most kSearchPaths, the closest offered, one per state.
class NextPaths {
 public:
  NextPaths() {
    for (uint32_t& key : m_keys) key = kNoState;
  }

  int32_t Count() const { return m_nCount; }
  const SearchPath* Paths() const { return m_paths; }

  // Whether a path with this error could still be kept; checked before the state is formed.
  bool Admits(uint32_t error) const { return m_nCount < kSearchPaths || error < m_paths[m_nWorst].error; }

  // Keeps the path unless a kept one in the same state is as close; returns its slot, or
  // -1 when it is not kept.
  int32_t Offer(const SearchPath& path) {
    // Every slot compared, empty ones included, so that the loop has no early exit.
    const uint32_t key = KeyOf(path);
    int32_t same = -1;
    for (int32_t k = 0; k < kSearchPaths; ++k) same = m_keys[k] == key ? k : same;
    int32_t slot;
    if (same >= 0) {
      if (m_paths[same].error <= path.error) return -1;
      slot = same;
    } else {
      slot = m_nCount < kSearchPaths ? m_nCount++ : m_nWorst;
    }
    m_paths[slot] = path;
    m_keys[slot] = key;
    if (m_nCount == kSearchPaths) {
      int32_t worst = 0;
      for (int32_t k = 1; k < kSearchPaths; ++k) worst = m_paths[k].error > m_paths[worst].error ? k : worst;
      m_nWorst = worst;
    }
    return slot;
  }

 private:
  // A decoder state as one word: the predictor's 16 bits above the step index's 7.
  static constexpr uint32_t kNoState = UINT32_MAX;
  static uint32_t KeyOf(const SearchPath& path) {
    return static_cast<uint32_t>(path.predictor - kAdpcmSampleMin) << 7 | static_cast<uint32_t>(path.stepIndex);
  }

  SearchPath m_paths[kSearchPaths];
  uint32_t m_keys[kSearchPaths];
  int32_t m_nCount = 0;
  int32_t m_nWorst = 0;  // the farthest kept path, once all slots are taken
};

// The two codes tried after a path: the one whose decoded sample lies nearest the input
// sample, then the one nearest on the other side of it (a third one measured no closer).
struct Candidates {
  uint32_t nearest;
  uint32_t other;
};

// Written in place: a returned copy went through the stack in pieces and was read back
// whole, which stalled every sample.
void ListCandidates(const SearchPath& path, int32_t sample, Candidates& candidates) {
  const int32_t difference = sample - path.predictor;
  const uint32_t sign = difference < 0 ? kAdpcmSignBit : 0;
  const int32_t d = difference < 0 ? -difference : difference;
  // The encoder's own decision, read from its thresholds: the magnitude whose decoded
  // amount, the middle of its interval, lies nearest the difference.
  const AdpcmEncoderRow& row = AdpcmEncoderRows.row[path.stepIndex];
  uint32_t nearest = 0;
  for (int32_t k = 0; k < kAdpcmMagnitudes - 1; ++k) nearest += d >= row.threshold[k] ? 1 : 0;
  const AdpcmDecoderLink link = AdpcmDecoderLinkOf(path.stepIndex);
  candidates.nearest = sign | nearest;
  if (d >= AdpcmDecoderAmount(link, nearest)) {
    // Above the nearest amount: the next magnitude, or, at the top, the one below.
    candidates.other = sign | (nearest < kAdpcmMagnitudeMask ? nearest + 1 : nearest - 1);
  } else {
    // Below it: the magnitude below, or, from the smallest, the smallest on the other side.
    candidates.other = nearest > 0 ? sign | (nearest - 1) : sign ^ kAdpcmSignBit;
  }
}

// Offers the path `from` extended by `code` for `sample`; records the step when it is kept.
inline void Extend(NextPaths& next, SearchStep* steps, const SearchPath& path, int32_t from, int32_t sample,
                   uint32_t code) {
  const AdpcmDecoderLink link = AdpcmDecoderLinkOf(path.stepIndex);
  const int32_t predictor = AdpcmAddAmount(path.predictor, AdpcmDecoderAmount(link, code));
  const uint32_t error = AddSaturating(path.error, SquaredError(sample, predictor));
  if (!next.Admits(error)) return;
  const int32_t stepIndex = AdpcmDecoderStepIndex(AdpcmDecoderNext(link, code));
  const int32_t slot = next.Offer(SearchPath{error, predictor, stepIndex});
  if (slot >= 0) steps[slot] = SearchStep{static_cast<uint8_t>(code), static_cast<uint8_t>(from)};
}

// Searches the codes of one block of `samples` samples (at most kAdpcmSearchMaxSamples)
// from the header's state and writes them two to a byte to `codes`.
void SearchBlock(uint8_t* codes, const uint8_t* pcm, int32_t samples, int32_t startIndex) {
  SearchStep steps[kAdpcmSearchMaxSamples][kSearchPaths];
  SearchPath paths[kSearchPaths];
  paths[0] = SearchPath{0, LoadPcm(pcm), startIndex};
  int32_t count = 1;
  for (int32_t t = 0; t < samples; ++t) {
    const int32_t sample = LoadPcm(pcm + t * kPcmSampleBytes);
    // Each path's nearest code first: they fill the beam with close paths, so that many of
    // the other codes are turned away by their error alone.
    NextPaths next;
    Candidates around[kSearchPaths];
    for (int32_t j = 0; j < count; ++j) {
      ListCandidates(paths[j], sample, around[j]);
      Extend(next, steps[t], paths[j], j, sample, around[j].nearest);
    }
    for (int32_t j = 0; j < count; ++j) Extend(next, steps[t], paths[j], j, sample, around[j].other);
    // Kept relative to the closest path, so that only paths far behind it saturate.
    count = next.Count();
    uint32_t closest = UINT32_MAX;
    for (int32_t k = 0; k < count; ++k) closest = next.Paths()[k].error < closest ? next.Paths()[k].error : closest;
    for (int32_t k = 0; k < count; ++k) {
      paths[k] = next.Paths()[k];
      paths[k].error -= closest;
    }
  }

  int32_t best = 0;
  for (int32_t k = 1; k < count; ++k) {
    if (paths[k].error < paths[best].error) best = k;
  }
  // Back from the chosen path's end: the later code of each byte comes first.
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
}

}  // namespace

int32_t SearchAdpcmBlocks(AdpcmCodecState& state, uint8_t* out, const uint8_t* pcm, int32_t count) {
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
      const int32_t startIndex = block[2];  // the header's step index
      SearchBlock(found + kAdpcmHeaderBytes, piece, samples, startIndex);
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
