// zbCreateInstance when the global allocation operator fails at each of its allocations in
// turn: no exception leaves the export, it returns null, and nothing stays allocated or
// recorded. This program replaces the global allocation operators (tests/support/HeapWatch).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "exports/zbexports.h"
#include "tests/boundary/BoundaryFixture.h"
#include "tests/support/CaseNames.h"
#include "tests/support/HeapWatch.h"

namespace zbtest {
namespace {

constexpr int kMostAllocationsPerCreate = 8;  // far above the module, bucket array and node block

struct CreateFailureCase : NamedRow {
  const char* interfaceName;
  int recordedBefore;  // modules recorded before; 10 fill the first node block
};

class CreateFailureTest : public BoundaryTest,
                          public ::testing::WithParamInterface<CreateFailureCase> {};

TEST_P(CreateFailureTest, EachFailingAllocationGivesNullAndLeavesNothing) {
  std::vector<void*> recorded;
  for (int i = 0; i < GetParam().recordedBefore; ++i) recorded.push_back(zbCreateInstance(ZB_NAME_DECODER));

  bool created = false;
  for (int failing = 1; !created && failing <= kMostAllocationsPerCreate; ++failing) {
    const long liveBefore = LiveAllocations();
    void* module = nullptr;
    FailNthAllocation(failing);
    EXPECT_NO_THROW(module = zbCreateInstance(GetParam().interfaceName)) << "allocation " << failing << " failing";
    created = CancelFailure();  // the call needed fewer allocations
    if (created) {
      ASSERT_NE(module, nullptr);
      zbDestroyInstance(module);
    } else {
      EXPECT_EQ(module, nullptr) << "allocation " << failing << " failing";
      EXPECT_EQ(RecordedCount(), GetParam().recordedBefore);
      EXPECT_EQ(LiveAllocations(), liveBefore) << "allocation " << failing << " failing leaked";
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
