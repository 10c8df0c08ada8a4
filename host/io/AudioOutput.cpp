// One column's decoded audio on its way to its file.
#include "host/io/AudioOutput.h"

#include <algorithm>

#include "host/base/Stopwatch.h"

namespace zbhost {

namespace {

// Output samples held back until the end, where the file is cut or padded to its length.
constexpr size_t kHoldBackSamples = 64;

}  // namespace

AudioOutput::AudioOutput(OutputFile& target, const AudioContainer& container, int32_t streamRate,
                         int32_t outputRate)
    : m_writer(target, container, outputRate) {
  if (outputRate != streamRate) m_resampler = std::make_unique<Resampler>(streamRate, outputRate);
}

void AudioOutput::Write(const int16_t* samples, size_t count, double& resamplingSeconds,
                        double& writingSeconds) {
  if (m_resampler) {
    Stopwatch watch(resamplingSeconds);
    ToFloat(samples, count, m_float);
    m_resampled.clear();
    m_resampler->Process(m_float.data(), m_float.size(), m_resampled);
    AppendPcm16(m_resampled, m_pending);
  } else {
    m_pending.insert(m_pending.end(), samples, samples + count);
  }
  Stopwatch watch(writingSeconds);
  if (m_pending.size() > kHoldBackSamples) Emit(m_pending.size() - kHoldBackSamples);
}

void AudioOutput::Finish(int64_t length, double& resamplingSeconds, double& writingSeconds) {
  if (m_resampler) {
    Stopwatch watch(resamplingSeconds);
    m_resampled.clear();
    m_resampler->Flush(m_resampled);
    AppendPcm16(m_resampled, m_pending);
  }
  Stopwatch watch(writingSeconds);
  const int64_t room = std::max<int64_t>(0, length - m_nWritten);
  m_pending.resize(static_cast<size_t>(room), 0);
  Emit(m_pending.size());
  m_writer.Finish();
}

void AudioOutput::Emit(size_t count) {
  m_writer.Write(m_pending.data(), count);
  m_nWritten += static_cast<int64_t>(count);
  m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<ptrdiff_t>(count));
}

}  // namespace zbhost
