// Frames flow through encoder and decoder while other threads switch redundancy and reset
// the encoder's stream, and resets from another thread land at set points inside a frame;
// run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>
#include <sstream>
#include <string>
#include <vector>

#include "modules/AdpcmDecoder.h"
#include "modules/AdpcmEncoder.h"
#include "tests/modules/ModuleHarness.h"
#include "tests/support/CaseNames.h"

namespace zbtest {
namespace {

constexpr int32_t kFrames = 600;

class ModuleConcurrencyTest : public ModuleTest {};

TEST_F(ModuleConcurrencyTest, TogglingRedundancyModeAndResettingWhileFramesFlow) {
  auto encoder = Make<AdpcmEncoder>();
  auto decoder = Make<AdpcmDecoder>();
  auto sink = Make<RecordingSink>();
  encoder->AddOutput(decoder.get());
  decoder->AddOutput(sink.get());

  std::atomic<bool> done{false};
  std::thread toggler([&] {
    bool on = false;
    while (!done.load()) {
      encoder->EnableRedundancy(on);
      encoder->ReservedSetting(on ? ZB_ENCODER_CARRIED : ZB_ENCODER_SPECIFIED);
      encoder->ResetStream();
      on = !on;
      std::this_thread::yield();
    }
  });
  std::thread sender([&] {
    for (int32_t seq = 0; seq < kFrames; ++seq) {
      PcmFrame f(TestPcm(320, static_cast<uint32_t>(seq)), seq, seq * 20);
      static_cast<AvSinkFace*>(encoder.get())->HandleFrame(nullptr, &f.frame);
    }
  });
  sender.join();
  done.store(true);
  toggler.join();
  encoder->EnableRedundancy(true);

  EXPECT_EQ(sink->OfType(AV_TYPE_PCM).size(), static_cast<size_t>(kFrames))
      << "every data frame rendered once";
  decoder->RemoveOutput(sink.get());
  encoder->RemoveOutput(decoder.get());
}

// Hands every request on to `inner`, running `onAlloc` first.
class AllocationHook : public IAvMemAlloc {
 public:
  explicit AllocationHook(IAvMemAlloc* inner) : m_inner(inner) {}
  void* Alloc(uint32_t size) override {
    if (onAlloc) onAlloc();
    return m_inner->Alloc(size);
  }
  void Free(void* ptr) override { m_inner->Free(ptr); }

  std::function<void()> onAlloc;

 private:
  IAvMemAlloc* m_inner;
};

// Where inside one frame's HandleFrame another thread's ResetStream lands.
enum class ResetLanding { kBufferRequest, kDataDelivery, kParityDelivery };

struct ResetLandingCase : NamedRow {
  ResetLanding where;
};

class ResetLandingTest : public ModuleTest, public ::testing::WithParamInterface<ResetLandingCase> {
 protected:
  static constexpr int32_t kStreamFrames = 4;
  static constexpr int32_t kLandsIn = 1;       // the frame the reset lands inside
  static constexpr size_t kFrameSamples = 320;  // two blocks
  static constexpr uint32_t kFnvOffset = 2166136261u;  // 32-bit FNV-1a
  static constexpr uint32_t kFnvPrime = 16777619u;

  // A sent frame as "data 1 <hash of the payload>" or "parity 1 <hash>".
  static std::string Describe(const Received& r) {
    uint32_t hash = kFnvOffset;
    for (uint8_t byte : r.payload) hash = (hash ^ byte) * kFnvPrime;
    std::ostringstream text;
    text << (r.type == AV_TYPE_ADPCM_PARITY ? "parity " : "data ") << r.seq << ' ' << std::hex << hash;
    return text.str();
  }

  // What a carried-mode encoder sends for the stream when another thread resets it at the
  // row's point inside frame kLandsIn, or, with `inside` false, between that frame and the
  // next on the sending thread.
  std::vector<std::string> Encode(bool inside) {
    auto encoder = Make<AdpcmEncoder>();
    auto sink = Make<RecordingSink>();
    Connect(encoder.get(), sink.get());
    encoder->ReservedSetting(ZB_ENCODER_CARRIED);
    AllocationHook hook(&allocator);
    AllocatorScope installed(&hook);
    int32_t coding = -1;
    const auto resetFromAnotherThread = [&] { std::thread([&] { encoder->ResetStream(); }).join(); };
    const ResetLanding where = GetParam().where;
    if (inside) {
      hook.onAlloc = [&] {
        if (coding == kLandsIn && where == ResetLanding::kBufferRequest) resetFromAnotherThread();
      };
      const uint8_t landingType = where == ResetLanding::kDataDelivery ? AV_TYPE_ADPCM : AV_TYPE_ADPCM_PARITY;
      sink->onFrame = [&, landingType](const AvFrame& frame) {
        if (where != ResetLanding::kBufferRequest && frame.info->seq == kLandsIn && frame.type == landingType) {
          resetFromAnotherThread();
        }
      };
    }
    for (int32_t seq = 0; seq < kStreamFrames; ++seq) {
      PcmFrame f(TestPcm(kFrameSamples, static_cast<uint32_t>(seq)), seq, seq * 20);
      coding = seq;
      EXPECT_TRUE(static_cast<AvSinkFace*>(encoder.get())->HandleFrame(nullptr, &f.frame));
      if (!inside && seq == kLandsIn) encoder->ResetStream();
    }
    std::vector<std::string> sent;
    for (const Received& r : sink->received) sent.push_back(Describe(r));
    return sent;
  }
};

// The frame the reset lands in is coded and sent as if no reset had come (its parity
// against the frame before, its blocks carried on); the next frame starts a new stream:
// no parity, blocks from index 0.
TEST_P(ResetLandingTest, TakesEffectAtTheNextFrame) { EXPECT_EQ(Encode(true), Encode(false)); }

INSTANTIATE_TEST_SUITE_P(Encoder, ResetLandingTest,
                         ::testing::Values(
                             // Before the frame is coded: the host allocator's request.
                             ResetLandingCase{"WhileTheBufferIsAskedFor", ResetLanding::kBufferRequest},
                             // While outputs handle the data frame, then its parity frame.
                             ResetLandingCase{"WhileTheDataFrameIsDelivered", ResetLanding::kDataDelivery},
                             ResetLandingCase{"WhileTheParityFrameIsDelivered", ResetLanding::kParityDelivery}),
                         RowName());

}  // namespace
}  // namespace zbtest
