// Power spectra with FFTW's real transform, one plan for every frame.
#include "speechmetrics/SpectralDistance.h"

#include <cmath>
#include <algorithm>
#include <limits>
#include <vector>

#include "speechmetrics/RealTransform.h"

namespace zbspeechmetrics {

namespace {

constexpr double kFullScale = 32768.0;
constexpr double kTwoPi = 6.283185307179586;
constexpr double kDecibelsPerDecade = 10.0;

}  // namespace

struct SpectralDistance::Transform {
  explicit Transform(std::size_t n) : size(n), window(n), transform(n) {
    double sum = 0;
    for (std::size_t i = 0; i < n; ++i) {
      window[i] = 0.5 - 0.5 * std::cos(kTwoPi * (static_cast<double>(i) + 0.5) / static_cast<double>(n));
      sum += window[i];
    }
    // Scaled so that a full-scale sine peaks at 0 dB in its bin.
    for (double& w : window) w /= kFullScale * sum / 2;
    floor = std::pow(10.0, kSpectrumFloorDb / kDecibelsPerDecade);
  }

  // The frame's power spectrum in dB, floored.
  void SpectrumDb(const int16_t* pcm, std::vector<double>& db) {
    double* in = transform.in();
    for (std::size_t i = 0; i < size; ++i) in[i] = pcm[i] * window[i];
    transform.Run();
    const fftw_complex* out = transform.out();
    db.resize(size / 2 + 1);
    for (std::size_t k = 0; k < db.size(); ++k) {
      const double power = out[k][0] * out[k][0] + out[k][1] * out[k][1];
      db[k] = kDecibelsPerDecade * std::log10(std::max(power, floor));
    }
  }

  std::size_t size;
  std::vector<double> window;
  RealTransform transform;
  double floor = 0;
  std::vector<double> reference;
  std::vector<double> test;
};

SpectralDistance::SpectralDistance(std::size_t frameSamples)
    : m_transform(std::make_unique<Transform>(frameSamples)) {}

SpectralDistance::~SpectralDistance() = default;

std::optional<double> SpectralDistance::AddFrame(const int16_t* reference, const int16_t* test) {
  Transform& t = *m_transform;
  double energy = 0;
  for (std::size_t i = 0; i < t.size; ++i) energy += static_cast<double>(reference[i]) * reference[i];
  const double rms = std::sqrt(energy / static_cast<double>(t.size)) / kFullScale;
  if (rms == 0 || 2 * kDecibelsPerDecade * std::log10(rms) < kSpeechFrameDb) return std::nullopt;
  t.SpectrumDb(reference, t.reference);
  t.SpectrumDb(test, t.test);
  double sum = 0;
  for (std::size_t k = 0; k < t.reference.size(); ++k) {
    const double d = t.reference[k] - t.test[k];
    sum += d * d;
  }
  const double distance = std::sqrt(sum / static_cast<double>(t.reference.size()));
  m_sum += distance;
  ++m_nFrames;
  return distance;
}

double SpectralDistance::MeanDb() const {
  if (m_nFrames == 0) return std::numeric_limits<double>::quiet_NaN();
  return m_sum / static_cast<double>(m_nFrames);
}

}  // namespace zbspeechmetrics
