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

}  // namespace

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

namespace {

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

SpeechSignal::SpeechSignal(int32_t rate, double seconds)
    : m_nRate(rate),
      m_nTotal(static_cast<int64_t>(std::llround(seconds * rate))),
      m_topHarmonic(std::min(kTopHarmonicHz, 0.45 * rate)),
      m_random(std::make_unique<ScriptRandom>(kScriptSeed)) {}

SpeechSignal::~SpeechSignal() = default;

// A syllable: optional fricative, a voiced vowel, then a pause now and then.
void SpeechSignal::NextSegment() {
  constexpr SegmentKind kPattern[] = {SegmentKind::Noise, SegmentKind::Voiced, SegmentKind::Pause};
  if (m_nPattern == std::size(kPattern)) {
    m_nPattern = 0;
    m_phase = std::fmod(m_phase, 2 * kPi);
    ++m_nSyllable;
  }
  ScriptRandom& random = *m_random;
  m_kind = static_cast<int>(kPattern[m_nPattern++]);
  const SegmentKind kind = kPattern[m_nPattern - 1];
  m_length = 0;
  if (kind == SegmentKind::Noise) m_length = (m_nSyllable % 3 == 0) ? 0.06 + 0.08 * random.Uniform() : 0;
  if (kind == SegmentKind::Voiced) m_length = 0.15 + 0.25 * random.Uniform();
  if (kind == SegmentKind::Pause) m_length = (m_nSyllable % 4 == 3) ? 0.2 + 0.3 * random.Uniform() : 0.03;
  m_nCount = std::min<int64_t>(m_nTotal - m_nProduced, static_cast<int64_t>(m_length * m_nRate));
  m_nVowel = random.Next() % kVowels.size();
  m_pitchFrom = 100 + 120 * random.Uniform();
  m_pitchTo = m_pitchFrom * (0.8 + 0.4 * random.Uniform());
  m_nIndex = 0;
}

double SpeechSignal::NextValue() {
  const double t = static_cast<double>(m_nIndex) / m_nRate;
  const double env = Envelope(t, m_length);
  const SegmentKind kind = static_cast<SegmentKind>(m_kind);
  if (kind == SegmentKind::Voiced) {
    const double pitch = m_pitchFrom + (m_pitchTo - m_pitchFrom) * t / m_length;
    m_phase += 2 * kPi * pitch / m_nRate;
    double sum = 0;
    double norm = 0;
    for (int k = 1; k * pitch < m_topHarmonic; ++k) {
      const double gain = FormantGain(k * pitch, kVowels[m_nVowel]) / k;
      sum += gain * std::sin(k * m_phase);
      norm += gain;
    }
    return norm > 0 ? kPeak * env * sum / norm : 0;
  }
  if (kind == SegmentKind::Noise) return kNoiseLevel * env * (2 * m_random->Uniform() - 1);
  return 0;
}

size_t SpeechSignal::Read(int16_t* out, size_t count) {
  size_t done = 0;
  while (done < count && m_nProduced < m_nTotal) {
    while (m_nIndex >= m_nCount) NextSegment();
    out[done++] = static_cast<int16_t>(std::clamp<long>(std::lround(NextValue()),
                                                        std::numeric_limits<int16_t>::min(),
                                                        std::numeric_limits<int16_t>::max()));
    ++m_nIndex;
    ++m_nProduced;
  }
  return done;
}

std::vector<int16_t> GenerateSpeechLike(int32_t rate, double seconds) {
  SpeechSignal signal(rate, seconds);
  std::vector<int16_t> samples(static_cast<size_t>(signal.total()));
  signal.Read(samples.data(), samples.size());
  return samples;
}

}  // namespace zbhost
