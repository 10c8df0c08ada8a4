/* The library's exported boundary: five C functions (cdecl on 32-bit Windows) and, for
 * C++ hosts, the descriptor interface "IZBAvChildModule" that zbCreateInstance hands out. */
#ifndef ZB_EXPORTS_H
#define ZB_EXPORTS_H

#include <stdint.h>

#ifndef __cplusplus
#include <stdbool.h>
#endif

#if defined(_WIN32)
#define ZB_CALL __cdecl
#ifdef ZB_BUILDING_LIBRARY
#define ZB_EXPORT __declspec(dllexport)
#else
#define ZB_EXPORT
#endif
#else
#define ZB_CALL
#define ZB_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Interface names; each fits the 16-byte buffer of zbGetInterfaceName. */
#define ZB_NAME_ENCODER "QV_AdpcmEncoder"
#define ZB_NAME_DECODER "QV_AdpcmDecoder"
#define ZB_NAME_CHILD_MODULE "IZBAvChildModule"
#define ZB_INTERFACE_NAME_BYTES 16

ZB_EXPORT bool ZB_CALL zbInitialize(void);
ZB_EXPORT void ZB_CALL zbUninitialize(void);
ZB_EXPORT bool ZB_CALL zbGetInterfaceName(int32_t index, char* buffer);
ZB_EXPORT void* ZB_CALL zbCreateInstance(const char* name);
ZB_EXPORT void ZB_CALL zbDestroyInstance(void* object);

typedef bool(ZB_CALL* ZbInitializeFn)(void);
typedef void(ZB_CALL* ZbUninitializeFn)(void);
typedef bool(ZB_CALL* ZbGetInterfaceNameFn)(int32_t index, char* buffer);
typedef void*(ZB_CALL* ZbCreateInstanceFn)(const char* name);
typedef void(ZB_CALL* ZbDestroyInstanceFn)(void* object);

#ifdef __cplusplus
}  /* extern "C" */

/* Installed beside this header; the build puts Include/QV_Interface on the include path. */
#include "zbav_abi.h"

/* The descriptor: installs the host allocator and answers module type identifiers.
 * Slots: 0 SetMemAllocator, 1 GetModuleInfo, 2 to 4 reserved with fixed results. */
class IZBAvChildModule {
 public:
  virtual void SetMemAllocator(IAvMemAlloc* alloc) = 0;
  virtual bool GetModuleInfo(const char* name, uint32_t* typeId, uint8_t* flag) = 0;
  virtual bool ReservedQuery() = 0;
  virtual bool ReservedCallA(int32_t a, int32_t b, int32_t c, int32_t d) = 0;
  virtual bool ReservedCallB(int32_t a, int32_t b, int32_t c, int32_t d) = 0;

 protected:
  ~IZBAvChildModule() = default;
};
#endif

#endif /* ZB_EXPORTS_H */
