// Intelligibility: the short-time objective intelligibility measure of Taal, Hendriks,
// Heusdens and Jensen (2011). Both signals are resampled to 10 kHz; frames where the
// reference is more than 40 dB below its loudest frame are removed; 256-sample frames (hop
// 128) are grouped into 15 one-third-octave bands from 150 Hz; over every 384 ms segment
// the band envelope of the test signal, scaled to the reference's energy and clipped at
// -15 dB signal-to-distortion, is correlated with the reference's. The mean correlation,
// about 0 to 1, rises with intelligibility.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace zbspeechmetrics {

class RealTransform;

inline constexpr double kStoiChunkSeconds = 30.0;
inline constexpr int kStoiRate = 10000;  // Hz, the rate the measure works at

// A signal taken to kStoiRate as it comes (libsoxr at high quality), so that one signal
// scored against several references is resampled once.
class StoiResampler {
 public:
  explicit StoiResampler(int sampleRate);
  ~StoiResampler();
  StoiResampler(const StoiResampler&) = delete;
  StoiResampler& operator=(const StoiResampler&) = delete;

  // The next nSamples; returns what they gave at kStoiRate, valid until the next call.
  const std::vector<float>& Add(const int16_t* pcm, std::size_t nSamples);
  // What the filter still holds, at the end of the signal.
  const std::vector<float>& Flush();

 private:
  void Run(const float* in, std::size_t n);

  struct Soxr;
  std::unique_ptr<Soxr> m_soxr;  // none when the signal is at kStoiRate already
  double m_dRatio;
  std::vector<float> m_in;
  std::vector<float> m_resampled;
  std::vector<float> m_out;
};

// The measure fed as a stream, in bounded memory: both signals are resampled as they come
// and scored in chunks of kStoiChunkSeconds (the last one up to twice that), each with its
// own silence threshold; the figure is the mean over the segments of every chunk. Signals
// up to two chunks long are scored whole: the published measure exactly.
class StoiMeter {
 public:
  explicit StoiMeter(int sampleRate);
  ~StoiMeter();
  StoiMeter(const StoiMeter&) = delete;
  StoiMeter& operator=(const StoiMeter&) = delete;

  // The next nSamples of both signals.
  void Add(const int16_t* reference, const int16_t* test, std::size_t nSamples);
  // The next samples of both signals at kStoiRate, from the caller's own StoiResamplers: for
  // a meter made for kStoiRate.
  void AddResampled(const std::vector<float>& reference, const std::vector<float>& test);

  // Scores what is left; call once, after the last Add. NaN when, once silence is removed,
  // no chunk held one 384 ms segment.
  double Finish();

 private:
  void ScoreDue();
  void ScoreChunk(std::size_t nSamples);

  StoiResampler m_reference;
  StoiResampler m_test;
  // The reference at 10 kHz, not yet scored, as libsoxr gives it (single precision); the
  // test signal likewise.
  std::vector<float> m_x;
  std::vector<float> m_y;
  std::unique_ptr<RealTransform> m_transform;
  double m_sum = 0;
  std::size_t m_nCorrelations = 0;
};

// The measure for two whole mono signals of nSamples at sampleRate Hz, by a StoiMeter.
double Stoi(const int16_t* reference, const int16_t* test, std::size_t nSamples, int sampleRate);

}  // namespace zbspeechmetrics
