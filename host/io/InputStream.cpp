// The input at the stream rate, block by block.
#include "host/io/InputStream.h"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

#include "host/base/Stopwatch.h"
#include "host/base/StreamFrame.h"
#include "host/io/FileName.h"

namespace zbhost {

namespace {

constexpr size_t kReadBlockFrames = 8192;  // input frames read at a time from a file

}  // namespace

InputStream::InputStream(const std::optional<std::string>& input,
                         const std::optional<RawInput>& raw, int32_t rate, double seconds,
                         const std::function<void(const std::string&)>& note)
    : m_nBlockFrames(kReadBlockFrames) {
  if (!input) {
    m_nStreamRate = rate != 0 ? rate : kDefaultRate;
    m_signal = std::make_unique<SpeechSignal>(m_nStreamRate, seconds);
    m_nInputRate = m_nStreamRate;
    m_nInputChannels = 1;
    return;
  }
  note(fmt::format("reading {}", DisplayName(*input)));
  m_reader = std::make_unique<AudioReader>(*input, raw);
  m_inputName = DisplayName(*input);
  m_inputFormat = m_reader->format();
  m_nInputRate = m_reader->rate();
  m_nInputChannels = m_reader->channels();
  // 8 kHz in stays 8 kHz: the stream follows the input when the library can carry its rate.
  m_nStreamRate = rate != 0                    ? rate
                  : IsStreamRate(m_nInputRate) ? m_nInputRate
                                               : kDefaultRate;
  // Live input is read a frame's time at a time, so output follows it closely.
  m_nBlockFrames = m_reader->live() ? static_cast<size_t>(m_nInputRate * kFrameMs / kMsPerSecond)
                                    : kReadBlockFrames;
  if (seconds > 0) m_nLimit = std::llround(seconds * m_nInputRate);
  if (m_nStreamRate != m_nInputRate) {
    note(fmt::format("resampling {} Hz to {} Hz", m_nInputRate, m_nStreamRate));
    m_resampler = std::make_unique<Resampler>(m_nInputRate, m_nStreamRate);
  }
}

bool InputStream::Next(std::vector<int16_t>& pcm, double& readingSeconds,
                       double& resamplingSeconds) {
  pcm.clear();
  if (m_signal) {
    Stopwatch watch(readingSeconds);
    pcm.resize(kReadBlockFrames);
    pcm.resize(m_signal->Read(pcm.data(), pcm.size()));
    m_nInputSamples += static_cast<int64_t>(pcm.size());
    return !pcm.empty();
  }
  while (pcm.empty() && !m_bEnded) {
    bool more = false;
    {
      Stopwatch watch(readingSeconds);
      // The limit (--seconds) ends the input as its end would, but quietly.
      const int64_t left = m_nLimit - m_reader->framesRead();
      const size_t frames = m_nLimit < 0 ? m_nBlockFrames
                                         : static_cast<size_t>(std::min<int64_t>(
                                               left, static_cast<int64_t>(m_nBlockFrames)));
      more = frames > 0 && m_reader->Read(m_block, frames);
    }
    m_nInputSamples = m_reader->framesRead();
    Stopwatch watch(resamplingSeconds);
    m_resampled.clear();
    if (!more) {
      m_bEnded = true;
      if (m_resampler) m_resampler->Flush(m_resampled);
    } else if (m_resampler) {
      m_resampler->Process(m_block.data(), m_block.size(), m_resampled);
    } else {
      m_resampled.swap(m_block);
    }
    AppendPcm16(m_resampled, pcm);
  }
  return !pcm.empty();
}

int64_t InputStream::declaredSamples() const {
  return m_signal ? m_signal->total() : m_reader->declaredFrames();
}

std::vector<std::string> InputStream::warnings() const {
  return m_reader ? m_reader->warnings() : std::vector<std::string>{};
}

}  // namespace zbhost
