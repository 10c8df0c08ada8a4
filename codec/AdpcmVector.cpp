// The vector paths: one encoder batch kernel (AdpcmVectorKernel.inc) built twice, for SSE2
// lanes and for AVX2 lanes, each in its own target region, and the AVX2 decoder batch.
// Loops of a fixed count over lanes, registers and transpose rows carry unroll pragmas:
// the DLL is built at -O2, which would keep them as loops over stack arrays.
#include "codec/AdpcmVector.h"

#if ADPCM_VECTOR_PATHS

#include <immintrin.h>

#include <cstddef>
#include <cstring>

#include "codec/AdpcmKernel.h"
#include "codec/AdpcmTables.h"

// A region of functions built for one instruction set: GCC takes it as an option pushed
// for the region, clang as an attribute pushed onto each function in it.
#define ADPCM_PRAGMA(text) _Pragma(#text)
#if defined(__clang__)
#define ADPCM_TARGET_BEGIN(set) ADPCM_PRAGMA(clang attribute push(__attribute__((target(set))), apply_to = function))
#define ADPCM_TARGET_END ADPCM_PRAGMA(clang attribute pop)
#else
#define ADPCM_TARGET_BEGIN(set) ADPCM_PRAGMA(GCC push_options) ADPCM_PRAGMA(GCC target(set))
#define ADPCM_TARGET_END ADPCM_PRAGMA(GCC pop_options)
#endif

namespace {

constexpr int32_t kGroupSamples = 8;    // one channel: 8 samples per group ...
constexpr int32_t kGroupPcmBytes = 16;  // ... read from 16 PCM bytes
constexpr int32_t kGroupCodeBytes = 4;  // ... coded into 4 bytes

int32_t GroupsPerBlock(const AdpcmCodecState& state) {
  return state.pcmBytesPerBlock >= kGroupPcmBytes ? state.pcmBytesPerBlock / kGroupPcmBytes : 0;
}

// Runs whole batches of kLanes blocks through `batch`; returns the blocks coded.
template <int32_t kLanes, typename Batch>
int32_t EncodeBatches(AdpcmCodecState& state, uint8_t* out, const uint8_t* pcm, int32_t count, Batch batch) {
  if (count <= 0 || state.pcmBytesPerBlock < 0) return 0;
  const int32_t groups = GroupsPerBlock(state);
  const ptrdiff_t pcmStride = state.pcmBytesPerBlock;
  const ptrdiff_t blockBytes = kAdpcmHeaderBytes + groups * kGroupCodeBytes;
  int32_t done = 0;
  for (; count - done >= kLanes; done += kLanes) {
    int32_t predictor = 0;
    int32_t index = 0;
    batch(out + done * blockBytes, pcm + done * pcmStride, pcmStride, blockBytes, groups, predictor, index);
    state.channel[0].encodePredictor = predictor;
    state.channel[0].stepIndex = static_cast<int16_t>(index);
  }
  return done;
}

}  // namespace

ADPCM_TARGET_BEGIN("sse2")
namespace adpcm_sse2 {
namespace {
constexpr int32_t kWidth = 4;
constexpr int32_t kRegisters = kAdpcmSse2Lanes / kWidth;
typedef int32_t Vec __attribute__((vector_size(16)));

// SSE2 has no gather: the lanes' steps are read one by one and paired up in a tree.
inline Vec Steps(Vec index) {
  const __m128i i = reinterpret_cast<__m128i>(index);
  const __m128i s0 = _mm_cvtsi32_si128(AdpcmStepTable[_mm_cvtsi128_si32(i)]);
  const __m128i s1 = _mm_cvtsi32_si128(AdpcmStepTable[_mm_cvtsi128_si32(_mm_shuffle_epi32(i, 1))]);
  const __m128i s2 = _mm_cvtsi32_si128(AdpcmStepTable[_mm_cvtsi128_si32(_mm_shuffle_epi32(i, 2))]);
  const __m128i s3 = _mm_cvtsi32_si128(AdpcmStepTable[_mm_cvtsi128_si32(_mm_shuffle_epi32(i, 3))]);
  return reinterpret_cast<Vec>(_mm_unpacklo_epi64(_mm_unpacklo_epi32(s0, s1), _mm_unpacklo_epi32(s2, s3)));
}

// Magnitudes 0..3 lower the index by 1; 4 + 2b + c raise it by 2 + 4b + 2c.
inline Vec IndexAdjustment(Vec, Vec below4, Vec below2, Vec below1) {
  const Vec raise = (~below2 & Vec{4, 4, 4, 4}) + (~below1 & Vec{2, 2, 2, 2}) + Vec{3, 3, 3, 3};
  return (~below4 & raise) - Vec{1, 1, 1, 1};
}

// Four 16-byte loads and a 4 x 4 transpose of their 32-bit words.
inline void LoadWords(const uint8_t* pcm, ptrdiff_t pcmStride, Vec word[kGroupCodeBytes]) {
  __m128i a[kWidth];
#pragma GCC unroll 4
  for (int32_t l = 0; l < kWidth; ++l) a[l] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pcm + l * pcmStride));
  const __m128i low01 = _mm_unpacklo_epi32(a[0], a[1]);   // words 0, 1 of lanes 0, 1
  const __m128i low23 = _mm_unpacklo_epi32(a[2], a[3]);   // words 0, 1 of lanes 2, 3
  const __m128i high01 = _mm_unpackhi_epi32(a[0], a[1]);  // words 2, 3 of lanes 0, 1
  const __m128i high23 = _mm_unpackhi_epi32(a[2], a[3]);  // words 2, 3 of lanes 2, 3
  word[0] = reinterpret_cast<Vec>(_mm_unpacklo_epi64(low01, low23));
  word[1] = reinterpret_cast<Vec>(_mm_unpackhi_epi64(low01, low23));
  word[2] = reinterpret_cast<Vec>(_mm_unpacklo_epi64(high01, high23));
  word[3] = reinterpret_cast<Vec>(_mm_unpackhi_epi64(high01, high23));
}

