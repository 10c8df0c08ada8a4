// `zbhost inspect`: what the library offers, asked through its own interfaces only:
// interface names, type identifiers from the descriptor, and for each module the type it
// emits and the types it accepts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/ZbLibrary.h"

namespace zbhost {

struct ModuleListing {
  std::string name;
  bool hasInfo = false;  // GetModuleInfo knew the name
  uint32_t typeId = 0;
  uint8_t flag = 0;
  uint16_t outputType = 0;
  std::vector<uint16_t> acceptedTypes;
};

struct LibraryListing {
  std::string path;
  std::vector<ModuleListing> modules;
};

LibraryListing ListLibrary(const ZbLibrary& library);
std::string PlainListing(const LibraryListing& listing);
nlohmann::json JsonListing(const LibraryListing& listing);

}  // namespace zbhost
