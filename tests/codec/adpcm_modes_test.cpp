// The carried and the searching block encoders against the reference's carried encoder:
// the carried encoder's bytes equal it; the searches' blocks start from the same first
// sample at a step index near the carried one, never decode farther from the input than
// its block from the carried index, and leave the decoder's own end state. Every encoder's blocks decode alike through the library's
// decoder and the reference decoder.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "codec/AdpcmBlock.h"
#include "codec/AdpcmSearch.h"
#include "reference/AdpcmReference.h"
#include "reference/AdpcmSignals.h"
#include "tests/support/CaseNames.h"

namespace zbtest {
namespace {

namespace ref = adpcm_reference;

constexpr int32_t kSignalSamples = adpcm_signals::kSampleRate;  // 1 s

int32_t BlockBytesOf(int32_t pcmBytesPerBlock) { return kAdpcmHeaderBytes + pcmBytesPerBlock / 16 * 4; }

// Carried block by block by the reference encoder.
std::vector<uint8_t> CarriedByHand(const uint8_t* pcm, int32_t pcmBytesPerBlock, int32_t blocks, int32_t stepIndex) {
  std::vector<uint8_t> out(static_cast<size_t>(blocks * BlockBytesOf(pcmBytesPerBlock)));
  AdpcmCodecState state{1, pcmBytesPerBlock, 0, {{0, static_cast<int16_t>(stepIndex), 0}, {}}};
  for (int32_t b = 0; b < blocks; ++b) {
    ref::EncodeBlockCarried(state, out.data() + b * BlockBytesOf(pcmBytesPerBlock), pcm + b * pcmBytesPerBlock);
  }
  return out;
}

// One block decoded by the reference: its squared error against `pcm` and its end state.
struct Decoded {
  int64_t error;
  AdpcmChannelState end;
};

Decoded DecodeByReference(const uint8_t* block, int32_t blockBytes, const uint8_t* pcm) {
  AdpcmCodecState state{1, 0, 0, {}};
  std::vector<uint8_t> out(static_cast<size_t>(4 * (blockBytes - kAdpcmHeaderBytes)));
  int32_t written = 0;
  ref::DecodeBlock(state, out.data(), written, block, blockBytes);
  int64_t error = 0;
  for (int32_t i = 0; i < written; i += 2) {
    const int64_t e = ref::LoadSample(out.data() + i) - ref::LoadSample(pcm + i);
    error += e * e;
  }
  return Decoded{error, state.channel[0]};
}

struct ModeCase : NamedRow {
  std::vector<uint8_t> (*make)();
  int32_t pcmBytesPerBlock;
  int32_t startIndex;  // the carried index the first block starts at
};

class EncoderModes : public ::testing::TestWithParam<ModeCase> {
 protected:
  void SetUp() override {
    const ModeCase& c = GetParam();
    pcm = c.make();
    blocks = static_cast<int32_t>(pcm.size()) / c.pcmBytesPerBlock;
    blockBytes = BlockBytesOf(c.pcmBytesPerBlock);
  }
  AdpcmCodecState Start() const {
    return AdpcmCodecState{1, GetParam().pcmBytesPerBlock, 0, {{0, static_cast<int16_t>(GetParam().startIndex), 0}, {}}};
  }

