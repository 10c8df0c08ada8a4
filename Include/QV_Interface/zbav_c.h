/* The library's binary interface for hosts written in C (C99 or later); it compiles as C++ too.
 *
 * zbexports.h gives the five exports, zbav_abi.h the frame records and type codes. This
 * header adds the faces the way a C header of a COM-style interface does: an object starts
 * with a pointer to its table of function pointers, one member per slot, in slot order,
 * each taking the object itself first. A host calls the modules through these tables and
 * writes its own sinks and its allocator as such objects.
 *
 * Calling conventions on 32-bit Windows: the exports are cdecl (ZB_CALL); every slot is
 * thiscall (ZB_METHOD): the object pointer in ECX, the other arguments on the stack,
 * removed by the callee; bool is one byte. Elsewhere both are the platform's C convention
 * with the object pointer as the first argument. GCC's -Wpedantic remarks that thiscall is
 * meant for C++ methods; a host that defines slots in C with -Wpedantic adds
 * -Wno-attributes. MSVC declares thiscall for member functions only: its hosts use the C++
 * faces of zbav_abi.h. */
#ifndef ZBAV_C_H
#define ZBAV_C_H

#include <stdint.h>

#include "zbav_abi.h"
#include "zbexports.h"

#if defined(_WIN32) && !defined(_WIN64)
#if defined(__GNUC__) || defined(__clang__)
#define ZB_METHOD __attribute__((thiscall))
#else
#error "zbav_c.h needs a compiler that declares thiscall function pointers (GCC or clang); use the C++ faces of zbav_abi.h"
#endif
#define ZB_SINK_FACE_OFFSET 56 /* bytes from a module's start to its sink face */
#elif defined(__x86_64__) && defined(__linux__)
#define ZB_METHOD
#define ZB_SINK_FACE_OFFSET 112
#else
#error "module object layout not defined for this platform"
#endif

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wattributes"
#endif

/* Flag for slot 0: free the object's memory after destroying it. */
enum { ZB_DELETE_FREES_MEMORY = 1 };

typedef struct ZbSourceFace ZbSourceFace;
typedef struct ZbSinkFace ZbSinkFace;
typedef struct ZbMemAlloc ZbMemAlloc;
typedef struct ZbChildModule ZbChildModule;

/* The source face: slots 0 to 7 of every module. Slot 0 destroys the whole module and
 * answers its start. */
typedef struct ZbSourceFaceVtbl {
  void* (ZB_METHOD* DeletingDestructor)(ZbSourceFace* self, unsigned int flags);
  uint16_t (ZB_METHOD* GetOutputType)(ZbSourceFace* self);
  bool (ZB_METHOD* AddOutput)(ZbSourceFace* self, ZbSinkFace* pOutput);
  bool (ZB_METHOD* RemoveOutput)(ZbSourceFace* self, ZbSinkFace* pOutput);
  int32_t (ZB_METHOD* CountActiveOutputs)(ZbSourceFace* self);
  int32_t (ZB_METHOD* ReservedQuery)(ZbSourceFace* self);
  void (ZB_METHOD* ReservedNotify)(ZbSourceFace* self);
  int32_t (ZB_METHOD* ReservedControl)(ZbSourceFace* self, int32_t value);
} ZbSourceFaceVtbl;

/* The source face of a filter module (encoder and decoder): slot 8. */
typedef struct ZbFilterSourceFaceVtbl {
  ZbSourceFaceVtbl source;
  bool (ZB_METHOD* ResetStream)(ZbSourceFace* self);
} ZbFilterSourceFaceVtbl;

/* The source face of an encoder module: slots 9 and 10. Slot 9 takes a ZB_ENCODER_* value
 * (zbav_abi.h) to choose the encoder's mode; it ignores every other value. */
