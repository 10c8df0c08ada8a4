// The reassembly sink: placement by timestamp, received versus rebuilt, refused and
// repeated renders, and the fill of lost frames with silence or a fading repetition.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "host/stream/PcmSink.h"
#include "tests/support/CaseNames.h"

namespace zbtest {
namespace {

using namespace zbhost;

constexpr int32_t kSamples = 4;  // samples per frame in these tests
constexpr int32_t kOwnTimestamp = std::numeric_limits<int32_t>::min();  // seq times the frame step

class PcmSinkTest : public testing::Test {
 protected:
  // Renders frame `seq` filled with `value`; `rebuilt` gives it an info record other than
  // the one in flight, as the decoder does for a frame of its own making.
  bool Render(PcmSink& sink, int32_t seq, int16_t value, bool rebuilt = false,
              int32_t timestamp = kOwnTimestamp, int32_t samples = kSamples) {
    AvFrameInfo info{seq, timestamp == kOwnTimestamp ? seq * kFrameMs : timestamp, AV_CLASS_MEDIA, {}};
    AvFrameInfo rebuiltInfo = info;
    std::vector<int16_t> pcm(static_cast<size_t>(samples), value);
    AvFrame delivered{AV_TYPE_ADPCM, 0, AV_KIND_AUDIO, &info, 0, nullptr};
    origin.SetInFlight(&delivered);
    AvFrame frame{AV_TYPE_PCM, 0, AV_KIND_AUDIO, rebuilt ? &rebuiltInfo : &info,
                  static_cast<uint32_t>(pcm.size() * sizeof(int16_t)),
                  reinterpret_cast<uint8_t*>(pcm.data())};
    const bool taken = sink.HandleFrame(nullptr, &frame);
    origin.SetInFlight(nullptr);
    return taken;
  }
  std::vector<int16_t> FrameOf(const PcmSink& sink, int32_t index) const {
    const auto begin = sink.samples().begin() + index * kSamples;
    return std::vector<int16_t>(begin, begin + kSamples);
  }

