// The instance registry and the destruction of recorded modules.
#include "exports/InstanceRegistry.h"

#include <cstring>
#include <new>

#include "Include/QV_Interface/zbav_abi.h"
#include "QV_Base/Src/QV_InitOrder.h"
#include "exports/ModuleTable.h"

ZB_INIT_ORDER(ZB_INIT_REGISTRY) InstanceRegistry g_instanceRegistry;

bool RecordInstance(const char* name, void* object) {
  InstanceRecord record{};
  // The record stays zero-terminated whatever the name's length.
  std::strncpy(record.name, name, sizeof record.name - 1);
  record.object = object;
  zbbase::AutoLock lock(&g_instanceRegistry);
  try {
    g_instanceRegistry.SetAt(object, record);
  } catch (const std::bad_alloc&) {
    // No node for the record. A bucket array made for it alone goes back at once.
    if (g_instanceRegistry.count() == 0) g_instanceRegistry.RemoveAll();
    return false;
  }
  return true;
}

void ForgetInstance(void* object) {
  zbbase::AutoLock lock(&g_instanceRegistry);
  g_instanceRegistry.RemoveKey(object);
}

void DestroyRecordedInstance(void* object) {
  // Held for the whole call: the module is destroyed and detached under the registry lock.
  zbbase::AutoLock lock(&g_instanceRegistry);
  const InstanceRecord* record = g_instanceRegistry.Lookup(object);
  if (record == nullptr) return;
  if (FindModule(record->name) != nullptr) {
    // Slot 0 of a recorded module removes its own record; RemoveKey then finds nothing.
    if (record->object != nullptr) {
      SourceFaceOf(record->object)->DeletingDestructor(kDeleteFreesMemory);
    }
    g_instanceRegistry.RemoveKey(object);
  }
}