typedef struct ZbEncoderSourceFaceVtbl {
  ZbFilterSourceFaceVtbl filter;
  void (ZB_METHOD* ReservedSetting)(ZbSourceFace* self, int32_t value);
  void (ZB_METHOD* EnableRedundancy)(ZbSourceFace* self, bool enable);
} ZbEncoderSourceFaceVtbl;

/* The sink face: slots 0 to 5. */
typedef struct ZbSinkFaceVtbl {
  void* (ZB_METHOD* DeletingDestructor)(ZbSinkFace* self, unsigned int flags);
  bool (ZB_METHOD* AcceptsType)(ZbSinkFace* self, uint16_t type);
  bool (ZB_METHOD* IsActive)(ZbSinkFace* self, ZbSourceFace* from);
  bool (ZB_METHOD* AddInput)(ZbSinkFace* self, ZbSourceFace* pInput);
  bool (ZB_METHOD* RemoveInput)(ZbSinkFace* self, ZbSourceFace* pInput);
  bool (ZB_METHOD* HandleFrame)(ZbSinkFace* self, ZbSourceFace* from, AvFrame* frame);
} ZbSinkFaceVtbl;

struct ZbSourceFace {
  const ZbSourceFaceVtbl* vtbl;
};
struct ZbSinkFace {
  const ZbSinkFaceVtbl* vtbl;
};

/* The host's allocator for frame buffers: slots 0 Alloc, 1 Free. */
typedef struct ZbMemAllocVtbl {
  void* (ZB_METHOD* Alloc)(ZbMemAlloc* self, uint32_t size);
  void (ZB_METHOD* Free)(ZbMemAlloc* self, void* ptr);
} ZbMemAllocVtbl;
struct ZbMemAlloc {
  const ZbMemAllocVtbl* vtbl;
};

/* The descriptor, zbCreateInstance(ZB_NAME_CHILD_MODULE): slot 0 installs the allocator,
 * slot 1 answers a module's type identifier, slots 2 to 4 are reserved. */
typedef struct ZbChildModuleVtbl {
  void (ZB_METHOD* SetMemAllocator)(ZbChildModule* self, ZbMemAlloc* alloc);
  bool (ZB_METHOD* GetModuleInfo)(ZbChildModule* self, const char* name, uint32_t* typeId, uint8_t* flag);
  bool (ZB_METHOD* ReservedQuery)(ZbChildModule* self);
  bool (ZB_METHOD* ReservedCallA)(ZbChildModule* self, int32_t a, int32_t b, int32_t c, int32_t d);
  bool (ZB_METHOD* ReservedCallB)(ZbChildModule* self, int32_t a, int32_t b, int32_t c, int32_t d);
} ZbChildModuleVtbl;
struct ZbChildModule {
  const ZbChildModuleVtbl* vtbl;
};

#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

/* The faces of a module that zbCreateInstance handed out. */
static inline ZbSourceFace* ZbSourceFaceOf(void* module) { return (ZbSourceFace*)module; }
static inline ZbSinkFace* ZbSinkFaceOf(void* module) {
  return (ZbSinkFace*)((char*)module + ZB_SINK_FACE_OFFSET);
}
/* The longer tables of the encoder's and decoder's source faces. */
static inline const ZbFilterSourceFaceVtbl* ZbFilterVtblOf(const ZbSourceFace* face) {
  return (const ZbFilterSourceFaceVtbl*)(const void*)face->vtbl;
}
static inline const ZbEncoderSourceFaceVtbl* ZbEncoderVtblOf(const ZbSourceFace* face) {
  return (const ZbEncoderSourceFaceVtbl*)(const void*)face->vtbl;
}

#ifdef __cplusplus
}  /* extern "C" */

static_assert(ZB_SINK_FACE_OFFSET == kSinkFaceOffset, "one sink face offset for C and C++ hosts");
static_assert(ZB_DELETE_FREES_MEMORY == kDeleteFreesMemory, "one slot 0 flag for C and C++ hosts");
#endif

#endif /* ZBAV_C_H */
