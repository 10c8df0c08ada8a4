// The instance registry under concurrent creation and destruction from several host threads,
// and destruction on one thread while a delivery on another calls the exports.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "exports/zbexports.h"
#include "tests/boundary/BoundaryFixture.h"
#include "tests/framework/ThreadHelpers.h"
#include "tests/support/ModuleFrames.h"
#include "tests/support/RecordingSink.h"
#include "tests/support/TestSupport.h"

namespace zbtest {
namespace {

constexpr int kThreads = 4;
constexpr int kModulesPerThread = 12;  // more than one node block per thread
constexpr int kRounds = 5;

using RegistryThreadsTest = BoundaryTest;

TEST_F(RegistryThreadsTest, ConcurrentCreateAndDestroyKeepOneRecordPerModule) {
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      const char* name = t % 2 == 0 ? ZB_NAME_ENCODER : ZB_NAME_DECODER;
      for (int round = 0; round < kRounds; ++round) {
        std::vector<void*> modules;
        for (int i = 0; i < kModulesPerThread; ++i) modules.push_back(zbCreateInstance(name));
        for (void* module : modules) {
          ASSERT_NE(module, nullptr);
          InstanceRecord record{};
          ASSERT_TRUE(RecordOf(module, record));
          EXPECT_STREQ(record.name, name);
          EXPECT_EQ(record.object, module);
        }
        for (void* module : modules) {
          // Under the registry lock (it is recursive) no other thread can record a module
          // that the allocator placed at the freed address, until the check is done.
          zbbase::AutoLock lock(&g_instanceRegistry);
          zbDestroyInstance(module);
          InstanceRecord record{};
          EXPECT_FALSE(RecordOf(module, record)) << "a destroyed module is still recorded";
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(RecordedCount(), 0);
  EXPECT_FALSE(RegistryHasBuckets());
}

// The encoder delivers to the decoder, then to a sink that creates and destroys a module
// through the exports; meanwhile another thread destroys the decoder, whose detaching waits
// for the encoder's output list. Neither may wait for the other.
TEST_F(RegistryThreadsTest, DestroyingAModuleWhileAnOutputOfItsSourceCallsTheExports) {
  constexpr std::chrono::seconds kDeadlockLimit{20};
  constexpr std::chrono::milliseconds kDestroyerHeadStart{50};
  CountingAllocator allocator;
  AllocatorScope scope(&allocator);
  void* encoder = zbCreateInstance(ZB_NAME_ENCODER);
  void* decoder = zbCreateInstance(ZB_NAME_DECODER);
  ASSERT_NE(encoder, nullptr);
  ASSERT_NE(decoder, nullptr);
  RecordingSink caller;
  ASSERT_TRUE(SourceFaceOf(encoder)->AddOutput(SinkFaceOf(decoder)));
  ASSERT_TRUE(SourceFaceOf(encoder)->AddOutput(&caller));
  std::atomic<bool> delivering{false};
  std::atomic<bool> destroying{false};
  caller.onFrame = [&](const AvFrame&) {
    delivering = true;
    while (!destroying) std::this_thread::yield();
    std::this_thread::sleep_for(kDestroyerHeadStart);  // lets the destroyer reach the encoder's list
    zbDestroyInstance(zbCreateInstance(ZB_NAME_DECODER));
  };
  PcmFrame pcm(TestPcm(kAdpcmPcmBytesPerBlock, 0), 1, 0);
  {
    Watchdog watchdog("destruction against a delivery", kDeadlockLimit);
    std::thread deliverer([&] { SinkFaceOf(encoder)->HandleFrame(nullptr, &pcm.frame); });
    std::thread destroyer([&] {
      while (!delivering) std::this_thread::yield();
      destroying = true;
      zbDestroyInstance(decoder);
    });
    deliverer.join();
    destroyer.join();
  }
  EXPECT_EQ(SourceFaceOf(encoder)->CountActiveOutputs(), 1);
  zbDestroyInstance(encoder);
  EXPECT_EQ(allocator.live(), 0u);
}

}  // namespace
}  // namespace zbtest
