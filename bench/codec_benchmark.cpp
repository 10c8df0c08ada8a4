// Block encode and decode speed: the library's coder (block by block, and the multi-block
// encoder) against the line-by-line reference, over 60 s of 8 kHz speech-like signal in
// 84-byte blocks and over one 20 ms frame.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "codec/AdpcmBlock.h"
#include "tests/codec/AdpcmReference.h"
#include "tests/codec/AdpcmSignals.h"

namespace {

constexpr int32_t kLongSeconds = 60;
constexpr int32_t kLongBlocks = kLongSeconds * adpcm_signals::kSampleRate * 2 / kAdpcmPcmBytesPerBlock;
constexpr int32_t kFrameBlocks = 2;  // 20 ms at 8 kHz
constexpr int32_t kSamplesPerBlock = kAdpcmPcmBytesPerBlock / 2;
constexpr uint32_t kSpeechSeed = 20240611;

using EncodeFn = int32_t (*)(AdpcmCodecState&, uint8_t*, const uint8_t*);
using DecodeFn = int32_t (*)(AdpcmCodecState&, uint8_t*, int32_t&, const uint8_t*, int32_t);

const std::vector<uint8_t>& SpeechPcm() {
  static const std::vector<uint8_t> pcm = adpcm_signals::Speech(kLongBlocks * kSamplesPerBlock, kSpeechSeed);
  return pcm;
}

void EncodeBlocks(EncodeFn encode, const uint8_t* pcm, uint8_t* blocks, int32_t count) {
  for (int32_t b = 0; b < count; ++b) {
    AdpcmCodecState state{1, kAdpcmPcmBytesPerBlock, 0, {}};
    encode(state, blocks + b * kAdpcmBlockBytes, pcm + b * kAdpcmPcmBytesPerBlock);
  }
}

void DecodeBlocks(DecodeFn decode, const uint8_t* blocks, uint8_t* pcm, int32_t count) {
  for (int32_t b = 0; b < count; ++b) {
    AdpcmCodecState state{1, 0, 0, {}};
    int32_t written = 0;
    decode(state, pcm + b * kAdpcmPcmBytesPerBlock, written, blocks + b * kAdpcmBlockBytes, kAdpcmBlockBytes);
  }
}

std::vector<uint8_t> ReferenceBlocks(int32_t count) {
  std::vector<uint8_t> blocks(count * kAdpcmBlockBytes);
  EncodeBlocks(adpcm_reference::EncodeBlock, SpeechPcm().data(), blocks.data(), count);
  return blocks;
}

void Report(benchmark::State& state, int32_t blocks) {
  const int64_t samples = int64_t{blocks} * kSamplesPerBlock * state.iterations();
  state.SetBytesProcessed(samples * 2);
  state.counters["ns_per_sample"] = benchmark::Counter(
      static_cast<double>(samples), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

template <EncodeFn kEncode>
void BM_Encode(benchmark::State& state) {
  const int32_t count = static_cast<int32_t>(state.range(0));
  std::vector<uint8_t> blocks(count * kAdpcmBlockBytes);
  EncodeBlocks(kEncode, SpeechPcm().data(), blocks.data(), count);
  if (blocks != ReferenceBlocks(count)) {
    state.SkipWithError("encoder output differs from the reference");
    return;
  }
  for (auto _ : state) {
    EncodeBlocks(kEncode, SpeechPcm().data(), blocks.data(), count);
    benchmark::DoNotOptimize(blocks.data());
    benchmark::ClobberMemory();
  }
  Report(state, count);
}

// All blocks in one call of the multi-block encoder, which codes several side by side.
void BM_EncodeBlocks(benchmark::State& state) {
  const int32_t count = static_cast<int32_t>(state.range(0));
  std::vector<uint8_t> blocks(count * kAdpcmBlockBytes);
  AdpcmCodecState codec{1, kAdpcmPcmBytesPerBlock, 0, {}};
  if (EncodeAdpcmBlocks(codec, blocks.data(), SpeechPcm().data(), count) != count * kAdpcmBlockBytes ||
      blocks != ReferenceBlocks(count)) {
    state.SkipWithError("multi-block encoder output differs from the reference");
    return;
  }
  for (auto _ : state) {
    EncodeAdpcmBlocks(codec, blocks.data(), SpeechPcm().data(), count);
    benchmark::DoNotOptimize(blocks.data());
    benchmark::ClobberMemory();
  }
  Report(state, count);
}

template <DecodeFn kDecode>
void BM_Decode(benchmark::State& state) {
  const int32_t count = static_cast<int32_t>(state.range(0));
  const std::vector<uint8_t> blocks = ReferenceBlocks(count);
  std::vector<uint8_t> pcm(count * kAdpcmPcmBytesPerBlock);
  std::vector<uint8_t> expected(pcm.size());
  DecodeBlocks(kDecode, blocks.data(), pcm.data(), count);
  DecodeBlocks(adpcm_reference::DecodeBlock, blocks.data(), expected.data(), count);
  if (pcm != expected) {
    state.SkipWithError("decoder output differs from the reference");
    return;
  }
  for (auto _ : state) {
    DecodeBlocks(kDecode, blocks.data(), pcm.data(), count);
    benchmark::DoNotOptimize(pcm.data());
    benchmark::ClobberMemory();
  }
  Report(state, count);
}

BENCHMARK(BM_Encode<adpcm_reference::EncodeBlock>)
    ->Name("Encode/reference")
    ->Arg(kLongBlocks)
    ->Arg(kFrameBlocks);
BENCHMARK(BM_Encode<EncodeAdpcmBlock>)->Name("Encode/fast")->Arg(kLongBlocks)->Arg(kFrameBlocks);
BENCHMARK(BM_EncodeBlocks)->Name("Encode/multiblock")->Arg(kLongBlocks)->Arg(kFrameBlocks);
BENCHMARK(BM_Decode<adpcm_reference::DecodeBlock>)
    ->Name("Decode/reference")
    ->Arg(kLongBlocks)
    ->Arg(kFrameBlocks);
BENCHMARK(BM_Decode<DecodeAdpcmBlock>)->Name("Decode/fast")->Arg(kLongBlocks)->Arg(kFrameBlocks);

}  // namespace
