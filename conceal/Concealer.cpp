// Pitch-synchronous repetition with cross-fades, a held and then falling gain, and a
// cross-fade back into the good audio.
#include "conceal/Concealer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

namespace zbconceal {

namespace {

constexpr int kMinRate = 8000;   // Hz
constexpr int kMaxRate = 48000;  // Hz
constexpr std::size_t kMaxPeriods = 3;  // the most periods a long fill replays
// The level is held for 5 ms, then falls 8 % per 10 ms, silent after 130 ms: on speech this
// scored better on every figure than holding 10 ms and falling 10 % per 10 ms.
constexpr double kHoldSeconds = 0.005;
constexpr double kDecayPerSecond = 8.0;
constexpr double kGrowSeconds = 0.020;     // 2 periods from 20 ms, 3 from 40 ms
// A short period is replayed twice (or three times) from the start, so that a high voice
// is not turned into a buzz of a few milliseconds: on speech this brought the fill's
// spectrum closer.
constexpr double kMinReplaySeconds = 0.008;
constexpr std::size_t kQuartersPerPeriod = 4;

// Rounded half away from zero by truncating casts, which compile inline (std::lround is a
// library call, an eighth of the cost of a fill at 48 kHz).
int16_t Saturate(float value) {
  constexpr float kMin = std::numeric_limits<int16_t>::min();
  constexpr float kMax = std::numeric_limits<int16_t>::max();
  const float clamped = std::clamp(value, kMin, kMax);
  return static_cast<int16_t>(clamped >= 0 ? static_cast<int>(clamped + 0.5f)
                                           : -static_cast<int>(0.5f - clamped));
}

int CheckedRate(int sampleRate) {
  if (sampleRate < kMinRate || sampleRate > kMaxRate) {
    throw std::invalid_argument("concealment needs a sample rate from 8000 to 48000 Hz, not " +
                                std::to_string(sampleRate));
  }
  return sampleRate;
}

std::size_t Samples(double seconds, int rate) {
  return static_cast<std::size_t>(std::lround(seconds * rate));
}

}  // namespace

Concealer::Concealer(int sampleRate)
    : m_nHoldSamples(Samples(kHoldSeconds, CheckedRate(sampleRate))),
      m_fDecayPerSample(static_cast<float>(kDecayPerSecond / sampleRate)),
      m_nGrowSamples(Samples(kGrowSeconds, sampleRate)),
      m_nMinReplay(Samples(kMinReplaySeconds, sampleRate)),
      m_pitch(sampleRate) {
  // Enough for the search and for the most periods replayed.
  m_history.assign(std::max(m_pitch.Span(), kMaxPeriods * m_pitch.MaxLag()), 0.0f);
  m_source.assign(m_history.size(), 0.0f);
}

void Concealer::Reset() {
  std::fill(m_history.begin(), m_history.end(), 0.0f);
  m_bHasHistory = false;
  m_bInFill = false;
}

void Concealer::AddGoodFrame(int16_t* pcm, std::size_t nSamples) {
  if (nSamples == 0) return;
  if (m_bInFill) {
    // The fill goes on under the first quarter period of the good audio and fades out.
    const std::size_t n = std::min(m_nOverlap, nSamples);
    const float step = 1.0f / static_cast<float>(m_nOverlap + 1);
    for (std::size_t i = 0; i < n; ++i) {
      const float w = static_cast<float>(i + 1) * step;
      pcm[i] = Saturate(w * pcm[i] + (1.0f - w) * NextFillSample());
    }
    m_bInFill = false;
  }
  AppendHistory(pcm, nSamples);
  m_bHasHistory = true;
}

bool Concealer::ConcealFrame(int16_t* pcm, std::size_t nSamples) {
  if (!m_bHasHistory) {
    std::fill(pcm, pcm + nSamples, int16_t{0});
    return false;
  }
  if (!m_bInFill) StartFill();
  m_bInFill = true;
  for (std::size_t i = 0; i < nSamples; ++i) pcm[i] = Saturate(NextFillSample());
  AppendHistory(pcm, nSamples);
  return true;
}

void Concealer::StartFill() {
  m_nPeriod = m_pitch.Find(m_history.data() + m_history.size());
  m_nOverlap = std::max<std::size_t>(1, m_nPeriod / kQuartersPerPeriod);
  // Replayed as it is: the joint of the last period with its own start is the joint of
  // the history with the fill, smooth where the pitch holds. Blending the period's end
  // into the audio a period earlier (to hide a step there) scored worse on speech.
  m_source = m_history;
  m_nPeriods = 1;
  while (m_nPeriods < kMaxPeriods && m_nPeriods * m_nPeriod < m_nMinReplay) ++m_nPeriods;
  m_nPos = 0;
  m_nFilled = 0;
  m_nFadeLeft = 0;
}

float Concealer::Replayed(std::size_t periods, std::size_t& pos) const {
  const std::size_t length = periods * m_nPeriod;
  const float value = m_source[m_source.size() - length + pos];
  if (++pos == length) pos = 0;
  return value;
}

float Concealer::NextFillSample() {
  if (m_nPeriods < kMaxPeriods && m_nFilled == m_nPeriods * m_nGrowSamples) {
    // Past the stretch the periods replayed now are due for: one period more, entered at the
    // same phase one period further back, cross-faded.
    m_nFadePos = m_nPos;
    m_nFadeLeft = m_nOverlap;
    ++m_nPeriods;
  }
  float value = Replayed(m_nPeriods, m_nPos);
  if (m_nFadeLeft > 0) {
    const float w = static_cast<float>(m_nFadeLeft) / static_cast<float>(m_nOverlap + 1);
    value = (1.0f - w) * value + w * Replayed(m_nPeriods - 1, m_nFadePos);
    --m_nFadeLeft;
  }
  float gain = 1.0f;
  if (m_nFilled > m_nHoldSamples) {
    gain = std::max(0.0f, 1.0f - m_fDecayPerSample * static_cast<float>(m_nFilled - m_nHoldSamples));
  }
  ++m_nFilled;
  return gain * value;
}

void Concealer::AppendHistory(const int16_t* pcm, std::size_t nSamples) {
  const std::size_t size = m_history.size();
  const std::size_t n = std::min(nSamples, size);
  std::memmove(m_history.data(), m_history.data() + n, (size - n) * sizeof(float));
  const int16_t* from = pcm + (nSamples - n);
  for (std::size_t i = 0; i < n; ++i) m_history[size - n + i] = from[i];
}

}  // namespace zbconceal
