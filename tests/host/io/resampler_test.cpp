// The block resampler: what a stream gives, whole, for each pair of rates, however it is cut
// into blocks, and a tone in the pass band kept at its level.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "host/io/Resampler.h"
#include "tests/support/CaseNames.h"

namespace zbtest {
namespace {

using namespace zbhost;

struct RatePair : NamedRow {
  int32_t from;
  int32_t to;
};

class ResamplerTest : public testing::TestWithParam<RatePair> {};

TEST_P(ResamplerTest, KeepsLengthAndLevelWhateverTheBlocks) {
  constexpr double kPi = 3.14159265358979323846;
  constexpr double kToneHz = 1000;  // well inside every pass band here
  constexpr double kAmplitude = 0.5;
  constexpr int kSeconds = 2;
  const RatePair& rates = GetParam();
  std::vector<float> tone(static_cast<size_t>(rates.from * kSeconds));
  for (size_t i = 0; i < tone.size(); ++i) {
    tone[i] = static_cast<float>(kAmplitude * std::sin(2 * kPi * kToneHz * static_cast<double>(i) / rates.from));
  }
  for (size_t block : {size_t{1} << 16, size_t{441}, size_t{1}}) {
    Resampler resampler(rates.from, rates.to);
    std::vector<float> out;
    for (size_t at = 0; at < tone.size(); at += block) {
      resampler.Process(tone.data() + at, std::min(block, tone.size() - at), out);
    }
    resampler.Flush(out);
    ASSERT_EQ(out.size(), static_cast<size_t>(rates.to * kSeconds)) << "blocks of " << block;
    // The middle second's peak: the tone's level, unchanged.
    float peak = 0;
    for (size_t i = out.size() / 4; i < out.size() * 3 / 4; ++i) peak = std::max(peak, std::fabs(out[i]));
    EXPECT_NEAR(peak, kAmplitude, 0.01) << "blocks of " << block;
  }
}

INSTANTIATE_TEST_SUITE_P(Rates, ResamplerTest,
                         testing::Values(RatePair{"Down44100To16000", 44100, 16000},
                                         RatePair{"Up16000To48000", 16000, 48000},
                                         RatePair{"Up8000To44100", 8000, 44100},
                                         RatePair{"Down96000To8000", 96000, 8000}),
                         RowName());

}  // namespace
}  // namespace zbtest
