// Two-stage pitch search by normalised correlation.
#include "conceal/PitchSearch.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace zbconceal {

namespace {

constexpr double kMinPeriodSeconds = 0.005;
constexpr double kMaxPeriodSeconds = 0.015;
constexpr double kWindowSeconds = 0.005;  // short: the latest audio predicts the next best
constexpr int kCoarseRate = 4000;  // Hz

std::size_t Samples(double seconds, std::size_t rate) {
  return static_cast<std::size_t>(std::lround(seconds * static_cast<double>(rate)));
}

// Correlation of `window` samples ending at `end` with those `lag` before them, and the energy
// of the lagged samples.
struct Match {
  float correlation = 0;
  float energy = 0;
};

Match Compare(const float* end, std::size_t window, std::size_t lag) {
  const float* now = end - window;
  const float* then = now - lag;
  // Four partial sums, so the loop is not one long chain of dependent additions.
  float c[4] = {0, 0, 0, 0};
  float e[4] = {0, 0, 0, 0};
  std::size_t i = 0;
  for (; i + 4 <= window; i += 4) {
    for (std::size_t k = 0; k < 4; ++k) {
      c[k] += now[i + k] * then[i + k];
      e[k] += then[i + k] * then[i + k];
    }
  }
  for (; i < window; ++i) {
    c[0] += now[i] * then[i];
    e[0] += then[i] * then[i];
  }
  return {c[0] + c[1] + c[2] + c[3], e[0] + e[1] + e[2] + e[3]};
}

// The lag in [minLag, maxLag] whose match scores best; `minLag` when none has energy.
std::size_t BestLag(const float* end, std::size_t window, std::size_t minLag,
                    std::size_t maxLag) {
  std::size_t best = minLag;
  float bestScore = -std::numeric_limits<float>::infinity();
  for (std::size_t lag = minLag; lag <= maxLag; ++lag) {
    const Match m = Compare(end, window, lag);
    if (m.energy <= 0) continue;
    // Dividing by the lagged energy's root alone ranks the lags as the fully normalised
    // correlation does: the window's own energy is the same for all of them.
    const float score = m.correlation / std::sqrt(m.energy);
    if (score > bestScore) {
      bestScore = score;
      best = lag;
    }
  }
  return best;
}

}  // namespace

PitchSearch::PitchSearch(int sampleRate) {
  const auto rate = static_cast<std::size_t>(sampleRate);
  m_nFactor = std::max<std::size_t>(1, Samples(1.0 / kCoarseRate, rate));
  m_nWindow = Samples(kWindowSeconds, rate);
  m_nMinLag = Samples(kMinPeriodSeconds, rate);
  m_nMaxLag = Samples(kMaxPeriodSeconds, rate);
  m_coarse.resize(Span() / m_nFactor);
}

std::size_t PitchSearch::Find(const float* end) {
  // The coarse copy: each of its samples the mean of m_nFactor samples, ending at `end`.
  const std::size_t nCoarse = m_coarse.size();
  const float* from = end - nCoarse * m_nFactor;
  const float scale = 1.0f / static_cast<float>(m_nFactor);
  for (std::size_t j = 0; j < nCoarse; ++j) {
    float sum = 0;
    for (std::size_t k = 0; k < m_nFactor; ++k) sum += from[j * m_nFactor + k];
    m_coarse[j] = sum * scale;
  }
  const std::size_t coarseWindow = m_nWindow / m_nFactor;
  const std::size_t coarseMax = std::min(m_nMaxLag / m_nFactor, nCoarse - coarseWindow);
  const std::size_t coarseMin = std::min((m_nMinLag + m_nFactor - 1) / m_nFactor, coarseMax);
  const std::size_t coarse =
      BestLag(m_coarse.data() + nCoarse, coarseWindow, coarseMin, coarseMax) * m_nFactor;

  // Refined at the full rate within one coarse step either side.
  const std::size_t low = std::max(m_nMinLag, coarse > m_nFactor ? coarse - m_nFactor : 0);
  const std::size_t high = std::min(m_nMaxLag, coarse + m_nFactor);
  return BestLag(end, m_nWindow, low, high);
}

}  // namespace zbconceal
