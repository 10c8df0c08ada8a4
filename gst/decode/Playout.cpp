// The decoder's reordering and give-up rule.
#include "gst/decode/Playout.h"

#include <algorithm>
#include <utility>

namespace zbgst {

void Playout::Restart(int64_t first, bool mayStartEarlier) {
  m_next = first;
  m_horizon = first - 1;
  m_held.clear();
  m_bOpenAtStart = mayStartEarlier;
}

bool Playout::Put(int64_t index, std::vector<uint8_t> pcm) {
  if (m_bOpenAtStart && index == m_next - 1) {
    m_next = index;
    m_bOpenAtStart = false;
  }
  if (index < m_next) return false;
  return m_held.emplace(index, std::move(pcm)).second;
}

void Playout::See(int64_t index) { m_horizon = std::max(m_horizon, index); }

std::vector<Playout::Frame> Playout::TakeReady(bool all) {
  std::vector<Frame> ready;
  if (m_bOpenAtStart && !all && m_horizon <= m_next) return ready;
  m_bOpenAtStart = false;
  for (;;) {
    auto held = m_held.find(m_next);
    if (held != m_held.end()) {
      ready.push_back(Frame{m_next, false, std::move(held->second)});
      m_held.erase(held);
    } else if (m_horizon >= m_next + kRebuildWindow || (all && m_next <= m_horizon)) {
      ready.push_back(Frame{m_next, true, {}});
    } else {
      break;
    }
    ++m_next;
  }
  return ready;
}

}  // namespace zbgst
