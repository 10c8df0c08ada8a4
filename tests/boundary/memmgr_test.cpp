// ZbavMemMgr: Alloc and Free through the installed host allocator, and the two assertions
// on a missing allocator and a zero-byte request.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "Include/ZBAV_H/QV_ZbavMemMgr.h"
#include "tests/boundary/BoundaryFixture.h"
#include "tests/support/TestSupport.h"

namespace zbtest {
namespace {

constexpr uint32_t kRequestBytes = 178;  // any non-zero size
const ReportedAssertion kNoAllocator{"m_lpSink != NULL", "QV_ZbavMemMgr", 40};
const ReportedAssertion kZeroLength{"len != 0", "QV_ZbavMemMgr", 41};

using MemMgrTest = BoundaryTest;

TEST_F(MemMgrTest, AllocReturnsTheHostsBufferWithoutReports) {
  AssertRecorder recorder;
  CountingAllocator host;
  g_zbavMemMgr.m_lpSink = &host;
  void* buffer = g_zbavMemMgr.Alloc(kRequestBytes);
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(host.sizes(), (std::vector<uint32_t>{kRequestBytes}));
  EXPECT_EQ(host.live(), 1u);
  g_zbavMemMgr.Free(buffer);
  EXPECT_EQ(host.live(), 0u);
  EXPECT_EQ(host.badFrees(), 0);
  EXPECT_TRUE(recorder.reports().empty());
}

TEST_F(MemMgrTest, AllocWithoutAllocatorReportsAndReturnsNull) {
  AssertRecorder recorder;
  EXPECT_EQ(g_zbavMemMgr.Alloc(kRequestBytes), nullptr);
  EXPECT_EQ(recorder.reports(), (std::vector<ReportedAssertion>{kNoAllocator}));
}

TEST_F(MemMgrTest, ZeroBytesWithoutAllocatorReportsBoth) {
  AssertRecorder recorder;
  EXPECT_EQ(g_zbavMemMgr.Alloc(0), nullptr);
  EXPECT_EQ(recorder.reports(), (std::vector<ReportedAssertion>{kNoAllocator, kZeroLength}));
}

TEST_F(MemMgrTest, ZeroBytesReportsAndStillAsksTheHost) {
  AssertRecorder recorder;
  CountingAllocator host;
  g_zbavMemMgr.m_lpSink = &host;
  void* buffer = g_zbavMemMgr.Alloc(0);
  EXPECT_EQ(recorder.reports(), (std::vector<ReportedAssertion>{kZeroLength}));
  EXPECT_EQ(host.sizes(), (std::vector<uint32_t>{0}));
  EXPECT_NE(buffer, nullptr) << "what the host returned is passed on";
  g_zbavMemMgr.Free(buffer);
  EXPECT_EQ(host.live(), 0u);
}

TEST_F(MemMgrTest, HostRefusalIsPassedOnWithoutReports) {
  AssertRecorder recorder;
  CountingAllocator host;
  host.SetFailing(true);
  g_zbavMemMgr.m_lpSink = &host;
  EXPECT_EQ(g_zbavMemMgr.Alloc(kRequestBytes), nullptr);
  EXPECT_EQ(host.sizes(), (std::vector<uint32_t>{kRequestBytes}));
  EXPECT_TRUE(recorder.reports().empty());
}

TEST_F(MemMgrTest, FreeOfNullIsIgnored) {
  AssertRecorder recorder;
  CountingAllocator host;
  g_zbavMemMgr.m_lpSink = &host;
  g_zbavMemMgr.Free(nullptr);
  EXPECT_EQ(host.badFrees(), 0) << "the host was handed a null pointer";
  EXPECT_TRUE(recorder.reports().empty());
}

TEST_F(MemMgrTest, FreeWithoutAllocatorIsIgnored) {
  AssertRecorder recorder;
  int notFromTheHost = 0;
  g_zbavMemMgr.Free(&notFromTheHost);
  EXPECT_TRUE(recorder.reports().empty());
  EXPECT_EQ(g_zbavMemMgr.m_lpSink, nullptr);
}

}  // namespace
}  // namespace zbtest
