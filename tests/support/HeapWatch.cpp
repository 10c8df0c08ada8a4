// Replacement global allocation functions: malloc and free with a count of live
// allocations, a failure countdown and a count of the frees of one watched address.
#include "tests/support/HeapWatch.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<int> g_failCountdown{0};       // n > 0: the n-th allocation from now fails
std::atomic<long> g_liveAllocations{0};    // allocations not yet given back
std::atomic<const void*> g_watched{nullptr};
std::atomic<int> g_watchedFrees{0};

}  // namespace

namespace zbtest {

void FailNthAllocation(int n) { g_failCountdown.store(n); }
bool CancelFailure() { return g_failCountdown.exchange(0) != 0; }
long LiveAllocations() { return g_liveAllocations.load(); }

void WatchFrees(const void* address) {
  g_watchedFrees.store(0);
  g_watched.store(address);
}

int WatchedFrees() { return g_watchedFrees.load(); }

}  // namespace zbtest

void* operator new(std::size_t size) {
  if (g_failCountdown.load() > 0 && g_failCountdown.fetch_sub(1) == 1) throw std::bad_alloc();
  void* ptr = std::malloc(size == 0 ? 1 : size);
  if (ptr == nullptr) throw std::bad_alloc();
  g_liveAllocations.fetch_add(1);
  return ptr;
}

// These operators pair malloc and free themselves; an optimiser that inlines them would
// otherwise take free for a mismatch with operator new.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void operator delete(void* ptr) noexcept {
  if (ptr == nullptr) return;
  if (ptr == g_watched.load()) ++g_watchedFrees;
  g_liveAllocations.fetch_sub(1);
  std::free(ptr);
}

void operator delete(void* ptr, std::size_t) noexcept { operator delete(ptr); }

// The other forms go through the two above, so that sanitizers that supply their own
// operators do not pair one of theirs with one of these.
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete[](void* ptr) noexcept { operator delete(ptr); }
void operator delete[](void* ptr, std::size_t) noexcept { operator delete(ptr); }

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return operator new(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void operator delete(void* ptr, const std::nothrow_t&) noexcept { operator delete(ptr); }
