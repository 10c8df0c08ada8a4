// The window of frames, its give-up rule and the fill of lost frames.
#include "receive/Playout.h"

#include <algorithm>
#include <utility>

namespace zbreceive {

Playout::Playout(int32_t frameSamples, int32_t sampleRate, bool conceal, int32_t hold, ReceiveCounters& counters)
    : m_nFrameSamples(frameSamples), m_nHold(hold), m_counters(counters) {
  if (conceal) m_concealer = std::make_unique<zbconceal::Concealer>(sampleRate);
}

void Playout::Start(int64_t first, bool mayStartEarlier) {
  if (m_bStarted) ++m_nSegment;
  m_bStarted = true;
  m_bOpenAtStart = mayStartEarlier;
  m_bSegmentStart = true;
  m_nNext = first;
  m_nHorizon = first - 1;
  m_nLostRun = 0;
  m_slots.clear();
  // Audio across a restart does not continue: the fill starts from nothing again.
  if (m_concealer) m_concealer->Reset();
}

void Playout::See(int64_t index) {
  while (m_nHorizon < index) {
    ++m_nHorizon;
    m_slots.emplace_back();
  }
}

Playout::Slot* Playout::SlotOf(int64_t index) {
  if (index < m_nNext || index > m_nHorizon) return nullptr;
  return &m_slots[static_cast<size_t>(index - m_nNext)];
}

Placement Playout::Place(int64_t index, const int16_t* samples, bool rebuilt) {
  if (m_bOpenAtStart && index == m_nNext - 1) {
    m_slots.emplace_front();
    --m_nNext;
    m_bOpenAtStart = false;
  }
  if (index < m_nNext) return Placement::AlreadyFinal;
  See(index);
  Slot& slot = *SlotOf(index);
  if (slot.placed) return Placement::AlreadyPlaced;
  slot.placed = true;
  slot.rebuilt = rebuilt;
  slot.samples.assign(samples, samples + m_nFrameSamples);
  return Placement::Placed;
}

bool Playout::MarkParityUsed(int64_t index) {
  Slot* slot = SlotOf(index);
  if (slot == nullptr || slot->parityUsed) return false;
  slot->parityUsed = true;
  return true;
}

void Playout::Release(bool all) {
  // The first frame waits while the one before it may still lead the segment.
  if (m_bOpenAtStart && !all && m_nHorizon <= m_nNext) return;
  while (!m_slots.empty() && (all || m_slots.front().placed || m_nHorizon >= m_nNext + m_nHold)) Leave();
}

void Playout::Leave() {
  Slot slot = std::move(m_slots.front());
  m_slots.pop_front();
  OutFrame out;
  out.index = m_nNext++;
  out.segment = m_nSegment;
  out.segmentStart = std::exchange(m_bSegmentStart, false);
  out.parityUsed = slot.parityUsed;
  m_bOpenAtStart = false;
  if (slot.placed) {
    out.outcome = slot.rebuilt ? FrameOutcome::Rebuilt : FrameOutcome::Received;
    ++(slot.rebuilt ? m_counters.rebuilt : m_counters.received);
    out.samples = std::move(slot.samples);
    // After a fill, the good frame's start is cross-faded from it here, before it leaves.
    if (m_concealer) m_concealer->AddGoodFrame(out.samples.data(), out.samples.size());
    m_nLostRun = 0;
  } else {
    out.samples.assign(static_cast<size_t>(m_nFrameSamples), 0);
    ++m_counters.lost;
    m_counters.longestLostRun = std::max(m_counters.longestLostRun, ++m_nLostRun);
    // The fill becomes history for the rest of the segment; before any good audio it is silence.
    if (m_concealer && m_concealer->ConcealFrame(out.samples.data(), out.samples.size())) {
      ++m_counters.concealed;
      out.outcome = FrameOutcome::Concealed;
    }
  }
  m_out.push_back(std::move(out));
}

bool Playout::Take(OutFrame& out) {
  if (m_out.empty()) return false;
  out = std::move(m_out.front());
  m_out.pop_front();
  return true;
}

}  // namespace zbreceive
