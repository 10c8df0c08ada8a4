// The multi-block encoder and decoder, on every path this build and processor have, against
// the block operations called once per block: the same bytes, the same sizes and the same
// final channel state for every count from 0 to past two of the widest batches (whole
// batches, the narrower batches and the single-block remainder), over the test signals and
// seeded random input, for several block sizes. Buffers are exact-size heap blocks, so a
// read or write past a piece or block fails under AddressSanitizer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "codec/AdpcmBlock.h"
#include "codec/AdpcmModuleLayout.h"
#include "codec/AdpcmPaths.h"
#include "codec/AdpcmTables.h"
#include "codec/AdpcmVector.h"
#include "reference/AdpcmSignals.h"
#include "tests/codec/CodecSeed.h"
#include "tests/support/CaseNames.h"
#include "tests/support/TestSupport.h"

namespace zbtest {
namespace {

using adpcm_signals::Rng;

constexpr int32_t kWidestBatch = 16;  // no path codes more blocks side by side
constexpr int32_t kMaxCount = 2 * kWidestBatch + 3;  // two widest batches and every remainder of the others
#if ADPCM_VECTOR_PATHS
static_assert(kAdpcmSse2Lanes <= kWidestBatch && kAdpcmAvx2Lanes <= kWidestBatch);
#endif
constexpr int32_t kSignalSamples = 3 * adpcm_signals::kSampleRate;  // room for kMaxCount pieces of 1024 bytes
constexpr int32_t kPcmSampleBytes = 2;

int32_t GroupsOf(int32_t pcmBytesPerBlock) { return pcmBytesPerBlock >= 16 ? pcmBytesPerBlock / 16 : 0; }

int32_t BlockBytesOf(int32_t pcmBytesPerBlock) { return kAdpcmHeaderBytes + 4 * GroupsOf(pcmBytesPerBlock); }

// The input bytes `count` blocks read: whole groups of each piece, or the first sample alone.
size_t InputBytes(int32_t pcmBytesPerBlock, int32_t count) {
  if (count == 0) return 0;
  const int32_t lastPiece = std::max(kPcmSampleBytes, 16 * GroupsOf(pcmBytesPerBlock));
  return static_cast<size_t>((count - 1) * pcmBytesPerBlock + lastPiece);
}

// Every path's index, named for the test names.
std::vector<int32_t> PathIndices() {
  std::vector<int32_t> indices;
  for (int32_t i = 0; i < AdpcmPathCount(); ++i) indices.push_back(i);
  return indices;
}

std::string PathName(const ::testing::TestParamInfo<int32_t>& row) { return AdpcmPathAt(row.param).name; }

// Codes `count` pieces of `pcm` (exactly the bytes they read) both ways and compares.
void ExpectSameAsPerBlock(const AdpcmPath& path, const std::vector<uint8_t>& pcm, int32_t pcmBytesPerBlock,
                          int32_t count) {
  SCOPED_TRACE(std::string(path.name) + " pcmBytesPerBlock " + std::to_string(pcmBytesPerBlock) + " count " +
               std::to_string(count));
  ASSERT_EQ(pcm.size(), InputBytes(pcmBytesPerBlock, count));
  const int32_t blockBytes = BlockBytesOf(pcmBytesPerBlock);
  std::vector<uint8_t> expected(static_cast<size_t>(count * blockBytes));
  AdpcmCodecState single{1, pcmBytesPerBlock, 0, {{-1, 7, -1}, {}}};
  for (int32_t i = 0; i < count; ++i) {
    ASSERT_EQ(EncodeAdpcmBlock(single, expected.data() + i * blockBytes, pcm.data() + i * pcmBytesPerBlock),
              blockBytes);
  }

  std::vector<uint8_t> out(expected.size());
  AdpcmCodecState multi{1, pcmBytesPerBlock, 0, {{-1, 7, -1}, {}}};
  EXPECT_EQ(path.encode(multi, out.data(), pcm.data(), count), count * blockBytes);
  EXPECT_EQ(out, expected);
  // After the last block both leave its final predictor and index; with no block, the
  // state as it was.
  EXPECT_EQ(multi.channel[0].encodePredictor, single.channel[0].encodePredictor);
  EXPECT_EQ(multi.channel[0].stepIndex, single.channel[0].stepIndex);
}

struct SignalCase : NamedRow {
  std::vector<uint8_t> (*make)();
  int32_t pcmBytesPerBlock;
};

class MultiBlockSignal : public ::testing::TestWithParam<std::tuple<SignalCase, int32_t>> {};

TEST_P(MultiBlockSignal, EqualsBlockByBlockForEveryCount) {
  const SignalCase& c = std::get<0>(GetParam());
  const AdpcmPath& path = AdpcmPathAt(std::get<1>(GetParam()));
  const std::vector<uint8_t> signal = c.make();
  // From the start and from the middle of the signal (speech starts with a pause), or as
  // near the middle as the longest run fits.
  const size_t middle = std::min(signal.size() / 2, signal.size() - InputBytes(c.pcmBytesPerBlock, kMaxCount));
  for (size_t start : {size_t{0}, middle}) {
    for (int32_t count = 0; count <= kMaxCount; ++count) {
      const size_t bytes = InputBytes(c.pcmBytesPerBlock, count);
      ASSERT_LE(start + bytes, signal.size());
      const std::vector<uint8_t> pcm(signal.begin() + static_cast<std::ptrdiff_t>(start),
                                     signal.begin() + static_cast<std::ptrdiff_t>(start + bytes));
      ExpectSameAsPerBlock(path, pcm, c.pcmBytesPerBlock, count);
    }
  }
}

std::vector<uint8_t> Silence() { return adpcm_signals::Silence(kSignalSamples); }
std::vector<uint8_t> Sine() { return adpcm_signals::Sine(kSignalSamples, 440, 20000); }
std::vector<uint8_t> Square() { return adpcm_signals::Square(kSignalSamples, 40); }
std::vector<uint8_t> Noise() { return adpcm_signals::Noise(kSignalSamples, 1); }
std::vector<uint8_t> Speech() { return adpcm_signals::Speech(kSignalSamples, 7); }

INSTANTIATE_TEST_SUITE_P(
    Signals, MultiBlockSignal,
    ::testing::Combine(
        ::testing::Values(
            // The module's blocks: 320 bytes of PCM into 84, on every test signal.
            SignalCase{"silence_320", Silence, 320}, SignalCase{"sine_320", Sine, 320},
            SignalCase{"square_320", Square, 320}, SignalCase{"noise_320", Noise, 320},
            SignalCase{"speech_320", Speech, 320},
            // Longer blocks and a single group per block.
            SignalCase{"speech_1024", Speech, 1024}, SignalCase{"noise_16", Noise, 16},
            // Not a multiple of 16: pieces 40 bytes apart, each coding its first 32.
            SignalCase{"sine_40", Sine, 40}, SignalCase{"speech_330", Speech, 330},
            // Below 16: headers alone, each from its piece's first sample (0: all the same one).
            SignalCase{"noise_15", Noise, 15}, SignalCase{"noise_2", Noise, 2}, SignalCase{"noise_0", Noise, 0}),
        ::testing::ValuesIn(PathIndices())),
    [](const ::testing::TestParamInfo<std::tuple<SignalCase, int32_t>>& row) {
      return std::string(std::get<0>(row.param).name) + "_" + AdpcmPathAt(std::get<1>(row.param)).name;
    });

class MultiBlockPath : public ::testing::TestWithParam<int32_t> {
 protected:
  const AdpcmPath& path = AdpcmPathAt(GetParam());
};

TEST_P(MultiBlockPath, NegativePieceSizeCodesNothingAndLeavesStateAlone) {
  const std::vector<uint8_t> pcm = adpcm_signals::Noise(kSignalSamples, 3);
  std::vector<uint8_t> out(4 * kAdpcmBlockBytes, 0xA5);
  for (int32_t pcmBytesPerBlock : {-1, -16, -320}) {
    AdpcmCodecState state{1, pcmBytesPerBlock, 0, {{-1, 7, 1234}, {}}};
    EXPECT_EQ(path.encode(state, out.data(), pcm.data() + pcm.size() / 2, 4), 0) << pcmBytesPerBlock;
    EXPECT_EQ(state.channel[0].encodePredictor, 1234);
    EXPECT_EQ(state.channel[0].stepIndex, 7);
  }
  EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](uint8_t b) { return b == 0xA5; }));
}

