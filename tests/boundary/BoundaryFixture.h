// Shared fixture of the boundary tests: every test starts and ends with an empty instance
// registry and no host allocator installed, so tests stay independent.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "Include/ZBAV_H/QV_ZbavMemMgr.h"
#include "exports/InstanceRegistry.h"

namespace zbtest {

class BoundaryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_zbavMemMgr.m_lpSink = nullptr;
    ASSERT_EQ(RecordedCount(), 0) << "an earlier test left modules recorded";
  }
  void TearDown() override {
    g_zbavMemMgr.m_lpSink = nullptr;
    EXPECT_EQ(RecordedCount(), 0) << "the test left modules recorded";
  }

  static int32_t RecordedCount() {
    zbbase::AutoLock lock(&g_instanceRegistry);
    return g_instanceRegistry.count();
  }
  static bool RegistryHasBuckets() {
    zbbase::AutoLock lock(&g_instanceRegistry);
    return g_instanceRegistry.HasBuckets();
  }
  // A copy of the record stored under `object`; false when there is none.
  static bool RecordOf(const void* object, InstanceRecord& out) {
    zbbase::AutoLock lock(&g_instanceRegistry);
    const InstanceRecord* record = g_instanceRegistry.Lookup(object);
    if (record == nullptr) return false;
    out = *record;
    return true;
  }
  // Removes a record made with a fake address, which must never be destroyed.
  static void ForgetRecord(const void* object) {
    zbbase::AutoLock lock(&g_instanceRegistry);
    g_instanceRegistry.RemoveKey(object);
  }
};

}  // namespace zbtest
