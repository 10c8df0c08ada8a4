// Encoder to decoder through a lossy link: every data frame is rendered once, in order and
// bit-exactly, with no loss and with any single data or parity frame lost. Also drives the
// modules through the exported functions and their faces only.
#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "codec/AdpcmBlock.h"
#include "codec/AdpcmModuleLayout.h"
#include "exports/zbexports.h"
#include "modules/AdpcmDecoder.h"
#include "modules/AdpcmEncoder.h"
#include "tests/modules/ModuleHarness.h"

namespace zbtest {
namespace {

constexpr int32_t kFrames = 12;
constexpr size_t kFrameSamples = 320;  // 20 ms at 16 kHz: two blocks

struct Loss {
  uint8_t type;  // 0: nothing lost
  int32_t seq;
};

// "Data3", "Parity4": the frame lost.
std::string LossName(const Loss& loss) {
  return std::string(loss.type == AV_TYPE_ADPCM ? "Data" : "Parity") + std::to_string(loss.seq);
}
void PrintTo(const Loss& loss, std::ostream* os) { *os << LossName(loss); }

// Streams kFrames PCM frames through encoder, link and decoder; returns what the decoder
// rendered, keyed by sequence number, with the timestamp and PCM of each.
struct Rendering {
  std::vector<int32_t> order;
  std::map<int32_t, std::pair<int32_t, std::vector<uint8_t>>> frames;
};

Rendering Stream(AvSinkFace* encoderSink, AvSourceFace* encoderSource, AvSinkFace* decoderSink,
                 AvSourceFace* decoderSource, Loss loss, bool duplicate = false) {
  auto link = Make<LossyLink>();
  auto sink = Make<RecordingSink>();
  link->duplicate = duplicate;
  link->drop = [loss](uint8_t type, int32_t seq) { return type == loss.type && seq == loss.seq; };
  encoderSource->AddOutput(link.get());
  link->AddOutput(decoderSink);
  decoderSource->AddOutput(sink.get());
  for (int32_t seq = 0; seq < kFrames; ++seq) {
    PcmFrame f(TestPcm(kFrameSamples, static_cast<uint32_t>(seq)), seq, seq * 20);
    EXPECT_TRUE(encoderSink->HandleFrame(nullptr, &f.frame));
  }
  Rendering out;
  for (const auto& r : sink->received) {
    EXPECT_EQ(r.type, AV_TYPE_PCM);
    EXPECT_EQ(r.kind, AV_KIND_AUDIO);
    EXPECT_EQ(out.frames.count(r.seq), 0u) << "frame " << r.seq << " rendered twice";
    out.order.push_back(r.seq);
    out.frames[r.seq] = {r.timestamp, r.payload};
  }
  return out;
}

class EndToEndTest : public ModuleTest, public ::testing::WithParamInterface<Loss> {
 protected:
  Rendering Run(Loss loss, bool duplicate = false) {
    auto encoder = Make<AdpcmEncoder>();
    auto decoder = Make<AdpcmDecoder>();
    return Stream(encoder.get(), encoder.get(), decoder.get(), decoder.get(), loss, duplicate);
  }
};

TEST_F(EndToEndTest, LosslessStreamMatchesDecodingTheEncodersBlocks) {
  const Rendering clean = Run({0, 0});
  ASSERT_EQ(clean.order.size(), static_cast<size_t>(kFrames));
  for (int32_t seq = 0; seq < kFrames; ++seq) {
    EXPECT_EQ(clean.order[static_cast<size_t>(seq)], seq);
    const std::vector<uint8_t> pcm = TestPcm(kFrameSamples, static_cast<uint32_t>(seq));
    std::vector<uint8_t> expected;
    for (size_t piece = 0; piece < 2; ++piece) {
      AdpcmCodecState state{};
      state.channels = 1;
      state.pcmBytesPerBlock = kAdpcmPcmBytesPerBlock;
      uint8_t block[kAdpcmBlockBytes];
      EncodeAdpcmBlock(state, block, pcm.data() + piece * kAdpcmPcmBytesPerBlock);
      std::vector<uint8_t> decoded(kAdpcmPcmBytesPerBlock);
      int32_t written = 0;
      DecodeAdpcmBlock(state, decoded.data(), written, block, kAdpcmBlockBytes);
      expected.insert(expected.end(), decoded.begin(), decoded.end());
    }
    EXPECT_EQ(clean.frames.at(seq).first, seq * 20);
    EXPECT_EQ(clean.frames.at(seq).second, expected) << "frame " << seq;
  }
}

TEST_P(EndToEndTest, SingleLossIsRecoveredBitExactly) {
  const Rendering clean = Run({0, 0});
  const Rendering lossy = Run(GetParam());
  ASSERT_EQ(lossy.frames.size(), static_cast<size_t>(kFrames));
  for (const auto& [seq, frame] : lossy.frames) {
    EXPECT_EQ(frame.first, seq * 20) << "timestamp of frame " << seq;
    EXPECT_EQ(frame.second, clean.frames.at(seq).second) << "PCM of frame " << seq;
  }
}

TEST_P(EndToEndTest, SingleLossWithEveryFrameDuplicatedIsRecoveredOnce) {
  const Rendering clean = Run({0, 0});
  const Rendering lossy = Run(GetParam(), true);
  ASSERT_EQ(lossy.frames.size(), static_cast<size_t>(kFrames));
  for (const auto& [seq, frame] : lossy.frames) {
    EXPECT_EQ(frame, clean.frames.at(seq)) << "frame " << seq;
  }
}

std::vector<Loss> EverySingleLoss() {
  std::vector<Loss> losses;
  for (int32_t seq = 0; seq < kFrames; ++seq) {
    losses.push_back({AV_TYPE_ADPCM, seq});
    if (seq > 0) losses.push_back({AV_TYPE_ADPCM_PARITY, seq});
  }
  return losses;
}

INSTANTIATE_TEST_SUITE_P(EveryPosition, EndToEndTest, ::testing::ValuesIn(EverySingleLoss()),
                         [](const ::testing::TestParamInfo<Loss>& row) { return LossName(row.param); });

// In every encoder mode, any single lost frame is rebuilt bit-exactly.
class EndToEndModeTest : public ModuleTest, public ::testing::WithParamInterface<int32_t> {
 protected:
  Rendering Run(Loss loss) {
    auto encoder = Make<AdpcmEncoder>();
    auto decoder = Make<AdpcmDecoder>();
    encoder->ReservedSetting(GetParam());
    return Stream(encoder.get(), encoder.get(), decoder.get(), decoder.get(), loss);
  }
};

TEST_P(EndToEndModeTest, EverySingleLossIsRecoveredBitExactly) {
  const Rendering clean = Run({0, 0});
  ASSERT_EQ(clean.frames.size(), static_cast<size_t>(kFrames));
  for (const Loss& loss : EverySingleLoss()) {
    const Rendering lossy = Run(loss);
    ASSERT_EQ(lossy.frames.size(), static_cast<size_t>(kFrames)) << LossName(loss);
    for (const auto& [seq, frame] : lossy.frames) {
      EXPECT_EQ(frame, clean.frames.at(seq)) << LossName(loss) << ", frame " << seq;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, EndToEndModeTest,
                         ::testing::Values(ZB_ENCODER_SPECIFIED, ZB_ENCODER_CARRIED, ZB_ENCODER_SEARCH,
                                           ZB_ENCODER_SEARCH_DEEP),
                         [](const ::testing::TestParamInfo<int32_t>& row) {
                           return row.param == ZB_ENCODER_CARRIED       ? std::string("Carried")
                                  : row.param == ZB_ENCODER_SEARCH      ? std::string("Search")
                                  : row.param == ZB_ENCODER_SEARCH_DEEP ? std::string("SearchDeep")
                                                                        : std::string("Specified");
                         });

TEST_F(EndToEndTest, ThroughTheExportsAndFacesOnly) {
  auto* child = static_cast<IZBAvChildModule*>(zbCreateInstance(ZB_NAME_CHILD_MODULE));
  ASSERT_NE(child, nullptr);
  child->SetMemAllocator(&allocator);
  void* encoder = zbCreateInstance(ZB_NAME_ENCODER);
  void* decoder = zbCreateInstance(ZB_NAME_DECODER);
  ASSERT_NE(encoder, nullptr);
  ASSERT_NE(decoder, nullptr);
  const Rendering viaExports = Stream(SinkFaceOf(encoder), SourceFaceOf(encoder), SinkFaceOf(decoder),
                                      SourceFaceOf(decoder), {AV_TYPE_ADPCM, 5});
  const Rendering direct = Run({0, 0});
  EXPECT_EQ(viaExports.order.size(), static_cast<size_t>(kFrames));
  for (const auto& [seq, frame] : direct.frames) EXPECT_EQ(viaExports.frames.at(seq), frame);
  zbDestroyInstance(encoder);
  zbDestroyInstance(decoder);
}

TEST_F(EndToEndTest, DestroyingAConnectedModuleDetachesItFromItsPeers) {
  auto sink = Make<RecordingSink>();
  void* encoder = zbCreateInstance(ZB_NAME_ENCODER);
  void* decoder = zbCreateInstance(ZB_NAME_DECODER);
  SourceFaceOf(encoder)->AddOutput(SinkFaceOf(decoder));
  SourceFaceOf(decoder)->AddOutput(sink.get());
  zbDestroyInstance(decoder);
  EXPECT_EQ(SourceFaceOf(encoder)->CountActiveOutputs(), 0);
  PcmFrame f(TestPcm(kFrameSamples, 1), 1, 20);
  EXPECT_TRUE(SinkFaceOf(encoder)->HandleFrame(nullptr, &f.frame));
  EXPECT_TRUE(sink->received.empty());
  zbDestroyInstance(encoder);
}

}  // namespace
}  // namespace zbtest
