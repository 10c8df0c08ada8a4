// Harness for module tests: a recording sink that copies every frame it is handed, a lossy
// link that drops chosen frames between two modules, unreadable memory for payloads that
// must not be read, and a fixture that installs a counting host allocator and checks its
// balance after every test. Frame builders are in ModuleFrames.h.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "Include/QV_Interface/zbav.h"
#include "Include/ZBAV_H/QV_ZbavMemMgr.h"
#include "tests/modules/ModuleFrames.h"
#include "tests/support/TestSupport.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mman.h>
#endif

namespace zbtest {

// Passes frames from its sink face to its outputs, except those `drop` selects.
class LossyLink : public AvEncoderBase {
 public:
  using DropRule = std::function<bool(uint8_t type, int32_t seq)>;
  void* DeletingDestructor(unsigned int flags) override { return DestroyModule(this, flags); }
  uint16_t GetOutputType() override { return AV_TYPE_ADPCM; }
  bool AcceptsType(uint16_t) override { return true; }
  bool HandleFrame(AvSourceFace*, AvFrame* frame) override {
    if (drop && drop(frame->type, frame->info->seq)) return true;
    DeliverFrame(frame);
    if (duplicate) DeliverFrame(frame);
    return true;
  }
  DropRule drop;
  bool duplicate = false;  // deliver every passed frame twice
};

inline void Connect(AvSourceFace* source, AvSinkFace* sink) { source->AddOutput(sink); }

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
  void SetUp() override {
    m_previous = g_zbavMemMgr.m_lpSink;
    g_zbavMemMgr.m_lpSink = &allocator;
  }
  void TearDown() override {
    EXPECT_EQ(allocator.live(), 0u) << "frame buffers not given back";
    EXPECT_EQ(allocator.badFrees(), 0);
    g_zbavMemMgr.m_lpSink = m_previous;
  }

  CountingAllocator allocator;

 private:
  IAvMemAlloc* m_previous = nullptr;
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
