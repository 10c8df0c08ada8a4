// Reassembly of the decoded stream by timestamp, and the fill of lost frames.
#include "host/stream/PcmSink.h"

#include <algorithm>
#include <cstring>

namespace zbhost {

PcmSink::PcmSink(int32_t frameSamples, const FrameOrigin* origin, bool conceal)
    : m_nFrameSamples(frameSamples),
      m_pOrigin(origin),
      m_final(static_cast<size_t>(frameSamples), 0) {
  if (conceal) {
    m_concealer = std::make_unique<zbconceal::Concealer>(frameSamples * kMsPerSecond / kFrameMs);
  }
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
    // After a fill, the good frame's start is cross-faded from it here, before it goes out.
    if (m_concealer) m_concealer->AddGoodFrame(slot.samples.data(), slot.samples.size());
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
  // The fill becomes history for the rest of the run; before any good audio it is silence.
  if (!m_concealer || !m_concealer->ConcealFrame(slot.samples.data(), slot.samples.size())) return;
  ++m_counters.concealed;
  slot.outcome = FrameOutcome::Concealed;
}

}  // namespace zbhost
