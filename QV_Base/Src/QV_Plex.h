// Plex: one pooled memory block, a link to the block made before it followed by
// nMax elements of cbElement bytes. Containers chain their blocks and free them together.
#pragma once

#include <cstdint>
#include <new>

#include "QV_Base/Src/QV_Assert.h"

namespace zbbase {

// Fixed report line, not this file's (see AssertSite).
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

  // Number of blocks in `chain`.
  static int32_t CountChain(const Plex* chain);
};

// Adds a block of `nMax` nodes to `chain` and pushes its nodes onto `freeList` (linked
// through `next`) from the last to the first, so they are handed out in address order.
template <typename Node>
void GrowFreeList(Plex*& chain, int32_t nMax, Node*& freeList) {
  Plex* block = Plex::Create(chain, static_cast<uint32_t>(nMax), sizeof(Node));
  if (block == nullptr) throw std::bad_alloc();
  Node* nodes = static_cast<Node*>(block->data());
  for (int32_t i = nMax - 1; i >= 0; --i) {
    nodes[i].next = freeList;
    freeList = &nodes[i];
  }
}

}  // namespace zbbase
