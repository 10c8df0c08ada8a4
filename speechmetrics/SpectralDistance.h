// Spectral closeness of a fill: the log-spectral distance between the reference and the
// signal under test over the frames a caller hands in (the lost ones, say), counting only
// frames where the reference holds speech. Each frame is Hann-windowed and transformed
// whole; the distance is the RMS difference of the two power spectra in dB, each floored
// at kSpectrumFloorDb below full scale, averaged over the frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

namespace zbspeechmetrics {

// Per bin, re a full-scale sine: with full scale played at 90-100 dB SPL, below hearing.
// Differences under it are not counted, so a silent fill scores about 30-35 dB on speech.
inline constexpr double kSpectrumFloorDb = -90.0;
inline constexpr double kSpeechFrameDb = -50.0;     // RMS re full scale: quieter is a pause

class SpectralDistance {
 public:
  explicit SpectralDistance(std::size_t frameSamples);
  ~SpectralDistance();
  SpectralDistance(const SpectralDistance&) = delete;
  SpectralDistance& operator=(const SpectralDistance&) = delete;

  // A frame of frameSamples of both signals; returns its distance in dB, or nothing (and
  // counts nothing) for a frame the reference holds no speech in.
  std::optional<double> AddFrame(const int16_t* reference, const int16_t* test);

  // The mean distance in dB; NaN before any speech frame.
  double MeanDb() const;
  std::size_t SpeechFrames() const { return m_nFrames; }

 private:
  struct Transform;
  std::unique_ptr<Transform> m_transform;
  double m_sum = 0;
  std::size_t m_nFrames = 0;
};

}  // namespace zbspeechmetrics
