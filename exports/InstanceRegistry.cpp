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
  // The record goes under the registry lock and the module is destroyed after it is
  // released: its peers' locks, which detaching waits for, may be held by a delivery whose
  // outputs call the exports. A second call for the same address finds no record.
  void* module = nullptr;
  {
    zbbase::AutoLock lock(&g_instanceRegistry);
    const InstanceRecord* record = g_instanceRegistry.Lookup(object);
    if (record == nullptr || FindModule(record->name) == nullptr) return;
    module = record->object;
    g_instanceRegistry.RemoveKey(object);
  }
  if (module != nullptr) SourceFaceOf(module)->DeletingDestructor(kDeleteFreesMemory);
}
