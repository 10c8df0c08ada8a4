// The measure as published: resampling by libsoxr, transforms by FFTW.
#include "speechmetrics/Stoi.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include <fftw3.h>
#include <soxr.h>

namespace zbspeechmetrics {

namespace {

constexpr int kRate = 10000;                // Hz
constexpr std::size_t kFrame = 256;         // samples
constexpr std::size_t kHop = kFrame / 2;
constexpr std::size_t kFft = 512;
constexpr std::size_t kBins = kFft / 2 + 1;
constexpr std::size_t kBands = 15;
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

// Both signals with the reference's silent frames cut out, the kept windowed frames
// overlap-added again.
void RemoveSilence(const std::vector<double>& w, Signal& x, Signal& y) {
  const std::size_t n = std::min(x.size(), y.size());
  if (n < kFrame) {
    x.clear();
    y.clear();
    return;
  }
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
  Signal xs;
  Signal ys;
  std::size_t kept = 0;
  for (std::size_t f = 0; f < frames; ++f) {
    if (loudest - kDynamicRangeDb - level[f] >= 0) continue;
    xs.resize(kept * kHop + kFrame, 0.0);
    ys.resize(kept * kHop + kFrame, 0.0);
    for (std::size_t i = 0; i < kFrame; ++i) {
      xs[kept * kHop + i] += w[i] * x[f * kHop + i];
      ys[kept * kHop + i] += w[i] * y[f * kHop + i];
    }
    ++kept;
  }
  x.swap(xs);
  y.swap(ys);
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

// Band envelopes, [band][frame], of the frames starting every hop while a whole frame and
// more fits.
std::vector<std::vector<double>> Envelopes(const Signal& s, const std::vector<double>& w) {
  const auto bands = Bands();
  const std::size_t frames = s.size() > kFrame ? (s.size() - kFrame - 1) / kHop + 1 : 0;
  std::vector<std::vector<double>> env(kBands, std::vector<double>(frames));
  double* in = fftw_alloc_real(kFft);
  fftw_complex* out = fftw_alloc_complex(kBins);
  fftw_plan plan = fftw_plan_dft_r2c_1d(static_cast<int>(kFft), in, out, FFTW_ESTIMATE);
  for (std::size_t f = 0; f < frames; ++f) {
    std::fill(in, in + kFft, 0.0);
    for (std::size_t i = 0; i < kFrame; ++i) in[i] = w[i] * s[f * kHop + i];
    fftw_execute(plan);
    for (std::size_t j = 0; j < kBands; ++j) {
      double power = 0;
      for (std::size_t k = bands[j].first; k < bands[j].second && k < kBins; ++k) {
        power += out[k][0] * out[k][0] + out[k][1] * out[k][1];
      }
      env[j][f] = std::sqrt(power);
    }
  }
  fftw_destroy_plan(plan);
  fftw_free(in);
  fftw_free(out);
  return env;
}

double Norm(const double* v, std::size_t n) {
  double sum = 0;
  for (std::size_t i = 0; i < n; ++i) sum += v[i] * v[i];
  return std::sqrt(sum);
}

// Correlation of one band's reference and test envelopes over one segment, the test first
// scaled to the reference's energy and clipped.
double SegmentCorrelation(const double* x, const double* y) {
  const double scale = Norm(x, kSegmentFrames) / (Norm(y, kSegmentFrames) + kEpsilon);
  const double clip = 1.0 + std::pow(10.0, -kClipDb / 20.0);
  double xs[kSegmentFrames];
  double ys[kSegmentFrames];
  double xMean = 0;
  double yMean = 0;
  for (std::size_t i = 0; i < kSegmentFrames; ++i) {
    xs[i] = x[i];
    ys[i] = std::min(y[i] * scale, x[i] * clip);
    xMean += xs[i];
    yMean += ys[i];
  }
  xMean /= kSegmentFrames;
  yMean /= kSegmentFrames;
  for (std::size_t i = 0; i < kSegmentFrames; ++i) {
    xs[i] -= xMean;
    ys[i] -= yMean;
  }
  double dot = 0;
  for (std::size_t i = 0; i < kSegmentFrames; ++i) dot += xs[i] * ys[i];
  return dot / ((Norm(xs, kSegmentFrames) + kEpsilon) * (Norm(ys, kSegmentFrames) + kEpsilon));
}

}  // namespace

// libsoxr at high quality, one channel of doubles, fed as the signal comes.
class StoiMeter::Resampler {
 public:
  Resampler(int rate, std::vector<double>& out) : m_out(out), m_dRatio(static_cast<double>(kRate) / rate) {
    if (rate == kRate) return;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT64_I, SOXR_FLOAT64_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    soxr_error_t error = nullptr;
    m_soxr = soxr_create(rate, kRate, 1, &error, &io, &quality, nullptr);
    if (error != nullptr) throw std::runtime_error(std::string("resampling for STOI: ") + error);
  }
  ~Resampler() { soxr_delete(m_soxr); }
  Resampler(const Resampler&) = delete;
  Resampler& operator=(const Resampler&) = delete;

