// Harness for module tests: a recording sink that copies every frame it is handed, a lossy
// link that drops chosen frames between two modules, PCM frame builders and a fixture
// that installs a counting host allocator and checks its balance after every test.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "Include/QV_Interface/zbav.h"
#include "Include/ZBAV_H/QV_ZbavMemMgr.h"
#include "codec/AdpcmBlock.h"
#include "tests/support/TestSupport.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mman.h>
#endif

namespace zbtest {

// What one HandleFrame call carried, copied during the call.
struct Received {
  const AvFrame* frame;
  const AvFrameInfo* info;
  uint8_t type;
  uint16_t kind;
  int32_t seq;
  int32_t timestamp;
  uint8_t flags;
  std::vector<uint8_t> payload;
};

// A sink module that records every frame and can run a hook or throw inside HandleFrame.
class RecordingSink : public AvSink {
 public:
  void* DeletingDestructor(unsigned int flags) override { return DestroyModule(this, flags); }
  bool AcceptsType(uint16_t) override { return true; }
  bool HandleFrame(AvSourceFace*, AvFrame* frame) override {
    Received r{frame, frame->info, frame->type, frame->kind, frame->info->seq,
               frame->info->timestamp, frame->info->flags,
               std::vector<uint8_t>(frame->data, frame->data + frame->len)};
    received.push_back(std::move(r));
    if (onFrame) onFrame(*frame);
    if (throwOnFrame != 0 && received.size() == throwOnFrame) throw std::runtime_error("sink");
    return true;
  }
  std::vector<Received> OfType(uint8_t type) const {
    std::vector<Received> out;
    for (const auto& r : received) {
      if (r.type == type) out.push_back(r);
    }
    return out;
  }

  std::vector<Received> received;
  std::function<void(const AvFrame&)> onFrame;  // runs inside HandleFrame, after the copy
  size_t throwOnFrame = 0;  // 1-based index of the frame whose HandleFrame throws; 0: never
};

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

template <typename Module>
struct ModuleDeleter {
  void operator()(Module* module) const { module->DeletingDestructor(kDeleteFreesMemory); }
};
template <typename Module>
using ModulePtr = std::unique_ptr<Module, ModuleDeleter<Module>>;

template <typename Module>
ModulePtr<Module> Make() {
  return ModulePtr<Module>(new Module());
}

inline void Connect(AvSourceFace* source, AvSinkFace* sink) { source->AddOutput(sink); }

// A PCM frame whose record, info and payload live as long as the object.
struct PcmFrame {
  AvFrameInfo info{};
  std::vector<uint8_t> payload;
  AvFrame frame{};

  PcmFrame(std::vector<uint8_t> bytes, int32_t seq, int32_t timestamp, uint8_t flags = AV_CLASS_MEDIA,
           uint16_t kind = AV_KIND_AUDIO, uint8_t type = AV_TYPE_PCM)
      : payload(std::move(bytes)) {
    info.seq = seq;
    info.timestamp = timestamp;
    info.flags = flags;
    frame.type = type;
    frame.kind = kind;
    frame.info = &info;
    frame.len = static_cast<uint32_t>(payload.size());
    frame.data = payload.empty() ? nullptr : payload.data();
  }
  PcmFrame(const PcmFrame&) = delete;
  PcmFrame& operator=(const PcmFrame&) = delete;
};

// `samples` of a deterministic tone-and-noise signal as little-endian 16-bit PCM; `phase`
// makes consecutive frames differ.
inline std::vector<uint8_t> TestPcm(size_t samples, uint32_t phase) {
  std::vector<uint8_t> bytes(samples * 2);
  uint32_t noise = 0x9E3779B9u ^ phase;
  for (size_t i = 0; i < samples; ++i) {
    noise = noise * 1664525u + 1013904223u;
    const double t = static_cast<double>(phase * samples + i);
    const double value = 9000.0 * std::sin(t * 0.05) + 3000.0 * std::sin(t * 0.31) +
                         static_cast<double>(static_cast<int32_t>(noise >> 20) - 2048);
    const auto sample = static_cast<int16_t>(value);
    bytes[2 * i] = static_cast<uint8_t>(static_cast<uint16_t>(sample) & 0xFF);
    bytes[2 * i + 1] = static_cast<uint8_t>(static_cast<uint16_t>(sample) >> 8);
  }
  return bytes;
}

// The ADPCM payload of `pcm`: one 84-byte block per whole 320-byte piece.
inline std::vector<uint8_t> EncodeBlocks(const std::vector<uint8_t>& pcm) {
  std::vector<uint8_t> out;
  for (size_t offset = 0; offset + kAdpcmPcmBytesPerBlock <= pcm.size(); offset += kAdpcmPcmBytesPerBlock) {
    AdpcmCodecState state{};
    state.channels = 1;
    state.pcmBytesPerBlock = kAdpcmPcmBytesPerBlock;
    uint8_t block[kAdpcmBlockBytes];
    const int32_t n = EncodeAdpcmBlock(state, block, pcm.data() + offset);
    out.insert(out.end(), block, block + n);
  }
  return out;
}

// Byte-wise XOR of `a` with `b`, over a's length; bytes past b's end count as zero.
inline std::vector<uint8_t> Xor(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  std::vector<uint8_t> out(a);
  for (size_t i = 0; i < out.size() && i < b.size(); ++i) out[i] ^= b[i];
  return out;
}

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
