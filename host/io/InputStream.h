// The input at the stream rate, block by block: a file read and resampled, or the built-in
// signal. The first stage of a run: what it reads goes to the stream's chains.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/io/AudioReader.h"
#include "host/io/Resampler.h"
#include "host/io/SpeechSignal.h"

namespace zbhost {

class InputStream {
 public:
  // Opens `input` (the built-in signal of `seconds` when absent) and picks the stream rate:
  // `rate` when not 0, else the input's own when the stream can carry it, else the default.
  // `seconds` above 0 also limits a file's input. `note` hears the steps of a verbose run.
  InputStream(const std::optional<std::string>& input, const std::optional<RawInput>& raw,
              int32_t rate, double seconds, const std::function<void(const std::string&)>& note);

  // Replaces `pcm` with the next block; false at the end. The time taken reading and
  // resampling is added to the two totals.
  bool Next(std::vector<int16_t>& pcm, double& readingSeconds, double& resamplingSeconds);

  int32_t streamRate() const { return m_nStreamRate; }
  // The input's own rate and channels, its name and libsndfile's name of its format (both
  // empty for the built-in signal).
  int32_t inputRate() const { return m_nInputRate; }
  int32_t inputChannels() const { return m_nInputChannels; }
  const std::string& inputName() const { return m_inputName; }
  const std::string& inputFormat() const { return m_inputFormat; }

  int64_t inputSamples() const { return m_nInputSamples; }
  int64_t declaredSamples() const;
  std::vector<std::string> warnings() const;

 private:
  std::unique_ptr<SpeechSignal> m_signal;
  std::unique_ptr<AudioReader> m_reader;
  std::unique_ptr<Resampler> m_resampler;
  std::vector<float> m_block;
  std::vector<float> m_resampled;
  int32_t m_nStreamRate = 0;
  int32_t m_nInputRate = 0;
  int32_t m_nInputChannels = 0;
  std::string m_inputName;
  std::string m_inputFormat;
  size_t m_nBlockFrames;
  int64_t m_nLimit = -1;  // input frames to stream at most; -1: all
  int64_t m_nInputSamples = 0;
  bool m_bEnded = false;
};

}  // namespace zbhost
