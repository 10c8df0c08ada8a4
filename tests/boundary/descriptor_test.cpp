// The "IZBAvChildModule" descriptor: allocator installation, module type identifiers and
// the fixed answers of its reserved slots.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <vector>

#include "Include/ZBAV_H/QV_ZbavMemMgr.h"
#include "exports/zbexports.h"
#include "tests/boundary/BoundaryFixture.h"
#include "tests/support/CaseNames.h"
#include "tests/support/TestSupport.h"

namespace zbtest {
namespace {

constexpr uint32_t kUntouchedId = 0xCAFEF00D;
constexpr uint8_t kUntouchedFlag = 0x5A;
constexpr uint32_t kBufferBytes = 640;

IZBAvChildModule* Descriptor() {
  return static_cast<IZBAvChildModule*>(zbCreateInstance(ZB_NAME_CHILD_MODULE));
}

using DescriptorTest = BoundaryTest;

TEST_F(DescriptorTest, InstalledAllocatorServesAlloc) {
  CountingAllocator host;
  Descriptor()->SetMemAllocator(&host);
  EXPECT_EQ(g_zbavMemMgr.m_lpSink, &host);
  void* buffer = g_zbavMemMgr.Alloc(kBufferBytes);
  EXPECT_NE(buffer, nullptr);
  EXPECT_EQ(host.sizes(), (std::vector<uint32_t>{kBufferBytes}));
  g_zbavMemMgr.Free(buffer);
  EXPECT_EQ(host.live(), 0u);
}

TEST_F(DescriptorTest, NullAllocatorKeepsTheInstalledOne) {
  CountingAllocator host;
  Descriptor()->SetMemAllocator(&host);
  Descriptor()->SetMemAllocator(nullptr);
  EXPECT_EQ(g_zbavMemMgr.m_lpSink, &host);
  void* buffer = g_zbavMemMgr.Alloc(kBufferBytes);
  EXPECT_EQ(host.sizes(), (std::vector<uint32_t>{kBufferBytes}));
  g_zbavMemMgr.Free(buffer);
  EXPECT_EQ(host.live(), 0u);
}

TEST_F(DescriptorTest, NullAllocatorBeforeAnyInstallsNothing) {
  Descriptor()->SetMemAllocator(nullptr);
  EXPECT_EQ(g_zbavMemMgr.m_lpSink, nullptr);
}

TEST_F(DescriptorTest, LaterAllocatorReplacesTheEarlierOne) {
  CountingAllocator first;
  CountingAllocator second;
  Descriptor()->SetMemAllocator(&first);
  Descriptor()->SetMemAllocator(&second);
  void* buffer = g_zbavMemMgr.Alloc(kBufferBytes);
  EXPECT_TRUE(first.sizes().empty());
  EXPECT_EQ(second.sizes(), (std::vector<uint32_t>{kBufferBytes}));
  g_zbavMemMgr.Free(buffer);
  EXPECT_EQ(second.live(), 0u);
  EXPECT_EQ(second.badFrees(), 0);
}

// One row per name: the identifier it yields, or 0 when it has none.
struct InfoRow : NamedRow {
  const char* interfaceName;
  uint32_t typeId;
};

class ModuleInfoTest : public ::testing::TestWithParam<InfoRow> {};

TEST_P(ModuleInfoTest, AnswersExactNamesOnlyAndLeavesOutputsAloneOtherwise) {
  uint32_t typeId = kUntouchedId;
  uint8_t flag = kUntouchedFlag;
  const bool known = GetParam().typeId != 0;
  EXPECT_EQ(Descriptor()->GetModuleInfo(GetParam().interfaceName, &typeId, &flag), known);
  EXPECT_EQ(typeId, known ? GetParam().typeId : kUntouchedId);
  EXPECT_EQ(flag, known ? 0 : kUntouchedFlag);
}

INSTANTIATE_TEST_SUITE_P(
    Names, ModuleInfoTest,
    ::testing::Values(InfoRow{"Encoder", "QV_AdpcmEncoder", 0xD008B},  // 13 << 16 | ADPCM type 139
                      InfoRow{"Decoder", "QV_AdpcmDecoder", 0xE008B},  // 14 << 16 | ADPCM type 139
                      InfoRow{"OneCharacterMore", "QV_AdpcmEncoderX", 0},
                      InfoRow{"Prefix", "QV_AdpcmEncode", 0},
                      InfoRow{"TrailingBlank", "QV_AdpcmDecoder ", 0},
                      InfoRow{"CaseMatters", "qv_adpcmdecoder", 0},
                      InfoRow{"DescriptorHasNoIdentifier", "IZBAvChildModule", 0},
                      InfoRow{"Empty", "", 0}),
    RowName());

TEST(ModuleInfoNullTest, NullArgumentsAreRefusedWithoutWriting) {
  IZBAvChildModule* descriptor = Descriptor();
  uint32_t typeId = kUntouchedId;
  uint8_t flag = kUntouchedFlag;
  EXPECT_FALSE(descriptor->GetModuleInfo(nullptr, &typeId, &flag));
  EXPECT_FALSE(descriptor->GetModuleInfo(ZB_NAME_ENCODER, nullptr, &flag));
  EXPECT_FALSE(descriptor->GetModuleInfo(ZB_NAME_ENCODER, &typeId, nullptr));
  EXPECT_EQ(typeId, kUntouchedId);
  EXPECT_EQ(flag, kUntouchedFlag);
}

struct ReservedArgs : NamedRow {
  int32_t a, b, c, d;
};

class ReservedSlotTest : public ::testing::TestWithParam<ReservedArgs> {};

TEST_P(ReservedSlotTest, AnswerFalseTrueTrueWhateverTheyAreGiven) {
  const ReservedArgs& args = GetParam();
  IZBAvChildModule* descriptor = Descriptor();
  EXPECT_FALSE(descriptor->ReservedQuery());
  EXPECT_TRUE(descriptor->ReservedCallA(args.a, args.b, args.c, args.d));
  EXPECT_TRUE(descriptor->ReservedCallB(args.a, args.b, args.c, args.d));
}

INSTANTIATE_TEST_SUITE_P(Arguments, ReservedSlotTest,
                         ::testing::Values(ReservedArgs{"Zeros", 0, 0, 0, 0},
                                           ReservedArgs{"SmallOfBothSigns", 1, -1, 2, -2},
                                           ReservedArgs{"Extremes", INT32_MIN, INT32_MAX, INT32_MIN, INT32_MAX}),
                         RowName());

}  // namespace
}  // namespace zbtest
