// The playout: placement in any order, received versus rebuilt, the first render kept, the
// give-up rule, and the fill of lost frames with silence or concealment.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "receive/Playout.h"

namespace zbtest {
namespace {

using namespace zbreceive;

constexpr int32_t kSamples = 4;        // samples per frame in these tests
constexpr int32_t kRealSamples = 160;  // 20 ms at 8 kHz, a rate the concealment serves
constexpr int32_t kRealRate = 8000;
constexpr int32_t kHold = 2;

class PlayoutTest : public testing::Test {
 protected:
  Placement Render(Playout& playout, int64_t index, int16_t value, bool rebuilt = false, int32_t samples = kSamples) {
    const std::vector<int16_t> pcm(static_cast<size_t>(samples), value);
    return playout.Place(index, pcm.data(), rebuilt);
  }
  std::vector<OutFrame> TakeAll(Playout& playout) {
    std::vector<OutFrame> frames;
    OutFrame frame;
    while (playout.Take(frame)) frames.push_back(frame);
    return frames;
  }

  ReceiveCounters counters;
};

TEST_F(PlayoutTest, PlacesFramesInAnyOrderAndLetsThemOutInOrder) {
  Playout playout(kSamples, kRealRate, false, kHold, counters);
  playout.Start(0, false);
  Render(playout, 2, 30);
  Render(playout, 0, 10);
  playout.MarkParityUsed(1);
  Render(playout, 1, 20, true);
  playout.Release(false);
  const std::vector<OutFrame> frames = TakeAll(playout);
  ASSERT_EQ(frames.size(), 3u);
  for (int64_t i = 0; i < 3; ++i) {
    EXPECT_EQ(frames[i].index, i);
    EXPECT_EQ(frames[i].samples, std::vector<int16_t>(kSamples, static_cast<int16_t>(10 * (i + 1))));
  }
  EXPECT_EQ(frames[1].outcome, FrameOutcome::Rebuilt);
  EXPECT_TRUE(frames[1].parityUsed);
  EXPECT_TRUE(frames[0].segmentStart);
  EXPECT_FALSE(frames[1].segmentStart);
  EXPECT_EQ(counters.received, 2);
  EXPECT_EQ(counters.rebuilt, 1);
  EXPECT_EQ(counters.lost, 0);
}

TEST_F(PlayoutTest, KeepsTheFirstRenderOfAFrame) {
  Playout playout(kSamples, kRealRate, false, kHold, counters);
  playout.Start(0, false);
  EXPECT_EQ(Render(playout, 0, 5), Placement::Placed);
  EXPECT_EQ(Render(playout, 0, 6), Placement::AlreadyPlaced);
  playout.Release(false);
  EXPECT_EQ(Render(playout, 0, 7), Placement::AlreadyFinal);
  EXPECT_EQ(TakeAll(playout).front().samples, std::vector<int16_t>(kSamples, 5));
}

TEST_F(PlayoutTest, GivesUpAMissingFrameOnceTimeHasPassedItsHold) {
  Playout playout(kSamples, kRealRate, false, kHold, counters);
  playout.Start(0, false);
  Render(playout, 1, 1);
  playout.See(kHold - 1);
  playout.Release(false);
  EXPECT_TRUE(TakeAll(playout).empty());  // frame 0 may still be rebuilt
  playout.See(kHold);
  playout.Release(false);
  EXPECT_EQ(TakeAll(playout).size(), 2u);
  EXPECT_EQ(playout.held(), 1u);  // frame kHold, open
}

TEST_F(PlayoutTest, TheFrameBeforeTheFirstMayLeadTheSegment) {
  Playout playout(kSamples, kRealRate, false, kHold, counters);
  playout.Start(5, true);
  Render(playout, 5, 1);
  playout.Release(false);
  EXPECT_TRUE(TakeAll(playout).empty());
  Render(playout, 4, 2, true);
  playout.See(6);
  playout.Release(false);
  const std::vector<OutFrame> frames = TakeAll(playout);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].index, 4);
  EXPECT_TRUE(frames[0].segmentStart);
}

TEST_F(PlayoutTest, CountsLostFramesAndTheLongestRunFilledWithSilence) {
  Playout playout(kSamples, kRealRate, false, kHold, counters);
  playout.Start(0, false);
  for (int64_t index : {0, 2, 6}) Render(playout, index, 100);
  playout.See(7);
  playout.Release(true);
  const std::vector<OutFrame> frames = TakeAll(playout);
  ASSERT_EQ(frames.size(), 8u);
  EXPECT_EQ(counters.lost, 5);            // 1, 3, 4, 5, 7
  EXPECT_EQ(counters.longestLostRun, 3);  // 3 to 5
  EXPECT_EQ(counters.concealed, 0);
  EXPECT_EQ(frames[4].samples, std::vector<int16_t>(kSamples, 0));
  EXPECT_EQ(frames[4].outcome, FrameOutcome::Lost);
}

TEST_F(PlayoutTest, ConcealmentFillsFromHistoryAndCrossFadesBackIn) {
  Playout playout(kRealSamples, kRealRate, true, kHold, counters);
  playout.Start(0, false);
  // Frames 4 and 5 are lost; 6 resumes at another level.
  for (int64_t index : {0, 1, 2, 3}) Render(playout, index, 1000, false, kRealSamples);
  Render(playout, 6, 3000, false, kRealSamples);
  playout.Release(true);
  const std::vector<OutFrame> frames = TakeAll(playout);
  ASSERT_EQ(frames.size(), 7u);
  EXPECT_EQ(frames[4].outcome, FrameOutcome::Concealed);
  EXPECT_EQ(frames[5].outcome, FrameOutcome::Concealed);
  EXPECT_GT(frames[4].samples[0], 0);
  EXPECT_EQ(counters.lost, 2);
  EXPECT_EQ(counters.concealed, 2);
  EXPECT_EQ(frames[6].outcome, FrameOutcome::Received);
  EXPECT_LT(frames[6].samples.front(), 3000);  // faded in from the fill
  EXPECT_EQ(frames[6].samples.back(), 3000);
}

TEST_F(PlayoutTest, ConcealmentHasNothingToRepeatAtTheStartOfASegment) {
  Playout playout(kRealSamples, kRealRate, true, kHold, counters);
  playout.Start(0, false);
  Render(playout, 0, 1000, false, kRealSamples);
  playout.Release(true);
  // A new segment forgets the audio before it.
  playout.Start(1, false);
  Render(playout, 2, 50, false, kRealSamples);
  playout.Release(true);
  const std::vector<OutFrame> frames = TakeAll(playout);
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[1].outcome, FrameOutcome::Lost);
  EXPECT_TRUE(frames[1].segmentStart);
  EXPECT_EQ(frames[1].segment, 1u);
  EXPECT_EQ(frames[1].samples, std::vector<int16_t>(kRealSamples, 0));
  EXPECT_EQ(counters.concealed, 0);
}

}  // namespace
}  // namespace zbtest
