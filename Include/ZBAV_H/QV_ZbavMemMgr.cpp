// The host allocator hook and its static instance.
#include "Include/ZBAV_H/QV_ZbavMemMgr.h"

#include "QV_Base/Src/QV_InitOrder.h"

ZB_INIT_ORDER(ZB_INIT_MEMMGR) ZbavMemMgr g_zbavMemMgr;

void* ZbavMemMgr::Alloc(uint32_t len) {
  ZB_ASSERT_AT(m_lpSink != nullptr, kAssertNoAllocator);
  ZB_ASSERT_AT(len != 0, kAssertZeroLength);
  return m_lpSink != nullptr ? m_lpSink->Alloc(len) : nullptr;
}

void ZbavMemMgr::Free(void* ptr) {
  if (ptr != nullptr && m_lpSink != nullptr) m_lpSink->Free(ptr);
}
