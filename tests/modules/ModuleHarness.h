// Harness for module tests: unreadable memory for payloads that must not be read, and
// fixtures that install a counting host allocator and check its balance after every test,
// one of them with a fresh module whose outputs go to a recording sink. Frame builders,
// the recording sink and the lossy link are in tests/support.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "Include/QV_Interface/zbav.h"
#include "Include/ZBAV_H/QV_ZbavMemMgr.h"
#include "tests/support/LossyLink.h"
#include "tests/support/ModuleFrames.h"
#include "tests/support/RecordingSink.h"
#include "tests/support/TestSupport.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mman.h>
#endif

namespace zbtest {

// Address space that is reserved but never readable: a payload pointer into it shows any
// read of the payload as a crash, whatever length the frame claims.
class NoAccessRange {
 public:
  static constexpr size_t kBytes = 1 << 16;
#if defined(_WIN32)
  NoAccessRange() : m_base(VirtualAlloc(nullptr, kBytes, MEM_RESERVE, PAGE_NOACCESS)) {}
  ~NoAccessRange() { VirtualFree(m_base, 0, MEM_RELEASE); }
#else
  NoAccessRange() : m_base(mmap(nullptr, kBytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)) {}
  ~NoAccessRange() { munmap(m_base, kBytes); }
#endif
  NoAccessRange(const NoAccessRange&) = delete;
  NoAccessRange& operator=(const NoAccessRange&) = delete;
  uint8_t* data() const { return static_cast<uint8_t*>(m_base); }

 private:
  void* m_base;
};

// Installs a counting allocator for each test and checks every buffer came back.
class ModuleTest : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_EQ(allocator.live(), 0u) << "frame buffers not given back";
    EXPECT_EQ(allocator.badFrees(), 0);
  }

  CountingAllocator allocator;

 private:
  AllocatorScope m_installed{&allocator};
};

// A fresh `Module` whose outputs go to one recording sink.
template <typename Module>
class ModuleIntoSinkTest : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    module = Make<Module>();
    sink = Make<RecordingSink>();
    Connect(module.get(), sink.get());
  }
  void TearDown() override {
    module.reset();
    sink.reset();
    ModuleTest::TearDown();
  }
  bool Handle(AvFrame* frame) { return static_cast<AvSinkFace*>(module.get())->HandleFrame(nullptr, frame); }

  ModulePtr<Module> module;
  ModulePtr<RecordingSink> sink;
};

}  // namespace zbtest
