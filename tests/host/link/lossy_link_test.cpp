// The lossy link: it copies what it forwards, drops by its model, duplicates, holds frames
// back behind the next one.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <vector>

#include "host/link/LossyLink.h"
#include "tests/support/CaseNames.h"
#include "tests/support/RecordingSink.h"

namespace zbtest {
namespace {

using namespace zbhost;

class LossyLinkTest : public testing::Test {
 protected:
  void Build(const LinkSettings& settings) {
    link = std::make_unique<LossyLink>(settings);
    sink = std::make_unique<FrameRecorder<HostSinkFace>>();
    encoder.AddOutput(link->Input());
    link->Output()->AddOutput(sink.get());
  }
  // Sends one frame, then scribbles over the lent payload and info as the encoder may once
  // HandleFrame returns.
  void Send(uint8_t type, int32_t seq) {
    AvFrameInfo info{seq, seq * 20, AV_CLASS_MEDIA, {}};
    std::vector<uint8_t> payload(4, static_cast<uint8_t>(seq * 2 + (type == AV_TYPE_ADPCM_PARITY)));
    AvFrame frame{type, 0, AV_KIND_AUDIO, &info, static_cast<uint32_t>(payload.size()), payload.data()};
    encoder.Deliver(&frame);
    std::memset(payload.data(), 0xEE, payload.size());
    info.seq = -1;
  }
  // Data frame `seq` and its parity frame, as the encoder sends them.
  void SendPair(int32_t seq) {
    Send(AV_TYPE_ADPCM, seq);
    Send(AV_TYPE_ADPCM_PARITY, seq);
  }
  std::vector<std::pair<uint8_t, int32_t>> Order() const {
    std::vector<std::pair<uint8_t, int32_t>> order;
    for (const Received& r : sink->received) order.emplace_back(r.type, r.seq);
    return order;
  }

