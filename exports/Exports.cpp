// The five exported functions: the library's whole boundary toward the host.
#include <cstring>
#include <new>

#include "exports/AdpcmChildModule.h"
#include "exports/InstanceRegistry.h"
#include "exports/zbexports.h"
#include "modules/AdpcmDecoder.h"
#include "modules/AdpcmEncoder.h"

namespace {

const char* const kInterfaceNames[] = {ZB_NAME_ENCODER, ZB_NAME_DECODER};
constexpr int32_t kInterfaceCount = 2;

// Exact match over the name's bytes and terminator; stops at the caller's terminator.
bool NameIs(const char* name, const char* expected) {
  return std::strncmp(name, expected, std::strlen(expected) + 1) == 0;
}

template <typename Module>
void* CreateRecorded(const char* name) {
  auto* module = new (std::nothrow) RecordedModule<Module>();
  if (module == nullptr) return nullptr;
  AvSourceFace* source = module;
  if (!RecordInstance(name, source)) {
    // Unrecorded, the module could never be destroyed: it goes now, and no exception
    // crosses the C boundary.
    source->DeletingDestructor(kDeleteFreesMemory);
    return nullptr;
  }
  return source;
}

}  // namespace

extern "C" {

ZB_EXPORT bool ZB_CALL zbInitialize(void) { return true; }

ZB_EXPORT void ZB_CALL zbUninitialize(void) {}

ZB_EXPORT bool ZB_CALL zbGetInterfaceName(int32_t index, char* buffer) {
  if (buffer == nullptr || index < 0 || index >= kInterfaceCount) return false;
  std::memcpy(buffer, kInterfaceNames[index], ZB_INTERFACE_NAME_BYTES);
  return true;
}

ZB_EXPORT void* ZB_CALL zbCreateInstance(const char* name) {
  if (name == nullptr) return nullptr;
  if (NameIs(name, ZB_NAME_ENCODER)) return CreateRecorded<AdpcmEncoder>(ZB_NAME_ENCODER);
  if (NameIs(name, ZB_NAME_DECODER)) return CreateRecorded<AdpcmDecoder>(ZB_NAME_DECODER);
  if (NameIs(name, ZB_NAME_CHILD_MODULE)) return static_cast<IZBAvChildModule*>(&g_adpcmChildModule);
  return nullptr;
}

ZB_EXPORT void ZB_CALL zbDestroyInstance(void* object) { DestroyRecordedInstance(object); }

}  // extern "C"
