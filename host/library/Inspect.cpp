// `zbhost inspect`: the library's interfaces and frame types.
#include "host/library/Inspect.h"

#include <fmt/format.h>

namespace zbhost {

namespace {

constexpr uint16_t kTypeCodeCount = 256;  // frame records carry the type in 8 bits

std::string TypeName(uint16_t type) {
  switch (type) {
    case AV_TYPE_PCM:
      return "128 (PCM)";
    case AV_TYPE_ADPCM:
      return "139 (ADPCM)";
    case AV_TYPE_ADPCM_PARITY:
      return "140 (ADPCM parity)";
    default:
      return std::to_string(type);
  }
}

}  // namespace

LibraryInspection InspectLibrary(const ZbLibrary& library) {
  LibraryInspection inspection;
  inspection.path = library.path();
  IZBAvChildModule* descriptor = library.Descriptor();
  for (const std::string& name : library.interfaceNames()) {
    ModuleInspection module;
    module.name = name;
    module.hasInfo = descriptor->GetModuleInfo(name.c_str(), &module.typeId, &module.flag);
    ModuleHandle handle = library.Create(name);
    module.outputType = handle.Source()->GetOutputType();
    for (uint16_t type = 0; type < kTypeCodeCount; ++type) {
      if (handle.Sink()->AcceptsType(type)) module.acceptedTypes.push_back(type);
    }
    inspection.modules.push_back(module);
  }
  return inspection;
}

std::string PlainInspection(const LibraryInspection& inspection) {
  std::string out = fmt::format("library {}\n", inspection.path);
  out += fmt::format("descriptor {}\n", ZB_NAME_CHILD_MODULE);
  out += fmt::format("{} interfaces:\n", inspection.modules.size());
  for (const ModuleInspection& module : inspection.modules) {
    out += fmt::format("  {}\n", module.name);
    out += module.hasInfo ? fmt::format("    type id      0x{:08X} ({}), flag {}\n", module.typeId,
                                        module.typeId, module.flag)
                          : std::string("    type id      none\n");
    out += fmt::format("    output type  {}\n", TypeName(module.outputType));
    std::string accepted;
    for (uint16_t type : module.acceptedTypes) {
      accepted += (accepted.empty() ? "" : ", ") + TypeName(type);
    }
    out += fmt::format("    accepts      {}\n", accepted.empty() ? "nothing" : accepted);
  }
  return out;
}

nlohmann::json JsonInspection(const LibraryInspection& inspection) {
  nlohmann::json modules = nlohmann::json::array();
  for (const ModuleInspection& module : inspection.modules) {
    modules.push_back({{"name", module.name},
                       {"type_id", module.hasInfo ? nlohmann::json(module.typeId) : nlohmann::json(nullptr)},
                       {"flag", module.flag},
                       {"output_type", module.outputType},
                       {"accepts", module.acceptedTypes}});
  }
  return {{"library", inspection.path}, {"descriptor", ZB_NAME_CHILD_MODULE}, {"interfaces", modules}};
}

}  // namespace zbhost
