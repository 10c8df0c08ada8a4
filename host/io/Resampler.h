// Sample-rate conversion of a mono stream, block by block, with libsoxr at a quality that
// keeps speech intact (pass band to 0.91 of the Nyquist rate, about 120 dB stop band); and
// the conversions between 16-bit samples and libsndfile's float scale.
#pragma once

#include <soxr.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace zbhost {

class Resampler {
 public:
  // Throws HostError (input) when the converter cannot be made.
  Resampler(int32_t fromRate, int32_t toRate);

  // Appends to `out` what the samples in `in` give so far.
  void Process(const float* in, size_t count, std::vector<float>& out);
  // Appends the rest, at the end of the stream.
  void Flush(std::vector<float>& out);

 private:
  struct SoxrCloser {
    void operator()(soxr_t soxr) const { soxr_delete(soxr); }
  };

  void Run(const float* in, size_t count, std::vector<float>& out);

  double m_ratio;
  std::unique_ptr<std::remove_pointer_t<soxr_t>, SoxrCloser> m_soxr;
};

// Rounded and clamped to 16 bits, appended to `out`.
void AppendPcm16(const std::vector<float>& samples, std::vector<int16_t>& out);
// Scaled to full scale 1.0, into `out`.
void ToFloat(const int16_t* samples, size_t count, std::vector<float>& out);

}  // namespace zbhost
