// Plex: block creation with its size assertion, chain order and release of a whole chain.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "QV_Base/Src/QV_Plex.h"
#include "tests/support/CaseNames.h"
#include "tests/support/TestSupport.h"

namespace zbtest {
namespace {

using zbbase::Plex;

constexpr uint32_t kElements = 10;
constexpr uint32_t kElementBytes = 12;

struct BadSize : NamedRow {
  uint32_t nMax;
  uint32_t cbElement;
};

class PlexBadSizeTest : public ::testing::TestWithParam<BadSize> {};

TEST_P(PlexBadSizeTest, ReportsAndLeavesTheChainAlone) {
  AssertRecorder recorder;
  Plex* chain = nullptr;
  Plex* block = Plex::Create(chain, GetParam().nMax, GetParam().cbElement);
  const std::vector<ReportedAssertion> expected{
      {"nMax > 0 && cbElement > 0", "QV_Base/Src/QV_Plex", 15}};
  EXPECT_EQ(recorder.reports(), expected);
  EXPECT_EQ(block, nullptr);
  EXPECT_EQ(chain, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Sizes, PlexBadSizeTest,
                         ::testing::Values(BadSize{"NoElements", 0, kElementBytes},
                                           BadSize{"EmptyElements", kElements, 0},
                                           BadSize{"BothStillOneReport", 0, 0}),
                         RowName());

TEST(PlexTest, NewBlocksGoToTheFrontOfTheChain) {
  AssertRecorder recorder;
  Plex* chain = nullptr;
  Plex* oldest = Plex::Create(chain, kElements, kElementBytes);
  EXPECT_EQ(chain, oldest);
  EXPECT_EQ(oldest->pNext, nullptr);
  Plex* middle = Plex::Create(chain, kElements, kElementBytes);
  Plex* newest = Plex::Create(chain, kElements, kElementBytes);
  EXPECT_EQ(chain, newest);
  EXPECT_EQ(newest->pNext, middle);
  EXPECT_EQ(middle->pNext, oldest);
  EXPECT_TRUE(recorder.reports().empty());
  chain->FreeChain();  // every block; the sanitizer build reports any left behind
}

TEST(PlexTest, ElementAreaFollowsTheLinkAndHoldsEveryElement) {
  Plex* chain = nullptr;
  Plex* block = Plex::Create(chain, kElements, kElementBytes);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(static_cast<char*>(block->data()), reinterpret_cast<char*>(block) + sizeof(Plex*));
  // Writing the whole area must stay inside the block (checked by the sanitizer build).
  std::memset(block->data(), 0xA5, kElements * kElementBytes);
  EXPECT_EQ(block->pNext, nullptr);
  block->FreeChain();
}

}  // namespace
}  // namespace zbtest
