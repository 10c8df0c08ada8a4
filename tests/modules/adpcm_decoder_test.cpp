// Decoder module: rendering, duplicate suppression, every rebuild path with its sequence
// number and timestamp, the history window, refusals and buffers from the host allocator.
#include "modules/AdpcmDecoder.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "codec/AdpcmModuleLayout.h"
#include "tests/modules/ModuleHarness.h"
#include "tests/support/CaseNames.h"

namespace zbtest {
namespace {

// `blocks` 84-byte blocks coded from a signal that differs per `seed`.
std::vector<uint8_t> AdpcmPayload(size_t blocks, uint32_t seed) {
  return EncodeBlocks(TestPcm(blocks * kAdpcmPcmBytesPerBlock / 2, seed));
}

constexpr uint8_t kStepOne = AV_CLASS_MEDIA;         // partner distance 1
constexpr uint8_t kStepTwo = 0x20 | AV_CLASS_MEDIA;  // partner distance 2

class DecoderTest : public ModuleIntoSinkTest<AdpcmDecoder> {
 protected:
  ModulePtr<AdpcmDecoder>& decoder = module;

  // The data payload of frame `seq` (two blocks, distinct per seq).
  static std::vector<uint8_t> Data(int32_t seq) { return AdpcmPayload(2, static_cast<uint32_t>(seq) + 100); }

  bool SendData(int32_t seq, uint8_t flags = kStepOne) {
    PcmFrame f(Data(seq), seq, seq * 20, flags, AV_KIND_AUDIO, AV_TYPE_ADPCM);
    return Handle(f);
  }
  // Parity frame `seq`: XOR of data `seq - distance` and data `seq`, with frame seq's info.
  bool SendParity(int32_t seq, uint8_t flags = kStepOne) {
    const int32_t distance = (flags >> AV_FLAGS_DISTANCE_SHIFT) + 1;
    PcmFrame f(Xor(Data(seq - distance), Data(seq)), seq, seq * 20, flags, AV_KIND_AUDIO,
               AV_TYPE_ADPCM_PARITY);
    return Handle(f);
  }
  bool Handle(PcmFrame& f) { return ModuleIntoSinkTest::Handle(&f.frame); }

  // Sequence numbers and timestamps rendered, in order.
  std::vector<std::pair<int32_t, int32_t>> Rendered() const {
    std::vector<std::pair<int32_t, int32_t>> out;
    for (const auto& r : sink->received) out.emplace_back(r.seq, r.timestamp);
    return out;
  }
  void ExpectRenderedPcm(size_t index, int32_t seq) const {
    ASSERT_LT(index, sink->received.size());
    EXPECT_EQ(sink->received[index].type, AV_TYPE_PCM);
    EXPECT_EQ(sink->received[index].payload, DecodedPcm(Data(seq))) << "frame " << seq;
  }

