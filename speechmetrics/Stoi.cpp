// The measure as published: resampling by libsoxr, transforms by FFTW.
#include "speechmetrics/Stoi.h"

#include "speechmetrics/RealTransform.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include <soxr.h>

namespace zbspeechmetrics {

namespace {

constexpr int kRate = kStoiRate;
constexpr std::size_t kFrame = 256;         // samples
constexpr std::size_t kHop = kFrame / 2;
constexpr std::size_t kFft = 512;
constexpr std::size_t kBins = kFft / 2 + 1;
constexpr std::size_t kBands = 15;
// A frame's band envelopes lie side by side, padded to a whole number of vector lanes: the
// segment correlations then work on every band at once, each band's sums still taken frame
// by frame in order. The padding stays zero and is never counted.
constexpr std::size_t kBandStride = 16;
constexpr double kLowestCentreHz = 150.0;
constexpr std::size_t kSegmentFrames = 30;  // 384 ms
constexpr double kClipDb = -15.0;           // lowest signal-to-distortion ratio kept
constexpr double kDynamicRangeDb = 40.0;    // frames further below the loudest are silence
constexpr double kEpsilon = std::numeric_limits<double>::epsilon();
constexpr double kTwoPi = 6.283185307179586;
constexpr double kThirdsPerOctave = 3.0;

using Signal = std::vector<double>;

// A Hann window without its zero end points.
std::vector<double> Window() {
  std::vector<double> w(kFrame);
  for (std::size_t i = 0; i < kFrame; ++i) {
    w[i] = 0.5 - 0.5 * std::cos(kTwoPi * static_cast<double>(i + 1) / (kFrame + 1));
  }
  return w;
}

// The first `n` samples of both signals with the reference's silent frames cut out, the
// kept windowed frames overlap-added again into `xs` and `ys`.
void RemoveSilence(const std::vector<double>& w, const float* x, const float* y, std::size_t n,
                   Signal& xs, Signal& ys) {
  xs.clear();
  ys.clear();
  if (n < kFrame) return;
  const std::size_t frames = (n - kFrame) / kHop + 1;
  std::vector<double> level(frames);
  double loudest = -std::numeric_limits<double>::infinity();
  for (std::size_t f = 0; f < frames; ++f) {
    double energy = 0;
    for (std::size_t i = 0; i < kFrame; ++i) {
      const double v = w[i] * x[f * kHop + i];
      energy += v * v;
    }
    level[f] = 20.0 * std::log10(std::sqrt(energy) + kEpsilon);
    loudest = std::max(loudest, level[f]);
  }
  // Room for every frame, so nothing moves while they are added.
  xs.assign(n, 0.0);
  ys.assign(n, 0.0);
  std::size_t kept = 0;
  for (std::size_t f = 0; f < frames; ++f) {
    if (loudest - kDynamicRangeDb - level[f] >= 0) continue;
    for (std::size_t i = 0; i < kFrame; ++i) {
      xs[kept * kHop + i] += w[i] * x[f * kHop + i];
      ys[kept * kHop + i] += w[i] * y[f * kHop + i];
    }
    ++kept;
  }
  const std::size_t length = kept == 0 ? 0 : (kept - 1) * kHop + kFrame;
  xs.resize(length);
  ys.resize(length);
}

// The first and one-past-last transform bins of each one-third-octave band.
std::vector<std::pair<std::size_t, std::size_t>> Bands() {
  const auto nearest = [](double hz) {
    return static_cast<std::size_t>(std::lround(hz * kFft / kRate));
  };
  std::vector<std::pair<std::size_t, std::size_t>> bands(kBands);
  for (std::size_t j = 0; j < kBands; ++j) {
    const double k = static_cast<double>(j);
    bands[j] = {nearest(kLowestCentreHz * std::pow(2.0, (2 * k - 1) / (2 * kThirdsPerOctave))),
                nearest(kLowestCentreHz * std::pow(2.0, (2 * k + 1) / (2 * kThirdsPerOctave)))};
  }
  return bands;
}

// Band envelopes, frame after frame (kBandStride apart), of the frames starting every hop
// while a whole frame and more fits.
std::vector<double> Envelopes(const Signal& s, const std::vector<double>& w, RealTransform& transform) {
  const auto bands = Bands();
  const std::size_t frames = s.size() > kFrame ? (s.size() - kFrame - 1) / kHop + 1 : 0;
  std::vector<double> env(frames * kBandStride, 0.0);
  double* in = transform.in();
  const fftw_complex* out = transform.out();
  for (std::size_t f = 0; f < frames; ++f) {
    std::fill(in, in + kFft, 0.0);
    for (std::size_t i = 0; i < kFrame; ++i) in[i] = w[i] * s[f * kHop + i];
    transform.Run();
    for (std::size_t j = 0; j < kBands; ++j) {
      double power = 0;
      for (std::size_t k = bands[j].first; k < bands[j].second && k < kBins; ++k) {
        power += out[k][0] * out[k][0] + out[k][1] * out[k][1];
      }
      env[f * kBandStride + j] = std::sqrt(power);
    }
  }
  return env;
}

// Correlation of each band's reference and test envelopes over the segment of frames that
// `x` and `y` start, the test first scaled to the reference's energy and clipped. Each sum
// adds the same terms in the same order as the textbook's separate passes, in three passes.
void SegmentCorrelations(const double* x, const double* y, double* correlations) {
  constexpr std::size_t kLanes = kBandStride;
  double xx[kLanes] = {};
  double yy[kLanes] = {};
  for (std::size_t i = 0; i < kSegmentFrames; ++i) {
    for (std::size_t j = 0; j < kLanes; ++j) {
      xx[j] += x[i * kLanes + j] * x[i * kLanes + j];
      yy[j] += y[i * kLanes + j] * y[i * kLanes + j];
    }
  }
  double scale[kLanes];
  for (std::size_t j = 0; j < kLanes; ++j) scale[j] = std::sqrt(xx[j]) / (std::sqrt(yy[j]) + kEpsilon);
  const double clip = 1.0 + std::pow(10.0, -kClipDb / 20.0);
  double ys[kSegmentFrames * kLanes];
  double xMean[kLanes] = {};
  double yMean[kLanes] = {};
  for (std::size_t i = 0; i < kSegmentFrames; ++i) {
    for (std::size_t j = 0; j < kLanes; ++j) {
      ys[i * kLanes + j] = std::min(y[i * kLanes + j] * scale[j], x[i * kLanes + j] * clip);
      xMean[j] += x[i * kLanes + j];
      yMean[j] += ys[i * kLanes + j];
    }
  }
  for (std::size_t j = 0; j < kLanes; ++j) {
    xMean[j] /= kSegmentFrames;
    yMean[j] /= kSegmentFrames;
  }
  double dot[kLanes] = {};
  double xNorm[kLanes] = {};
  double yNorm[kLanes] = {};
  for (std::size_t i = 0; i < kSegmentFrames; ++i) {
    for (std::size_t j = 0; j < kLanes; ++j) {
      const double xc = x[i * kLanes + j] - xMean[j];
      const double yc = ys[i * kLanes + j] - yMean[j];
      dot[j] += xc * yc;
      xNorm[j] += xc * xc;
      yNorm[j] += yc * yc;
    }
  }
  for (std::size_t j = 0; j < kBands; ++j) {
    correlations[j] = dot[j] / ((std::sqrt(xNorm[j]) + kEpsilon) * (std::sqrt(yNorm[j]) + kEpsilon));
  }
}

}  // namespace

// One channel of floats: libsoxr's high quality works in single precision, so whole 16-bit
// samples in and its own results out lose nothing to doubles.
struct StoiResampler::Soxr {
  explicit Soxr(int rate) {
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    soxr_error_t error = nullptr;
    handle = soxr_create(rate, kRate, 1, &error, &io, &quality, nullptr);
    if (error != nullptr) throw std::runtime_error(std::string("resampling for STOI: ") + error);
  }
  ~Soxr() { soxr_delete(handle); }
  Soxr(const Soxr&) = delete;
  Soxr& operator=(const Soxr&) = delete;
  soxr_t handle = nullptr;
};

StoiResampler::StoiResampler(int sampleRate)
    : m_soxr(sampleRate == kRate ? nullptr : std::make_unique<Soxr>(sampleRate)),
      m_dRatio(static_cast<double>(kRate) / sampleRate) {}

StoiResampler::~StoiResampler() = default;

const std::vector<float>& StoiResampler::Add(const int16_t* pcm, std::size_t nSamples) {
  m_out.clear();
  if (nSamples == 0) return m_out;  // no input at all would tell libsoxr the signal has ended
  if (!m_soxr) {
    m_out.assign(pcm, pcm + nSamples);
    return m_out;
  }
  m_in.assign(pcm, pcm + nSamples);
  Run(m_in.data(), nSamples);
  return m_out;
}

const std::vector<float>& StoiResampler::Flush() {
  m_out.clear();
  if (m_soxr) Run(nullptr, 0);
  return m_out;
}

// Feeds `n` samples (none to flush) and appends all the output they give to m_out.
void StoiResampler::Run(const float* in, std::size_t n) {
  constexpr std::size_t kOutputSlack = 256;
  const std::size_t room = static_cast<std::size_t>(static_cast<double>(n) * m_dRatio) + kOutputSlack;
  m_resampled.resize(room);
  std::size_t used = 0;
  for (;;) {
    std::size_t consumed = 0;
    std::size_t produced = 0;
    const soxr_error_t error = soxr_process(m_soxr->handle, in == nullptr ? nullptr : in + used,
                                            n - used, &consumed, m_resampled.data(), room, &produced);
    if (error != nullptr) throw std::runtime_error(std::string("resampling for STOI: ") + error);
    m_out.insert(m_out.end(), m_resampled.begin(), m_resampled.begin() + static_cast<std::ptrdiff_t>(produced));
    used += consumed;
    if (used == n && produced < room) return;
  }
}

StoiMeter::StoiMeter(int sampleRate)
    : m_reference(sampleRate), m_test(sampleRate), m_transform(std::make_unique<RealTransform>(kFft)) {}

StoiMeter::~StoiMeter() = default;

void StoiMeter::Add(const int16_t* reference, const int16_t* test, std::size_t nSamples) {
  AddResampled(m_reference.Add(reference, nSamples), m_test.Add(test, nSamples));
}

void StoiMeter::AddResampled(const std::vector<float>& reference, const std::vector<float>& test) {
  m_x.insert(m_x.end(), reference.begin(), reference.end());
  m_y.insert(m_y.end(), test.begin(), test.end());
  ScoreDue();
}

// Scores every chunk that a whole chunk still follows.
void StoiMeter::ScoreDue() {
  const auto chunk = static_cast<std::size_t>(kStoiChunkSeconds * kRate);
  while (std::min(m_x.size(), m_y.size()) >= 2 * chunk) ScoreChunk(chunk);
}

double StoiMeter::Finish() {
  AddResampled(m_reference.Flush(), m_test.Flush());
  // The last chunk runs from one to two chunks long, so none is too short to score.
  ScoreChunk(std::min(m_x.size(), m_y.size()));
  if (m_nCorrelations == 0) return std::numeric_limits<double>::quiet_NaN();
  return m_sum / static_cast<double>(m_nCorrelations);
}

void StoiMeter::ScoreChunk(std::size_t nSamples) {
  const std::vector<double> w = Window();
  Signal xKept;
  Signal yKept;
  RemoveSilence(w, m_x.data(), m_y.data(), nSamples, xKept, yKept);
  m_x.erase(m_x.begin(), m_x.begin() + static_cast<std::ptrdiff_t>(nSamples));
  m_y.erase(m_y.begin(), m_y.begin() + static_cast<std::ptrdiff_t>(nSamples));
  const auto xEnv = Envelopes(xKept, w, *m_transform);
  const auto yEnv = Envelopes(yKept, w, *m_transform);
  const std::size_t frames = xEnv.size() / kBandStride;
  double correlations[kBands];
  for (std::size_t m = kSegmentFrames; m <= frames; ++m) {
    const std::size_t first = (m - kSegmentFrames) * kBandStride;
    SegmentCorrelations(&xEnv[first], &yEnv[first], correlations);
    for (double correlation : correlations) m_sum += correlation;
    m_nCorrelations += kBands;
  }
}

double Stoi(const int16_t* reference, const int16_t* test, std::size_t nSamples, int sampleRate) {
  StoiMeter meter(sampleRate);
  meter.Add(reference, test, nSamples);
  return meter.Finish();
}

}  // namespace zbspeechmetrics
