// `zbhost inspect`: what the library offers, asked through its own interfaces only:
// interface names, type identifiers from the descriptor, and for each module the type it
// emits and the types it accepts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/library/ZbLibrary.h"

namespace zbhost {

struct ModuleInspection {
  std::string name;
  bool hasInfo = false;  // GetModuleInfo knew the name
  uint32_t typeId = 0;
  uint8_t flag = 0;
  uint16_t outputType = 0;
  std::vector<uint16_t> acceptedTypes;
};

struct LibraryInspection {
  std::string path;
  std::vector<ModuleInspection> modules;
};

LibraryInspection InspectLibrary(const ZbLibrary& library);
std::string PlainInspection(const LibraryInspection& inspection);
nlohmann::json JsonInspection(const LibraryInspection& inspection);

}  // namespace zbhost
