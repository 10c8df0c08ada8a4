// Replacement global allocation functions for the framework test program: plain malloc
// and free, with a count of the frees of one watched address.
#include "tests/framework/AllocationWatch.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<const void*> g_watched{nullptr};
std::atomic<int> g_watchedFrees{0};

void* Allocate(std::size_t size) {
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}

void Release(void* memory) noexcept {
  if (memory != nullptr && memory == g_watched.load()) ++g_watchedFrees;
  std::free(memory);
}

}  // namespace

namespace zbtest {

void WatchFrees(const void* address) {
  g_watchedFrees.store(0);
  g_watched.store(address);
}

int WatchedFrees() { return g_watchedFrees.load(); }

}  // namespace zbtest

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void operator delete(void* memory) noexcept { Release(memory); }
void operator delete[](void* memory) noexcept { Release(memory); }
void operator delete(void* memory, std::size_t) noexcept { Release(memory); }
void operator delete[](void* memory, std::size_t) noexcept { Release(memory); }
