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

inline constexpr double kStoiChunkSeconds = 30.0;

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

  // Scores what is left; call once, after the last Add. NaN when, once silence is removed,
  // no chunk held one 384 ms segment.
  double Finish();

 private:
  class Resampler;
  void ScoreChunk(std::size_t nSamples);

  std::unique_ptr<Resampler> m_reference;
  std::unique_ptr<Resampler> m_test;
  std::vector<double> m_x;  // the reference at 10 kHz, not yet scored
  std::vector<double> m_y;  // the test signal likewise
  double m_sum = 0;
  std::size_t m_nCorrelations = 0;
};

// The measure for two whole mono signals of nSamples at sampleRate Hz, by a StoiMeter.
double Stoi(const int16_t* reference, const int16_t* test, std::size_t nSamples, int sampleRate);

}  // namespace zbspeechmetrics