#include "codec/AdpcmVectorKernel.inc"

static_assert(kLanes == kAdpcmSse2Lanes, "the batch is the published lane count");
}  // namespace
}  // namespace adpcm_sse2

int32_t AdpcmEncodeSse2Batches(AdpcmCodecState& state, uint8_t* out, const uint8_t* pcm, int32_t count) {
  return EncodeBatches<kAdpcmSse2Lanes>(state, out, pcm, count, adpcm_sse2::EncodeVectorBatch);
}

void AdpcmEncodeSse2Samples(AdpcmChannelState* channels, const int16_t* samples, uint8_t* codes, int32_t count) {
  adpcm_sse2::EncodeVectorSamples(channels, samples, codes, count);
}
ADPCM_TARGET_END

ADPCM_TARGET_BEGIN("avx2")
namespace adpcm_avx2 {
namespace {
constexpr int32_t kWidth = 8;
constexpr int32_t kRegisters = kAdpcmAvx2Lanes / kWidth;
typedef int32_t Vec __attribute__((vector_size(32)));

inline Vec Steps(Vec index) {
  return reinterpret_cast<Vec>(_mm256_i32gather_epi32(AdpcmStepTable, reinterpret_cast<__m256i>(index), 4));
}

// The index table's first eight entries, picked per lane by the magnitude.
inline Vec IndexAdjustment(Vec magnitude, Vec, Vec, Vec) {
  const __m256i table = _mm256_setr_epi32(AdpcmIndexTable[0], AdpcmIndexTable[1], AdpcmIndexTable[2],
                                          AdpcmIndexTable[3], AdpcmIndexTable[4], AdpcmIndexTable[5],
                                          AdpcmIndexTable[6], AdpcmIndexTable[7]);
  return reinterpret_cast<Vec>(_mm256_permutevar8x32_epi32(table, reinterpret_cast<__m256i>(magnitude)));
}

// Eight 16-byte loads, lane l + 4 in the upper half beside lane l, and a 4 x 4 transpose
// of 32-bit words within each half.
inline void LoadWords(const uint8_t* pcm, ptrdiff_t pcmStride, Vec word[kGroupCodeBytes]) {
  constexpr int32_t kHalf = kWidth / 2;
  __m256i a[kHalf];
#pragma GCC unroll 4
  for (int32_t l = 0; l < kHalf; ++l) {
    const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pcm + l * pcmStride));
    const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pcm + (l + kHalf) * pcmStride));
    a[l] = _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1);
  }
  const __m256i low01 = _mm256_unpacklo_epi32(a[0], a[1]);
  const __m256i low23 = _mm256_unpacklo_epi32(a[2], a[3]);
  const __m256i high01 = _mm256_unpackhi_epi32(a[0], a[1]);
  const __m256i high23 = _mm256_unpackhi_epi32(a[2], a[3]);
  word[0] = reinterpret_cast<Vec>(_mm256_unpacklo_epi64(low01, low23));
  word[1] = reinterpret_cast<Vec>(_mm256_unpackhi_epi64(low01, low23));
  word[2] = reinterpret_cast<Vec>(_mm256_unpacklo_epi64(high01, high23));
  word[3] = reinterpret_cast<Vec>(_mm256_unpackhi_epi64(high01, high23));
}

