// Encoder module: data frames, the writer's side of the parity protocol, refusals,
// exceptions from outputs, missing buffers, frames that do not fit the saved frame, and the
// modes chosen through slot 9.
#include "modules/AdpcmEncoder.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>

#include "codec/AdpcmModuleLayout.h"
#include "codec/AdpcmSearch.h"
#include "tests/modules/ModuleHarness.h"
#include "tests/support/CaseNames.h"

namespace zbtest {
namespace {

constexpr size_t kSamplesPerPiece = kAdpcmPcmBytesPerBlock / 2;

class EncoderTest : public ModuleIntoSinkTest<AdpcmEncoder> {
 protected:
  bool Send(PcmFrame& f) { return Handle(&f.frame); }
  ModulePtr<AdpcmEncoder>& encoder = module;
};

TEST_F(EncoderTest, CodesEachWholePieceIntoOneBlockAndDropsTheRemainder) {
  PcmFrame f640(TestPcm(2 * kSamplesPerPiece, 1), 7, 140);
  std::vector<uint8_t> longer = f640.payload;
  longer.insert(longer.end(), 10, 0x5A);
  PcmFrame f650(longer, 8, 160);
  ASSERT_TRUE(Send(f640));
  ASSERT_TRUE(Send(f650));
  const auto data = sink->OfType(AV_TYPE_ADPCM);
  ASSERT_EQ(data.size(), 2u);
  EXPECT_EQ(data[0].payload.size(), 2u * kAdpcmBlockBytes);
  EXPECT_EQ(data[0].payload, EncodeBlocks(f640.payload));
  EXPECT_EQ(data[1].payload, data[0].payload) << "the 10 bytes past the last piece are not coded";
  EXPECT_EQ(data[0].info, &f640.info) << "the data frame carries the PCM frame's own info";
  EXPECT_EQ(allocator.sizes(), (std::vector<uint32_t>{2 * 84 + 10, 2 * 84 + 10}));
}

TEST_F(EncoderTest, ParityFollowsFromTheSecondFrameAndBearsItsInfo) {
  PcmFrame first(TestPcm(2 * kSamplesPerPiece, 1), 1, 20);
  PcmFrame second(TestPcm(2 * kSamplesPerPiece, 2), 2, 40);
  ASSERT_TRUE(Send(first));
  ASSERT_EQ(sink->received.size(), 1u) << "no parity after the first frame";
  ASSERT_TRUE(Send(second));
  ASSERT_EQ(sink->received.size(), 3u);
  const Received& parity = sink->received[2];
  EXPECT_EQ(sink->received[1].type, AV_TYPE_ADPCM);
  EXPECT_EQ(parity.type, AV_TYPE_ADPCM_PARITY);
  EXPECT_EQ(parity.info, &second.info);
  EXPECT_EQ(parity.kind, AV_KIND_AUDIO);
  EXPECT_EQ(parity.payload, Xor(sink->received[0].payload, sink->received[1].payload));
}

TEST_F(EncoderTest, IdenticalFramesGiveAllZeroParity) {
  PcmFrame a(TestPcm(kSamplesPerPiece, 3), 1, 0);
  PcmFrame b(TestPcm(kSamplesPerPiece, 3), 2, 20);
  Send(a);
  Send(b);
  const auto parity = sink->OfType(AV_TYPE_ADPCM_PARITY);
  ASSERT_EQ(parity.size(), 1u);
  EXPECT_EQ(parity[0].payload, std::vector<uint8_t>(kAdpcmBlockBytes, 0));
}

TEST_F(EncoderTest, RedundancyOffStillReplacesTheSavedFrame) {
  PcmFrame f1(TestPcm(kSamplesPerPiece, 1), 1, 0);
  PcmFrame f2(TestPcm(kSamplesPerPiece, 2), 2, 20);
  PcmFrame f3(TestPcm(kSamplesPerPiece, 3), 3, 40);
  encoder->EnableRedundancy(false);
  Send(f1);
  Send(f2);
  EXPECT_TRUE(sink->OfType(AV_TYPE_ADPCM_PARITY).empty());
  encoder->EnableRedundancy(true);
  Send(f3);
  const auto data = sink->OfType(AV_TYPE_ADPCM);
  const auto parity = sink->OfType(AV_TYPE_ADPCM_PARITY);
  ASSERT_EQ(parity.size(), 1u);
  EXPECT_EQ(parity[0].payload, Xor(data[1].payload, data[2].payload)) << "against the frame just before";
}

TEST_F(EncoderTest, ResetStreamForgetsThePreviousFrame) {
  PcmFrame f1(TestPcm(kSamplesPerPiece, 1), 1, 0);
  PcmFrame f2(TestPcm(kSamplesPerPiece, 2), 2, 20);
  Send(f1);
  EXPECT_TRUE(encoder->ResetStream());
  Send(f2);
  EXPECT_TRUE(sink->OfType(AV_TYPE_ADPCM_PARITY).empty());
}

TEST_F(EncoderTest, ShortPayloadGivesAnEmptyDataFrameAndNoSavedFrame) {
  PcmFrame tiny(TestPcm(100, 1), 1, 0);
  PcmFrame next(TestPcm(kSamplesPerPiece, 2), 2, 20);
  ASSERT_TRUE(Send(tiny));
  ASSERT_EQ(sink->received.size(), 1u);
  EXPECT_EQ(sink->received[0].payload.size(), 0u);
  Send(next);
  EXPECT_TRUE(sink->OfType(AV_TYPE_ADPCM_PARITY).empty()) << "an empty frame is no previous frame";
}

struct FlagsCase : NamedRow {
  uint8_t flags;
  bool taken;
};
class EncoderFlagsTest : public EncoderTest, public ::testing::WithParamInterface<FlagsCase> {};

TEST_P(EncoderFlagsTest, OnlyClassTwoIsCoded) {
  PcmFrame f(TestPcm(kSamplesPerPiece, 1), 1, 0, GetParam().flags);
  EXPECT_EQ(Send(f), GetParam().taken);
  EXPECT_EQ(sink->received.size(), GetParam().taken ? 1u : 0u);
  EXPECT_EQ(allocator.sizes().size(), GetParam().taken ? 1u : 0u) << "a refused frame allocates nothing";
}

INSTANTIATE_TEST_SUITE_P(Flags, EncoderFlagsTest,
                         ::testing::Values(FlagsCase{"Bit0Set", 0x03, false},
                                           FlagsCase{"Bit2Set", 0x06, false},
                                           FlagsCase{"Class0", 0x00, false},
                                           FlagsCase{"Class2", 0x02, true},
                                           FlagsCase{"Class2WithBit3", 0x0A, true},
                                           FlagsCase{"Class2WithDistanceBits", 0xE2, true}),
                         RowName());

TEST_F(EncoderTest, RefusedFrameLeavesTheSavedFrameAlone) {
  PcmFrame f1(TestPcm(kSamplesPerPiece, 1), 1, 0);
  PcmFrame refused(TestPcm(kSamplesPerPiece, 9), 2, 20, 0x03);
  PcmFrame f3(TestPcm(kSamplesPerPiece, 3), 3, 40);
  Send(f1);
  EXPECT_FALSE(Send(refused));
  Send(f3);
  const auto data = sink->OfType(AV_TYPE_ADPCM);
  const auto parity = sink->OfType(AV_TYPE_ADPCM_PARITY);
  ASSERT_EQ(parity.size(), 1u);
  EXPECT_EQ(parity[0].payload, Xor(data[0].payload, data[1].payload));
}

TEST_F(EncoderTest, AnyTypeAndKindIsCodedAndTheKindCopied) {
  PcmFrame f(TestPcm(kSamplesPerPiece, 1), 1, 0, AV_CLASS_MEDIA, 11, AV_TYPE_ADPCM);
  PcmFrame g(TestPcm(kSamplesPerPiece, 2), 2, 20, AV_CLASS_MEDIA, 11, AV_TYPE_ADPCM);
  ASSERT_TRUE(Send(f));
  ASSERT_TRUE(Send(g));
  ASSERT_EQ(sink->received.size(), 3u);
  for (const auto& r : sink->received) EXPECT_EQ(r.kind, 11);
}

TEST_F(EncoderTest, WithoutOutputsTheFrameIsStillSaved) {
  encoder->RemoveOutput(sink.get());
  PcmFrame f1(TestPcm(kSamplesPerPiece, 1), 1, 0);
  PcmFrame f2(TestPcm(kSamplesPerPiece, 2), 2, 20);
  EXPECT_TRUE(Send(f1));
  Connect(encoder.get(), sink.get());
  Send(f2);
  EXPECT_EQ(sink->OfType(AV_TYPE_ADPCM_PARITY).size(), 1u);
}

TEST_F(EncoderTest, ThrowingOutputStopsTheWalkAndForgetsTheSavedFrame) {
  auto second = Make<RecordingSink>();
  Connect(encoder.get(), second.get());
  PcmFrame f1(TestPcm(kSamplesPerPiece, 1), 1, 0);
  PcmFrame f2(TestPcm(kSamplesPerPiece, 2), 2, 20);
  PcmFrame f3(TestPcm(kSamplesPerPiece, 3), 3, 40);
  Send(f1);
  sink->throwOnFrame = 2;  // the data frame of f2
  EXPECT_TRUE(Send(f2));
  EXPECT_EQ(second->received.size(), 1u) << "the output after the thrower got nothing of f2";
  EXPECT_TRUE(sink->OfType(AV_TYPE_ADPCM_PARITY).empty()) << "no parity after the exception";
  sink->throwOnFrame = 0;
  Send(f3);
  EXPECT_TRUE(second->OfType(AV_TYPE_ADPCM_PARITY).empty())
      << "f2 missed some outputs, so no parity may span it";
  encoder->RemoveOutput(second.get());
}

TEST_F(EncoderTest, ThrowDuringParityDeliveryLeavesNoCorruptParityBehind) {
  PcmFrame f1(TestPcm(kSamplesPerPiece, 1), 1, 0);
  PcmFrame f2(TestPcm(kSamplesPerPiece, 2), 2, 20);
  PcmFrame f3(TestPcm(kSamplesPerPiece, 3), 3, 40);
  PcmFrame f4(TestPcm(kSamplesPerPiece, 4), 4, 60);
  Send(f1);
  sink->throwOnFrame = 3;  // the parity frame of f2
  EXPECT_TRUE(Send(f2));
  sink->throwOnFrame = 0;
  Send(f3);
  Send(f4);
  const auto data = sink->OfType(AV_TYPE_ADPCM);
  const auto parity = sink->OfType(AV_TYPE_ADPCM_PARITY);
  ASSERT_EQ(data.size(), 4u);
  for (const auto& p : parity) {
    ASSERT_GE(p.seq, 2);
    EXPECT_EQ(p.payload, Xor(data[static_cast<size_t>(p.seq - 2)].payload, data[static_cast<size_t>(p.seq - 1)].payload))
        << "parity " << p.seq << " is the XOR of its two data frames";
  }
}

TEST_F(EncoderTest, ParityNamesItsTwoFramesWhenAnOutputReentersWithTheNextFrame) {
  std::vector<std::unique_ptr<PcmFrame>> frames;
  for (int32_t seq = 0; seq < 6; ++seq) {
    frames.push_back(std::make_unique<PcmFrame>(TestPcm(kSamplesPerPiece * (1 + seq % 3), seq), seq, seq * 20));
  }
  sink->onFrame = [&](const AvFrame& f) {
    if (f.type == AV_TYPE_ADPCM && f.info->seq == 2) Send(*frames[3]);  // while D(2) is delivered
  };
  for (int32_t seq : {0, 1, 2, 4, 5}) ASSERT_TRUE(Send(*frames[static_cast<size_t>(seq)]));
  std::map<int32_t, std::vector<uint8_t>> data;
  for (const auto& r : sink->OfType(AV_TYPE_ADPCM)) data[r.seq] = r.payload;
  ASSERT_EQ(data.size(), 6u);
  const auto parity = sink->OfType(AV_TYPE_ADPCM_PARITY);
  ASSERT_EQ(parity.size(), 5u);
  for (const auto& p : parity) {
    EXPECT_EQ(p.payload, Xor(data[p.seq - 1], data[p.seq])) << "parity " << p.seq;
  }
}

TEST_F(EncoderTest, ShorterNewFrameCountsAsZeroPastItsEnd) {
  PcmFrame longer(TestPcm(3 * kSamplesPerPiece, 1), 1, 0);
  PcmFrame shorter(TestPcm(kSamplesPerPiece, 2), 2, 20);
  Send(longer);
  Send(shorter);
  const auto data = sink->OfType(AV_TYPE_ADPCM);
  const auto parity = sink->OfType(AV_TYPE_ADPCM_PARITY);
  ASSERT_EQ(parity.size(), 1u);
  ASSERT_EQ(parity[0].payload.size(), 3u * kAdpcmBlockBytes) << "parity spans the previous frame";
  EXPECT_EQ(parity[0].payload, Xor(data[0].payload, data[1].payload));
}

TEST_F(EncoderTest, FrameTooLongToSaveIsSentButNotSaved) {
  PcmFrame huge(TestPcm(24 * kSamplesPerPiece, 1), 1, 0);
  PcmFrame next(TestPcm(kSamplesPerPiece, 2), 2, 20);
  PcmFrame after(TestPcm(kSamplesPerPiece, 3), 3, 40);
  ASSERT_TRUE(Send(huge));
  ASSERT_EQ(sink->received.size(), 1u);
  EXPECT_EQ(sink->received[0].payload, EncodeBlocks(huge.payload));
  Send(next);
  EXPECT_TRUE(sink->OfType(AV_TYPE_ADPCM_PARITY).empty()) << "no parity against an unsaved frame";
  Send(after);
  EXPECT_EQ(sink->OfType(AV_TYPE_ADPCM_PARITY).size(), 1u);
}

TEST_F(EncoderTest, LargestSavableFrameStillGetsParity) {
  PcmFrame big(TestPcm(23 * kSamplesPerPiece, 1), 1, 0);
  PcmFrame next(TestPcm(23 * kSamplesPerPiece, 2), 2, 20);
  Send(big);
  Send(next);
  const auto parity = sink->OfType(AV_TYPE_ADPCM_PARITY);
  ASSERT_EQ(parity.size(), 1u);
  EXPECT_EQ(parity[0].payload.size(), 23u * kAdpcmBlockBytes);
}

TEST_F(EncoderTest, NoBufferSendsNothingAndForgetsTheSavedFrame) {
  AssertRecorder asserts;
  PcmFrame f1(TestPcm(kSamplesPerPiece, 1), 1, 0);
  PcmFrame f2(TestPcm(kSamplesPerPiece, 2), 2, 20);
  PcmFrame f3(TestPcm(kSamplesPerPiece, 3), 3, 40);
  Send(f1);
  allocator.SetFailing(true);
  EXPECT_FALSE(Send(f2));
  allocator.SetFailing(false);
  EXPECT_EQ(sink->received.size(), 1u);
  Send(f3);
  EXPECT_TRUE(sink->OfType(AV_TYPE_ADPCM_PARITY).empty()) << "no parity spans the unsent frame";

  g_zbavMemMgr.m_lpSink = nullptr;
  EXPECT_FALSE(Send(f1));
  g_zbavMemMgr.m_lpSink = &allocator;
  ASSERT_EQ(asserts.reports().size(), 1u);
  EXPECT_EQ(asserts.reports()[0], (ReportedAssertion{"m_lpSink != NULL", "QV_ZbavMemMgr", 40}));
}

TEST_F(EncoderTest, TypesAndDefaultSlots) {
  EXPECT_EQ(encoder->GetOutputType(), AV_TYPE_ADPCM);
  EXPECT_TRUE(encoder->AcceptsType(AV_TYPE_PCM));
  EXPECT_FALSE(encoder->AcceptsType(AV_TYPE_ADPCM));
}

// Slot 9: the values that choose a mode, and values that must change nothing.
struct ModeSettingCase : NamedRow {
  std::vector<int32_t> settings;  // passed in this order before the first frame
  int32_t mode;                   // the mode they leave in force
};
class EncoderModeTest : public EncoderTest, public ::testing::WithParamInterface<ModeSettingCase> {};

TEST_P(EncoderModeTest, FramesAreCodedInTheModeLeftInForceAndResetStartsAtIndexZero) {
  for (int32_t value : GetParam().settings) encoder->ReservedSetting(value);
  // The codec's encoder of that mode over the same frames, its index carried from frame to
  // frame and back to 0 where the stream is reset.
  AdpcmCodecState state{1, kAdpcmPcmBytesPerBlock, 0, {}};
  constexpr int32_t kResetBefore = 2;
  for (int32_t seq = 0; seq < 4; ++seq) {
    if (seq == kResetBefore) {
      EXPECT_TRUE(encoder->ResetStream());
      state.channel[0].stepIndex = 0;
    }
    PcmFrame f(TestPcm(2 * kSamplesPerPiece, static_cast<uint32_t>(seq)), seq, seq * 20);
    ASSERT_TRUE(Send(f));
    std::vector<uint8_t> expected(2 * kAdpcmBlockBytes);
    if (GetParam().mode == ZB_ENCODER_CARRIED) {
      EncodeAdpcmBlocksCarried(state, expected.data(), f.payload.data(), 2);
    } else if (GetParam().mode == ZB_ENCODER_SEARCH) {
      SearchAdpcmBlocks(state, expected.data(), f.payload.data(), 2);
    } else if (GetParam().mode == ZB_ENCODER_SEARCH_DEEP) {
      SearchAdpcmBlocksDeep(state, expected.data(), f.payload.data(), 2);
    } else {
      expected = EncodeBlocks(f.payload);  // each block from index 0, as the golden vectors hold
    }
    EXPECT_EQ(sink->OfType(AV_TYPE_ADPCM).back().payload, expected) << "frame " << seq;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Settings, EncoderModeTest,
    ::testing::Values(
        ModeSettingCase{"NothingPassed", {}, ZB_ENCODER_SPECIFIED},
        ModeSettingCase{"ZeroSmallNumbersAndMinusOne", {0, 1, 2, 3, 5, -1}, ZB_ENCODER_SPECIFIED},
        // The tag with a low byte that names no mode.
        ModeSettingCase{"TagWithoutMode", {0x5A424D00, 0x5A424D02, 0x5A424D09, 0x5A424DFF}, ZB_ENCODER_SPECIFIED},
        // A mode's low byte under any other top bytes.
        ModeSettingCase{"ModeByteUnderOtherTags",
                        {0x00000003, 0x5B424D03, 0x5A434D05, 0x5A424C03, static_cast<int32_t>(0xDA424D03u)},
                        ZB_ENCODER_SPECIFIED},
        ModeSettingCase{"Carried", {ZB_ENCODER_CARRIED}, ZB_ENCODER_CARRIED},
        ModeSettingCase{"Search", {ZB_ENCODER_SEARCH}, ZB_ENCODER_SEARCH},
        ModeSettingCase{"SearchDeep", {ZB_ENCODER_SEARCH_DEEP}, ZB_ENCODER_SEARCH_DEEP},
        ModeSettingCase{"UntaggedValuesKeepTheMode", {ZB_ENCODER_CARRIED, 0, -1, 0x5A424D00}, ZB_ENCODER_CARRIED},
        ModeSettingCase{"BackToSpecified", {ZB_ENCODER_SEARCH, ZB_ENCODER_SPECIFIED}, ZB_ENCODER_SPECIFIED}),
    RowName());

}  // namespace
}  // namespace zbtest
