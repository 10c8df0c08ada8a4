// One column's decoded audio on its way to its file: resampled to the output rate, and at
// the end cut or padded to the length that lines up with the input. The last stage of a
// run: what the stream decoded goes out here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "host/io/AudioWriter.h"
#include "host/io/OutputFile.h"
#include "host/io/Resampler.h"

namespace zbhost {

class AudioOutput {
 public:
  AudioOutput(OutputFile& target, const AudioContainer& container, int32_t streamRate,
              int32_t outputRate);

  // Takes `count` samples at the stream rate. The time taken resampling and writing is
  // added to the two totals, here and in Finish().
  void Write(const int16_t* samples, size_t count, double& resamplingSeconds,
             double& writingSeconds);
  // Writes what is held back, cut or padded to `length` samples at the output rate.
  void Finish(int64_t length, double& resamplingSeconds, double& writingSeconds);

 private:
  void Emit(size_t count);

  AudioWriter m_writer;
  std::unique_ptr<Resampler> m_resampler;
  std::vector<float> m_float;
  std::vector<float> m_resampled;
  std::vector<int16_t> m_pending;
  int64_t m_nWritten = 0;
};

}  // namespace zbhost
