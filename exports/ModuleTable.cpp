// The table of modules and the creation of recorded instances.
#include "exports/ModuleTable.h"

#include <cstring>
#include <iterator>
#include <new>

#include "exports/InstanceRegistry.h"
#include "exports/zbexports.h"
#include "modules/AdpcmDecoder.h"
#include "modules/AdpcmEncoder.h"

namespace {

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

// Encoder first: the order of enumeration and of every lookup.
constexpr ModuleRow kModules[] = {
    {ZB_NAME_ENCODER, 0xD008B, CreateRecorded<AdpcmEncoder>},  // 13 << 16 | AV_TYPE_ADPCM
    {ZB_NAME_DECODER, 0xE008B, CreateRecorded<AdpcmDecoder>},  // 14 << 16 | AV_TYPE_ADPCM
};

static_assert((kModules[0].typeId & 0xFFFF) == AV_TYPE_ADPCM && (kModules[1].typeId & 0xFFFF) == AV_TYPE_ADPCM,
              "type identifiers carry the ADPCM type code");

}  // namespace

const ModuleRow* ModuleAt(int32_t index) {
  if (index < 0 || index >= static_cast<int32_t>(std::size(kModules))) return nullptr;
  return &kModules[index];
}

const ModuleRow* FindModule(const char* name) {
  for (const ModuleRow& row : kModules) {
    if (InterfaceNameIs(name, row.name)) return &row;
  }
  return nullptr;
}

bool InterfaceNameIs(const char* name, const char* expected) {
  return std::strncmp(name, expected, std::strlen(expected) + 1) == 0;
}
