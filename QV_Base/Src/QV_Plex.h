// Plex: one pooled memory block, a link to the block made before it followed by
// nMax elements of cbElement bytes. Containers chain their blocks and free them together.
#pragma once

#include <cstdint>

#include "QV_Base/Src/QV_Assert.h"

namespace zbbase {

inline constexpr AssertSite kAssertPlexSize{"nMax > 0 && cbElement > 0", "QV_Base/Src/QV_Plex", 15};

struct Plex {
  Plex* pNext;  // the block created before this one; null in the oldest

  void* data() { return this + 1; }

  // Allocates a block, makes it the head of `chain` and returns it. A zero size is a
  // contract violation: it is reported and null is returned, nothing allocated.
  static Plex* Create(Plex*& chain, uint32_t nMax, uint32_t cbElement);

  // Releases this block and every older block of its chain. Null-safe through FreeChainAt.
  void FreeChain();
  static void FreeChainAt(Plex* chain);
};

}  // namespace zbbase
