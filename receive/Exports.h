// The library's five exports as a table of function pointers, so that one binding serves a
// host that loads the library at run time (zbhost, through dlopen) and one that links it
// (the GStreamer plug-in, the tests and the fuzz targets).
#pragma once

#include "exports/zbexports.h"

namespace zbreceive {

struct ZbExports {
  ZbInitializeFn initialize = nullptr;
  ZbUninitializeFn uninitialize = nullptr;
  ZbGetInterfaceNameFn getInterfaceName = nullptr;
  ZbCreateInstanceFn createInstance = nullptr;
  ZbDestroyInstanceFn destroyInstance = nullptr;
};

}  // namespace zbreceive
