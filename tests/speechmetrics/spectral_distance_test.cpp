// Log-spectral distance: none between identical frames, about the level difference for a
// quieter copy, and frames where the reference pauses are not counted.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <vector>

#include "speechmetrics/SpectralDistance.h"

namespace zbtest {
namespace {

using zbspeechmetrics::SpectralDistance;

constexpr std::size_t kSamples = 320;

std::vector<int16_t> Noise(double amplitude) {
  std::vector<int16_t> v(kSamples);
  unsigned state = 1;
  for (int16_t& s : v) {
    state = state * 1103515245u + 12345u;
    s = static_cast<int16_t>(std::lround(amplitude * (static_cast<double>(state >> 16) / 32768.0 - 1.0)));
  }
  return v;
}

TEST(SpectralDistanceTest, MeasuresSpeechFramesOnly) {
  const std::vector<int16_t> loud = Noise(8000);
  const std::vector<int16_t> tenth = Noise(800);
  const std::vector<int16_t> pause(kSamples, 1);
  SpectralDistance lsd(kSamples);
  EXPECT_EQ(lsd.AddFrame(loud.data(), loud.data()), 0.0);
  EXPECT_FALSE(lsd.AddFrame(pause.data(), loud.data()).has_value());
  // A copy at a tenth of the amplitude is 20 dB down in every bin (give or take rounding).
  const std::optional<double> quieter = lsd.AddFrame(loud.data(), tenth.data());
  ASSERT_TRUE(quieter.has_value());
  EXPECT_NEAR(*quieter, 20.0, 0.5);
  EXPECT_NEAR(lsd.MeanDb(), 20.0 / 2, 0.5);
  EXPECT_EQ(lsd.SpeechFrames(), 2u);
}

}  // namespace
}  // namespace zbtest
