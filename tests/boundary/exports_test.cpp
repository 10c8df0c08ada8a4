// The five exports and the instance registry behind zbCreateInstance and zbDestroyInstance.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Include/ZBAV_H/QV_ZbavMemMgr.h"
#include "exports/AdpcmChildModule.h"
#include "exports/InstanceRegistry.h"
#include "exports/zbexports.h"
#include "tests/boundary/BoundaryFixture.h"
#include "tests/support/CaseNames.h"
#include "tests/support/StdoutCapture.h"
#include "tests/support/TestSupport.h"

namespace zbtest {
namespace {

constexpr size_t kNameBytes = ZB_INTERFACE_NAME_BYTES;
constexpr size_t kBufferBytes = 2 * kNameBytes;
constexpr char kUntouched = '#';
constexpr uint32_t kBuckets = 17;
constexpr uintptr_t kSameBucket = 272;    // 17 buckets of 16 bytes: next key of one bucket
constexpr uintptr_t kFakeBase = 0x50000;  // fake module addresses; never dereferenced
constexpr char kWarning[] = "warning: unreasonable hash key!\r\n";

const void* FakeModule(int i) {
  return reinterpret_cast<const void*>(kFakeBase + static_cast<uintptr_t>(i) * kSameBucket);
}

using ExportsTest = BoundaryTest;

TEST_F(ExportsTest, InitializeAnswersTrueAndUninitializeChangesNothing) {
  EXPECT_TRUE(zbInitialize());
  CountingAllocator allocator;
  g_zbavMemMgr.m_lpSink = &allocator;
  void* module = zbCreateInstance(ZB_NAME_ENCODER);
  ASSERT_NE(module, nullptr);
  zbUninitialize();
  EXPECT_EQ(RecordedCount(), 1);
  EXPECT_EQ(g_zbavMemMgr.m_lpSink, &allocator);
  EXPECT_TRUE(zbInitialize());
  zbDestroyInstance(module);
}

// One row per index: the name it yields, or null when it is refused.
struct NameRow : NamedRow {
  int32_t index;
  const char* interfaceName;
};

class InterfaceNameTest : public ::testing::TestWithParam<NameRow> {};

TEST_P(InterfaceNameTest, CopiesTheNameOrLeavesTheBufferAlone) {
  char buffer[kBufferBytes];
  std::memset(buffer, kUntouched, sizeof buffer);
  const bool ok = zbGetInterfaceName(GetParam().index, buffer);
  const char* name = GetParam().interfaceName;
  EXPECT_EQ(ok, name != nullptr);
  for (size_t i = 0; i < kBufferBytes; ++i) {
    const char expected = name != nullptr && i < kNameBytes ? name[i] : kUntouched;
    EXPECT_EQ(buffer[i], expected) << "byte " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Indices, InterfaceNameTest,
                         ::testing::Values(NameRow{"Encoder", 0, "QV_AdpcmEncoder"},  // with its zero
                                           NameRow{"Decoder", 1, "QV_AdpcmDecoder"},
                                           NameRow{"OnePastTheLast", 2, nullptr},
                                           NameRow{"MinusOne", -1, nullptr},
                                           NameRow{"Smallest", INT32_MIN, nullptr},
                                           NameRow{"Largest", INT32_MAX, nullptr}),
                         RowName());

TEST(InterfaceNameNullTest, NullBufferIsRefused) {
  EXPECT_FALSE(zbGetInterfaceName(0, nullptr));
  EXPECT_FALSE(zbGetInterfaceName(1, nullptr));
}

// Names that differ from an interface name in any way create nothing.
class RefusedNameTest : public BoundaryTest,
                        public ::testing::WithParamInterface<const char*> {};

TEST_P(RefusedNameTest, ReturnsNullAndRecordsNothing) {
  EXPECT_EQ(zbCreateInstance(GetParam()), nullptr);
  EXPECT_EQ(RecordedCount(), 0);
  EXPECT_FALSE(RegistryHasBuckets());
}

INSTANTIATE_TEST_SUITE_P(Names, RefusedNameTest,
                         ::testing::Values("QV_AdpcmEncoder ",   // trailing blank
                                           "qv_adpcmencoder",    // lower case
                                           "QV_AdpcmEncode",     // prefix
                                           "QV_AdpcmDecoderX",   // one more character
                                           " QV_AdpcmDecoder",   // leading blank
                                           "IZBAvChildModul",    // descriptor prefix
                                           "IZBAvChildModule2",  // descriptor plus one
                                           "izbavchildmodule", ""));

TEST_F(ExportsTest, NullNameReturnsNull) {
  EXPECT_EQ(zbCreateInstance(nullptr), nullptr);
  EXPECT_EQ(RecordedCount(), 0);
}

TEST_F(ExportsTest, DescriptorIsOneStaticObjectThatDestroyIgnores) {
  void* first = zbCreateInstance(ZB_NAME_CHILD_MODULE);
  void* second = zbCreateInstance(ZB_NAME_CHILD_MODULE);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first, second);
  EXPECT_EQ(first, static_cast<IZBAvChildModule*>(&g_adpcmChildModule));
  EXPECT_EQ(RecordedCount(), 0);
  zbDestroyInstance(first);
  // Still alive and answering.
  uint32_t typeId = 0;
  uint8_t flag = 1;
  EXPECT_TRUE(
      static_cast<IZBAvChildModule*>(first)->GetModuleInfo(ZB_NAME_ENCODER, &typeId, &flag));
  EXPECT_EQ(zbCreateInstance(ZB_NAME_CHILD_MODULE), first);
}

class ModuleLifecycleTest : public BoundaryTest,
                            public ::testing::WithParamInterface<const char*> {};

TEST_P(ModuleLifecycleTest, IsRecordedUnderItsAddressAndDestroyedOnce) {
  const char* name = GetParam();
  void* module = zbCreateInstance(name);
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(RecordedCount(), 1);
  InstanceRecord record{};
  ASSERT_TRUE(RecordOf(module, record));
  EXPECT_EQ(std::memcmp(record.name, name, kNameBytes), 0) << "name with its terminator";
  EXPECT_EQ(record.object, module);

  zbDestroyInstance(module);
  EXPECT_EQ(RecordedCount(), 0);
  EXPECT_FALSE(RecordOf(module, record));
  // A second destroy finds no record and does nothing (the sanitizer build would see a
  // second destruction).
  zbDestroyInstance(module);
  EXPECT_EQ(RecordedCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(Modules, ModuleLifecycleTest,
                         ::testing::Values(ZB_NAME_ENCODER, ZB_NAME_DECODER));

TEST_F(ExportsTest, ModulesAreDistinctAndDestroyedInAnyOrder) {
  std::vector<void*> modules{zbCreateInstance(ZB_NAME_ENCODER), zbCreateInstance(ZB_NAME_DECODER),
                             zbCreateInstance(ZB_NAME_ENCODER), zbCreateInstance(ZB_NAME_DECODER)};
  for (size_t i = 0; i < modules.size(); ++i) {
    ASSERT_NE(modules[i], nullptr);
    for (size_t j = 0; j < i; ++j) EXPECT_NE(modules[i], modules[j]);
  }
  EXPECT_EQ(RecordedCount(), static_cast<int32_t>(modules.size()));
  std::vector<bool> alive(modules.size(), true);
  for (size_t victim : {2, 0, 3, 1}) {
    zbDestroyInstance(modules[victim]);
    alive[victim] = false;
    for (size_t j = 0; j < modules.size(); ++j) {
      InstanceRecord record{};
      EXPECT_EQ(RecordOf(modules[j], record), alive[j]) << "module " << j;
    }
  }
  EXPECT_EQ(RecordedCount(), 0);
}

TEST_F(ExportsTest, ModuleDestroyedThroughEitherSlotZeroLeavesTheRegistry) {
  void* viaSink = zbCreateInstance(ZB_NAME_DECODER);
  void* viaSource = zbCreateInstance(ZB_NAME_ENCODER);
  ASSERT_NE(viaSink, nullptr);
  ASSERT_NE(viaSource, nullptr);
  EXPECT_EQ(SinkFaceOf(viaSink)->DeletingDestructor(kDeleteFreesMemory), viaSink);
  EXPECT_EQ(SourceFaceOf(viaSource)->DeletingDestructor(kDeleteFreesMemory), viaSource);
  EXPECT_EQ(RecordedCount(), 0);
  EXPECT_FALSE(RegistryHasBuckets());
  // Already destroyed: ignored, with no second destruction of the freed objects.
  zbDestroyInstance(viaSink);
  zbDestroyInstance(viaSource);
}

TEST_F(ExportsTest, UnrecordedAddressesAreIgnored) {
  void* module = zbCreateInstance(ZB_NAME_DECODER);
  ASSERT_NE(module, nullptr);
  int local = 0;
  zbDestroyInstance(nullptr);
  zbDestroyInstance(&local);
  zbDestroyInstance(static_cast<char*>(module) + 1);
  EXPECT_EQ(RecordedCount(), 1);
  InstanceRecord record{};
  EXPECT_TRUE(RecordOf(module, record));
  zbDestroyInstance(module);
}

TEST_F(ExportsTest, LastDestroyFreesTheBucketsAndTheNextCreateRebuildsThem) {
  EXPECT_FALSE(RegistryHasBuckets());
  void* module = zbCreateInstance(ZB_NAME_ENCODER);
  EXPECT_TRUE(RegistryHasBuckets());
  zbDestroyInstance(module);
  EXPECT_FALSE(RegistryHasBuckets());
  EXPECT_EQ(g_instanceRegistry.BlockCount(), 0);
  EXPECT_EQ(g_instanceRegistry.bucketCount(), kBuckets);
  module = zbCreateInstance(ZB_NAME_DECODER);
  EXPECT_TRUE(RegistryHasBuckets());
  EXPECT_EQ(g_instanceRegistry.bucketCount(), kBuckets);
  zbDestroyInstance(module);
}

TEST_F(ExportsTest, RecordingTheSameAddressAgainOverwrites) {
  RecordInstance(ZB_NAME_ENCODER, const_cast<void*>(FakeModule(0)));
  RecordInstance(ZB_NAME_DECODER, const_cast<void*>(FakeModule(0)));
  EXPECT_EQ(RecordedCount(), 1);
  InstanceRecord record{};
  ASSERT_TRUE(RecordOf(FakeModule(0), record));
  EXPECT_STREQ(record.name, ZB_NAME_DECODER);
  ForgetRecord(FakeModule(0));
}

TEST_F(ExportsTest, LongBucketChainWarnsOnLaterLookups) {
  constexpr int kModules = 40;
  constexpr int kBeyondReasonable = kModules - 30;
  StdoutOf([] {
    for (int i = 0; i < kModules; ++i) {
      RecordInstance(ZB_NAME_ENCODER, const_cast<void*>(FakeModule(i)));
    }
  });
  EXPECT_EQ(RecordedCount(), kModules);
  std::string expected;
  for (int i = 0; i < kBeyondReasonable; ++i) expected += kWarning;
  // A miss walks the whole chain and is ignored; the oldest record sits at its end.
  EXPECT_EQ(StdoutOf([] { zbDestroyInstance(const_cast<void*>(FakeModule(kModules))); }), expected);
  EXPECT_EQ(RecordedCount(), kModules);
  InstanceRecord record{};
  EXPECT_EQ(StdoutOf([&] { EXPECT_TRUE(RecordOf(FakeModule(0), record)); }), expected);
  EXPECT_EQ(StdoutOf([&] { EXPECT_TRUE(RecordOf(FakeModule(kModules - 1), record)); }), "");
  for (int i = 0; i < kModules; ++i) ForgetRecord(FakeModule(i));
  EXPECT_FALSE(RegistryHasBuckets());
}

TEST_F(ExportsTest, RecordsOfOtherNamesAreNeitherDestroyedNorRemoved) {
  RecordInstance("QV_Other", const_cast<void*>(FakeModule(1)));
  zbDestroyInstance(const_cast<void*>(FakeModule(1)));  // would crash if it reached slot 0
  EXPECT_EQ(RecordedCount(), 1);
  ForgetRecord(FakeModule(1));
}

TEST_F(ExportsTest, RecordWithoutObjectIsRemovedWithoutDestroying) {
  InstanceRecord record{};
  std::memcpy(record.name, ZB_NAME_ENCODER, kNameBytes);
  record.object = nullptr;
  {
    zbbase::AutoLock lock(&g_instanceRegistry);
    g_instanceRegistry.SetAt(FakeModule(2), record);
  }
  zbDestroyInstance(const_cast<void*>(FakeModule(2)));
  EXPECT_EQ(RecordedCount(), 0);
}

}  // namespace
}  // namespace zbtest
