// zbCreateInstance when the global allocation operator fails at each of its allocations in
// turn: no exception leaves the export, it returns null, and nothing stays allocated or
// recorded. This program replaces the global allocation operators with counting ones.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "exports/zbexports.h"
#include "tests/boundary/BoundaryFixture.h"
#include "tests/support/CaseNames.h"

namespace {

std::atomic<int> g_failCountdown{0};       // n > 0: the n-th allocation from now fails
std::atomic<long> g_liveAllocations{0};    // allocations not yet given back

}  // namespace

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

namespace zbtest {
namespace {

constexpr int kMostAllocationsPerCreate = 8;  // far above the module, bucket array and node block

struct CreateFailureCase {
  const char* name;
  const char* interfaceName;
  int recordedBefore;  // modules recorded before; 10 fill the first node block
  friend void PrintTo(const CreateFailureCase& row, std::ostream* os) { *os << row.name; }
};

class CreateFailureTest : public BoundaryTest,
                          public ::testing::WithParamInterface<CreateFailureCase> {};

TEST_P(CreateFailureTest, EachFailingAllocationGivesNullAndLeavesNothing) {
  std::vector<void*> recorded;
  for (int i = 0; i < GetParam().recordedBefore; ++i) recorded.push_back(zbCreateInstance(ZB_NAME_DECODER));

  bool created = false;
  for (int failing = 1; !created && failing <= kMostAllocationsPerCreate; ++failing) {
    const long liveBefore = g_liveAllocations.load();
    void* module = nullptr;
    g_failCountdown.store(failing);
    EXPECT_NO_THROW(module = zbCreateInstance(GetParam().interfaceName)) << "allocation " << failing << " failing";
    created = g_failCountdown.exchange(0) != 0;  // the call needed fewer allocations
    if (created) {
      ASSERT_NE(module, nullptr);
      zbDestroyInstance(module);
    } else {
      EXPECT_EQ(module, nullptr) << "allocation " << failing << " failing";
      EXPECT_EQ(RecordedCount(), GetParam().recordedBefore);
      EXPECT_EQ(g_liveAllocations.load(), liveBefore) << "allocation " << failing << " failing leaked";
    }
  }
  EXPECT_TRUE(created);
  for (void* module : recorded) zbDestroyInstance(module);
}

INSTANTIATE_TEST_SUITE_P(
    Creations, CreateFailureTest,
    ::testing::Values(CreateFailureCase{"EncoderIntoAnEmptyRegistry", ZB_NAME_ENCODER, 0},
                      CreateFailureCase{"DecoderIntoAnEmptyRegistry", ZB_NAME_DECODER, 0},
                      CreateFailureCase{"EncoderNeedingANewNodeBlock", ZB_NAME_ENCODER, 10}),
    RowName());

}  // namespace
}  // namespace zbtest
