// Frames flow through encoder and decoder while other threads switch redundancy and reset
// the encoder's stream; run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "modules/AdpcmDecoder.h"
#include "modules/AdpcmEncoder.h"
#include "tests/modules/ModuleHarness.h"

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

}  // namespace
}  // namespace zbtest
