// The five exported functions: the library's whole boundary toward the host.
#include <cstring>

#include "exports/AdpcmChildModule.h"
#include "exports/InstanceRegistry.h"
#include "exports/ModuleTable.h"
#include "exports/zbexports.h"

extern "C" {

ZB_EXPORT bool ZB_CALL zbInitialize(void) { return true; }

ZB_EXPORT void ZB_CALL zbUninitialize(void) {}

ZB_EXPORT bool ZB_CALL zbGetInterfaceName(int32_t index, char* buffer) {
  const ModuleRow* row = ModuleAt(index);
  if (buffer == nullptr || row == nullptr) return false;
  std::memcpy(buffer, row->name, ZB_INTERFACE_NAME_BYTES);
  return true;
}

ZB_EXPORT void* ZB_CALL zbCreateInstance(const char* name) {
  if (name == nullptr) return nullptr;
  if (const ModuleRow* row = FindModule(name)) return row->create(row->name);
  if (InterfaceNameIs(name, ZB_NAME_CHILD_MODULE)) return static_cast<IZBAvChildModule*>(&g_adpcmChildModule);
  return nullptr;
}

ZB_EXPORT void ZB_CALL zbDestroyInstance(void* object) { DestroyRecordedInstance(object); }

}  // extern "C"
