// PtrMap: the 17-bucket hash, bucket-array and block lifetime, front-of-chain insertion,
// zero-filled new entries and the long-chain warning on standard output. Keys are fake
// addresses: the map compares and hashes keys but never dereferences them.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "QV_Base/Src/QV_PtrMap.h"
#include "tests/support/CaseNames.h"
#include "tests/support/StdoutCapture.h"

namespace zbtest {
namespace {

constexpr uint32_t kBuckets = 17;
constexpr uintptr_t kHashStep = 16;                      // addresses within 16 bytes share a hash
constexpr uintptr_t kSameBucket = kBuckets * kHashStep;  // 272: next key of the same bucket
constexpr uintptr_t kChainBase = 0x10000;                // bucket 16
constexpr int kBlock = zbbase::kDefaultBlockSize;
constexpr char kWarning[] = "warning: unreasonable hash key!\r\n";

struct Record {
  uint32_t id;
  uint8_t tail[28];
};

Record MakeRecord(uint32_t id) {
  Record r{};
  r.id = id;
  std::memset(r.tail, static_cast<int>(id & 0xFF), sizeof r.tail);
  return r;
}

bool SameRecord(const Record& a, const Record& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

using Map = zbbase::PtrMap<Record>;

const void* FakeKey(uintptr_t address) { return reinterpret_cast<const void*>(address); }

// The i-th key of the chain of bucket 16.
const void* ChainKey(int i) {
  return FakeKey(kChainBase + static_cast<uintptr_t>(i) * kSameBucket);
}

// A key of bucket `b` that is not a chain key: far above them, inside a 16-byte hash step.
constexpr uintptr_t kOtherKeysBase = 4096 * kSameBucket;  // bucket 0
constexpr uintptr_t kInsideStep = 8;
const void* KeyInBucket(uint32_t b) {
  return FakeKey(kOtherKeysBase + b * kHashStep + kInsideStep);
}

std::string Warnings(int n) {
  std::string text;
  for (int i = 0; i < n; ++i) text += kWarning;
  return text;
}

struct HashRow : NamedRow {
  uintptr_t address;
  uint32_t bucket;
};

class HashKeyTest : public ::testing::TestWithParam<HashRow> {};

TEST_P(HashKeyTest, BucketIsAddressShiftedByFourModuloSeventeen) {
  EXPECT_EQ(zbbase::HashKey(FakeKey(GetParam().address), kBuckets), GetParam().bucket);
}

INSTANTIATE_TEST_SUITE_P(Addresses, HashKeyTest,
                         ::testing::Values(HashRow{"FirstBucket", 0x0, 0},
                                           HashRow{"LowFourBitsIgnored", 0xF, 0},
                                           HashRow{"Next16BytesNextBucket", 0x10, 1},
                                           HashRow{"LastBucket", 0x100, 16},
                                           HashRow{"WrapsAfter272Bytes", 0x110, 0},
                                           HashRow{"ChainTestsBucket", 0x10000, 16},
                                           HashRow{"ArbitraryAddress", 0x12345678, 4},
                                           HashRow{"UnsignedNoSignEffects", 0xFFFFFFF0, 15},
                                           HashRow{"LargestAddress", 0xFFFFFFFF, 15}),
                         RowName());

TEST(PtrMapTest, HashUsesTheAddressAsAnUnsigned32BitNumber) {
  if (sizeof(void*) <= sizeof(uint32_t)) GTEST_SKIP() << "addresses have no bits above 32";
  const uint64_t high = uint64_t{1} << 32;
  EXPECT_EQ(zbbase::HashKey(FakeKey(static_cast<uintptr_t>(high + 0x10)), kBuckets), 1u);
  // Keys differing only above bit 31 share a bucket yet stay distinct entries.
  Map map;
  map.SetAt(FakeKey(0x10), MakeRecord(1));
  map.SetAt(FakeKey(static_cast<uintptr_t>(high + 0x10)), MakeRecord(2));
  EXPECT_EQ(map.count(), 2);
  EXPECT_EQ(map.Lookup(FakeKey(0x10))->id, 1u);
  EXPECT_EQ(map.Lookup(FakeKey(static_cast<uintptr_t>(high + 0x10)))->id, 2u);
}

TEST(PtrMapTest, NewMapAllocatesNothingForLookupsAndRemovals) {
  Map map;
  EXPECT_EQ(map.Lookup(ChainKey(0)), nullptr);
  EXPECT_FALSE(map.RemoveKey(ChainKey(0)));
  EXPECT_FALSE(map.HasBuckets());
  EXPECT_EQ(map.BlockCount(), 0);
  EXPECT_EQ(map.count(), 0);
  EXPECT_EQ(map.bucketCount(), kBuckets);
}

TEST(PtrMapTest, FirstSetAtBuildsSeventeenEmptyBuckets) {
  Map map;
  map.SetAt(ChainKey(0), MakeRecord(7));
  EXPECT_TRUE(map.HasBuckets());
  EXPECT_EQ(map.bucketCount(), kBuckets);
  EXPECT_EQ(map.BlockCount(), 1);
  EXPECT_EQ(map.count(), 1);
  // Every other bucket starts empty (a stale array entry would be walked here).
  for (uint32_t b = 0; b < kBuckets; ++b) {
    EXPECT_EQ(map.Lookup(KeyInBucket(b)), nullptr) << "bucket " << b;
  }
  ASSERT_NE(map.Lookup(ChainKey(0)), nullptr);
  EXPECT_TRUE(SameRecord(*map.Lookup(ChainKey(0)), MakeRecord(7)));
}

TEST(PtrMapTest, RemovingTheLastEntryFreesBucketsAndBlocks) {
  Map map;
  map.SetAt(ChainKey(0), MakeRecord(1));
  map.SetAt(KeyInBucket(3), MakeRecord(2));
  EXPECT_TRUE(map.RemoveKey(ChainKey(0)));
  EXPECT_TRUE(map.HasBuckets()) << "memory is kept while entries remain";
  EXPECT_EQ(map.BlockCount(), 1);
  EXPECT_TRUE(map.RemoveKey(KeyInBucket(3)));
  EXPECT_EQ(map.count(), 0);
  EXPECT_FALSE(map.HasBuckets());
  EXPECT_EQ(map.BlockCount(), 0);
  EXPECT_EQ(map.bucketCount(), kBuckets);

  map.SetAt(ChainKey(1), MakeRecord(3));
  EXPECT_TRUE(map.HasBuckets());
  EXPECT_EQ(map.bucketCount(), kBuckets);
  EXPECT_EQ(map.Lookup(ChainKey(0)), nullptr);
  EXPECT_EQ(map.Lookup(KeyInBucket(3)), nullptr);
}

TEST(PtrMapTest, RemoveAllKeepsTheGeometry) {
  Map map;
  for (int i = 0; i <= kBlock; ++i) map.SetAt(KeyInBucket(static_cast<uint32_t>(i)), MakeRecord(1));
  EXPECT_EQ(map.BlockCount(), 2);
  map.RemoveAll();
  EXPECT_EQ(map.count(), 0);
  EXPECT_FALSE(map.HasBuckets());
  EXPECT_EQ(map.BlockCount(), 0);
  EXPECT_EQ(map.bucketCount(), kBuckets);
  EXPECT_EQ(map.Lookup(KeyInBucket(0)), nullptr);
  map.SetAt(KeyInBucket(0), MakeRecord(2));
  EXPECT_EQ(map.BlockCount(), 1);
  EXPECT_EQ(map.Lookup(KeyInBucket(0))->id, 2u);
}

TEST(PtrMapTest, NodesComeInAddressOrderAndTenPerBlock) {
  Map map;
  map.SetAt(ChainKey(0), MakeRecord(0));
  const Record* first = map.Lookup(ChainKey(0));
  for (int i = 1; i < kBlock; ++i) {
    map.SetAt(ChainKey(i), MakeRecord(static_cast<uint32_t>(i)));
    const auto* node = reinterpret_cast<const char*>(map.Lookup(ChainKey(i)));
    EXPECT_EQ(node - reinterpret_cast<const char*>(first),
              static_cast<ptrdiff_t>(i * sizeof(Map::MapNode)));
  }
  EXPECT_EQ(map.BlockCount(), 1);
  map.SetAt(ChainKey(kBlock), MakeRecord(kBlock));
  EXPECT_EQ(map.BlockCount(), 2);
}

TEST(PtrMapTest, SetAtOverwritesAnExistingEntry) {
  Map map;
  map.SetAt(ChainKey(0), MakeRecord(1));
  map.SetAt(ChainKey(1), MakeRecord(2));
  map.SetAt(ChainKey(0), MakeRecord(3));
  EXPECT_EQ(map.count(), 2);
  EXPECT_TRUE(SameRecord(*map.Lookup(ChainKey(0)), MakeRecord(3)));
  EXPECT_TRUE(SameRecord(*map.Lookup(ChainKey(1)), MakeRecord(2)));
}

TEST(PtrMapTest, GetOrInsertOfAbsentKeyAddsAZeroFilledEntry) {
  Map map;
  map.SetAt(ChainKey(0), MakeRecord(0xFF));
  map.SetAt(ChainKey(1), MakeRecord(0xEE));
  Record* recycled = map.Lookup(ChainKey(1));
  ASSERT_TRUE(map.RemoveKey(ChainKey(1)));  // its node, with old bytes, goes to the free list
  Record& fresh = map.GetOrInsert(ChainKey(2));
  EXPECT_EQ(&fresh, recycled) << "the node freed last is reused first";
  EXPECT_TRUE(SameRecord(fresh, Record{})) << "a new entry's value is all zero bytes";
  EXPECT_EQ(map.count(), 2);
  EXPECT_EQ(map.Lookup(ChainKey(2)), &fresh);
}

TEST(PtrMapTest, GetOrInsertOfPresentKeyReturnsTheStoredValue) {
  Map map;
  map.SetAt(ChainKey(0), MakeRecord(5));
  Record& stored = map.GetOrInsert(ChainKey(0));
  EXPECT_EQ(map.count(), 1);
  EXPECT_EQ(stored.id, 5u);
  stored.id = 6;
  EXPECT_EQ(map.Lookup(ChainKey(0))->id, 6u);
}

TEST(PtrMapTest, RemoveKeyUnlinksAnyChainPositionAndKeepsTheRest) {
  constexpr int kChain = 5;
  for (int victim = 0; victim < kChain; ++victim) {
    SCOPED_TRACE(victim);
    Map map;
    for (int i = 0; i < kChain; ++i) map.SetAt(ChainKey(i), MakeRecord(static_cast<uint32_t>(i)));
    EXPECT_TRUE(map.RemoveKey(ChainKey(victim)));
    EXPECT_FALSE(map.RemoveKey(ChainKey(victim)));
    EXPECT_EQ(map.count(), kChain - 1);
    for (int i = 0; i < kChain; ++i) {
      const Record* value = map.Lookup(ChainKey(i));
      if (i == victim) {
        EXPECT_EQ(value, nullptr);
      } else {
        ASSERT_NE(value, nullptr) << "key " << i;
        EXPECT_EQ(value->id, static_cast<uint32_t>(i));
      }
    }
  }
}

TEST(PtrMapTest, RemoveKeyOfAbsentKeyChangesNothing) {
  Map map;
  map.SetAt(ChainKey(0), MakeRecord(1));
  EXPECT_FALSE(map.RemoveKey(ChainKey(1)));     // same bucket, other key
  EXPECT_FALSE(map.RemoveKey(KeyInBucket(2)));  // empty bucket
  EXPECT_EQ(map.count(), 1);
  EXPECT_EQ(map.Lookup(ChainKey(0))->id, 1u);
}

// One row per walk over a single bucket's chain. The chain holds `chainLength` keys; the
// key inserted last is at position 1. `position` 0 means a key of that bucket that is absent.
enum class Walk { kLookup, kGetOrInsert, kRemoveKey };

struct ChainRow : NamedRow {
  int chainLength;
  int position;
  Walk walk;
  int warnings;
};

class PtrMapChainTest : public ::testing::TestWithParam<ChainRow> {};

TEST_P(PtrMapChainTest, WarnsOncePerNodeVisitedBeyondTheThirtieth) {
  const ChainRow& row = GetParam();
  Map map;
  // Building the chain warns too (each insertion walks it); that output is not checked.
  StdoutOf([&] {
    for (int i = 0; i < row.chainLength; ++i) {
      map.SetAt(ChainKey(i), MakeRecord(static_cast<uint32_t>(i)));
    }
  });
  const int index = row.position == 0 ? row.chainLength : row.chainLength - row.position;
  const void* key = ChainKey(index);
  bool found = false;
  const std::string out = StdoutOf([&] {
    switch (row.walk) {
      case Walk::kLookup: {
        const Record* value = map.Lookup(key);
        found = value != nullptr;
        if (found) {
          EXPECT_EQ(value->id, static_cast<uint32_t>(index));
        }
        break;
      }
      case Walk::kGetOrInsert: {
        const int before = map.count();
        const Record& value = map.GetOrInsert(key);
        found = map.count() == before;
        EXPECT_EQ(value.id, found ? static_cast<uint32_t>(index) : 0u);
        break;
      }
      case Walk::kRemoveKey:
        found = map.RemoveKey(key);
        break;
    }
  });
  EXPECT_EQ(out, Warnings(row.warnings));
  EXPECT_EQ(found, row.position != 0);
}

INSTANTIATE_TEST_SUITE_P(
    Walks, PtrMapChainTest,
    ::testing::Values(
        ChainRow{"NewestOf40IsFirst", 40, 1, Walk::kLookup, 0},  // later insert found first
        ChainRow{"Position30", 30, 30, Walk::kLookup, 0},        // the last quiet position
        ChainRow{"Position31", 31, 31, Walk::kLookup, 1},        // the first warning
        ChainRow{"Position31Of40", 40, 31, Walk::kLookup, 1},    // the walk stops at the match
        ChainRow{"OldestOf40", 40, 40, Walk::kLookup, 10},       // matching node counts too
        ChainRow{"MissOn30", 30, 0, Walk::kLookup, 0},
        ChainRow{"MissOn40", 40, 0, Walk::kLookup, 10},  // every node of the chain
        ChainRow{"GetOrInsertPosition33", 40, 33, Walk::kGetOrInsert, 3},
        ChainRow{"GetOrInsertMissOn35", 35, 0, Walk::kGetOrInsert, 5},  // then inserts
        ChainRow{"RemoveOldestOf40", 40, 40, Walk::kRemoveKey, 0},      // removal never warns
        ChainRow{"RemoveMissOn40", 40, 0, Walk::kRemoveKey, 0}),
    RowName());

}  // namespace
}  // namespace zbtest