  void Add(const int16_t* pcm, std::size_t n) {
    if (n == 0) return;  // no input at all would tell libsoxr the signal has ended
    m_in.assign(pcm, pcm + n);
    if (m_soxr == nullptr) {
      m_out.insert(m_out.end(), m_in.begin(), m_in.end());
      return;
    }
    Run(m_in.data(), n);
  }
  // The resampler's last output, held back for its filter until now.
  void Flush() {
    if (m_soxr != nullptr) Run(nullptr, 0);
  }

 private:
  // Feeds `n` samples (none to flush) and appends all the output they give.
  void Run(const double* in, std::size_t n) {
    const std::size_t room = static_cast<std::size_t>(static_cast<double>(n) * m_dRatio) + kOutputSlack;
    std::size_t used = 0;
    for (;;) {
      const std::size_t start = m_out.size();
      m_out.resize(start + room);
      std::size_t consumed = 0;
      std::size_t produced = 0;
      const soxr_error_t error =
          soxr_process(m_soxr, in == nullptr ? nullptr : in + used, n - used, &consumed,
                       m_out.data() + start, room, &produced);
      if (error != nullptr) throw std::runtime_error(std::string("resampling for STOI: ") + error);
      m_out.resize(start + produced);
      used += consumed;
      if (used == n && produced < room) return;
    }
  }

  static constexpr std::size_t kOutputSlack = 256;
  std::vector<double>& m_out;
  double m_dRatio;
  soxr_t m_soxr = nullptr;
  std::vector<double> m_in;
};

StoiMeter::StoiMeter(int sampleRate)
    : m_reference(std::make_unique<Resampler>(sampleRate, m_x)),
      m_test(std::make_unique<Resampler>(sampleRate, m_y)) {}

StoiMeter::~StoiMeter() = default;

void StoiMeter::Add(const int16_t* reference, const int16_t* test, std::size_t nSamples) {
  m_reference->Add(reference, nSamples);
  m_test->Add(test, nSamples);
  const auto chunk = static_cast<std::size_t>(kStoiChunkSeconds * kRate);
  while (std::min(m_x.size(), m_y.size()) >= 2 * chunk) ScoreChunk(chunk);
}

double StoiMeter::Finish() {
  m_reference->Flush();
  m_test->Flush();
  // The last chunk runs from one to two chunks long, so none is too short to score.
  const auto chunk = static_cast<std::size_t>(kStoiChunkSeconds * kRate);
  while (std::min(m_x.size(), m_y.size()) >= 2 * chunk) ScoreChunk(chunk);
  ScoreChunk(std::min(m_x.size(), m_y.size()));
  if (m_nCorrelations == 0) return std::numeric_limits<double>::quiet_NaN();
  return m_sum / static_cast<double>(m_nCorrelations);
}

void StoiMeter::ScoreChunk(std::size_t nSamples) {
  Signal x(m_x.begin(), m_x.begin() + static_cast<std::ptrdiff_t>(nSamples));
  Signal y(m_y.begin(), m_y.begin() + static_cast<std::ptrdiff_t>(nSamples));
  m_x.erase(m_x.begin(), m_x.begin() + static_cast<std::ptrdiff_t>(nSamples));
  m_y.erase(m_y.begin(), m_y.begin() + static_cast<std::ptrdiff_t>(nSamples));
  const std::vector<double> w = Window();
  RemoveSilence(w, x, y);
  const auto xEnv = Envelopes(x, w);
  const auto yEnv = Envelopes(y, w);
  const std::size_t frames = xEnv[0].size();
  for (std::size_t m = kSegmentFrames; m <= frames; ++m) {
    for (std::size_t j = 0; j < kBands; ++j) {
      m_sum += SegmentCorrelation(&xEnv[j][m - kSegmentFrames], &yEnv[j][m - kSegmentFrames]);
      ++m_nCorrelations;
    }
  }
}

double Stoi(const int16_t* reference, const int16_t* test, std::size_t nSamples, int sampleRate) {
  StoiMeter meter(sampleRate);
  meter.Add(reference, test, nSamples);
  return meter.Finish();
}

}  // namespace zbspeechmetrics
