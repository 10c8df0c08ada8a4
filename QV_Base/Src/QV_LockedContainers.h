// LockedPtrList and LockedPtrMap: a container and its Locker in one object, so users
// guard the container with an AutoLock on the object itself.
#pragma once

#include "QV_Base/Src/QV_Locker.h"
#include "QV_Base/Src/QV_PtrList.h"
#include "QV_Base/Src/QV_PtrMap.h"

namespace zbbase {

// Built container first, then Locker; destroyed Locker first, then the container.
template <typename T>
class LockedPtrList : public PtrList<T>, public Locker {
 public:
  LockedPtrList() : PtrList<T>(kDefaultBlockSize) {}
  ~LockedPtrList() override = default;
};

template <typename Value>
class LockedPtrMap : public PtrMap<Value>, public Locker {
 public:
  LockedPtrMap() = default;
  ~LockedPtrMap() override = default;
};

}  // namespace zbbase
