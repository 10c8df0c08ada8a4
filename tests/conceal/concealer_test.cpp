// The concealment: a lost stretch of a steady tone is continued in phase at any rate, the
// good audio after it joins without a step, a long loss fades to silence, and a loss
// before any audio stays silent.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "conceal/Concealer.h"
#include "tests/support/CaseNames.h"

namespace zbtest {
namespace {

using zbconceal::Concealer;

constexpr double kToneHz = 180.0;  // a period of 5.56 ms: not a whole number of samples
constexpr double kToneAmplitude = 10000.0;
constexpr int kFramesPerSecond = 50;
constexpr int kHistoryFrames = 5;
// A lag four samples off scores about 5 dB at 8 kHz; the nearest whole lag, about 18.
constexpr double kMinToneSnrDb = 15.0;
constexpr int kFramesToSilence = 7;  // the fill is silent from 130 ms on

struct RateCase : NamedRow {
  int rate;
};

class ConcealerToneTest : public testing::TestWithParam<RateCase> {
 protected:
  int16_t Tone(std::size_t i) const {
    const double t = static_cast<double>(i) / GetParam().rate;
    return static_cast<int16_t>(std::lround(kToneAmplitude * std::sin(2 * M_PI * kToneHz * t)));
  }
  // The next `n` samples of the tone, counting from `first`.
  std::vector<int16_t> ToneFrame(std::size_t first, std::size_t n) const {
    std::vector<int16_t> frame(n);
    for (std::size_t i = 0; i < n; ++i) frame[i] = Tone(first + i);
    return frame;
  }
  static double SnrDb(const std::vector<int16_t>& truth, const std::vector<int16_t>& test,
                      std::size_t n) {
    double signal = 0;
    double error = 0;
    for (std::size_t i = 0; i < n; ++i) {
      signal += static_cast<double>(truth[i]) * truth[i];
      error += (static_cast<double>(truth[i]) - test[i]) * (truth[i] - test[i]);
    }
    return 10 * std::log10(signal / error);
  }
};

TEST_P(ConcealerToneTest, ContinuesInPhaseAndJoinsTheGoodAudio) {
  const std::size_t n = static_cast<std::size_t>(GetParam().rate / kFramesPerSecond);
  Concealer concealer(GetParam().rate);
  std::size_t at = 0;
  for (int f = 0; f < kHistoryFrames; ++f, at += n) {
    std::vector<int16_t> good = ToneFrame(at, n);
    concealer.AddGoodFrame(good.data(), n);
  }
  std::vector<int16_t> fill(n);
  ASSERT_TRUE(concealer.ConcealFrame(fill.data(), n));
  // The first half holds full level; it must follow the tone, not merely resemble it.
  EXPECT_GT(SnrDb(ToneFrame(at, n), fill, n / 2), kMinToneSnrDb);
  at += n;
  std::vector<int16_t> resumed = ToneFrame(at, n);
  concealer.AddGoodFrame(resumed.data(), n);
  EXPECT_GT(SnrDb(ToneFrame(at, n), resumed, n), kMinToneSnrDb);
}

TEST_P(ConcealerToneTest, ALongLossFadesToSilence) {
  const std::size_t n = static_cast<std::size_t>(GetParam().rate / kFramesPerSecond);
  Concealer concealer(GetParam().rate);
  std::vector<int16_t> good = ToneFrame(0, n);
  concealer.AddGoodFrame(good.data(), n);
  std::vector<int16_t> fill(n);
  double firstEnergy = 0;
  for (int f = 0; f < kFramesToSilence; ++f) {
    ASSERT_TRUE(concealer.ConcealFrame(fill.data(), n));
    if (f == 0) {
      for (int16_t v : fill) firstEnergy += static_cast<double>(v) * v;
    }
  }
  EXPECT_GT(firstEnergy, 0);
  ASSERT_TRUE(concealer.ConcealFrame(fill.data(), n));
  EXPECT_EQ(fill, std::vector<int16_t>(n, 0));
}

INSTANTIATE_TEST_SUITE_P(Rates, ConcealerToneTest,
                         testing::Values(RateCase{{"Rate8000"}, 8000},
                                         RateCase{{"Rate11025"}, 11025},
                                         RateCase{{"Rate16000"}, 16000},
                                         RateCase{{"Rate44100"}, 44100},
                                         RateCase{{"Rate48000"}, 48000}),
                         RowName());

TEST(ConcealerTest, ALossBeforeAnyAudioStaysSilentAndSaysSo) {
  constexpr std::size_t kSamples = 160;
  constexpr int16_t kStale = 1234;
  Concealer concealer(8000);
  std::vector<int16_t> frame(kSamples, kStale);
  EXPECT_FALSE(concealer.ConcealFrame(frame.data(), kSamples));
  EXPECT_EQ(frame, std::vector<int16_t>(kSamples, 0));

  std::vector<int16_t> good(kSamples, kStale);
  concealer.AddGoodFrame(good.data(), kSamples);
  EXPECT_TRUE(concealer.ConcealFrame(frame.data(), kSamples));
  concealer.Reset();
  frame.assign(kSamples, kStale);
  EXPECT_FALSE(concealer.ConcealFrame(frame.data(), kSamples));
  EXPECT_EQ(frame, std::vector<int16_t>(kSamples, 0));
}

TEST(ConcealerTest, RefusesRatesOutside8To48Kilohertz) {
  EXPECT_THROW(Concealer(7999), std::invalid_argument);
  EXPECT_THROW(Concealer(48001), std::invalid_argument);
  EXPECT_NO_THROW(Concealer(8000));
  EXPECT_NO_THROW(Concealer(48000));
}

}  // namespace
}  // namespace zbtest
