// Reassembly of the decoded stream by timestamp, and the fill of lost frames.
#include "host/stream/PcmSink.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace zbhost {

PcmSink::PcmSink(int32_t frameSamples, const FrameOrigin* origin, bool conceal)
    : m_nFrameSamples(frameSamples),
      m_pOrigin(origin),
      m_bConceal(conceal),
      m_final(static_cast<size_t>(frameSamples), 0) {
  for (Slot& slot : m_slots) slot.samples.assign(static_cast<size_t>(frameSamples), 0);
}

bool PcmSink::HandleFrame(AvSourceFace*, AvFrame* frame) {
  if (frame == nullptr || frame->info == nullptr || frame->type != AV_TYPE_PCM) return false;
  const int32_t timestamp = frame->info->timestamp;
  const uint32_t frameBytes = static_cast<uint32_t>(m_nFrameSamples) * sizeof(int16_t);
  const int64_t index = timestamp / kFrameMs;
  if (timestamp < 0 || timestamp % kFrameMs != 0 || index >= m_nNextFinal + kSinkWindowFrames ||
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
    m_paritySeqsUsed.insert(inFlight->info->seq);
  } else {
    ++m_counters.received;
  }

  Slot& slot = SlotOf(index);
  if (index < m_nNextFinal || slot.outcome != FrameOutcome::Lost) {
    ++m_counters.renderedAgain;
    return true;
  }
  slot.outcome = rebuilt ? FrameOutcome::Rebuilt : FrameOutcome::Received;
  std::memcpy(slot.samples.data(), frame->data, frameBytes);
  return true;
}

FinalFrame PcmSink::Finalize() {
  Slot& slot = SlotOf(m_nNextFinal);
  FinalFrame final;
  final.outcome = slot.outcome;
  if (slot.outcome == FrameOutcome::Lost) {
    FillLost(slot);
    final.outcome = slot.outcome;
  } else {
    m_lastGood = slot.samples;
    m_nLostRun = 0;
  }
  m_final.swap(slot.samples);
  slot.samples.assign(static_cast<size_t>(m_nFrameSamples), 0);
  slot.outcome = FrameOutcome::Lost;
  final.samples = m_final.data();
  final.parityUsed = m_paritySeqsUsed.erase(static_cast<int32_t>(m_nNextFinal)) != 0;
  ++m_nNextFinal;
  return final;
}

void PcmSink::FillLost(Slot& slot) {
  ++m_counters.lostForGood;
  ++m_nLostRun;
  m_counters.longestLostRun = std::max(m_counters.longestLostRun, m_nLostRun);
  if (!m_bConceal || m_lastGood.empty() || m_nLostRun > kConcealFadeFrames) return;
  // The gain falls linearly across the run, from 1 at its start to 0 after the fade frames.
  const double total = static_cast<double>(kConcealFadeFrames) * m_nFrameSamples;
  const double start = static_cast<double>(m_nLostRun - 1) * m_nFrameSamples;
  for (int32_t i = 0; i < m_nFrameSamples; ++i) {
    const double gain = 1.0 - (start + i) / total;
    slot.samples[static_cast<size_t>(i)] =
        static_cast<int16_t>(std::lround(m_lastGood[static_cast<size_t>(i)] * gain));
  }
  ++m_counters.concealed;
  slot.outcome = FrameOutcome::Concealed;
}

}  // namespace zbhost
