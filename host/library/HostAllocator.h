// The host's frame-buffer allocator, installed into the library through its descriptor.
// It counts what it hands out and takes back, so a buffer the library never returns
// shows up as a leak in the report.
#pragma once

#include <cstdint>
#include <unordered_set>

#include "Include/QV_Interface/zbav_abi.h"

namespace zbhost {

struct AllocatorCounters {
  int64_t allocations = 0;
  int64_t frees = 0;
  int64_t failed = 0;        // Alloc calls that found no memory
  int64_t foreignFrees = 0;  // Free calls with a pointer this allocator never handed out
  int64_t bytes = 0;         // total bytes handed out
  int64_t peakLive = 0;      // most buffers out at one time
  int64_t live = 0;          // buffers out now
};

class HostAllocator : public IAvMemAlloc {
 public:
  HostAllocator() = default;
  HostAllocator(const HostAllocator&) = delete;
  HostAllocator& operator=(const HostAllocator&) = delete;
  // Frees what is still out, so a leaking library does not leak the host.
  ~HostAllocator();

  void* Alloc(uint32_t size) override;
  void Free(void* ptr) override;

  const AllocatorCounters& counters() const { return m_counters; }

 private:
  std::unordered_set<void*> m_live;
  AllocatorCounters m_counters;
};

}  // namespace zbhost
