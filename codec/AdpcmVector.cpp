// The vector encoder paths: one batch kernel (AdpcmVectorKernel.inc) built twice, for SSE2
// lanes and for AVX2 lanes, each in its own target region.
#include "codec/AdpcmVector.h"

#if ADPCM_VECTOR_PATHS

#include <immintrin.h>

#include <cstddef>

#include "codec/AdpcmKernel.h"
#include "codec/AdpcmTables.h"

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

#pragma GCC push_options
#pragma GCC target("sse2")
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
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx2")
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
}  // namespace
}  // namespace adpcm_avx2

int32_t AdpcmEncodeAvx2Batches(AdpcmCodecState& state, uint8_t* out, const uint8_t* pcm, int32_t count) {
  return EncodeBatches<kAdpcmAvx2Lanes>(state, out, pcm, count, adpcm_avx2::EncodeVectorBatch);
}

void AdpcmEncodeAvx2Samples(AdpcmChannelState* channels, const int16_t* samples, uint8_t* codes, int32_t count) {
  adpcm_avx2::EncodeVectorSamples(channels, samples, codes, count);
}
#pragma GCC pop_options

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
