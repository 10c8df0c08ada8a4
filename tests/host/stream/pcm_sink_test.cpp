// The reassembly sink: placement by timestamp, received versus rebuilt, refused and
// repeated renders, and the fill of lost frames with silence or concealment.
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
constexpr int32_t kRealSamples = 160;  // 20 ms at 8 kHz, a rate the concealment serves
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
  // Makes `count` frames final, keeping their samples and outcomes.
  void Finish(PcmSink& sink, int32_t count) {
    for (int32_t i = 0; i < count; ++i) {
      const FinalFrame final = sink.Finalize();
      finalSamples.insert(finalSamples.end(), final.samples, final.samples + kSamples);
      outcomes.push_back(final.outcome);
      parityUsed.push_back(final.parityUsed);
    }
  }
  std::vector<int16_t> FrameOf(int32_t index) const {
    const auto begin = finalSamples.begin() + index * kSamples;
    return std::vector<int16_t>(begin, begin + kSamples);
  }

  std::vector<int16_t> finalSamples;
  std::vector<FrameOutcome> outcomes;
  std::vector<bool> parityUsed;

  FrameOrigin origin;
};

TEST_F(PcmSinkTest, PlacesFramesByTimestampInAnyOrder) {
  PcmSink sink(kSamples, &origin, false);
  Render(sink, 2, 30);
  Render(sink, 0, 10);
  Render(sink, 1, 20, true);
  Finish(sink, 3);
  EXPECT_EQ(FrameOf(0), std::vector<int16_t>(kSamples, 10));
  EXPECT_EQ(FrameOf(1), std::vector<int16_t>(kSamples, 20));
  EXPECT_EQ(FrameOf(2), std::vector<int16_t>(kSamples, 30));
  EXPECT_EQ(sink.counters().received, 2);
  EXPECT_EQ(sink.counters().rebuilt, 1);
  EXPECT_EQ(parityUsed, (std::vector<bool>{false, true, false}));
  EXPECT_EQ(sink.counters().lostForGood, 0);
}

TEST_F(PcmSinkTest, WithoutOriginEveryRenderIsReceived) {
  PcmSink sink(kSamples, nullptr, false);
  Render(sink, 0, 1, true);
  EXPECT_EQ(sink.counters().received, 1);
  EXPECT_EQ(sink.counters().rebuilt, 0);
}

TEST_F(PcmSinkTest, KeepsTheFirstRenderOfAFrame) {
  PcmSink sink(kSamples, &origin, false);
  Render(sink, 0, 5);
  Render(sink, 0, 6);
  Finish(sink, 1);
  // A render of a frame already final is one again.
  Render(sink, 0, 7);
  EXPECT_EQ(FrameOf(0), std::vector<int16_t>(kSamples, 5));
  EXPECT_EQ(sink.counters().renderedAgain, 2);
}

struct UnusableCase : NamedRow {
  int32_t timestamp;
  int32_t samples;
};

class PcmSinkUnusableTest : public PcmSinkTest, public testing::WithParamInterface<UnusableCase> {};

TEST_P(PcmSinkUnusableTest, IsCountedAndPlacesNothing) {
  PcmSink sink(kSamples, &origin, false);
  EXPECT_TRUE(Render(sink, 0, 7, false, GetParam().timestamp, GetParam().samples));
  EXPECT_EQ(sink.counters().unusable, 1);
  Finish(sink, kSinkWindowFrames);
  EXPECT_EQ(sink.counters().lostForGood, kSinkWindowFrames);
}

INSTANTIATE_TEST_SUITE_P(Renders, PcmSinkUnusableTest,
                         testing::Values(UnusableCase{"BeforeTheStart", -kFrameMs, kSamples},
                                         UnusableCase{"OffTheGrid", kFrameMs / 2, kSamples},
                                         UnusableCase{"BeyondTheWindow", kSinkWindowFrames * kFrameMs, kSamples},
                                         UnusableCase{"ShortFrame", 0, kSamples - 1}),
                         RowName());

TEST_F(PcmSinkTest, RefusesWhatIsNotPcm) {
  PcmSink sink(kSamples, &origin, false);
  AvFrameInfo info{0, 0, AV_CLASS_MEDIA, {}};
  AvFrame adpcm{AV_TYPE_ADPCM, 0, AV_KIND_AUDIO, &info, 0, nullptr};
  AvFrame noInfo{AV_TYPE_PCM, 0, AV_KIND_AUDIO, nullptr, 0, nullptr};
  EXPECT_FALSE(sink.HandleFrame(nullptr, &adpcm));
  EXPECT_FALSE(sink.HandleFrame(nullptr, &noInfo));
  EXPECT_FALSE(sink.AcceptsType(AV_TYPE_ADPCM));
  EXPECT_TRUE(sink.AcceptsType(AV_TYPE_PCM));
}

TEST_F(PcmSinkTest, CountsLostFramesAndTheLongestRunFilledWithSilence) {
  PcmSink sink(kSamples, &origin, false);
  for (int32_t seq : {0, 2, 6}) Render(sink, seq, 100);
  Finish(sink, 8);
  EXPECT_EQ(sink.counters().lostForGood, 5);     // 1, 3, 4, 5, 7
  EXPECT_EQ(sink.counters().longestLostRun, 3);  // 3 to 5
  EXPECT_EQ(sink.counters().concealed, 0);
  EXPECT_EQ(FrameOf(4), std::vector<int16_t>(kSamples, 0));
  EXPECT_EQ(outcomes[4], FrameOutcome::Lost);
}

TEST_F(PcmSinkTest, ConcealmentFillsFromHistoryAndCrossFadesBackIn) {
  PcmSink sink(kRealSamples, &origin, true);
  // Frames 4 and 5 are lost; 6 resumes at another level.
  for (int32_t seq : {0, 1, 2, 3}) Render(sink, seq, 1000, false, kOwnTimestamp, kRealSamples);
  Render(sink, 6, 3000, false, kOwnTimestamp, kRealSamples);
  std::vector<FinalFrame> finals;
  std::vector<std::vector<int16_t>> frames;
  for (int32_t i = 0; i < 7; ++i) {
    finals.push_back(sink.Finalize());
    frames.emplace_back(finals.back().samples, finals.back().samples + kRealSamples);
  }
  EXPECT_EQ(finals[4].outcome, FrameOutcome::Concealed);
  EXPECT_EQ(finals[5].outcome, FrameOutcome::Concealed);
  EXPECT_GT(frames[4][0], 0);
  EXPECT_EQ(sink.counters().lostForGood, 2);
  EXPECT_EQ(sink.counters().concealed, 2);
  EXPECT_EQ(finals[6].outcome, FrameOutcome::Received);
  EXPECT_LT(frames[6].front(), 3000);  // faded in from the fill
  EXPECT_EQ(frames[6].back(), 3000);
}

TEST_F(PcmSinkTest, ConcealmentHasNothingToRepeatAtTheStart) {
  PcmSink sink(kRealSamples, &origin, true);
  Render(sink, 1, 50, false, kOwnTimestamp, kRealSamples);
  const FinalFrame first = sink.Finalize();
  EXPECT_EQ(first.outcome, FrameOutcome::Lost);
  EXPECT_EQ(std::vector<int16_t>(first.samples, first.samples + kRealSamples),
            std::vector<int16_t>(kRealSamples, 0));
  EXPECT_EQ(sink.counters().concealed, 0);
  EXPECT_EQ(sink.counters().lostForGood, 1);
}

}  // namespace
}  // namespace zbtest
