// STOI by its known behaviour: 1 for identical signals, and for speech in white noise at
// 20, 0 and -10 dB SNR about 0.99, 0.78 and 0.56. The speech is spoken by espeak-ng and
// taken to 8 kHz, so that the noise is white over the bands the measure looks at. Fed as a
// stream, frame by frame, the measure gives the same figures.
#include <gtest/gtest.h>

#include <sndfile.h>
#include <soxr.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "speechmetrics/Stoi.h"
#include "tests/support/CaseNames.h"

namespace zbtest {
namespace {

constexpr char kSentences[] =
    "The birch canoe slid on the smooth planks. Glue the sheet to the dark blue background. "
    "It is easy to tell the depth of a well. These days a chicken leg is a rare dish.";
constexpr double kTolerance = 0.03;
constexpr unsigned kNoiseSeed = 1;
constexpr int kRate = 8000;
constexpr int kFramesPerSecond = 50;

struct Speech {
  std::vector<int16_t> pcm;
  int rate = 0;
};

// Spoken once for all the rows.
const Speech& SpokenSpeech() {
  static const Speech speech = [] {
    // One file per process: CTest runs the rows side by side.
    const std::string path = testing::TempDir() + "stoi_test_speech_" + std::to_string(getpid()) + ".wav";
    const std::string command = "espeak-ng -v en-us -w '" + path + "' '" + kSentences + "'";
    Speech s;
    if (std::system(command.c_str()) != 0) return s;
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr || info.channels != 1) return s;
    std::vector<int16_t> spoken(static_cast<std::size_t>(info.frames));
    spoken.resize(static_cast<std::size_t>(sf_read_short(file, spoken.data(), info.frames)));
    sf_close(file);
    std::remove(path.c_str());
    s.pcm.resize(spoken.size() * kRate / static_cast<std::size_t>(info.samplerate));
    const soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_I, SOXR_INT16_I);
    std::size_t done = 0;
    if (soxr_oneshot(info.samplerate, kRate, 1, spoken.data(), spoken.size(), nullptr, s.pcm.data(),
                     s.pcm.size(), &done, &io, nullptr, nullptr) != nullptr) {
      s.pcm.clear();
      return s;
    }
    s.pcm.resize(done);
    s.rate = kRate;
    return s;
  }();
  return speech;
}

struct NoiseCase : NamedRow {
  double snrDb;
  double expected;
};

class StoiNoiseTest : public testing::TestWithParam<NoiseCase> {};

TEST_P(StoiNoiseTest, FallsWithNoiseAsPublished) {
  const Speech& speech = SpokenSpeech();
  ASSERT_FALSE(speech.pcm.empty()) << "espeak-ng could not speak the test sentences";
  double power = 0;
  for (int16_t v : speech.pcm) power += static_cast<double>(v) * v;
  power /= static_cast<double>(speech.pcm.size());
  std::mt19937 random(kNoiseSeed);
  std::normal_distribution<double> noise(0, std::sqrt(power / std::pow(10, GetParam().snrDb / 10)));
  std::vector<int16_t> noisy(speech.pcm.size());
  for (std::size_t i = 0; i < noisy.size(); ++i) {
    noisy[i] = static_cast<int16_t>(std::clamp(std::lround(speech.pcm[i] + noise(random)), -32768L, 32767L));
  }
  const double whole = zbspeechmetrics::Stoi(speech.pcm.data(), noisy.data(), noisy.size(), speech.rate);
  EXPECT_NEAR(whole, GetParam().expected, kTolerance) << "noise seed " << kNoiseSeed;

  // Fed in 20 ms frames, as a stream, the figure is the same.
  zbspeechmetrics::StoiMeter meter(speech.rate);
  const std::size_t frame = static_cast<std::size_t>(speech.rate / kFramesPerSecond);
  for (std::size_t at = 0; at < noisy.size(); at += frame) {
    meter.Add(&speech.pcm[at], &noisy[at], std::min(frame, noisy.size() - at));
  }
  EXPECT_NEAR(meter.Finish(), whole, 1e-9);
}

INSTANTIATE_TEST_SUITE_P(WhiteNoise, StoiNoiseTest,
                         testing::Values(NoiseCase{{"Snr20dB"}, 20.0, 0.99},
                                         NoiseCase{{"Snr0dB"}, 0.0, 0.78},
                                         NoiseCase{{"SnrMinus10dB"}, -10.0, 0.56}),
                         RowName());

TEST(StoiTest, IsOneForIdenticalSignalsAndUndefinedForTooLittleSpeech) {
  const Speech& speech = SpokenSpeech();
  ASSERT_FALSE(speech.pcm.empty()) << "espeak-ng could not speak the test sentences";
  EXPECT_NEAR(zbspeechmetrics::Stoi(speech.pcm.data(), speech.pcm.data(), speech.pcm.size(), speech.rate),
              1.0, 1e-9);
  // Less than one 384 ms segment: no figure.
  const std::size_t short_ = static_cast<std::size_t>(speech.rate / 4);
  EXPECT_TRUE(std::isnan(zbspeechmetrics::Stoi(speech.pcm.data(), speech.pcm.data(), short_, speech.rate)));
}

}  // namespace
}  // namespace zbtest
