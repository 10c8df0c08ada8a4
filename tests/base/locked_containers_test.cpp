// LockedPtrList and LockedPtrMap: container and Locker in one object, shared by threads
// that guard each use with an AutoLock on the object itself.
#include <gtest/gtest.h>

#include <cstdint>
#include <thread>
#include <vector>

#include "QV_Base/Src/QV_LockedContainers.h"

namespace zbtest {
namespace {

using zbbase::AutoLock;

constexpr int kThreads = 4;
constexpr int kItemsPerThread = 45;  // several node blocks per thread
constexpr int kRounds = 20;
constexpr int kKeySpacing = 16;  // one hash step apart, so keys spread over the buckets

struct Slot {
  int32_t owner;
  int32_t index;
};

TEST(LockedContainersTest, StartEmptyWithDefaultGeometry) {
  zbbase::LockedPtrList<Slot> list;
  zbbase::LockedPtrMap<Slot> map;
  EXPECT_EQ(list.count(), 0);
  EXPECT_EQ(list.blockSize(), zbbase::kDefaultBlockSize);
  EXPECT_EQ(list.BlockCount(), 0);
  EXPECT_EQ(map.count(), 0);
  EXPECT_EQ(map.bucketCount(), zbbase::kDefaultBucketCount);
  EXPECT_FALSE(map.HasBuckets());
}

TEST(LockedContainersTest, ListStaysConsistentUnderConcurrentUse) {
  zbbase::LockedPtrList<Slot> list;
  std::vector<std::vector<Slot>> items(kThreads, std::vector<Slot>(kItemsPerThread));
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) {
        for (Slot& item : items[t]) {
          AutoLock guard(&list);
          list.AddTail(&item);
        }
        for (Slot& item : items[t]) {
          AutoLock guard(&list);
          auto* node = list.Find(&item);
          ASSERT_NE(node, nullptr);
          list.RemoveAt(node);
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(list.count(), 0);
  EXPECT_EQ(list.head(), nullptr);
  EXPECT_EQ(list.tail(), nullptr);
  EXPECT_EQ(list.BlockCount(), 0);
}

TEST(LockedContainersTest, MapStaysConsistentUnderConcurrentUse) {
  zbbase::LockedPtrMap<Slot> map;
  std::vector<std::vector<char>> keys(kThreads, std::vector<char>(kItemsPerThread * kKeySpacing));
  auto key = [&](int t, int i) { return &keys[t][static_cast<size_t>(i * kKeySpacing)]; };
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) {
        for (int i = 0; i < kItemsPerThread; ++i) {
          AutoLock guard(&map);
          map.SetAt(key(t, i), Slot{t, i});
        }
        for (int i = 0; i < kItemsPerThread; ++i) {
          AutoLock guard(&map);
          const Slot* value = map.Lookup(key(t, i));
          ASSERT_NE(value, nullptr);
          EXPECT_EQ(value->owner, t);
          EXPECT_EQ(value->index, i);
          EXPECT_TRUE(map.RemoveKey(key(t, i)));
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(map.count(), 0);
  EXPECT_FALSE(map.HasBuckets());
  EXPECT_EQ(map.BlockCount(), 0);
  EXPECT_EQ(map.bucketCount(), zbbase::kDefaultBucketCount);
}

}  // namespace
}  // namespace zbtest
