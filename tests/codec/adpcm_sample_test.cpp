// The sample coder: its documented edge cases, and an exhaustive comparison of both steps
// with the line-by-line reference over every step index, the encoder's step on every path.
#include "codec/AdpcmSample.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "codec/AdpcmPaths.h"
#include "codec/AdpcmTables.h"
#include "reference/AdpcmReference.h"
#include "tests/support/CaseNames.h"

namespace zbtest {
namespace {

constexpr int32_t kMin = adpcm_reference::kSampleMin;
constexpr int32_t kMax = adpcm_reference::kSampleMax;

struct EncodeCase : NamedRow {
  int32_t predictor;
  int16_t stepIndex;
  int16_t sample;
  uint8_t code;
  int32_t predictorAfter;
  int16_t stepIndexAfter;
};

class EncodeSampleCase : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(EncodeSampleCase, GivesCodeAndState) {
  const EncodeCase& c = GetParam();
  AdpcmChannelState channel{0, c.stepIndex, c.predictor};
  EXPECT_EQ(EncodeAdpcmSample(channel, c.sample), c.code);
  EXPECT_EQ(channel.encodePredictor, c.predictorAfter);
  EXPECT_EQ(channel.stepIndex, c.stepIndexAfter);
  EXPECT_EQ(channel.decodePredictor, 0);  // the other direction's field is left alone
}

INSTANTIATE_TEST_SUITE_P(
    Edges, EncodeSampleCase,
    ::testing::Values(
        // Equal to the predictor at index 0: code 0, amount 0 + 7/8 = 0, index clamps at 0.
        EncodeCase{"EqualToPredictor", 100, 0, 100, 0, 100, 0},
        // One below at index 0: the sign alone (code 8); the predictor does not move.
        EncodeCase{"OneBelowGivesTheSignAlone", 100, 0, 99, 8, 100, 0},
        // 448 above at index 0: the quotient 256 is limited to 7; +12, index 0 + 8.
        EncodeCase{"QuotientLimitedToSeven", 0, 0, 448, 7, 12, 8},
        // Index 85, predictor 0, sample 32767: code 5; the index and predictor saturate.
        EncodeCase{"IndexAndPredictorSaturateAtTheTop", 0, 85, 32767, 5, 32767, 88},
        // Lowest sample from predictor 0 at index 88: magnitude 4, 32767 + 4095 down, clamped.
        EncodeCase{"LowestSampleClampedAtTheBottom", 0, 88, -32768, 12, kMin, 88},
        // Lowest sample from the top predictor at index 88: code 15, and 32767 - 61437 needs
        // no clamp.
        EncodeCase{"LowestSampleFromTheTopNeedsNoClamp", kMax, 88, -32768, 15, -28670, 88},
        // 4d / step exactly 1 at index 0 (d = 2, 8 / 7): magnitude 1 moves the encoder by 1
        // (7 / 4 + 7 / 8 = 1 + 0), where the decoder would move by 2.
        EncodeCase{"QuotientOneMovesTheEncoderByOne", 0, 0, 2, 1, 1, 0},
        // One below a threshold at index 10 (step 19, ceil(3 * 19 / 4) = 15): d = 14 gives 2.
        EncodeCase{"OneBelowAThreshold", 0, 10, 14, 2, 9 + 2, 9},
        // At that threshold, d = 15 gives 3; amount (3 * 19) / 4 + 19 / 8 = 14 + 2.
        EncodeCase{"AtAThreshold", 0, 10, 15, 3, 16, 9},
        // A negative difference of one step: magnitude 4, 19 + 2 down, the index up by 2.
        EncodeCase{"NegativeDifferenceOfOneStep", 0, 10, -19, 12, -(19 + 2), 12}),
    RowName());

struct DecodeCase : NamedRow {
  int32_t predictor;
  int16_t stepIndex;
  uint8_t code;
  int16_t sample;
  int16_t stepIndexAfter;
};

class DecodeSampleCase : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeSampleCase, GivesSampleAndState) {
  const DecodeCase& c = GetParam();
  AdpcmChannelState channel{c.predictor, c.stepIndex, 0};
  EXPECT_EQ(DecodeAdpcmSample(channel, c.code), c.sample);
  EXPECT_EQ(channel.decodePredictor, c.sample);
  EXPECT_EQ(channel.stepIndex, c.stepIndexAfter);
  EXPECT_EQ(channel.encodePredictor, 0);
}

INSTANTIATE_TEST_SUITE_P(Edges, DecodeSampleCase,
                         ::testing::Values(
                             // Code 7 at index 0: (15 * 7) >> 3 = 13 up, index 8.
                             DecodeCase{"Code7AtIndex0", 0, 0, 7, 13, 8},
                             // Codes 0 and 8 at index 0: (1 * 7) >> 3 = 0, so the predictor stays.
                             DecodeCase{"Code0KeepsThePredictor", 500, 0, 0, 500, 0},
                             DecodeCase{"Code8KeepsThePredictor", 500, 0, 8, 500, 0},
                             // Code 1 at index 0 moves by (3 * 7) >> 3 = 2, one more than the encoder's 1.
                             DecodeCase{"Code1MovesByTwo", 0, 0, 1, 2, 0},
                             // Code 15 at index 88 from 0: (15 * 32767) >> 3 far below the range, clamped.
                             DecodeCase{"Code15ClampedAtTheBottom", 0, 88, 15, -32768, 88},
                             // Code 7 at index 88 from 0: clamped at the top, the index stays 88.
                             DecodeCase{"Code7ClampedAtTheTop", 0, 88, 7, 32767, 88},
                             // Codes 3 and 11 at index 0 move by (7 * 7) >> 3 = 6 and leave the index at 0.
                             DecodeCase{"Code3AtIndex0", 0, 0, 3, 6, 0},
                             DecodeCase{"Code11AtIndex0", 0, 0, 11, -6, 0},
                             // Code 12 at index 40 (step 337): (9 * 337) >> 3 = 379 down, index 42.
                             DecodeCase{"Code12AtIndex40", 1000, 40, 12, 1000 - 379, 42}),
                         RowName());

// Every index 0..88 with every code 0..15, from predictors that reach both clamps.
TEST(AdpcmSampleDecode, EqualsReferenceForEveryIndexAndCode) {
  const int32_t predictors[] = {kMin, kMin + 1, -20000, -1, 0, 1, 20000, kMax - 1, kMax};
  int32_t clampedLow = 0;
  int32_t clampedHigh = 0;
  for (int32_t predictor : predictors) {
    for (int16_t index = 0; index <= kAdpcmMaxStepIndex; ++index) {
      for (uint8_t code = 0; code < 16; ++code) {
        AdpcmChannelState fast{predictor, index, 0};
        AdpcmChannelState reference = fast;
        const int16_t sample = DecodeAdpcmSample(fast, code);
        ASSERT_EQ(sample, adpcm_reference::DecodeSample(reference, code))
            << "predictor " << predictor << " index " << index << " code " << int{code};
        ASSERT_EQ(fast.stepIndex, reference.stepIndex);
        clampedLow += sample == kMin && predictor != kMin;
        clampedHigh += sample == kMax && predictor != kMax;
      }
    }
  }
  EXPECT_GT(clampedLow, 0);  // the sweep reached both clamps
  EXPECT_GT(clampedHigh, 0);
}

// One sample on each of many channel records: EncodeAdpcmSample itself, then the step of
// every encoder path this build and processor have.
struct StepRow : NamedRow {
  AdpcmEncodeSamplesFn encode;
};

void EncodeEachSample(AdpcmChannelState* channels, const int16_t* samples, uint8_t* codes, int32_t count) {
  for (int32_t k = 0; k < count; ++k) codes[k] = EncodeAdpcmSample(channels[k], samples[k]);
}

std::vector<StepRow> StepRows() {
  std::vector<StepRow> rows{{{"EncodeAdpcmSample"}, EncodeEachSample}};
  for (int32_t i = 0; i < AdpcmPathCount(); ++i) rows.push_back({{AdpcmPathAt(i).name}, AdpcmPathAt(i).encodeSamples});
  return rows;
}

class EncodeStep : public ::testing::TestWithParam<StepRow> {};

// Every index 0..88 with every sample from the extreme and middle predictors: together
// they cover every difference -65535..65535, both clamps and every magnitude.
TEST_P(EncodeStep, EqualsReferenceForEveryIndexAndDifference) {
  constexpr int32_t kSamples = kMax - kMin + 1;
  std::vector<AdpcmChannelState> channels(kSamples);
  std::vector<int16_t> samples(kSamples);
  std::vector<uint8_t> codes(kSamples);
  for (int32_t k = 0; k < kSamples; ++k) samples[k] = static_cast<int16_t>(kMin + k);
  const int32_t predictors[] = {kMin, 0, kMax};
  for (int32_t predictor : predictors) {
    for (int16_t index = 0; index <= kAdpcmMaxStepIndex; ++index) {
      std::fill(channels.begin(), channels.end(), AdpcmChannelState{0, index, predictor});
      GetParam().encode(channels.data(), samples.data(), codes.data(), kSamples);
      for (int32_t k = 0; k < kSamples; ++k) {
        AdpcmChannelState reference{0, index, predictor};
        const uint8_t expected = adpcm_reference::EncodeSample(reference, samples[k]);
        const AdpcmChannelState& fast = channels[k];
        if (codes[k] != expected || fast.encodePredictor != reference.encodePredictor ||
            fast.stepIndex != reference.stepIndex) {
          FAIL() << "predictor " << predictor << " index " << index << " sample " << samples[k] << ": code "
                 << int{codes[k]} << " vs " << int{expected} << ", predictor " << fast.encodePredictor << " vs "
                 << reference.encodePredictor << ", index " << fast.stepIndex << " vs " << reference.stepIndex;
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, EncodeStep, ::testing::ValuesIn(StepRows()), RowName());

// The encoder's quantiser is the single division of the reference: across every difference
// 0..65535 at every index, the magnitude is min(7, 4 * d / step).
TEST(AdpcmSampleEncode, MagnitudeIsTheTruncatedQuotient) {
  for (int16_t index = 0; index <= kAdpcmMaxStepIndex; ++index) {
    const int32_t step = AdpcmStepTable[index];
    for (int32_t d = 0; d <= 65535; ++d) {
      AdpcmChannelState channel{0, index, kMin};
      const int32_t quotient = (4 * d) / step;
      const uint8_t code = EncodeAdpcmSample(channel, static_cast<int16_t>(kMin + d));
      if (code != (quotient > 7 ? 7 : quotient)) {
        FAIL() << "index " << index << " difference " << d << " gave code " << int{code};
      }
    }
  }
}

}  // namespace
}  // namespace zbtest