#include "codec/AdpcmVectorKernel.inc"

static_assert(kLanes == kAdpcmAvx2Lanes, "the batch is the published lane count");

// The decoder: blocks side by side, one per 32-bit lane. Each code's signed amount is
// gathered from the decoder's rows; the index chain does not wait for the gather, so each
// lane's serial chains are a few vector operations long and the gathers set the pace.
static_assert(kAdpcmAvx2DecodeLanes == kWidth, "one vector of lanes");

// Clamps every lane of v to low..high.
inline Vec Clamp(Vec v, int32_t low, int32_t high) {
  const __m256i floor = _mm256_max_epi32(reinterpret_cast<__m256i>(v), _mm256_set1_epi32(low));
  return reinterpret_cast<Vec>(_mm256_min_epi32(floor, _mm256_set1_epi32(high)));
}

// Decodes one code per lane (bits 0..3 of `code`) and returns the new predictors. The
// signed amount is gathered from the code's entry in the row of the lane's index.
inline Vec DecodeVectorStep(Vec& predictor, Vec& index, Vec code) {
  const Vec entry = index * Splat(sizeof(AdpcmDecoderRow)) + code * Splat(kAdpcmDecoderAmountStride);
  const Vec amount = reinterpret_cast<Vec>(_mm256_i32gather_epi32(reinterpret_cast<const int*>(AdpcmDecoderRows.row),
                                                                   reinterpret_cast<__m256i>(entry), 1));
  predictor = Clamp(predictor + amount, kAdpcmSampleMin, kAdpcmSampleMax);
  index = Clamp(index + IndexAdjustment(code & Splat(kAdpcmMagnitudeMask), Vec{}, Vec{}, Vec{}), 0,
                kAdpcmMaxStepIndex);
  return predictor;
}

// The samples of eight instants of eight lanes (sample[t][l], each within 16 bits) into
// each lane's PCM, 16 bytes per lane: packed to 16 bits, then transposed.
inline void StoreEightInstants(const Vec sample[kGroupSamples], uint8_t* pcm, ptrdiff_t pcmStride) {
  __m256i packed[4];
#pragma GCC unroll 4
  for (int32_t k = 0; k < 4; ++k) {
    // Per 128-bit half (lanes 0..3, lanes 4..7): instant 2k of the four lanes, then 2k + 1.
    packed[k] =
        _mm256_packs_epi32(reinterpret_cast<__m256i>(sample[2 * k]), reinterpret_cast<__m256i>(sample[2 * k + 1]));
  }
  const __m256i even = _mm256_unpacklo_epi16(packed[0], packed[1]);  // instants 0, 2 per lane
  const __m256i odd = _mm256_unpackhi_epi16(packed[0], packed[1]);   // instants 1, 3
  const __m256i even2 = _mm256_unpacklo_epi16(packed[2], packed[3]); // instants 4, 6
  const __m256i odd2 = _mm256_unpackhi_epi16(packed[2], packed[3]);  // instants 5, 7
  const __m256i first01 = _mm256_unpacklo_epi16(even, odd);    // lanes 0, 1: instants 0..3
  const __m256i first23 = _mm256_unpackhi_epi16(even, odd);    // lanes 2, 3: instants 0..3
  const __m256i second01 = _mm256_unpacklo_epi16(even2, odd2);  // lanes 0, 1: instants 4..7
  const __m256i second23 = _mm256_unpackhi_epi16(even2, odd2);
  const __m256i lanes[4] = {_mm256_unpacklo_epi64(first01, second01), _mm256_unpackhi_epi64(first01, second01),
                            _mm256_unpacklo_epi64(first23, second23), _mm256_unpackhi_epi64(first23, second23)};
  constexpr int32_t kHalf = kWidth / 2;
#pragma GCC unroll 4
  for (int32_t l = 0; l < kHalf; ++l) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(pcm + l * pcmStride), _mm256_castsi256_si128(lanes[l]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(pcm + (l + kHalf) * pcmStride),
                     _mm256_extracti128_si256(lanes[l], 1));
  }
}

// Decodes the last `rest` data bytes of each lane (fewer than a group) from data + its
// offset, reading and writing lane by lane within each block. Out of line, so that the
// batch's loop keeps its registers.
__attribute__((noinline)) void DecodeVectorRest(Vec& predictor, Vec& index, const uint8_t* data, Vec offset,
                                                int32_t rest, uint8_t* pcm, ptrdiff_t pcmStride) {
  Vec codes = Splat(0);
  for (int32_t l = 0; l < kWidth; ++l) {
    for (int32_t b = 0; b < rest; ++b) codes[l] |= data[offset[l] + b] << (8 * b);
  }
  for (int32_t t = 0; t < 2 * rest; ++t) {
    const Vec code = (codes >> (kAdpcmNibbleBits * t)) & Splat(kAdpcmNibbleMask);
    const Vec sample = DecodeVectorStep(predictor, index, code);
    for (int32_t l = 0; l < kWidth; ++l) {
      const int16_t value = static_cast<int16_t>(sample[l]);
      std::memcpy(pcm + l * pcmStride + t * sizeof value, &value, sizeof value);
    }
  }
}

