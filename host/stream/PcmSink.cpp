// Reassembly of the decoded stream by timestamp, and the fill of lost frames.
#include "host/stream/PcmSink.h"

#include <cmath>
#include <cstring>

namespace zbhost {

PcmSink::PcmSink(int32_t frameCount, int32_t frameSamples, const FrameOrigin* origin)
    : m_nFrameCount(frameCount),
      m_nFrameSamples(frameSamples),
      m_pOrigin(origin),
      m_samples(static_cast<size_t>(frameCount) * frameSamples, 0),
      m_outcomes(static_cast<size_t>(frameCount), FrameOutcome::Lost) {}

bool PcmSink::HandleFrame(AvSourceFace*, AvFrame* frame) {
  if (frame == nullptr || frame->info == nullptr || frame->type != AV_TYPE_PCM) return false;
  const int32_t timestamp = frame->info->timestamp;
  const uint32_t frameBytes = static_cast<uint32_t>(m_nFrameSamples) * sizeof(int16_t);
  if (timestamp < 0 || timestamp % kFrameMs != 0 || timestamp / kFrameMs >= m_nFrameCount ||
      frame->len != frameBytes || frame->data == nullptr) {
    ++m_counters.unusable;
    return true;
  }

  const AvFrame* inFlight = m_pOrigin != nullptr ? m_pOrigin->InFlight() : nullptr;
  const bool rebuilt = inFlight != nullptr && frame->info != inFlight->info;
  if (rebuilt) {
    // The decoder rendered a frame of its own making: a rebuild from the parity frame that
    // carries the in-flight frame's number (the parity just delivered, or the stored one
    // that the delivered data frame completes).
    ++m_counters.rebuilt;
    m_counters.paritySeqsUsed.insert(inFlight->info->seq);
  } else {
    ++m_counters.received;
  }

  const size_t slot = static_cast<size_t>(timestamp / kFrameMs);
  if (m_outcomes[slot] != FrameOutcome::Lost) {
    ++m_counters.renderedAgain;
    return true;
  }
  m_outcomes[slot] = rebuilt ? FrameOutcome::Rebuilt : FrameOutcome::Received;
  std::memcpy(&m_samples[slot * m_nFrameSamples], frame->data, frameBytes);
  return true;
}

void PcmSink::Finish(bool conceal) {
  int32_t lastFilled = -1;
  int64_t run = 0;
  for (int32_t slot = 0; slot < m_nFrameCount; ++slot) {
    if (m_outcomes[static_cast<size_t>(slot)] != FrameOutcome::Lost) {
      lastFilled = slot;
      run = 0;
      continue;
    }
    ++m_counters.lostForGood;
    ++run;
    if (run > m_counters.longestLostRun) m_counters.longestLostRun = run;
    if (conceal && lastFilled >= 0 && run <= kConcealFadeFrames) {
      Conceal(slot, lastFilled, static_cast<int32_t>(run));
      ++m_counters.concealed;
      m_outcomes[static_cast<size_t>(slot)] = FrameOutcome::Concealed;
    }
  }
}

void PcmSink::Conceal(int32_t slot, int32_t source, int32_t runIndex) {
  // The gain falls linearly across the run, from 1 at its start to 0 after the fade frames.
  const double total = static_cast<double>(kConcealFadeFrames) * m_nFrameSamples;
  const double start = static_cast<double>(runIndex - 1) * m_nFrameSamples;
  const int16_t* from = &m_samples[static_cast<size_t>(source) * m_nFrameSamples];
  int16_t* to = &m_samples[static_cast<size_t>(slot) * m_nFrameSamples];
  for (int32_t i = 0; i < m_nFrameSamples; ++i) {
    const double gain = 1.0 - (start + i) / total;
    to[i] = static_cast<int16_t>(std::lround(from[i] * gain));
  }
}

}  // namespace zbhost
