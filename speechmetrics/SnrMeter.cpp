// Energies accumulated in double: a long stream of 16-bit samples stays exact enough.
#include "speechmetrics/SnrMeter.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace zbspeechmetrics {

namespace {

constexpr double kDecibelsPerDecade = 10.0;

double RatioDb(double signal, double error) {
  if (error == 0) return std::numeric_limits<double>::infinity();
  if (signal == 0) return -std::numeric_limits<double>::infinity();
  return kDecibelsPerDecade * std::log10(signal / error);
}

}  // namespace

void SnrMeter::AddFrame(const int16_t* reference, const int16_t* test, std::size_t nSamples) {
  double signal = 0;
  double error = 0;
  for (std::size_t i = 0; i < nSamples; ++i) {
    const double r = reference[i];
    const double d = r - test[i];
    signal += r * r;
    error += d * d;
  }
  m_signal += signal;
  m_error += error;
  m_segmentSum += std::clamp(RatioDb(signal, error), kSegmentMinDb, kSegmentMaxDb);
  ++m_nFrames;
}

double SnrMeter::SnrDb() const {
  if (m_nFrames == 0) return std::numeric_limits<double>::quiet_NaN();
  return RatioDb(m_signal, m_error);
}

double SnrMeter::SegmentalSnrDb() const {
  if (m_nFrames == 0) return std::numeric_limits<double>::quiet_NaN();
  return m_segmentSum / static_cast<double>(m_nFrames);
}

}  // namespace zbspeechmetrics
