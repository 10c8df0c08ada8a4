// The module descriptor and its static instance.
#include "exports/AdpcmChildModule.h"

#include <cstring>

#include "Include/ZBAV_H/QV_ZbavMemMgr.h"
#include "QV_Base/Src/QV_InitOrder.h"

static_assert((kEncoderTypeId & 0xFFFF) == AV_TYPE_ADPCM && (kDecoderTypeId & 0xFFFF) == AV_TYPE_ADPCM,
              "type identifiers carry the ADPCM type code");

ZB_INIT_ORDER(ZB_INIT_CHILD_MODULE) AdpcmChildModule g_adpcmChildModule;

void AdpcmChildModule::SetMemAllocator(IAvMemAlloc* alloc) {
  if (alloc != nullptr) g_zbavMemMgr.m_lpSink = alloc;
}

bool AdpcmChildModule::GetModuleInfo(const char* name, uint32_t* typeId, uint8_t* flag) {
  if (name == nullptr || typeId == nullptr || flag == nullptr) return false;
  uint32_t id = 0;
  if (std::strncmp(name, ZB_NAME_ENCODER, ZB_INTERFACE_NAME_BYTES) == 0) {
    id = kEncoderTypeId;
  } else if (std::strncmp(name, ZB_NAME_DECODER, ZB_INTERFACE_NAME_BYTES) == 0) {
    id = kDecoderTypeId;
  } else {
    return false;
  }
  *typeId = id;
  *flag = 0;
  return true;
}

bool AdpcmChildModule::ReservedQuery() { return false; }

bool AdpcmChildModule::ReservedCallA(int32_t, int32_t, int32_t, int32_t) { return true; }

bool AdpcmChildModule::ReservedCallB(int32_t, int32_t, int32_t, int32_t) { return true; }