// Decodes kAdpcmAvx2DecodeLanes blocks of blockBytes (at least their header) from `blocks`
// into pcmOut, pcmStride bytes apart; leaves the last lane's predictor and index.
inline void DecodeVectorBatch(uint8_t* pcmOut, const uint8_t* blocks, int32_t blockBytes, ptrdiff_t pcmStride,
                              int32_t& lastPredictor, int32_t& lastIndex) {
  Vec predictor;
  Vec index;
  Vec offset;  // each lane's block, from the first
  for (int32_t l = 0; l < kWidth; ++l) {
    offset[l] = l * blockBytes;
    AdpcmChannelState header;
    ReadAdpcmHeader(header, blocks + offset[l]);
    predictor[l] = header.decodePredictor;
    index[l] = header.stepIndex;
  }
  const Vec nibble = Splat(kAdpcmNibbleMask);
  const int32_t dataBytes = blockBytes - kAdpcmHeaderBytes;
  const int32_t groups = dataBytes / kGroupCodeBytes;
  const uint8_t* data = blocks + kAdpcmHeaderBytes;
  for (int32_t g = 0; g < groups; ++g) {
    // Each lane's four code bytes of the group, its eight codes from the low nibble up.
    const Vec codes = reinterpret_cast<Vec>(_mm256_i32gather_epi32(
        reinterpret_cast<const int*>(data + g * kGroupCodeBytes), reinterpret_cast<__m256i>(offset), 1));
    Vec sample[kGroupSamples];
#pragma GCC unroll 8
    for (int32_t t = 0; t < kGroupSamples; ++t) {
      sample[t] = DecodeVectorStep(predictor, index, (codes >> (kAdpcmNibbleBits * t)) & nibble);
    }
    StoreEightInstants(sample, pcmOut + g * kGroupPcmBytes, pcmStride);
  }
  const int32_t rest = dataBytes - groups * kGroupCodeBytes;
  if (rest > 0) {
    DecodeVectorRest(predictor, index, data + groups * kGroupCodeBytes, offset, rest, pcmOut + groups * kGroupPcmBytes,
                     pcmStride);
  }
  lastPredictor = predictor[kWidth - 1];
  lastIndex = index[kWidth - 1];
}
}  // namespace
}  // namespace adpcm_avx2

int32_t AdpcmEncodeAvx2Batches(AdpcmCodecState& state, uint8_t* out, const uint8_t* pcm, int32_t count) {
  return EncodeBatches<kAdpcmAvx2Lanes>(state, out, pcm, count, adpcm_avx2::EncodeVectorBatch);
}

void AdpcmEncodeAvx2Samples(AdpcmChannelState* channels, const int16_t* samples, uint8_t* codes, int32_t count) {
  adpcm_avx2::EncodeVectorSamples(channels, samples, codes, count);
}

int32_t AdpcmDecodeAvx2Batches(AdpcmCodecState& state, uint8_t* pcmOut, const uint8_t* blocks, int32_t blockBytes,
                               int32_t count) {
  // Every lane's block must lie within a 32-bit gather offset of the first.
  if (count <= 0 || blockBytes < kAdpcmHeaderBytes || blockBytes > INT32_MAX / kAdpcmAvx2DecodeLanes) return 0;
  const ptrdiff_t pcmStride = ptrdiff_t{blockBytes - kAdpcmHeaderBytes} * (kGroupPcmBytes / kGroupCodeBytes);
  int32_t done = 0;
  for (; count - done >= kAdpcmAvx2DecodeLanes; done += kAdpcmAvx2DecodeLanes) {
    int32_t predictor = 0;
    int32_t index = 0;
    adpcm_avx2::DecodeVectorBatch(pcmOut + done * pcmStride, blocks + done * ptrdiff_t{blockBytes}, blockBytes,
                                  pcmStride, predictor, index);
    state.channel[0].decodePredictor = predictor;
    state.channel[0].stepIndex = static_cast<int16_t>(index);
  }
  return done;
}
ADPCM_TARGET_END

// The processor's features are read once, whenever the first caller comes.
bool AdpcmCpuHasSse2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("sse2");
}

bool AdpcmCpuHasAvx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}

#endif
