// Behaviours the encoder and the decoder share, run on each: a frame the module cannot
// read is refused and leaves no trace, and a buffer goes back to the allocator that gave
// it even when an output installs another one.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "codec/AdpcmModuleLayout.h"
#include "modules/AdpcmDecoder.h"
#include "modules/AdpcmEncoder.h"
#include "tests/modules/ModuleHarness.h"

namespace zbtest {
namespace {

constexpr size_t kSamplesPerPiece = kAdpcmPcmBytesPerBlock / 2;

struct EncoderCase {
  using Module = AdpcmEncoder;
  static constexpr char kName[] = "Encoder";
  // One piece of PCM.
  static std::unique_ptr<PcmFrame> TakenFrame() {
    return std::make_unique<PcmFrame>(TestPcm(kSamplesPerPiece, 1), 1, 0);
  }
};

struct DecoderCase {
  using Module = AdpcmDecoder;
  static constexpr char kName[] = "Decoder";
  // A data frame of two blocks, partner distance 1.
  static std::unique_ptr<PcmFrame> TakenFrame() {
    return std::make_unique<PcmFrame>(EncodeBlocks(TestPcm(2 * kSamplesPerPiece, 101)), 1, 20, AV_CLASS_MEDIA,
                                      AV_KIND_AUDIO, AV_TYPE_ADPCM);
  }
};

template <typename Case>
class EitherModuleTest : public ModuleIntoSinkTest<typename Case::Module> {};

class ModuleNames {
 public:
  template <typename Case>
  static std::string GetName(int) {
    return Case::kName;
  }
};

using Cases = ::testing::Types<EncoderCase, DecoderCase>;
TYPED_TEST_SUITE(EitherModuleTest, Cases, ModuleNames);

TYPED_TEST(EitherModuleTest, UnreadableFramesAreRefused) {
  const auto f = TypeParam::TakenFrame();
  auto* face = static_cast<AvSinkFace*>(this->module.get());
  EXPECT_FALSE(face->HandleFrame(nullptr, nullptr));
  AvFrame noInfo = f->frame;
  noInfo.info = nullptr;
  EXPECT_FALSE(face->HandleFrame(nullptr, &noInfo));
  AvFrame noData = f->frame;
  noData.data = nullptr;
  EXPECT_FALSE(face->HandleFrame(nullptr, &noData));
  EXPECT_TRUE(this->sink->received.empty());
  EXPECT_TRUE(this->allocator.sizes().empty());
  EXPECT_TRUE(this->Handle(&f->frame)) << "nothing was recorded";
  EXPECT_EQ(this->sink->received.size(), 1u);
}

TYPED_TEST(EitherModuleTest, BufferGoesBackToTheAllocatorThatGaveIt) {
  CountingAllocator other;
  this->sink->onFrame = [&](const AvFrame&) { g_zbavMemMgr.m_lpSink = &other; };
  const auto f = TypeParam::TakenFrame();
  EXPECT_TRUE(this->Handle(&f->frame));
  EXPECT_EQ(other.badFrees(), 0) << "the new allocator got a buffer it never gave out";
  EXPECT_EQ(this->allocator.live(), 0u);
}

}  // namespace
}  // namespace zbtest