  HostSourceFace encoder{AV_TYPE_ADPCM};
  std::unique_ptr<LossyLink> link;
  std::unique_ptr<FrameRecorder<HostSinkFace>> sink;
};

TEST_F(LossyLinkTest, ForwardsCopies) {
  Build(LinkSettings{});
  SendPair(1);
  ASSERT_EQ(sink->received.size(), 2u);
  EXPECT_EQ(sink->received[0].payload, std::vector<uint8_t>(4, 2));
  EXPECT_EQ(sink->received[1].payload, std::vector<uint8_t>(4, 3));
  EXPECT_EQ(link->counters().sentData, 1);
  EXPECT_EQ(link->counters().sentParity, 1);
  EXPECT_EQ(link->counters().dataBytes, 4);
}

TEST_F(LossyLinkTest, DropsWhatTheListNamesAndCountsByType) {
  LinkSettings settings;
  settings.loss = ParseLossPlan("list:d1,p2");
  Build(settings);
  for (int32_t seq = 0; seq < 4; ++seq) SendPair(seq);
  const std::vector<std::pair<uint8_t, int32_t>> expected = {
      {AV_TYPE_ADPCM, 0}, {AV_TYPE_ADPCM_PARITY, 0}, {AV_TYPE_ADPCM_PARITY, 1},
      {AV_TYPE_ADPCM, 2}, {AV_TYPE_ADPCM, 3},        {AV_TYPE_ADPCM_PARITY, 3}};
  EXPECT_EQ(Order(), expected);
  EXPECT_EQ(link->counters().droppedData, 1);
  EXPECT_EQ(link->counters().droppedParity, 1);
  EXPECT_EQ(link->counters().deliveredData, 3);
  EXPECT_TRUE(link->TakeFate(1).data.dropped);
  EXPECT_TRUE(link->TakeFate(2).parity.dropped);
  EXPECT_EQ(link->TakeFate(3).parity.deliveries, 1);
  // Taken once: the link keeps no record of it after.
  EXPECT_FALSE(link->TakeFate(3).paritySent);
}

TEST_F(LossyLinkTest, DuplicatesDeliverTheSameFrameTwice) {
  LinkSettings settings;
  settings.duplicatePercent = 100;
  Build(settings);
  SendPair(5);
  const std::vector<std::pair<uint8_t, int32_t>> expected = {
      {AV_TYPE_ADPCM, 5}, {AV_TYPE_ADPCM, 5}, {AV_TYPE_ADPCM_PARITY, 5}, {AV_TYPE_ADPCM_PARITY, 5}};
  EXPECT_EQ(Order(), expected);
  EXPECT_EQ(sink->received[1].payload, sink->received[0].payload);
  EXPECT_EQ(link->counters().duplicated, 2);
  EXPECT_EQ(link->counters().deliveredData, 2);
}

TEST_F(LossyLinkTest, ReorderHoldsAFrameBehindTheNextAndFlushReleasesIt) {
  LinkSettings settings;
  settings.reorderPercent = 100;
  Build(settings);
  SendPair(1);
  Send(AV_TYPE_ADPCM, 2);
  EXPECT_EQ(sink->received.size(), 2u);
  link->Flush();
  const std::vector<std::pair<uint8_t, int32_t>> expected = {
      {AV_TYPE_ADPCM_PARITY, 1}, {AV_TYPE_ADPCM, 1}, {AV_TYPE_ADPCM, 2}};
  EXPECT_EQ(Order(), expected);
  // The held frames kept their own copies although the sender overwrote its buffers.
  EXPECT_EQ(sink->received[1].payload, std::vector<uint8_t>(4, 2));
  EXPECT_EQ(sink->received[2].payload, std::vector<uint8_t>(4, 4));
  EXPECT_EQ(link->counters().reordered, 2);
  link->Flush();
  EXPECT_EQ(sink->received.size(), 3u);
}

TEST_F(LossyLinkTest, RefusesFramesItDoesNotCarry) {
  Build(LinkSettings{});
  AvFrameInfo info{0, 0, AV_CLASS_MEDIA, {}};
  AvFrame pcm{AV_TYPE_PCM, 0, AV_KIND_AUDIO, &info, 0, nullptr};
  AvFrame noInfo{AV_TYPE_ADPCM, 0, AV_KIND_AUDIO, nullptr, 0, nullptr};
  AvFrame noData{AV_TYPE_ADPCM, 0, AV_KIND_AUDIO, &info, 4, nullptr};
  EXPECT_FALSE(link->Input()->HandleFrame(&encoder, &pcm));
  EXPECT_FALSE(link->Input()->HandleFrame(&encoder, &noInfo));
  EXPECT_FALSE(link->Input()->HandleFrame(&encoder, &noData));
  EXPECT_EQ(link->counters().refused, 3);
  EXPECT_TRUE(sink->received.empty());
}

TEST_F(LossyLinkTest, SameSeedSameDeliveries) {
  LinkSettings settings;
  settings.loss = ParseLossPlan("random:20");
  settings.duplicatePercent = 20;
  settings.reorderPercent = 20;
  settings.seed = 99;
  Build(settings);
  for (int32_t seq = 0; seq < 200; ++seq) SendPair(seq);
  link->Flush();
  const auto first = Order();
  encoder.DetachAll();
  Build(settings);
  for (int32_t seq = 0; seq < 200; ++seq) SendPair(seq);
  link->Flush();
  EXPECT_EQ(Order(), first);
  EXPECT_GT(link->counters().droppedData, 0);
  EXPECT_GT(link->counters().duplicated, 0);
  EXPECT_GT(link->counters().reordered, 0);
}

// Each parity frame leaves K frames late, right after the data frame K numbers after its own,
// and the loss model decides it as the frame beside that data frame: the same seed drops the
// same data frames for every K, and parity frame n where K = 0 drops parity frame n + K.
class ParityDelayLinkTest : public LossyLinkTest, public testing::WithParamInterface<int32_t> {};

TEST_P(ParityDelayLinkTest, SendsParityLateWithTheSlotsLosses) {
  constexpr int32_t kPairs = 400;
  LinkSettings settings;
  settings.loss = ParseLossPlan("gilbert:3,40");
  settings.seed = 17;
  auto run = [&](int32_t delay) {
    settings.parityDelay = delay;
    encoder.DetachAll();
    Build(settings);
    for (int32_t seq = 0; seq < kPairs; ++seq) SendPair(seq);
    link->Flush();
    std::map<std::pair<uint8_t, int32_t>, bool> dropped;
    for (int32_t seq = 0; seq < kPairs; ++seq) {
      const FramePairFate fate = link->TakeFate(seq);
      dropped[{AV_TYPE_ADPCM, seq}] = fate.data.dropped;
      dropped[{AV_TYPE_ADPCM_PARITY, seq}] = fate.parity.dropped;
    }
    return dropped;
  };
  const int32_t delay = GetParam();
  const auto undelayed = run(0);
  const auto delayed = run(delay);
  int32_t losses = 0;
  for (int32_t seq = 0; seq < kPairs; ++seq) {
    EXPECT_EQ(delayed.at({AV_TYPE_ADPCM, seq}), undelayed.at({AV_TYPE_ADPCM, seq})) << "d" << seq;
    if (seq + delay < kPairs) {
      EXPECT_EQ(delayed.at({AV_TYPE_ADPCM_PARITY, seq}), undelayed.at({AV_TYPE_ADPCM_PARITY, seq + delay}))
          << "p" << seq;
    }
    losses += undelayed.at({AV_TYPE_ADPCM, seq});
  }
  EXPECT_GT(losses, 0);
  // Without losses: parity n right after data n + K, the last K parity frames at the end.
  settings.loss = LossPlan{};
  run(delay);
  std::vector<std::pair<uint8_t, int32_t>> expected;
  for (int32_t seq = 0; seq < kPairs + delay; ++seq) {
    if (seq < kPairs) expected.emplace_back(AV_TYPE_ADPCM, seq);
    if (seq >= delay) expected.emplace_back(AV_TYPE_ADPCM_PARITY, seq - delay);
  }
  EXPECT_EQ(Order(), expected);
}

INSTANTIATE_TEST_SUITE_P(Delays, ParityDelayLinkTest, testing::Values(0, 1, 2, 8));

}  // namespace
}  // namespace zbtest