TEST_P(MultiBlockPath, NegativeCountCodesNothing) {
  const std::vector<uint8_t> pcm = adpcm_signals::Noise(kAdpcmPcmBytesPerBlock / 2, 3);
  uint8_t out[kAdpcmBlockBytes] = {};
  AdpcmCodecState state{1, kAdpcmPcmBytesPerBlock, 0, {{-1, 7, 1234}, {}}};
  EXPECT_EQ(path.encode(state, out, pcm.data(), -1), 0);
  EXPECT_EQ(state.channel[0].encodePredictor, 1234);
  EXPECT_EQ(out[0], 0);
}

// Blocks shorter than their header, and counts of 0 or less, decode nothing.
TEST_P(MultiBlockPath, DecodingNothingLeavesStateAndOutputAlone) {
  if (path.decode == nullptr) GTEST_SKIP() << path.name << " only encodes";
  const std::vector<uint8_t> blocks(4 * kAdpcmHeaderBytes, 0x11);
  std::vector<uint8_t> pcm(16, 0xA5);
  for (const auto& [blockBytes, count] : {std::pair{3, 4}, std::pair{0, 4}, std::pair{-84, 1}, std::pair{84, 0},
                                          std::pair{4, -1}}) {
    AdpcmCodecState state{1, 0, 0, {{1234, 7, -1}, {}}};
    EXPECT_EQ(path.decode(state, pcm.data(), blocks.data(), blockBytes, count), 0) << blockBytes << " " << count;
    EXPECT_EQ(state.channel[0].decodePredictor, 1234);
    EXPECT_EQ(state.channel[0].stepIndex, 7);
  }
  EXPECT_TRUE(std::all_of(pcm.begin(), pcm.end(), [](uint8_t b) { return b == 0xA5; }));
}

