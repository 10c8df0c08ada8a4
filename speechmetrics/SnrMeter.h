// Coding error, frame by frame as a stream goes: the SNR over everything added, and the
// segmental SNR, the mean of each frame's SNR bounded to [-10, 35] dB so that neither a
// silent nor a perfect frame outweighs the rest.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zbspeechmetrics {

inline constexpr double kSegmentMinDb = -10.0;
inline constexpr double kSegmentMaxDb = 35.0;

class SnrMeter {
 public:
  // One frame of the reference and of the signal under test, of the same length.
  void AddFrame(const int16_t* reference, const int16_t* test, std::size_t nSamples);

  // +inf when the test equals the reference; NaN before any frame.
  double SnrDb() const;
  // NaN before any frame.
  double SegmentalSnrDb() const;

 private:
  double m_signal = 0;
  double m_error = 0;
  double m_segmentSum = 0;
  std::size_t m_nFrames = 0;
};

}  // namespace zbspeechmetrics