  using Pairs = std::vector<std::pair<int32_t, int32_t>>;
};

TEST_F(DecoderTest, RendersEachDataFrameOnceAndDropsPairedParity) {
  DebugCapture trace;
  for (int32_t seq = 1; seq <= 3; ++seq) {
    EXPECT_TRUE(SendData(seq));
    if (seq > 1) {
      EXPECT_TRUE(SendParity(seq));
    }
  }
  EXPECT_EQ(Rendered(), (Pairs{{1, 20}, {2, 40}, {3, 60}}));
  for (size_t i = 0; i < 3; ++i) ExpectRenderedPcm(i, static_cast<int32_t>(i) + 1);
  const std::vector<std::string> expectedTrace = {
      "Adpcm HandleFrame\r\n", "Render Adpcm Frame\r\n",  // data 1
      "Adpcm HandleFrame\r\n", "Render Adpcm Frame\r\n",  // data 2
      "Adpcm HandleFrame\r\n",                            // parity 2, dropped
      "Adpcm HandleFrame\r\n", "Render Adpcm Frame\r\n",  // data 3
      "Adpcm HandleFrame\r\n"};                           // parity 3, dropped
  EXPECT_EQ(trace.texts(), expectedTrace);
  EXPECT_EQ(allocator.sizes(), std::vector<uint32_t>(3, kDecoderRenderBytes));
}

TEST_F(DecoderTest, RebuildsLostDataFromStoredPartnerAndParity) {
  SendData(4);
  SendParity(5);  // data 5 lost
  EXPECT_EQ(Rendered(), (Pairs{{4, 80}, {5, 100}}));
  ExpectRenderedPcm(1, 5);
  SendData(6);
  SendParity(6);  // its partner is the rebuilt frame 5: dropped
  EXPECT_EQ(Rendered(), (Pairs{{4, 80}, {5, 100}, {6, 120}}));
}

TEST_F(DecoderTest, RebuiltFrameBecomesTheLastDataFrame) {
  SendData(4);
  SendParity(5);  // data 5 rebuilt
  SendParity(6);  // data 6 lost as well: rebuilt from the rebuilt 5
  EXPECT_EQ(Rendered(), (Pairs{{4, 80}, {5, 100}, {6, 120}}));
  ExpectRenderedPcm(2, 6);
}

TEST_F(DecoderTest, StoredParityRebuildsThePartnerWhenItsDataArrives) {
  SendData(4);
  // data 5 and parity 5 lost; parity 6 arrives before data 6
  SendParity(6);
  EXPECT_EQ(Rendered(), (Pairs{{4, 80}}));
  SendData(6);
  EXPECT_EQ(Rendered(), (Pairs{{4, 80}, {5, 100}, {6, 120}})) << "rebuilt partner first, timestamp of 6 - 20";
  ExpectRenderedPcm(1, 5);
  ExpectRenderedPcm(2, 6);
}

TEST_F(DecoderTest, ParityAfterItsDataRebuildsTheEarlierPartner) {
  SendData(4);
  // data 5 and parity 5 lost
  SendData(6);
  SendParity(6);
  EXPECT_EQ(Rendered(), (Pairs{{4, 80}, {6, 120}, {5, 100}}));
  ExpectRenderedPcm(2, 5);
}

TEST_F(DecoderTest, PartnerDistanceTwoStepsTheTimestampBackForty) {
  SendData(8, kStepTwo);
  SendParity(10, kStepTwo);  // data 10 lost, partner 8 stored
  EXPECT_EQ(Rendered(), (Pairs{{8, 160}, {10, 200}}));
  ExpectRenderedPcm(1, 10);

  SendParity(14, kStepTwo);  // stored: its partners 12 and 14 are unknown
  SendData(14, kStepTwo);    // rebuilds 12 from the stored parity
  EXPECT_EQ(Rendered(), (Pairs{{8, 160}, {10, 200}, {12, 240}, {14, 280}}));
  ExpectRenderedPcm(2, 12);
}

// Each way a frame is rebuilt, at every partner distance, with sequence numbers and
// timestamps near zero and wrapping past the largest 32-bit value.
enum class RebuildWay { kParityThenData, kDataThenParity, kPartnerThenParity };
constexpr const char* kRebuildWayNames[] = {"ParityThenData", "DataThenParity", "PartnerThenParity"};
void PrintTo(RebuildWay way, std::ostream* os) { *os << kRebuildWayNames[static_cast<int>(way)]; }
using DistanceCase = std::tuple<RebuildWay, int32_t, bool>;  // way, distance, wrapping
class DecoderDistanceTest : public DecoderTest, public ::testing::WithParamInterface<DistanceCase> {
 protected:
  static int32_t Wrapped(int64_t value) { return static_cast<int32_t>(static_cast<uint32_t>(value)); }
  bool Send(uint8_t type, int32_t seq, int32_t timestamp, const std::vector<uint8_t>& payload, uint8_t flags) {
    PcmFrame f(payload, seq, timestamp, flags, AV_KIND_AUDIO, type);
    return Handle(f);
  }
};

TEST_P(DecoderDistanceTest, LostFrameGetsItsNumberAndTimestampFromTheDistance) {
  const auto [way, distance, wrapping] = GetParam();
  const int32_t n = wrapping ? Wrapped(int64_t{INT32_MIN} + 3) : 10;
  const int32_t tsN = wrapping ? Wrapped(int64_t{INT32_MIN} + 50) : 200;
  const int32_t p = Wrapped(int64_t{n} - distance);
  const int32_t tsP = Wrapped(int64_t{tsN} - int64_t{kTimestampStepPerFrame} * distance);
  const auto flags = static_cast<uint8_t>(AV_CLASS_MEDIA | (distance - 1) << AV_FLAGS_DISTANCE_SHIFT);
  const std::vector<uint8_t> parity = Xor(Data(p), Data(n));
  Pairs expected;
  switch (way) {
    case RebuildWay::kParityThenData:
      Send(AV_TYPE_ADPCM_PARITY, n, tsN, parity, flags);
      Send(AV_TYPE_ADPCM, n, tsN, Data(n), flags);
      expected = {{p, tsP}, {n, tsN}};
      break;
    case RebuildWay::kDataThenParity:
      Send(AV_TYPE_ADPCM, n, tsN, Data(n), flags);
      Send(AV_TYPE_ADPCM_PARITY, n, tsN, parity, flags);
      expected = {{n, tsN}, {p, tsP}};
      break;
    case RebuildWay::kPartnerThenParity:
      Send(AV_TYPE_ADPCM, p, tsP, Data(p), flags);
      Send(AV_TYPE_ADPCM_PARITY, n, tsN, parity, flags);
      expected = {{p, tsP}, {n, tsN}};
      break;
  }
  EXPECT_EQ(Rendered(), expected);
  for (size_t i = 0; i < expected.size() && i < sink->received.size(); ++i) {
    ExpectRenderedPcm(i, expected[i].first);
  }
}

std::string DistanceCaseName(const ::testing::TestParamInfo<DistanceCase>& param) {
  const auto [way, distance, wrapping] = param.param;
  return std::string(kRebuildWayNames[static_cast<int>(way)]) + "Distance" + std::to_string(distance) +
         (wrapping ? "Wrapping" : "");
}

INSTANTIATE_TEST_SUITE_P(
    Distances, DecoderDistanceTest,
    ::testing::Combine(::testing::Values(RebuildWay::kParityThenData, RebuildWay::kDataThenParity,
                                         RebuildWay::kPartnerThenParity),
                       ::testing::Range(1, 9), ::testing::Bool()),
    DistanceCaseName);

TEST_F(DecoderTest, DuplicateDataFrameIsRenderedOnce) {
  SendData(1);
  SendData(2);
  SendData(2);
  SendData(1);
  EXPECT_EQ(Rendered(), (Pairs{{1, 20}, {2, 40}}));
}

TEST_F(DecoderTest, HistoryForgetsAfterTenFurtherFrames) {
  SendData(1);
  for (int32_t seq = 2; seq <= 10; ++seq) SendData(seq);
  SendData(1);
  EXPECT_EQ(sink->received.size(), 10u) << "frame 1 is still remembered after nine more";
  SendData(11);
  SendData(1);
  EXPECT_EQ(sink->received.size(), 12u) << "ten frames later frame 1 is rendered again";
}

TEST_F(DecoderTest, FirstFrameNumberedZeroIsRendered) {
  EXPECT_TRUE(SendData(0));
  EXPECT_EQ(Rendered(), (Pairs{{0, 0}}));
  ExpectRenderedPcm(0, 0);
}

TEST_F(DecoderTest, ParityNumberedOneOnAFreshDecoderRebuildsNothingFromEmptySlots) {
  SendParity(1);  // partner 0 was never stored
  EXPECT_TRUE(sink->received.empty());
  SendData(1);    // rebuilds 0 from the stored parity 1 and renders 1
  EXPECT_EQ(Rendered(), (Pairs{{0, 0}, {1, 20}}));
  ExpectRenderedPcm(0, 0);
}

// An output that calls back into the decoder while a frame is handed out must not change
// what the outputs after it are handed, nor make a frame render twice.
TEST_F(DecoderTest, ReentryDuringARebuiltFrameLeavesItsRecordAlone) {
  auto later = Make<RecordingSink>();
  Connect(decoder.get(), later.get());
  sink->onFrame = [&](const AvFrame& f) {
    if (f.info->seq == 5) SendParity(6);  // data 6 lost as well: rebuilt from the rebuilt 5
  };
  SendData(4);
  SendParity(5);  // data 5 lost
  EXPECT_EQ(Rendered(), (Pairs{{4, 80}, {5, 100}, {6, 120}}));
  // The later output gets frame 6 (from the inner call) before the outer call's frame 5.
  ASSERT_EQ(later->received.size(), 3u);
  const Pairs expected{{4, 80}, {6, 120}, {5, 100}};
  for (size_t i = 0; i < 3; ++i) {
    const Received& r = later->received[i];
    EXPECT_EQ(std::make_pair(r.seq, r.timestamp), expected[i]);
    EXPECT_EQ(r.payload, DecodedPcm(Data(r.seq))) << "frame " << r.seq;
  }
  decoder->RemoveOutput(later.get());
}

TEST_F(DecoderTest, ReentryWithTheSameDataFrameRendersItOnce) {
  sink->onFrame = [&](const AvFrame& f) {
    if (f.info->seq == 5) SendData(6);  // a duplicate of the frame being handled
  };
  SendData(4);
  SendParity(6);  // data 5 and parity 5 lost
  SendData(6);    // rebuilds 5, whose delivery brings data 6 again
  EXPECT_EQ(Rendered(), (Pairs{{4, 80}, {5, 100}, {6, 120}}));
}

struct RebuiltLengthCase : NamedRow {
  size_t lostBytes;     // length of the lost data frame k, which the parity frame k+1 carries
  size_t partnerBytes;  // length of data frame k+1
  bool parityFirst;     // parity k+1 arrives before data k+1
};
class DecoderRebuiltLengthTest : public DecoderTest,
                                 public ::testing::WithParamInterface<RebuiltLengthCase> {};

// Whichever of data k+1 and parity k+1 comes first, the rebuilt frame k has the parity's
// length, bytes of the partner past its end counting as zero.
TEST_P(DecoderRebuiltLengthTest, RebuiltFrameHasTheParitysLength) {
  const RebuiltLengthCase& c = GetParam();
  std::vector<uint8_t> lost = AdpcmPayload(c.lostBytes / kAdpcmBlockBytes + 1, 50);
  lost.resize(c.lostBytes);
  std::vector<uint8_t> partner = AdpcmPayload(c.partnerBytes / kAdpcmBlockBytes + 1, 51);
  partner.resize(c.partnerBytes);
  uint8_t emptyPayload = 0;
  PcmFrame data(partner, 5, 100, kStepOne, AV_KIND_AUDIO, AV_TYPE_ADPCM);
  if (partner.empty()) data.frame.data = &emptyPayload;
  PcmFrame parity(Xor(lost, partner), 5, 100, kStepOne, AV_KIND_AUDIO, AV_TYPE_ADPCM_PARITY);
  Handle(c.parityFirst ? parity : data);
  Handle(c.parityFirst ? data : parity);
  const size_t rebuiltAt = c.parityFirst ? 0 : 1;
  ASSERT_EQ(sink->received.size(), 2u);
  EXPECT_EQ(sink->received[rebuiltAt].seq, 4);
  EXPECT_EQ(sink->received[rebuiltAt].timestamp, 80);
  EXPECT_EQ(sink->received[rebuiltAt].payload, DecodedPcm(lost));
  EXPECT_EQ(sink->received[1 - rebuiltAt].payload, DecodedPcm(partner));
}

INSTANTIATE_TEST_SUITE_P(
    Orders, DecoderRebuiltLengthTest,
    ::testing::Values(RebuiltLengthCase{"ParityFirstLongerPartner", 168, 252, true},
                      RebuiltLengthCase{"ParityFirstShorterPartner", 252, 84, true},
                      RebuiltLengthCase{"ParityFirstOddPartner", 168, 100, true},
                      RebuiltLengthCase{"ParityFirstEmptyPartner", 168, 0, true},
                      // the partner does not fit a slot, the rebuilt frame does
                      RebuiltLengthCase{"ParityFirstPartnerPastASlot", 168, 588, true},
                      RebuiltLengthCase{"DataFirstLongerPartner", 168, 252, false},
                      RebuiltLengthCase{"DataFirstShorterPartner", 252, 84, false},
                      RebuiltLengthCase{"DataFirstOddPartner", 168, 100, false},
                      RebuiltLengthCase{"DataFirstEmptyPartner", 168, 0, false}),
    RowName());

// Data 4 arrives, data 5 and 6 are lost, parity 5 and then parity 6 arrive, then data 6.
// Frame 5, rebuilt from its earlier partner, takes 4's length; parity 6, of 5's length,
// rebuilds 6 from it only when it covers that length.
struct ChainedRebuildCase : NamedRow {
  size_t bytes4, bytes5, bytes6;
  bool sixRebuilt;  // else parity 6 is stored and data 6, when it comes, is rendered
};
class DecoderChainedRebuildTest : public DecoderTest,
                                  public ::testing::WithParamInterface<ChainedRebuildCase> {};

TEST_P(DecoderChainedRebuildTest, RebuildsOnlyFromAPartnerThatCoversTheParity) {
  const ChainedRebuildCase& c = GetParam();
  const std::vector<uint8_t> d4 = AdpcmPayload(c.bytes4 / kAdpcmBlockBytes, 60);
  const std::vector<uint8_t> d5 = AdpcmPayload(c.bytes5 / kAdpcmBlockBytes, 61);
  const std::vector<uint8_t> d6 = AdpcmPayload(c.bytes6 / kAdpcmBlockBytes, 62);
  PcmFrame data4(d4, 4, 80, kStepOne, AV_KIND_AUDIO, AV_TYPE_ADPCM);
  PcmFrame parity5(Xor(d4, d5), 5, 100, kStepOne, AV_KIND_AUDIO, AV_TYPE_ADPCM_PARITY);
  PcmFrame parity6(Xor(d5, d6), 6, 120, kStepOne, AV_KIND_AUDIO, AV_TYPE_ADPCM_PARITY);
  PcmFrame data6(d6, 6, 120, kStepOne, AV_KIND_AUDIO, AV_TYPE_ADPCM);
  for (PcmFrame* f : {&data4, &parity5, &parity6, &data6}) Handle(*f);

  std::vector<uint8_t> five = d5;  // the partner's length
  five.resize(d4.size());
  std::vector<uint8_t> six = d6;
  if (c.sixRebuilt) six.resize(d5.size());
  ASSERT_EQ(Rendered(), (Pairs{{4, 80}, {5, 100}, {6, 120}}));
  EXPECT_EQ(sink->received[1].payload, DecodedPcm(five));
  EXPECT_EQ(sink->received[2].payload, DecodedPcm(six));
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, DecoderChainedRebuildTest,
    ::testing::Values(ChainedRebuildCase{"OneLength", 168, 168, 168, true},
                      ChainedRebuildCase{"ShorterLostFrameIsFilledAndServes", 252, 84, 168, true},
                      ChainedRebuildCase{"LongerLostFrameIsCutAndDoesNotServe", 84, 252, 168, false},
                      ChainedRebuildCase{"LongerFrameAfterTheRebuiltOne", 168, 168, 252, true}),
    RowName());

struct SizeCase : NamedRow {
  size_t len;
  size_t pcmBytes;
};
class DecoderSizeTest : public DecoderTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(DecoderSizeTest, SplitsThePayloadIntoBlocks) {
  std::vector<uint8_t> payload = AdpcmPayload(GetParam().len / kAdpcmBlockBytes + 1, 3);
  payload.resize(GetParam().len);
  PcmFrame f(payload, 1, 20, kStepOne, AV_KIND_AUDIO, AV_TYPE_ADPCM);
  ASSERT_TRUE(Handle(f));
  ASSERT_EQ(sink->received.size(), 1u);
  EXPECT_EQ(sink->received[0].payload.size(), GetParam().pcmBytes);
  EXPECT_EQ(sink->received[0].payload, DecodedPcm(payload));
}

INSTANTIATE_TEST_SUITE_P(Sizes, DecoderSizeTest,
                         ::testing::Values(SizeCase{"TwoBlocksSecondAt320", 168, 640},
                                           SizeCase{"OneOddSizedBlock", 100, 384},
                                           SizeCase{"SixBlocksTheMostASlotHolds", 504, 1920},
                                           SizeCase{"OneBlockFillingASlot", 512, 2032},
                                           SizeCase{"TooShortForAHeader", 3, 0}),
                         RowName());

class DecoderHugePayloadTest : public DecoderTest, public ::testing::WithParamInterface<uint32_t> {};

// A payload whose PCM does not fit a signed 32-bit count is neither decoded nor given a
// buffer; its bytes lie in unreadable memory, so decoding any of them would crash.
TEST_P(DecoderHugePayloadTest, PcmSizeBeyondThirtyOneBitsRendersNothing) {
  const NoAccessRange unreadable;
  ASSERT_NE(unreadable.data(), nullptr);
  PcmFrame f({}, 1, 20, kStepOne, AV_KIND_AUDIO, AV_TYPE_ADPCM);
  f.frame.len = GetParam();
  f.frame.data = unreadable.data();
  EXPECT_TRUE(Handle(f));
  EXPECT_TRUE(sink->received.empty());
  EXPECT_TRUE(allocator.sizes().empty());
  EXPECT_TRUE(SendData(2));
  EXPECT_EQ(Rendered(), (Pairs{{2, 40}}));
}

INSTANTIATE_TEST_SUITE_P(Lengths, DecoderHugePayloadTest,
                         ::testing::Values(563714508u,     // 6710887 blocks: 193 PCM bytes past 2^31 - 1
                                           0x20000005u,     // one block: 4 * (len - 4) passes 2^31 - 1
                                           1127428932u,    // 13421773 blocks: 64 PCM bytes past 2^32
                                           4294967292u,    // the most whole blocks a length holds
                                           0x40000005u,    // one block: 4 * (len - 4) passes 2^32
                                           0xFFFFFFFFu));  // the largest length

TEST_F(DecoderTest, EmptyDataFrameIsRecordedButNotRendered) {
  PcmFrame empty({}, 1, 20, kStepOne, AV_KIND_AUDIO, AV_TYPE_ADPCM);
  EXPECT_TRUE(Handle(empty));
  EXPECT_TRUE(sink->received.empty()) << "null data: nothing to render";
  EXPECT_TRUE(SendData(2));
  EXPECT_TRUE(SendData(1)) << "frame 1 is in the history";
  EXPECT_EQ(Rendered(), (Pairs{{2, 40}}));
}

TEST_F(DecoderTest, EmptyPayloadWithDataRendersAnEmptyPcmFrame) {
  uint8_t byte = 0;
  PcmFrame f({}, 1, 20, kStepOne, AV_KIND_AUDIO, AV_TYPE_ADPCM);
  f.frame.data = &byte;
  EXPECT_TRUE(Handle(f));
  ASSERT_EQ(sink->received.size(), 1u);
  EXPECT_TRUE(sink->received[0].payload.empty());
}

TEST_F(DecoderTest, RefusesWrongKindAndClassButStillTraces) {
  DebugCapture trace;
  PcmFrame kind11(Data(1), 1, 20, kStepOne, 11, AV_TYPE_ADPCM);
  PcmFrame class3(Data(1), 1, 20, 0x03, AV_KIND_AUDIO, AV_TYPE_ADPCM);
  EXPECT_FALSE(Handle(kind11));
  EXPECT_FALSE(Handle(class3));
  EXPECT_TRUE(sink->received.empty());
  EXPECT_EQ(trace.texts(), (std::vector<std::string>{"Adpcm HandleFrame\r\n", "Adpcm HandleFrame\r\n"}));
  EXPECT_TRUE(SendData(1)) << "refused frames changed nothing";
  EXPECT_EQ(sink->received.size(), 1u);
}

TEST_F(DecoderTest, OtherTypesAreTakenAndIgnored) {
  PcmFrame pcm(Data(1), 1, 20, kStepOne, AV_KIND_AUDIO, AV_TYPE_PCM);
  EXPECT_TRUE(Handle(pcm));
  EXPECT_TRUE(sink->received.empty());
  EXPECT_TRUE(SendData(1));
  EXPECT_EQ(sink->received.size(), 1u);
}

TEST_F(DecoderTest, OversizedDataFrameIsRenderedButNotStored) {
  std::vector<uint8_t> big = AdpcmPayload(12, 7);  // 1008 bytes: twelve blocks, 3840 PCM bytes
  PcmFrame f(big, 4, 80, kStepOne, AV_KIND_AUDIO, AV_TYPE_ADPCM);
  ASSERT_TRUE(Handle(f));
  ASSERT_EQ(sink->received.size(), 1u);
  EXPECT_EQ(sink->received[0].payload, DecodedPcm(big));
  EXPECT_EQ(allocator.sizes(), (std::vector<uint32_t>{12 * 320}));
  SendParity(5);  // its partner 4 was not stored: nothing to rebuild from
  EXPECT_EQ(sink->received.size(), 1u);
}

TEST_F(DecoderTest, OversizedParityIsTakenAndIgnored) {
  SendData(4);
  PcmFrame big(AdpcmPayload(7, 1), 5, 100, kStepOne, AV_KIND_AUDIO, AV_TYPE_ADPCM_PARITY);
  EXPECT_TRUE(Handle(big));
  EXPECT_EQ(sink->received.size(), 1u);
  SendData(6);
  SendParity(6);
  EXPECT_EQ(sink->received.size(), 3u) << "5 is rebuilt from parity 6, not from the oversized one";
}

TEST_F(DecoderTest, ShorterPartnerCountsAsZeroPastItsEnd) {
  const std::vector<uint8_t> shortData = AdpcmPayload(1, 40);
  const std::vector<uint8_t> longData = AdpcmPayload(3, 41);
  std::vector<uint8_t> parity(longData);
  for (size_t i = 0; i < shortData.size(); ++i) parity[i] ^= shortData[i];
  PcmFrame d4(shortData, 4, 80, kStepOne, AV_KIND_AUDIO, AV_TYPE_ADPCM);
  PcmFrame p5(parity, 5, 100, kStepOne, AV_KIND_AUDIO, AV_TYPE_ADPCM_PARITY);
  Handle(d4);
  Handle(p5);
  ASSERT_EQ(sink->received.size(), 2u);
  EXPECT_EQ(sink->received[1].payload, DecodedPcm(longData));
}

TEST_F(DecoderTest, NoBufferRendersNothing) {
  allocator.SetFailing(true);
  EXPECT_TRUE(SendData(1));
  allocator.SetFailing(false);
  EXPECT_TRUE(sink->received.empty());
  SendData(2);
  EXPECT_EQ(sink->received.size(), 1u);
}

TEST_F(DecoderTest, ThrowingOutputIsCaughtAndTheBufferGivenBack) {
  auto second = Make<RecordingSink>();
  Connect(decoder.get(), second.get());
  sink->throwOnFrame = 1;
  EXPECT_TRUE(SendData(1));
  EXPECT_TRUE(second->received.empty());
  SendData(2);
  EXPECT_EQ(second->received.size(), 1u);
  decoder->RemoveOutput(second.get());
}

TEST_F(DecoderTest, TypesAndDefaultSlots) {
  EXPECT_EQ(decoder->GetOutputType(), AV_TYPE_PCM);
  EXPECT_TRUE(decoder->AcceptsType(AV_TYPE_ADPCM));
  EXPECT_TRUE(decoder->AcceptsType(AV_TYPE_ADPCM_PARITY));
  EXPECT_FALSE(decoder->AcceptsType(AV_TYPE_PCM));
  SendData(1);
  EXPECT_TRUE(decoder->ResetStream());
  SendData(1);
  EXPECT_EQ(sink->received.size(), 1u) << "ResetStream keeps the history";
}

}  // namespace
}  // namespace zbtest
