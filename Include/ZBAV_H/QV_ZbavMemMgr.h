// ZbavMemMgr: the global hook that holds the host's allocator (m_lpSink). The modules take
// every frame buffer through Alloc and give it back through Free.
#pragma once

#include <cstdint>

#include "Include/QV_Interface/zbav_abi.h"
#include "QV_Base/Src/QV_Assert.h"

// Fixed report lines, not this file's (see AssertSite).
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

  // As Alloc, and tells which allocator gave the buffer (null when none was installed), so
  // that FreeTo can give it back there whatever the host installs meanwhile.
  void* Alloc(uint32_t len, IAvMemAlloc*& lpOwner);
  // Gives `ptr` back to `lpOwner`; a null pointer or owner is ignored.
  static void FreeTo(IAvMemAlloc* lpOwner, void* ptr);

  // The hook does not own the allocator. Installed by the host before frames flow.
  IAvMemAlloc* m_lpSink = nullptr;
};

// The library's one hook, built first when the library is loaded.
extern ZbavMemMgr g_zbavMemMgr;

// A frame buffer from the host allocator for one scope. It goes back to the allocator that
// gave it when the scope ends, even if the host installed another one meanwhile (from
// inside an output's HandleFrame, say).
class HostBuffer {
 public:
  explicit HostBuffer(uint32_t len) : m_ptr(static_cast<uint8_t*>(g_zbavMemMgr.Alloc(len, m_lpOwner))) {}
  ~HostBuffer() { ZbavMemMgr::FreeTo(m_lpOwner, m_ptr); }
  HostBuffer(const HostBuffer&) = delete;
  HostBuffer& operator=(const HostBuffer&) = delete;

  // The buffer, or null when the host gave none.
  uint8_t* data() const { return m_ptr; }

 private:
  IAvMemAlloc* m_lpOwner = nullptr;  // set by Alloc before m_ptr
  uint8_t* m_ptr;
};
