// The registry of live module instances: every module that zbCreateInstance handed out,
// keyed by its address, so that only those can be destroyed again.
#pragma once

#include "Include/QV_Interface/zbav.h"
#include "QV_Base/Src/QV_LockedContainers.h"

inline constexpr int kInstanceNameBytes = 256;

struct InstanceRecord {
  char name[kInstanceNameBytes];  // interface name the object was created under
  void* object;                   // the module's address, its source face
};

using InstanceRegistry = zbbase::LockedPtrMap<InstanceRecord>;

extern InstanceRegistry g_instanceRegistry;

// Records `object` under the interface name `name` (at most 16 bytes with its terminator).
// False, with the registry as it was, when there is no memory for the record.
bool RecordInstance(const char* name, void* object);

// Forgets a recorded module and then, without the registry lock, destroys it through
// slot 0; anything else is ignored.
void DestroyRecordedInstance(void* object);

// Forgets the record of `object`, if any.
void ForgetInstance(void* object);

// A module as zbCreateInstance hands it out. Destroyed through slot 0 of either face by
// the host itself, it also leaves the registry, so that a later zbDestroyInstance of its
// address is ignored as for any destroyed module. Adds no members: the layout stays.
template <typename Module>
class RecordedModule : public Module {
 public:
  void* DeletingDestructor(unsigned int flags) override {
    ForgetInstance(static_cast<AvSourceFace*>(this));
    return DestroyModule(this, flags);
  }
};

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(InstanceRecord) == 260, "InstanceRecord is 260 bytes");
static_assert(sizeof(zbbase::PtrMap<InstanceRecord>) == 24, "PtrMap is 24 bytes");
static_assert(sizeof(zbbase::PtrList<void>) == 24, "PtrList is 24 bytes");
static_assert(sizeof(zbbase::Locker) == 28, "Locker is 28 bytes");
static_assert(sizeof(InstanceRegistry) == 52, "LockedPtrMap is 52 bytes");
#endif
