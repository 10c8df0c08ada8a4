// The instance registry under concurrent creation and destruction from several host threads.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "exports/zbexports.h"
#include "tests/boundary/BoundaryFixture.h"

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

}  // namespace
}  // namespace zbtest