  FrameOrigin origin;
};

TEST_F(PcmSinkTest, PlacesFramesByTimestampInAnyOrder) {
  PcmSink sink(3, kSamples, &origin);
  Render(sink, 2, 30);
  Render(sink, 0, 10);
  Render(sink, 1, 20, true);
  sink.Finish(false);
  EXPECT_EQ(FrameOf(sink, 0), std::vector<int16_t>(kSamples, 10));
  EXPECT_EQ(FrameOf(sink, 1), std::vector<int16_t>(kSamples, 20));
  EXPECT_EQ(FrameOf(sink, 2), std::vector<int16_t>(kSamples, 30));
  EXPECT_EQ(sink.counters().received, 2);
  EXPECT_EQ(sink.counters().rebuilt, 1);
  EXPECT_EQ(sink.counters().paritySeqsUsed, std::set<int32_t>{1});
  EXPECT_EQ(sink.counters().lostForGood, 0);
}

TEST_F(PcmSinkTest, WithoutOriginEveryRenderIsReceived) {
  PcmSink sink(1, kSamples, nullptr);
  Render(sink, 0, 1, true);
  EXPECT_EQ(sink.counters().received, 1);
  EXPECT_EQ(sink.counters().rebuilt, 0);
}

TEST_F(PcmSinkTest, KeepsTheFirstRenderOfAFrame) {
  PcmSink sink(1, kSamples, &origin);
  Render(sink, 0, 5);
  Render(sink, 0, 6);
  EXPECT_EQ(FrameOf(sink, 0), std::vector<int16_t>(kSamples, 5));
  EXPECT_EQ(sink.counters().renderedAgain, 1);
}

struct UnusableCase : NamedRow {
  int32_t timestamp;
  int32_t samples;
};

class PcmSinkUnusableTest : public PcmSinkTest, public testing::WithParamInterface<UnusableCase> {};

TEST_P(PcmSinkUnusableTest, IsCountedAndPlacesNothing) {
  PcmSink sink(2, kSamples, &origin);
  EXPECT_TRUE(Render(sink, 0, 7, false, GetParam().timestamp, GetParam().samples));
  EXPECT_EQ(sink.counters().unusable, 1);
  sink.Finish(false);
  EXPECT_EQ(sink.counters().lostForGood, 2);
}

INSTANTIATE_TEST_SUITE_P(Renders, PcmSinkUnusableTest,
                         testing::Values(UnusableCase{"BeforeTheStart", -kFrameMs, kSamples},
                                         UnusableCase{"OffTheGrid", kFrameMs / 2, kSamples},
                                         UnusableCase{"PastTheEnd", 2 * kFrameMs, kSamples},
                                         UnusableCase{"ShortFrame", 0, kSamples - 1}),
                         RowName());

TEST_F(PcmSinkTest, RefusesWhatIsNotPcm) {
  PcmSink sink(1, kSamples, &origin);
  AvFrameInfo info{0, 0, AV_CLASS_MEDIA, {}};
  AvFrame adpcm{AV_TYPE_ADPCM, 0, AV_KIND_AUDIO, &info, 0, nullptr};
  AvFrame noInfo{AV_TYPE_PCM, 0, AV_KIND_AUDIO, nullptr, 0, nullptr};
  EXPECT_FALSE(sink.HandleFrame(nullptr, &adpcm));
  EXPECT_FALSE(sink.HandleFrame(nullptr, &noInfo));
  EXPECT_FALSE(sink.AcceptsType(AV_TYPE_ADPCM));
  EXPECT_TRUE(sink.AcceptsType(AV_TYPE_PCM));
}

TEST_F(PcmSinkTest, CountsLostFramesAndTheLongestRunFilledWithSilence) {
  PcmSink sink(8, kSamples, &origin);
  for (int32_t seq : {0, 2, 6}) Render(sink, seq, 100);
  sink.Finish(false);
  EXPECT_EQ(sink.counters().lostForGood, 5);     // 1, 3, 4, 5, 7
  EXPECT_EQ(sink.counters().longestLostRun, 3);  // 3 to 5
  EXPECT_EQ(sink.counters().concealed, 0);
  EXPECT_EQ(FrameOf(sink, 4), std::vector<int16_t>(kSamples, 0));
}

TEST_F(PcmSinkTest, ConcealmentRepeatsTheLastFrameFadingToSilence) {
  PcmSink sink(kConcealFadeFrames + 3, kSamples, &origin);
  Render(sink, 0, 1200);
  sink.Finish(true);
  EXPECT_EQ(sink.counters().concealed, kConcealFadeFrames);
  EXPECT_EQ(sink.counters().lostForGood, kConcealFadeFrames + 2);
  // The gain falls sample by sample from 1 across the fade frames.
  EXPECT_EQ(sink.samples()[kSamples], 1200);
  const double step = 1200.0 / (kConcealFadeFrames * kSamples);
  for (int32_t i = 1; i <= kConcealFadeFrames * kSamples; ++i) {
    EXPECT_NEAR(sink.samples()[static_cast<size_t>(kSamples + i - 1)], 1200 - (i - 1) * step, 0.5) << i;
  }
  EXPECT_EQ(FrameOf(sink, kConcealFadeFrames + 1), std::vector<int16_t>(kSamples, 0));
}

TEST_F(PcmSinkTest, ConcealmentHasNothingToRepeatAtTheStart) {
  PcmSink sink(2, kSamples, &origin);
  Render(sink, 1, 50);
  sink.Finish(true);
  EXPECT_EQ(sink.counters().concealed, 0);
  EXPECT_EQ(FrameOf(sink, 0), std::vector<int16_t>(kSamples, 0));
}

}  // namespace
}  // namespace zbtest
