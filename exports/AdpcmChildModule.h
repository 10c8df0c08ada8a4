// AdpcmChildModule: the static "IZBAvChildModule" descriptor. Installs the host allocator
// into the global hook and answers the numeric type identifier of each module in the table of
// modules.
#pragma once

#include <cstdint>

#include "exports/zbexports.h"

class AdpcmChildModule : public IZBAvChildModule {
 public:
  // A null allocator leaves the installed one in use.
  void SetMemAllocator(IAvMemAlloc* alloc) override;
  bool GetModuleInfo(const char* name, uint32_t* typeId, uint8_t* flag) override;
  bool ReservedQuery() override;
  bool ReservedCallA(int32_t a, int32_t b, int32_t c, int32_t d) override;
  bool ReservedCallB(int32_t a, int32_t b, int32_t c, int32_t d) override;
};

extern AdpcmChildModule g_adpcmChildModule;
