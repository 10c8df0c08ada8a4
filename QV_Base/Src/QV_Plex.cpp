// Plex block allocation and release.
#include "QV_Base/Src/QV_Plex.h"

#include <cstddef>
#include <new>

namespace zbbase {

Plex* Plex::Create(Plex*& chain, uint32_t nMax, uint32_t cbElement) {
  if (!ZB_ASSERT_AT(nMax > 0 && cbElement > 0, kAssertPlexSize)) return nullptr;
  const size_t bytes = sizeof(Plex) + static_cast<size_t>(nMax) * cbElement;
  Plex* block = static_cast<Plex*>(::operator new(bytes));
  block->pNext = chain;
  chain = block;
  return block;
}

void Plex::FreeChain() { FreeChainAt(this); }

void Plex::FreeChainAt(Plex* chain) {
  while (chain != nullptr) {
    Plex* older = chain->pNext;
    ::operator delete(chain);
    chain = older;
  }
}

int32_t Plex::CountChain(const Plex* chain) {
  int32_t n = 0;
  for (; chain != nullptr; chain = chain->pNext) ++n;
  return n;
}

}  // namespace zbbase
