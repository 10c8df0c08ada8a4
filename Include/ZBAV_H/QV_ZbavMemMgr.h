// ZbavMemMgr: the global hook that holds the host's allocator (m_lpSink). The modules take
// every frame buffer through Alloc and give it back through Free.
#pragma once

#include <cstdint>

#include "Include/QV_Interface/zbav_abi.h"
#include "QV_Base/Src/QV_Assert.h"

inline constexpr zbbase::AssertSite kAssertNoAllocator{"m_lpSink != NULL", "QV_ZbavMemMgr", 40};
inline constexpr zbbase::AssertSite kAssertZeroLength{"len != 0", "QV_ZbavMemMgr", 41};

class ZbavMemMgr {
 public:
  ZbavMemMgr() = default;
  virtual ~ZbavMemMgr() = default;
  ZbavMemMgr(const ZbavMemMgr&) = delete;
  ZbavMemMgr& operator=(const ZbavMemMgr&) = delete;

  // A buffer of `len` bytes from the host allocator, or null when none is installed
  // or the host has no memory.
  void* Alloc(uint32_t len);
  // Gives `ptr` back to the host allocator; null is ignored.
  void Free(void* ptr);

  // The hook does not own the allocator. Installed by the host before frames flow.
  IAvMemAlloc* m_lpSink = nullptr;
};

// The library's one hook, built first when the library is loaded.
extern ZbavMemMgr g_zbavMemMgr;
