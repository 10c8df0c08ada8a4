// A stand-in plug-in library with one fault picked at build time, for the host's
// bad-library tests: ZBFAKE_OMIT_DESTROY leaves out the export zbDestroyInstance,
// ZBFAKE_ENCODER_ONLY enumerates only the encoder, ZBFAKE_NO_DESCRIPTOR offers no
// descriptor. It creates no modules.
#include <cstring>

#include "exports/zbexports.h"

extern "C" {

ZB_EXPORT bool ZB_CALL zbInitialize(void) { return true; }
ZB_EXPORT void ZB_CALL zbUninitialize(void) {}

ZB_EXPORT bool ZB_CALL zbGetInterfaceName(int32_t index, char* buffer) {
#ifdef ZBFAKE_ENCODER_ONLY
  const char* const names[] = {ZB_NAME_ENCODER};
#else
  const char* const names[] = {ZB_NAME_ENCODER, ZB_NAME_DECODER};
#endif
  if (index < 0 || index >= static_cast<int32_t>(sizeof names / sizeof names[0])) return false;
  std::memcpy(buffer, names[index], ZB_INTERFACE_NAME_BYTES);
  return true;
}

ZB_EXPORT void* ZB_CALL zbCreateInstance(const char*) { return nullptr; }

#ifndef ZBFAKE_OMIT_DESTROY
ZB_EXPORT void ZB_CALL zbDestroyInstance(void*) {}
#endif

}  // extern "C"