// Random walks of random roughness per piece, so that the lanes sit at different step
// indices and reach both clamps, with random piece sizes and counts.
TEST_P(MultiBlockPath, EncoderEqualsBlockByBlockOnRandomInput) {
  const uint32_t seed = SeedFromEnvironment(kSeedVariable, kDefaultSeed);
  SCOPED_TRACE(SeedNote(kSeedVariable, seed));
  Rng rng(seed);
  for (int32_t trial = 0; trial < 300; ++trial) {
    SCOPED_TRACE("trial " + std::to_string(trial));
    const int32_t pcmBytesPerBlock = rng.Below(400);
    const int32_t count = rng.Below(kMaxCount + 1);
    const size_t bytes = InputBytes(pcmBytesPerBlock, count);
    std::vector<uint8_t> pcm = adpcm_signals::ToBytes(adpcm_signals::RandomWalk(rng, bytes / kPcmSampleBytes));
    pcm.resize(bytes);  // an odd last byte stays 0
    ExpectSameAsPerBlock(path, pcm, pcmBytesPerBlock, count);
    if (HasFatalFailure()) return;
  }
}

// Random bytes as blocks (header indices above 88 included) of random sizes and counts,
// against the block decoder called once per block.
TEST_P(MultiBlockPath, DecoderEqualsBlockByBlockOnRandomInput) {
  if (path.decode == nullptr) GTEST_SKIP() << path.name << " only encodes";
  const uint32_t seed = SeedFromEnvironment(kSeedVariable, kDefaultSeed);
  SCOPED_TRACE(SeedNote(kSeedVariable, seed));
  Rng rng(seed);
  for (int32_t trial = 0; trial < 300; ++trial) {
    SCOPED_TRACE("trial " + std::to_string(trial));
    // Every fourth trial in the modules' 84-byte blocks, whose layout the decoder compiles in.
    const int32_t blockBytes = trial % 4 == 0 ? kAdpcmBlockBytes : kAdpcmHeaderBytes + rng.Below(100);
    const int32_t count = rng.Below(kMaxCount + 1);
    const int32_t pcmBytes = 4 * (blockBytes - kAdpcmHeaderBytes);
    std::vector<uint8_t> blocks(static_cast<size_t>(count * blockBytes));
    for (auto& b : blocks) b = static_cast<uint8_t>(rng.Next());
    std::vector<uint8_t> expected(static_cast<size_t>(count * pcmBytes));
    AdpcmCodecState single{1, 0, 0, {{1234, 7, -1}, {}}};
    for (int32_t i = 0; i < count; ++i) {
      int32_t written = 0;
      ASSERT_EQ(DecodeAdpcmBlock(single, expected.data() + i * pcmBytes, written, blocks.data() + i * blockBytes,
                                 blockBytes),
                blockBytes);
    }
    std::vector<uint8_t> pcm(expected.size());
    AdpcmCodecState multi{1, 0, 0, {{1234, 7, -1}, {}}};
    ASSERT_EQ(path.decode(multi, pcm.data(), blocks.data(), blockBytes, count), count * pcmBytes);
    ASSERT_EQ(pcm, expected);
    ASSERT_EQ(multi.channel[0].decodePredictor, single.channel[0].decodePredictor);
    ASSERT_EQ(multi.channel[0].stepIndex, single.channel[0].stepIndex);
  }
}

