// SNR and segmental SNR: a half-amplitude copy loses 6.02 dB in both; a silent frame counts
// at 0 dB in the segmental mean, a perfect one at its 35 dB ceiling.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "speechmetrics/SnrMeter.h"

namespace zbtest {
namespace {

using zbspeechmetrics::SnrMeter;

constexpr std::size_t kSamples = 160;
const double kHalfDb = 20 * std::log10(2.0);

std::vector<int16_t> Ramp(int scale) {
  std::vector<int16_t> v(kSamples);
  for (std::size_t i = 0; i < kSamples; ++i) v[i] = static_cast<int16_t>((static_cast<int>(i) - 80) * scale);
  return v;
}

TEST(SnrMeterTest, MeasuresWholeAndSegmentalRatios) {
  const std::vector<int16_t> reference = Ramp(2);
  const std::vector<int16_t> half = Ramp(1);
  const std::vector<int16_t> silence(kSamples, 0);
  SnrMeter meter;
  EXPECT_TRUE(std::isnan(meter.SnrDb()));
  meter.AddFrame(reference.data(), half.data(), kSamples);
  EXPECT_NEAR(meter.SnrDb(), kHalfDb, 1e-9);
  EXPECT_NEAR(meter.SegmentalSnrDb(), kHalfDb, 1e-9);

  SnrMeter segments;
  segments.AddFrame(reference.data(), silence.data(), kSamples);
  segments.AddFrame(reference.data(), reference.data(), kSamples);
  EXPECT_NEAR(segments.SnrDb(), 10 * std::log10(2.0), 1e-9);
  EXPECT_NEAR(segments.SegmentalSnrDb(), (0 + zbspeechmetrics::kSegmentMaxDb) / 2, 1e-9);
}

}  // namespace
}  // namespace zbtest
