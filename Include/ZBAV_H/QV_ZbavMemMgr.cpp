// The host allocator hook and its static instance.
#include "Include/ZBAV_H/QV_ZbavMemMgr.h"

#include "QV_Base/Src/QV_InitOrder.h"

ZB_INIT_ORDER(ZB_INIT_MEMMGR) ZbavMemMgr g_zbavMemMgr;

void* ZbavMemMgr::Alloc(uint32_t len) {
  IAvMemAlloc* lpOwner = nullptr;
  return Alloc(len, lpOwner);
}

void* ZbavMemMgr::Alloc(uint32_t len, IAvMemAlloc*& lpOwner) {
  // Read once: the host may install another allocator from any thread.
  lpOwner = m_lpSink;
  ZB_ASSERT_AT(lpOwner != nullptr, kAssertNoAllocator);
  ZB_ASSERT_AT(len != 0, kAssertZeroLength);
  return lpOwner != nullptr ? lpOwner->Alloc(len) : nullptr;
}

void ZbavMemMgr::Free(void* ptr) { FreeTo(m_lpSink, ptr); }

void ZbavMemMgr::FreeTo(IAvMemAlloc* lpOwner, void* ptr) {
  if (ptr != nullptr && lpOwner != nullptr) lpOwner->Free(ptr);
}
