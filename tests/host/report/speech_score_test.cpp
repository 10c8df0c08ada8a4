// The speech figures of a stream, with STOI worked out on its own thread from signals each
// resampled once, equal the published measure taken of the whole signals.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "host/io/SpeechSignal.h"
#include "host/report/SpeechScore.h"
#include "speechmetrics/Stoi.h"

namespace zbtest {
namespace {

using namespace zbhost;

constexpr int32_t kRate = 16000;
constexpr int32_t kFrameSamples = 320;
constexpr double kSeconds = 62;  // more than two of STOI's chunks
constexpr unsigned kSeed = 5;

TEST(SpeechScoreTest, StoiAlongsideTheStreamEqualsTheWholeSignalsMeasure) {
  const std::vector<int16_t> input = GenerateSpeechLike(kRate, kSeconds);
  std::mt19937 random(kSeed);
  std::normal_distribution<double> coding(0, 200);  // a coding error
  std::vector<int16_t> lossless(input.size());
  for (size_t i = 0; i < input.size(); ++i) {
    lossless[i] = static_cast<int16_t>(std::clamp(input[i] + coding(random), -32768.0, 32767.0));
  }
  // Every tenth frame lost to silence.
  std::vector<int16_t> decoded = lossless;
  for (size_t at = 0; at < decoded.size(); at += 10 * kFrameSamples) {
    std::fill_n(decoded.begin() + static_cast<ptrdiff_t>(at),
                std::min<size_t>(kFrameSamples, decoded.size() - at), 0);
  }
  SpeechScore score(kRate, kFrameSamples);
  for (size_t at = 0; at < input.size(); at += kFrameSamples) {
    const size_t length = std::min<size_t>(kFrameSamples, input.size() - at);
    score.Add(&input[at], &lossless[at], &decoded[at], length, at % (10 * kFrameSamples) == 0);
  }
  const SpeechFigures vsInput = score.FinishVsInput();
  const SpeechFigures vsLossless = score.FinishVsLossless();
  EXPECT_DOUBLE_EQ(vsInput.stoi, zbspeechmetrics::Stoi(input.data(), decoded.data(), input.size(), kRate))
      << "seed " << kSeed;
  EXPECT_DOUBLE_EQ(vsLossless.stoi,
                   zbspeechmetrics::Stoi(lossless.data(), decoded.data(), input.size(), kRate))
      << "seed " << kSeed;
  EXPECT_GT(vsLossless.lostSpeechFrames, 0);
}

}  // namespace
}  // namespace zbtest
