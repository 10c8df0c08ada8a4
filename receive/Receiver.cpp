// Numbering, segments, duplicates and the decoder module.
#include "receive/Receiver.h"

#include <limits>
#include <stdexcept>

namespace zbreceive {

namespace {

constexpr int64_t kNoIndex = std::numeric_limits<int64_t>::min();
constexpr uint32_t kNumberHalf = (kFrameNumberMask >> 1) + 1;  // 2^30

// The module's sequence number of an index: its low 32 bits, as the module wraps them.
int32_t ModuleSeq(int64_t index) { return static_cast<int32_t>(static_cast<uint32_t>(index)); }

// The distance from `from` to `to` in the 31-bit number space, in (-2^30, 2^30].
int64_t NumberDistance(uint32_t from, uint32_t to) {
  const uint32_t forward = (to - from) & kFrameNumberMask;
  return forward > kNumberHalf ? static_cast<int64_t>(forward) - (int64_t{kFrameNumberMask} + 1)
                               : static_cast<int64_t>(forward);
}

}  // namespace

Receiver::Receiver(const ZbExports& exports, const ReceiverSettings& settings)
    : m_exports(exports),
      m_settings(settings),
      m_playout(settings.frameSamples, settings.sampleRate, settings.conceal, settings.HoldFrames(), m_counters),
      m_decoder(std::make_unique<LibraryModule>(exports, ZB_NAME_DECODER)) {
  if (settings.parityDelay < 0 || settings.parityDelay > kMaxParityDelay) {
    throw std::invalid_argument("the parity delay is out of range");
  }
  for (auto& ring : m_seen) ring.fill(kNoIndex);
}

void Receiver::Anchor(uint32_t number) {
  if (m_playout.started()) return;
  StartSegment(number, number & kFrameNumberMask, false);
}

void Receiver::StartSegment(uint32_t number, int64_t first, bool mayStartEarlier) {
  if (m_playout.started()) {
    FeedDue(true);
    m_playout.Release(true);
    ++m_counters.restarts;
    // The module keeps its history across ResetStream: a new stream needs a new module.
    m_decoder = std::make_unique<LibraryModule>(m_exports, ZB_NAME_DECODER);
    for (auto& ring : m_seen) ring.fill(kNoIndex);
  }
  m_nAnchorNumber = number & kFrameNumberMask;
  m_nAnchorIndex = first;
  m_nFeed = first;
  m_pending.clear();
  m_playout.Start(first, mayStartEarlier);
}

int64_t Receiver::IndexOf(uint32_t number) const {
  return m_nAnchorIndex + NumberDistance(m_nAnchorNumber, number & kFrameNumberMask);
}

PushResult Receiver::Push(const Packet& packet) {
  PushResult result;
  if (packet.data == nullptr || packet.size != m_settings.codedBytes) {
    ++m_counters.invalid;
    return result;
  }
  bool& started = result.started;
  if (!m_playout.started()) {
    StartSegment(packet.number, packet.number & kFrameNumberMask, true);
    started = true;
  } else {
    const int64_t index = IndexOf(packet.number);
    const bool beyond =
        index > m_playout.horizon() + kMaxFillFrames + 1 || index < m_playout.next() - kMaxFillFrames;
    if (packet.restart || beyond) {
      // Numbered on from the frames already out; the frame before may still lead.
      const int64_t first = m_playout.horizon() + 2;
      StartSegment(packet.number, first, true);
      started = true;
    }
  }
  // Re-anchored each time the numbering moves on, so that distances stay well inside the
  // number space however long the stream.
  const int64_t index = IndexOf(packet.number);
  if (index > m_nAnchorIndex) {
    m_nAnchorIndex = index;
    m_nAnchorNumber = packet.number & kFrameNumberMask;
  }
  result.fed = Take(packet, index);
  FeedDue(false);
  m_playout.Release(false);
  return result;
}

bool Receiver::Take(const Packet& packet, int64_t index) {
  int64_t& seen = m_seen[packet.parity ? 1 : 0][static_cast<uint64_t>(index) % kSeenRing];
  if (seen == index) {
    ++m_counters.duplicates;
    return false;
  }
  // A parity frame serves its own frame and the one before; once its own has left it has no
  // use. A data frame just behind the window may still, as the module's last data frame,
  // rebuild the oldest open frame with the next parity; anything older has no use.
  const bool late = index < m_playout.next();
  if (packet.parity) {
    seen = index;
    ++m_counters.parityReceived;
    if (late) return false;
  } else {
    if (late) ++m_counters.late;
    if (index < m_playout.next() - 1) return false;
    seen = index;
  }
  m_playout.See(index);
  if (m_settings.parityDelay == 0 || index < m_nFeed) {
    Decode(packet.parity, index, packet.data, packet.size);
    return true;
  }
  while (m_nFeed + static_cast<int64_t>(m_pending.size()) <= index) m_pending.emplace_back();
  Pending& pending = m_pending[static_cast<size_t>(index - m_nFeed)];
  (packet.parity ? pending.parity : pending.data).assign(packet.data, packet.data + packet.size);
  return true;
}

void Receiver::FeedDue(bool all) {
  // Parity n comes beside data n + parityDelay: frame n is due once time passes that frame.
  const int64_t due = all ? m_playout.horizon() : m_playout.horizon() - m_settings.parityDelay - 1;
  while (!m_pending.empty() && m_nFeed <= due) {
    const Pending pending = std::move(m_pending.front());
    m_pending.pop_front();
    if (!pending.data.empty()) Decode(false, m_nFeed, pending.data.data(), pending.data.size());
    if (!pending.parity.empty()) Decode(true, m_nFeed, pending.parity.data(), pending.parity.size());
    ++m_nFeed;
  }
  // Frames with no packet waiting are due all the same.
  if (m_pending.empty() && m_nFeed <= due) m_nFeed = due + 1;
}

void Receiver::Decode(bool parity, int64_t index, const uint8_t* data, size_t size) {
  const bool late = index < m_playout.next();
  m_decoder->Push(parity ? AV_TYPE_ADPCM_PARITY : AV_TYPE_ADPCM, ModuleSeq(index), data, static_cast<uint32_t>(size));
  const size_t frameBytes = static_cast<size_t>(m_settings.frameSamples) * sizeof(int16_t);
  for (const EmittedFrame& frame : m_decoder->TakeEmitted()) {
    // The module renders the packet's own frame or the one before it, by wrapping numbers.
    const int64_t rendered = index + static_cast<int32_t>(static_cast<uint32_t>(frame.seq) -
                                                          static_cast<uint32_t>(ModuleSeq(index)));
    if (frame.type != AV_TYPE_PCM || frame.bytes.size() != frameBytes || rendered > index) {
      ++m_counters.invalid;
      continue;
    }
    const bool rebuilt = parity || rendered != index;
    const Placement placement =
        m_playout.Place(rendered, reinterpret_cast<const int16_t*>(frame.bytes.data()), rebuilt);
    if (placement == Placement::AlreadyFinal) {
      m_counters.late += late ? 0 : 1;
    } else if (placement == Placement::AlreadyPlaced) {
      ++m_counters.invalid;
    } else if (rebuilt && m_playout.MarkParityUsed(index)) {
      // A rebuild comes from the parity frame of the packet's number: the packet itself, or
      // the stored parity that a data packet completes.
      ++m_counters.parityUsed;
    }
  }
}

void Receiver::Advance(int64_t index) {
  if (!m_playout.started()) return;
  const int64_t limit = m_playout.horizon() + kMaxFillFrames;
  m_playout.See(index < limit ? index : limit);
  FeedDue(false);
  m_playout.Release(false);
}

void Receiver::Drain() {
  FeedDue(true);
  m_playout.Release(true);
}

}  // namespace zbreceive
