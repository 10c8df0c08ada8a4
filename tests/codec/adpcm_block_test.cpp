// The block format: its documented edge cases, malformed blocks in exact-size buffers,
// golden vectors, the fast coder against the reference on seeded random input, and the
// quality of the round trip.
//
// Golden values: run with ADPCM_PRINT_GOLDEN=1 to print the current hashes as table rows
// ready to paste over kGolden below (only after checking that a change is intended).
#include "codec/AdpcmBlock.h"
#include "codec/AdpcmModuleLayout.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "reference/AdpcmReference.h"
#include "reference/AdpcmSignals.h"
#include "tests/codec/CodecSeed.h"
#include "tests/support/CaseNames.h"
#include "tests/support/TestSupport.h"

namespace zbtest {
namespace {

using adpcm_signals::Rng;

constexpr int32_t kSamplesPerBlock = kAdpcmPcmBytesPerBlock / 2;

int32_t DecodedRoom(int32_t channels, int32_t blockBytes) {
  const int32_t data = blockBytes - kAdpcmHeaderBytes * channels;
  return data > 0 ? 4 * data : 0;
}

AdpcmCodecState EncoderState(int32_t pcmBytesPerBlock = kAdpcmPcmBytesPerBlock) {
  return AdpcmCodecState{1, pcmBytesPerBlock, 0, {}};
}

AdpcmCodecState DecoderState(int32_t channels, int32_t maxInputBytes = 0) {
  return AdpcmCodecState{channels, 0, maxInputBytes, {}};
}

// Codes a signal 320 bytes at a time into 84-byte blocks.
template <typename Encode>
std::vector<uint8_t> EncodeSignal(const std::vector<uint8_t>& pcm, Encode encode) {
  const size_t blocks = pcm.size() / kAdpcmPcmBytesPerBlock;
  std::vector<uint8_t> out(blocks * kAdpcmBlockBytes);
  for (size_t b = 0; b < blocks; ++b) {
    AdpcmCodecState state = EncoderState();
    EXPECT_EQ(encode(state, out.data() + b * kAdpcmBlockBytes, pcm.data() + b * kAdpcmPcmBytesPerBlock),
              kAdpcmBlockBytes);
  }
  return out;
}

template <typename Decode>
std::vector<uint8_t> DecodeSignal(const std::vector<uint8_t>& blocks, Decode decode) {
  const size_t count = blocks.size() / kAdpcmBlockBytes;
  std::vector<uint8_t> pcm(count * kAdpcmPcmBytesPerBlock);
  for (size_t b = 0; b < count; ++b) {
    AdpcmCodecState state = DecoderState(1);
    int32_t written = -1;
    EXPECT_EQ(decode(state, pcm.data() + b * kAdpcmPcmBytesPerBlock, written,
                     blocks.data() + b * kAdpcmBlockBytes, kAdpcmBlockBytes),
              kAdpcmBlockBytes);
    EXPECT_EQ(written, kAdpcmPcmBytesPerBlock);
  }
  return pcm;
}

uint32_t Fnv1a(const std::vector<uint8_t>& bytes) {
  uint32_t hash = 2166136261u;
  for (uint8_t b : bytes) hash = (hash ^ b) * 16777619u;
  return hash;
}

// ---------------------------------------------------------------------------------------
// Encoder edge cases.

TEST(AdpcmBlockEncode, HeaderHoldsFirstSampleThenZeroIndexAndReserved) {
  const std::vector<uint8_t> pcm = adpcm_signals::Noise(kSamplesPerBlock, 5);
  std::vector<uint8_t> block(kAdpcmBlockBytes);
  AdpcmCodecState state = EncoderState();
  ASSERT_EQ(EncodeAdpcmBlock(state, block.data(), pcm.data()), kAdpcmBlockBytes);
  EXPECT_EQ(block[0], pcm[0]);  // low byte first
  EXPECT_EQ(block[1], pcm[1]);
  EXPECT_EQ(block[2], 0);
  EXPECT_EQ(block[3], 0);
  EXPECT_EQ(block[4] & 0x0F, 0);  // the first sample coded again equals the predictor
}

TEST(AdpcmBlockEncode, EqualSamplesGiveZeroCodesAndDecodeBack) {
  std::vector<int16_t> samples(kSamplesPerBlock, -1234);
  const std::vector<uint8_t> pcm = adpcm_signals::ToBytes(samples);
  std::vector<uint8_t> block(kAdpcmBlockBytes);
  AdpcmCodecState state = EncoderState();
  ASSERT_EQ(EncodeAdpcmBlock(state, block.data(), pcm.data()), kAdpcmBlockBytes);
  EXPECT_EQ(adpcm_reference::LoadSample(block.data()), -1234);
  for (int32_t n = kAdpcmHeaderBytes; n < kAdpcmBlockBytes; ++n) EXPECT_EQ(block[n], 0) << "byte " << n;

  std::vector<uint8_t> decoded(kAdpcmPcmBytesPerBlock);
  AdpcmCodecState decoder = DecoderState(1);
  int32_t written = 0;
  EXPECT_EQ(DecodeAdpcmBlock(decoder, decoded.data(), written, block.data(), kAdpcmBlockBytes),
            kAdpcmBlockBytes);
  EXPECT_EQ(written, kAdpcmPcmBytesPerBlock);
  EXPECT_EQ(decoded, pcm);
}

struct EncodeSizeCase : NamedRow {
  int32_t pcmBytesPerBlock;
  int32_t pcmBytesRead;  // the exact input buffer: a larger read fails under AddressSanitizer
  int32_t blockBytes;
};

class EncodeSize : public ::testing::TestWithParam<EncodeSizeCase> {};

TEST_P(EncodeSize, CodesWholeGroupsOnly) {
  const EncodeSizeCase& c = GetParam();
  const std::vector<uint8_t> pcm = adpcm_signals::Noise(c.pcmBytesRead / 2, 99);
  std::vector<uint8_t> block(c.blockBytes);
  std::vector<uint8_t> expected(c.blockBytes);
  AdpcmCodecState state = EncoderState(c.pcmBytesPerBlock);
  AdpcmCodecState reference = state;
  EXPECT_EQ(EncodeAdpcmBlock(state, block.data(), pcm.data()), c.blockBytes);
  EXPECT_EQ(adpcm_reference::EncodeBlock(reference, expected.data(), pcm.data()), c.blockBytes);
  EXPECT_EQ(block, expected);
  EXPECT_EQ(state.channel[0].encodePredictor, reference.channel[0].encodePredictor);
  EXPECT_EQ(state.channel[0].stepIndex, reference.channel[0].stepIndex);
}

INSTANTIATE_TEST_SUITE_P(Sizes, EncodeSize,
                         ::testing::Values(
                             // The module's size: 320 bytes of PCM into 84.
                             EncodeSizeCase{"ModuleSize", 320, 320, 84},
                             // Not a multiple of 16: 40 codes two groups and reads 32 bytes.
                             EncodeSizeCase{"NotAMultipleOf16", 40, 32, 12},
                             // 16 exactly: one group.
                             EncodeSizeCase{"OneGroup", 16, 16, 8},
                             // Below 16: the header alone, from the first sample.
                             EncodeSizeCase{"Below16TheHeaderAlone", 15, 2, 4},
                             // Zero and negative sizes are below 16 as well.
                             EncodeSizeCase{"ZeroSize", 0, 2, 4},
                             EncodeSizeCase{"NegativeSize", -16, 2, 4}),
                         RowName());

// ---------------------------------------------------------------------------------------
// Decoder edge cases and malformed blocks. Every buffer is a heap block of exactly the
// size the call may touch.

TEST(AdpcmBlockDecode, HeaderPredictorIsSignedAndIndexAbove88ReadsAs88) {
  // Predictor 0x8000 = -32768, index byte 200, reserved byte set; one data byte, code 7
  // then code 0.
  const std::vector<uint8_t> block = {0x00, 0x80, 200, 0xA5, 0x07};
  std::vector<uint8_t> pcm(4);
  AdpcmCodecState state = DecoderState(1);
  int32_t written = 0;
  ASSERT_EQ(DecodeAdpcmBlock(state, pcm.data(), written, block.data(), 5), 5);
  ASSERT_EQ(written, 4);
  // At index 88 (step 32767) code 7 moves up by (15 * 32767) >> 3 = 61438: 28670.
  EXPECT_EQ(adpcm_reference::LoadSample(pcm.data()), -32768 + 61438);
  // Code 0, still at index 88, adds 32767 >> 3 = 4095.
  EXPECT_EQ(adpcm_reference::LoadSample(pcm.data() + 2), -32768 + 61438 + 4095);
  EXPECT_EQ(state.channel[0].stepIndex, 87);
}

TEST(AdpcmBlockDecode, ZeroBytesReturnZeroAndLeaveWrittenAlone) {
  AdpcmCodecState state = DecoderState(1);
  int32_t written = 1234;
  const uint8_t unused = 0;
  EXPECT_EQ(DecodeAdpcmBlock(state, nullptr, written, &unused, 0), 0);
  EXPECT_EQ(written, 1234);
}

TEST(AdpcmBlockDecode, TwoChannelsInterleaveChannelZeroFirst) {
  // Channel 0 rises by code 4 from 100, channel 1 falls by code 12 from -100: two groups.
  std::vector<uint8_t> block = {100, 0, 0, 0, 0x9C, 0xFF, 0, 0};
  for (int g = 0; g < 2; ++g) {
    for (int j = 0; j < 4; ++j) block.push_back(0x44);
    for (int j = 0; j < 4; ++j) block.push_back(0xCC);
  }
  ASSERT_EQ(block.size(), 24u);
  std::vector<uint8_t> pcm(64);
  AdpcmCodecState state = DecoderState(2);
  int32_t written = 0;
  ASSERT_EQ(DecodeAdpcmBlock(state, pcm.data(), written, block.data(), 24), 24);
  ASSERT_EQ(written, 64);
  const std::vector<int16_t> samples = adpcm_signals::FromBytes(pcm);
  EXPECT_EQ(samples[0], 100 + 7);   // channel 0: index 0, code 4 moves by (9 * 7) >> 3
  EXPECT_EQ(samples[1], -100 - 7);  // channel 1: index 0, code 12
  for (size_t n = 2; n < samples.size(); ++n) {
    if (n % 2 == 0) {
      EXPECT_GT(samples[n], samples[n - 2]) << "channel 0 keeps rising at " << n;
    } else {
      EXPECT_LT(samples[n], samples[n - 2]) << "channel 1 keeps falling at " << n;
    }
  }
}

struct DecodeSizeCase : NamedRow {
  int32_t channels;
  int32_t maxInputBytes;
  int32_t blockBytes;
  int32_t consumed;
  int32_t written;
};

class DecodeSize : public ::testing::TestWithParam<DecodeSizeCase> {};

TEST_P(DecodeSize, ConsumesAndWritesExactly) {
  const DecodeSizeCase& c = GetParam();
  Rng rng(static_cast<uint32_t>(c.blockBytes * 7 + c.channels));
  const int32_t capped =
      (c.maxInputBytes != 0 && c.blockBytes > c.maxInputBytes) ? c.maxInputBytes : c.blockBytes;
  // The caller's buffer holds blockBytes; the decoder may read only the capped part, so the
  // exact buffer below is the capped size (a read past it fails under AddressSanitizer).
  std::vector<uint8_t> block(capped > 0 ? capped : 0);
  for (auto& b : block) b = static_cast<uint8_t>(rng.Next());
  std::vector<uint8_t> pcm(DecodedRoom(c.channels, capped));
  std::vector<uint8_t> expected(pcm.size());
  AdpcmCodecState state = DecoderState(c.channels, c.maxInputBytes);
  AdpcmCodecState reference = state;
  int32_t written = -1;
  int32_t expectedWritten = -1;
  EXPECT_EQ(DecodeAdpcmBlock(state, pcm.data(), written, block.data(), c.blockBytes), c.consumed);
  EXPECT_EQ(written, c.written);
  EXPECT_EQ(
      adpcm_reference::DecodeBlock(reference, expected.data(), expectedWritten, block.data(), c.blockBytes),
      c.consumed);
  EXPECT_EQ(expectedWritten, c.written);
  EXPECT_EQ(pcm, expected);
}

INSTANTIATE_TEST_SUITE_P(Sizes, DecodeSize,
                         ::testing::Values(
                             // The module's block: 84 bytes, 160 samples.
                             DecodeSizeCase{"ModuleBlock", 1, 0, 84, 84, 320},
                             // Any length from 4 with one channel: 50 bytes give 92 samples.
                             DecodeSizeCase{"AnyLengthFromFour", 1, 0, 50, 50, 184},
                             // A cap of 44 on an 84-byte block decodes its first 40 data bytes.
                             DecodeSizeCase{"CapBelowTheLength", 1, 44, 84, 44, 160},
                             // A cap above the length changes nothing.
                             DecodeSizeCase{"CapAboveTheLength", 1, 100, 84, 84, 320},
                             // The header alone decodes nothing but is consumed.
                             DecodeSizeCase{"HeaderAlone", 1, 0, 4, 4, 0},
                             // Too short for the header: nothing consumed, nothing written.
                             DecodeSizeCase{"ThreeBytesTooShort", 1, 0, 3, 0, 0},
                             DecodeSizeCase{"OneByteTooShort", 1, 0, 1, 0, 0},
                             // A negative length is too short as well.
                             DecodeSizeCase{"NegativeLength", 1, 0, -1, 0, 0},
                             DecodeSizeCase{"NegativeLengthTwoChannels", 2, 0, -100, 0, 0},
                             // A cap below the header makes the block too short.
                             DecodeSizeCase{"CapBelowTheHeader", 1, 3, 84, 0, 0},
                             DecodeSizeCase{"CapBelowTheHeadersTwoChannels", 2, 6, 24, 0, 0},
                             // Two channels: two headers and two groups give 32 samples.
                             DecodeSizeCase{"TwoChannelsTwoGroups", 2, 0, 24, 24, 64},
                             // Two channels need both headers.
                             DecodeSizeCase{"TwoChannelsMissingAHeader", 2, 0, 7, 0, 0},
                             // Both headers and no data.
                             DecodeSizeCase{"TwoChannelsHeadersAlone", 2, 0, 8, 8, 0},
                             // A group cut short is not decoded, not even channel 0's half of it.
                             DecodeSizeCase{"TwoChannelsFirstGroupCutShort", 2, 0, 15, 8, 0},
                             DecodeSizeCase{"TwoChannelsSecondGroupCutShort", 2, 0, 23, 16, 32},
                             // A cap that cuts a group short.
                             DecodeSizeCase{"CapCutsAGroupShort", 2, 20, 24, 16, 32}),
                         RowName());

// Every length 0..48 for both channel counts, with and without a cap, in exact buffers.
TEST(AdpcmBlockDecode, MalformedLengthsStayInsideTheirBuffers) {
  Rng rng(4242);
  for (int32_t channels = 1; channels <= 2; ++channels) {
    for (int32_t cap : {0, 5, 12, 17}) {
      for (int32_t length = 0; length <= 48; ++length) {
        SCOPED_TRACE("channels " + std::to_string(channels) + " cap " + std::to_string(cap) + " length " +
                     std::to_string(length));
        const int32_t capped = (cap != 0 && length > cap) ? cap : length;
        std::vector<uint8_t> block(capped);
        for (auto& b : block) b = static_cast<uint8_t>(rng.Next());
        std::vector<uint8_t> pcm(DecodedRoom(channels, capped));
        AdpcmCodecState state = DecoderState(channels, cap);
        int32_t written = -1;
        const int32_t consumed = DecodeAdpcmBlock(state, pcm.data(), written, block.data(), length);
        if (length == 0) {
          EXPECT_EQ(consumed, 0);
          EXPECT_EQ(written, -1);
          continue;
        }
        const int32_t headers = kAdpcmHeaderBytes * channels;
        const int32_t unit = channels == 1 ? 1 : 8;  // bytes of whole data units
        const int32_t expectedConsumed = capped < headers ? 0 : headers + (capped - headers) / unit * unit;
        EXPECT_EQ(consumed, expectedConsumed);
        EXPECT_EQ(written, DecodedRoom(channels, expectedConsumed));
      }
    }
  }
}

TEST(AdpcmBlockDecode, ChannelCountsOtherThanOneOrTwoDecodeNothing) {
  const std::vector<uint8_t> block(84, 0x11);
  std::vector<uint8_t> pcm(4 * 84);
  for (int32_t channels : {0, 3, -1}) {
    AdpcmCodecState state = DecoderState(channels);
    int32_t written = -1;
    EXPECT_EQ(DecodeAdpcmBlock(state, pcm.data(), written, block.data(), 84), 0) << channels;
    EXPECT_EQ(written, 0);
  }
}

// ---------------------------------------------------------------------------------------
// Golden vectors: 1 s of each signal, coded in 84-byte blocks and decoded back.

struct GoldenSignal : NamedRow {
  std::vector<uint8_t> (*make)();
  uint32_t blocksHash;
  uint32_t pcmHash;
  double snrFloorDb;  // round trip, a little below the measured figure; unused for silence
  int32_t maxError;   // largest |decoded - input|, a little above the measured figure
};

constexpr int32_t kGoldenSamples = adpcm_signals::kSampleRate;

// Quality figures measured on these signals (SNR in dB, max error): silence -, 0;
// sine 10.04, 34866; square 4.66, 65522; noise 8.52, 62962; speech 12.01, 14099. Each
// block restarts the step index at 0, so the first samples of a loud block lag behind.
const GoldenSignal kGolden[] = {
    {"silence", [] { return adpcm_signals::Silence(kGoldenSamples); }, 0x4E0634E5u, 0xC897CFC5u, 0.0, 0},
    {"sine", [] { return adpcm_signals::Sine(kGoldenSamples, 440, 20000); }, 0xC19B9485u, 0xFD8F3349u, 9.9,
     35000},
    {"square", [] { return adpcm_signals::Square(kGoldenSamples, 40); }, 0x1CAE4405u, 0xDF134159u, 4.6,
     65525},
    {"noise", [] { return adpcm_signals::Noise(kGoldenSamples, 1); }, 0x73E75614u, 0x8C560F2Bu, 8.4, 63000},
    {"speech", [] { return adpcm_signals::Speech(kGoldenSamples, 7); }, 0xED6D292Fu, 0xAD85401Au, 11.9,
     14200},
};

bool PrintGolden() {
  const char* value = std::getenv("ADPCM_PRINT_GOLDEN");
  return value != nullptr && value[0] != '\0' && value[0] != '0';
}

double SnrDb(const std::vector<int16_t>& input, const std::vector<int16_t>& output) {
  double signal = 0.0;
  double noise = 0.0;
  for (size_t n = 0; n < input.size(); ++n) {
    const double e = static_cast<double>(output[n]) - input[n];
    signal += static_cast<double>(input[n]) * input[n];
    noise += e * e;
  }
  return 10.0 * std::log10(signal / noise);
}

int32_t MaxError(const std::vector<int16_t>& input, const std::vector<int16_t>& output) {
  int32_t worst = 0;
  for (size_t n = 0; n < input.size(); ++n) {
    const int32_t e = std::abs(int32_t{output[n]} - input[n]);
    worst = e > worst ? e : worst;
  }
  return worst;
}

class Golden : public ::testing::TestWithParam<GoldenSignal> {};

TEST_P(Golden, BlocksAndPcmMatchTheCommittedHashes) {
  const GoldenSignal& g = GetParam();
  const std::vector<uint8_t> pcm = g.make();
  const std::vector<uint8_t> blocks = EncodeSignal(pcm, EncodeAdpcmBlock);
  const std::vector<uint8_t> decoded = DecodeSignal(blocks, DecodeAdpcmBlock);
  if (PrintGolden()) {
    std::printf("    %s: blocks 0x%08Xu, pcm 0x%08Xu\n", g.name, Fnv1a(blocks), Fnv1a(decoded));
  }
  EXPECT_EQ(Fnv1a(blocks), g.blocksHash) << g.name;
  EXPECT_EQ(Fnv1a(decoded), g.pcmHash) << g.name;
}

TEST_P(Golden, FastCoderEqualsReference) {
  const GoldenSignal& g = GetParam();
  const std::vector<uint8_t> pcm = g.make();
  const std::vector<uint8_t> blocks = EncodeSignal(pcm, EncodeAdpcmBlock);
  EXPECT_EQ(blocks, EncodeSignal(pcm, adpcm_reference::EncodeBlock)) << g.name;
  EXPECT_EQ(DecodeSignal(blocks, DecodeAdpcmBlock), DecodeSignal(blocks, adpcm_reference::DecodeBlock))
      << g.name;
}

TEST_P(Golden, RoundTripQualityHoldsItsFloor) {
  const GoldenSignal& g = GetParam();
  const std::vector<uint8_t> pcm = g.make();
  const std::vector<int16_t> input = adpcm_signals::FromBytes(pcm);
  const std::vector<int16_t> output =
      adpcm_signals::FromBytes(DecodeSignal(EncodeSignal(pcm, EncodeAdpcmBlock), DecodeAdpcmBlock));
  const int32_t maxError = MaxError(input, output);
  if (PrintGolden()) std::printf("    %s: max error %d\n", g.name, maxError);
  EXPECT_LE(maxError, g.maxError) << g.name;
  if (MaxError(input, std::vector<int16_t>(input.size(), 0)) == 0) {
    EXPECT_EQ(output, input) << "silence decodes to silence";
    return;
  }
  const double snr = SnrDb(input, output);
  if (PrintGolden()) std::printf("    %s: SNR %.2f dB\n", g.name, snr);
  EXPECT_GE(snr, g.snrFloorDb) << g.name;
}

INSTANTIATE_TEST_SUITE_P(Signals, Golden, ::testing::ValuesIn(kGolden), RowName());

// ---------------------------------------------------------------------------------------
// Seeded random input: the fast coder against the reference, printing the seed on failure.

TEST(AdpcmBlockRandom, EncoderEqualsReference) {
  const uint32_t seed = SeedFromEnvironment(kSeedVariable, kDefaultSeed);
  SCOPED_TRACE(SeedNote(kSeedVariable, seed));
  Rng rng(seed);
  for (int32_t trial = 0; trial < 400; ++trial) {
    const int32_t pcmBytesPerBlock = rng.Below(400);
    const int32_t groups = pcmBytesPerBlock / 16;
    // Random walks of random roughness, so that every index range is visited.
    const size_t samples = groups > 0 ? 8 * groups : 1;
    const std::vector<uint8_t> pcm = adpcm_signals::ToBytes(adpcm_signals::RandomWalk(rng, samples));
    std::vector<uint8_t> block(4 + 4 * groups);
    std::vector<uint8_t> expected(block.size());
    AdpcmCodecState state = EncoderState(pcmBytesPerBlock);
    AdpcmCodecState reference = state;
    ASSERT_EQ(EncodeAdpcmBlock(state, block.data(), pcm.data()),
              adpcm_reference::EncodeBlock(reference, expected.data(), pcm.data()));
    ASSERT_EQ(block, expected) << "trial " << trial;
    ASSERT_EQ(state.channel[0].encodePredictor, reference.channel[0].encodePredictor);
    ASSERT_EQ(state.channel[0].stepIndex, reference.channel[0].stepIndex);
  }
}

TEST(AdpcmBlockRandom, DecoderEqualsReference) {
  const uint32_t seed = SeedFromEnvironment(kSeedVariable, kDefaultSeed);
  SCOPED_TRACE(SeedNote(kSeedVariable, seed));
  Rng rng(seed);
  for (int32_t trial = 0; trial < 2000; ++trial) {
    const int32_t channels = 1 + rng.Below(2);
    const int32_t length = rng.Below(200);
    const int32_t cap = rng.Below(3) == 0 ? 1 + rng.Below(200) : 0;
    const int32_t capped = (cap != 0 && length > cap) ? cap : length;
    std::vector<uint8_t> block(capped);
    for (auto& b : block) b = static_cast<uint8_t>(rng.Next());
    std::vector<uint8_t> pcm(DecodedRoom(channels, capped));
    std::vector<uint8_t> expected(pcm.size());
    AdpcmCodecState state = DecoderState(channels, cap);
    AdpcmCodecState reference = state;
    int32_t written = -1;
    int32_t expectedWritten = -1;
    ASSERT_EQ(DecodeAdpcmBlock(state, pcm.data(), written, block.data(), length),
              adpcm_reference::DecodeBlock(reference, expected.data(), expectedWritten, block.data(), length))
        << "trial " << trial;
    ASSERT_EQ(written, expectedWritten) << "trial " << trial;
    ASSERT_EQ(pcm, expected) << "trial " << trial;
    for (int32_t k = 0; k < channels && capped >= kAdpcmHeaderBytes * channels; ++k) {
      ASSERT_EQ(state.channel[k].decodePredictor, reference.channel[k].decodePredictor) << "trial " << trial;
      ASSERT_EQ(state.channel[k].stepIndex, reference.channel[k].stepIndex) << "trial " << trial;
    }
  }
}

}  // namespace
}  // namespace zbtest
