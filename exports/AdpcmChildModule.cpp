// The module descriptor and its static instance.
#include "exports/AdpcmChildModule.h"

#include "Include/ZBAV_H/QV_ZbavMemMgr.h"
#include "QV_Base/Src/QV_InitOrder.h"
#include "exports/ModuleTable.h"

ZB_INIT_ORDER(ZB_INIT_CHILD_MODULE) AdpcmChildModule g_adpcmChildModule;

void AdpcmChildModule::SetMemAllocator(IAvMemAlloc* alloc) {
  if (alloc != nullptr) g_zbavMemMgr.m_lpSink = alloc;
}

bool AdpcmChildModule::GetModuleInfo(const char* name, uint32_t* typeId, uint8_t* flag) {
  if (name == nullptr || typeId == nullptr || flag == nullptr) return false;
  const ModuleRow* row = FindModule(name);
  if (row == nullptr) return false;
  *typeId = row->typeId;
  *flag = 0;
  return true;
}

bool AdpcmChildModule::ReservedQuery() { return false; }

bool AdpcmChildModule::ReservedCallA(int32_t, int32_t, int32_t, int32_t) { return true; }

bool AdpcmChildModule::ReservedCallB(int32_t, int32_t, int32_t, int32_t) { return true; }