// Every header index 0..88 (and 200, read as 88) with every data byte, from predictors
// that reach both clamps: one-byte blocks side by side (whole batches, pairs and single
// blocks), each decoded as the block decoder decodes it alone.
TEST_P(MultiBlockPath, DecoderEqualsBlockByBlockForEveryIndexAndByte) {
  if (path.decode == nullptr) GTEST_SKIP() << path.name << " only encodes";
  constexpr int32_t kBlockBytes = kAdpcmHeaderBytes + 1;
  constexpr int32_t kCount = 256 + 3;  // every data byte, and a remainder past the widest batch
  constexpr int32_t kPcmBytes = 4;
  std::vector<uint8_t> blocks(kCount * kBlockBytes);
  std::vector<uint8_t> pcm(kCount * kPcmBytes);
  std::vector<uint8_t> expected(pcm.size());
  const int32_t predictors[] = {-32768, -32767, -20000, -1, 0, 1, 20000, 32766, 32767};
  for (int32_t predictor : predictors) {
    for (int32_t index = 0; index <= kAdpcmMaxStepIndex + 1; ++index) {
      const int32_t headerIndex = index <= kAdpcmMaxStepIndex ? index : 200;
      for (int32_t b = 0; b < kCount; ++b) {
        const int32_t byte = b & 0xFF;
        uint8_t* block = blocks.data() + b * kBlockBytes;
        block[0] = static_cast<uint8_t>(predictor & 0xFF);
        block[1] = static_cast<uint8_t>((predictor >> 8) & 0xFF);
        block[2] = static_cast<uint8_t>(headerIndex);
        block[3] = 0;
        block[4] = static_cast<uint8_t>(byte);
        AdpcmCodecState single{1, 0, 0, {}};
        int32_t written = 0;
        DecodeAdpcmBlock(single, expected.data() + b * kPcmBytes, written, block, kBlockBytes);
      }
      AdpcmCodecState multi{1, 0, 0, {}};
      ASSERT_EQ(path.decode(multi, pcm.data(), blocks.data(), kBlockBytes, kCount), kCount * kPcmBytes);
      ASSERT_EQ(pcm, expected) << "predictor " << predictor << " header index " << headerIndex;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, MultiBlockPath, ::testing::ValuesIn(PathIndices()), PathName);

}  // namespace
}  // namespace zbtest
