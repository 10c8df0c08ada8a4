// The counting frame-buffer allocator.
#include "host/library/HostAllocator.h"

#include <algorithm>
#include <cstdlib>

namespace zbhost {

HostAllocator::~HostAllocator() {
  for (void* ptr : m_live) std::free(ptr);
}

void* HostAllocator::Alloc(uint32_t size) {
  // A request for 0 bytes still gets a distinct buffer that must come back.
  void* ptr = std::malloc(size != 0 ? size : 1);
  if (ptr == nullptr) {
    ++m_counters.failed;
    return nullptr;
  }
  m_live.insert(ptr);
  ++m_counters.allocations;
  m_counters.bytes += size;
  m_counters.live = static_cast<int64_t>(m_live.size());
  m_counters.peakLive = std::max(m_counters.peakLive, m_counters.live);
  return ptr;
}

void HostAllocator::Free(void* ptr) {
  if (ptr == nullptr) return;
  if (m_live.erase(ptr) == 0) {
    ++m_counters.foreignFrees;
    return;
  }
  std::free(ptr);
  ++m_counters.frees;
  m_counters.live = static_cast<int64_t>(m_live.size());
}

}  // namespace zbhost
