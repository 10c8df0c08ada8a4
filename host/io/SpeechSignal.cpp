// The built-in speech-like test signal.
#include "host/io/SpeechSignal.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

namespace zbhost {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kPeak = 24000.0;             // bound of the voiced amplitude, about -2.7 dBFS
constexpr double kNoiseLevel = 2500.0;        // fricative amplitude
constexpr double kTopHarmonicHz = 3800.0;     // voiced harmonics stop here (or near Nyquist)
constexpr double kRampSeconds = 0.015;        // onset and release of each segment
constexpr double kFormantBandwidthHz = 120.0;
constexpr uint32_t kScriptSeed = 0x5eedu;     // fixes the syllable script

// First three formants of a few vowels, in Hz.
constexpr std::array<std::array<double, 3>, 5> kVowels = {{
    {730, 1090, 2440},  // a
    {530, 1840, 2480},  // e
    {270, 2290, 3010},  // i
    {570, 840, 2410},   // o
    {300, 870, 2240},   // u
}};

enum class SegmentKind { Voiced, Noise, Pause };

// A fixed linear congruential generator: the script and the noise are the same everywhere.
class ScriptRandom {
 public:
  explicit ScriptRandom(uint32_t seed) : m_state(seed) {}
  uint32_t Next() {
    m_state = m_state * 1664525u + 1013904223u;
    return m_state;
  }
  double Uniform() { return static_cast<double>(Next() >> 8) / static_cast<double>(1u << 24); }

 private:
  uint32_t m_state;
};

double Envelope(double t, double length) {
  const double ramp = std::min(kRampSeconds, length / 2);
  return std::min({1.0, t / ramp, (length - t) / ramp});
}

double FormantGain(double frequency, const std::array<double, 3>& formants) {
  double gain = 0;
  for (double formant : formants) {
    const double x = (frequency - formant) / kFormantBandwidthHz;
    gain += 1.0 / (1.0 + x * x);
  }
  return gain;
}

}  // namespace

std::vector<int16_t> GenerateSpeechLike(int32_t rate, double seconds) {
  const size_t total = static_cast<size_t>(std::llround(seconds * rate));
  std::vector<double> signal(total, 0.0);
  ScriptRandom random(kScriptSeed);
  const double topHarmonic = std::min(kTopHarmonicHz, 0.45 * rate);

  size_t start = 0;
  double phase = 0;
  int syllable = 0;
  while (start < total) {
    // A syllable: optional fricative, a voiced vowel, then a pause now and then.
    const SegmentKind pattern[] = {SegmentKind::Noise, SegmentKind::Voiced, SegmentKind::Pause};
    for (SegmentKind kind : pattern) {
      double length = 0;
      if (kind == SegmentKind::Noise) length = (syllable % 3 == 0) ? 0.06 + 0.08 * random.Uniform() : 0;
      if (kind == SegmentKind::Voiced) length = 0.15 + 0.25 * random.Uniform();
      if (kind == SegmentKind::Pause) length = (syllable % 4 == 3) ? 0.2 + 0.3 * random.Uniform() : 0.03;
      const size_t count = std::min(total - start, static_cast<size_t>(length * rate));
      const auto& vowel = kVowels[random.Next() % kVowels.size()];
      const double pitchFrom = 100 + 120 * random.Uniform();
      const double pitchTo = pitchFrom * (0.8 + 0.4 * random.Uniform());
      for (size_t i = 0; i < count; ++i) {
        const double t = static_cast<double>(i) / rate;
        const double env = Envelope(t, length);
        double value = 0;
        if (kind == SegmentKind::Voiced) {
          const double pitch = pitchFrom + (pitchTo - pitchFrom) * t / length;
          phase += 2 * kPi * pitch / rate;
          double sum = 0;
          double norm = 0;
          for (int k = 1; k * pitch < topHarmonic; ++k) {
            const double gain = FormantGain(k * pitch, vowel) / k;
            sum += gain * std::sin(k * phase);
            norm += gain;
          }
          value = norm > 0 ? kPeak * env * sum / norm : 0;
        } else if (kind == SegmentKind::Noise) {
          value = kNoiseLevel * env * (2 * random.Uniform() - 1);
        }
        signal[start + i] = value;
      }
      start += count;
      if (start >= total) break;
    }
    phase = std::fmod(phase, 2 * kPi);
    ++syllable;
  }

  std::vector<int16_t> samples(total);
  for (size_t i = 0; i < total; ++i) {
    samples[i] = static_cast<int16_t>(std::clamp<long>(std::lround(signal[i]), std::numeric_limits<int16_t>::min(),
                                                       std::numeric_limits<int16_t>::max()));
  }
  return samples;
}

}  // namespace zbhost