  std::vector<uint8_t> pcm;
  int32_t blocks = 0;
  int32_t blockBytes = 0;
};

TEST_P(EncoderModes, CarriedEqualsTheStraightforwardEncoderAcrossCalls) {
  const std::vector<uint8_t> expected =
      CarriedByHand(pcm.data(), GetParam().pcmBytesPerBlock, blocks, GetParam().startIndex);
  std::vector<uint8_t> out(expected.size());
  AdpcmCodecState state = Start();
  // In two calls: the second carries on from where the first left channel 0.
  const int32_t firstCall = blocks / 3;
  EXPECT_EQ(EncodeAdpcmBlocksCarried(state, out.data(), pcm.data(), firstCall), firstCall * blockBytes);
  EXPECT_EQ(EncodeAdpcmBlocksCarried(state, out.data() + firstCall * blockBytes,
                                     pcm.data() + firstCall * GetParam().pcmBytesPerBlock, blocks - firstCall),
            (blocks - firstCall) * blockBytes);
  EXPECT_EQ(out, expected);
}

TEST_P(EncoderModes, SearchStartsNearCarriedAndNeverDecodesFartherThanIt) {
  using Search = int32_t (*)(AdpcmCodecState&, uint8_t*, const uint8_t*, int32_t);
  for (Search search : {Search{SearchAdpcmBlocks}, Search{SearchAdpcmBlocksDeep}}) {
    SCOPED_TRACE(search == SearchAdpcmBlocks ? "search" : "deep search");
    std::vector<uint8_t> out(static_cast<size_t>(blocks * blockBytes));
    AdpcmCodecState state = Start();
    ASSERT_EQ(search(state, out.data(), pcm.data(), blocks), blocks * blockBytes);
    int32_t startIndex = GetParam().startIndex;
    int64_t searchTotal = 0;
    int64_t carriedTotal = 0;
    Decoded last{};
    for (int32_t b = 0; b < blocks; ++b) {
      SCOPED_TRACE("block " + std::to_string(b));
      const uint8_t* block = out.data() + b * blockBytes;
      const uint8_t* piece = pcm.data() + b * GetParam().pcmBytesPerBlock;
      const std::vector<uint8_t> carried = CarriedByHand(piece, GetParam().pcmBytesPerBlock, 1, startIndex);
      // The first sample and the reserved byte as carried; the step index a few either side.
      EXPECT_EQ(block[0], carried[0]);
      EXPECT_EQ(block[1], carried[1]);
      EXPECT_EQ(block[3], carried[3]);
      EXPECT_LE(std::abs(block[2] - carried[2]), kAdpcmSearchStartSpread) << "the header's step index";
      last = DecodeByReference(block, blockBytes, piece);
      const int64_t carriedError = DecodeByReference(carried.data(), blockBytes, piece).error;
      EXPECT_LE(last.error, carriedError);
      searchTotal += last.error;
      carriedTotal += carriedError;
      startIndex = last.end.stepIndex;  // where a decoder of this block ends, the next block is carried from
    }
    // The search's state is the decoder's: its last sample and step index.
    EXPECT_EQ(state.channel[0].encodePredictor, last.end.decodePredictor);
    EXPECT_EQ(state.channel[0].stepIndex, last.end.stepIndex);
    if (carriedTotal > 0 && GetParam().pcmBytesPerBlock / 2 <= kAdpcmSearchMaxSamples) {
      EXPECT_LT(searchTotal, carriedTotal) << "the search finds closer codes somewhere";
    }
  }
}

TEST_P(EncoderModes, EveryEncodersBlocksDecodeAlikeThroughBothDecoders) {
  using Encode = int32_t (*)(AdpcmCodecState&, uint8_t*, const uint8_t*, int32_t);
  for (Encode encode : {Encode{EncodeAdpcmBlocks}, Encode{EncodeAdpcmBlocksCarried}, Encode{SearchAdpcmBlocks},
                        Encode{SearchAdpcmBlocksDeep}}) {
    std::vector<uint8_t> out(static_cast<size_t>(blocks * blockBytes));
    AdpcmCodecState state = Start();
    encode(state, out.data(), pcm.data(), blocks);
    const int32_t pcmPerBlock = 4 * (blockBytes - kAdpcmHeaderBytes);
    std::vector<uint8_t> library(static_cast<size_t>(blocks * pcmPerBlock));
    AdpcmCodecState decoder{1, 0, 0, {}};
    EXPECT_EQ(DecodeAdpcmBlocks(decoder, library.data(), out.data(), blockBytes, blocks), blocks * pcmPerBlock);
    std::vector<uint8_t> reference(library.size());
    for (int32_t b = 0; b < blocks; ++b) {
      int32_t written = 0;
      ref::DecodeBlock(decoder, reference.data() + b * pcmPerBlock, written, out.data() + b * blockBytes, blockBytes);
    }
    EXPECT_EQ(library, reference);
  }
}

std::vector<uint8_t> Silence() { return adpcm_signals::Silence(kSignalSamples); }
std::vector<uint8_t> Sine() { return adpcm_signals::Sine(kSignalSamples, 440, 20000); }
std::vector<uint8_t> Square() { return adpcm_signals::Square(kSignalSamples, 40); }
std::vector<uint8_t> Noise() { return adpcm_signals::Noise(kSignalSamples, 1); }
std::vector<uint8_t> Speech() { return adpcm_signals::Speech(kSignalSamples, 7); }

INSTANTIATE_TEST_SUITE_P(
    Signals, EncoderModes,
    ::testing::Values(
        // The module's blocks, a stream's first start (index 0) and starts carried in.
        ModeCase{"speech_320_from0", Speech, 320, 0}, ModeCase{"sine_320_from30", Sine, 320, 30},
        ModeCase{"silence_320_from88", Silence, 320, 88}, ModeCase{"noise_320_from60", Noise, 320, 60},
        // Full-scale edges: the predictor clamps on both sides.
        ModeCase{"square_320_from0", Square, 320, 0},
        // The longest block the search takes whole, one group beyond it (coded as carried),
        // and a short block of whole groups.
        ModeCase{"speech_1024_from10", Speech, 1024, 10}, ModeCase{"speech_1040_from10", Speech, 1040, 10},
        ModeCase{"speech_48_from5", Speech, 48, 5}),
    RowName());

}  // namespace
}  // namespace zbtest
