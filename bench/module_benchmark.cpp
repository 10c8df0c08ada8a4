// Per-frame costs outside the codec kernel: one 20 ms frame through encoder and decoder,
// the uncontended scoped lock, and registry lookups.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "Include/ZBAV_H/QV_ZbavMemMgr.h"
#include "QV_Base/Src/QV_LockedContainers.h"
#include "QV_Base/Src/QV_Locker.h"
#include "exports/InstanceRegistry.h"
#include "modules/AdpcmDecoder.h"
#include "modules/AdpcmEncoder.h"

namespace {

class MallocAllocator : public IAvMemAlloc {
 public:
  void* Alloc(uint32_t size) override { return std::malloc(size); }
  void Free(void* ptr) override { std::free(ptr); }
};

class NullSink : public AvSink {
 public:
  void* DeletingDestructor(unsigned int flags) override { return DestroyModule(this, flags); }
  bool AcceptsType(uint16_t) override { return true; }
  bool HandleFrame(AvSourceFace*, AvFrame* frame) override {
    benchmark::DoNotOptimize(frame->data);
    ++frames;
    return true;
  }
  int64_t frames = 0;
};

constexpr size_t kFrameBytes = 640;  // 20 ms at 16 kHz

void BM_FrameThroughEncoderAndDecoder(benchmark::State& state) {
  MallocAllocator allocator;
  g_zbavMemMgr.m_lpSink = &allocator;
  auto* encoder = new AdpcmEncoder();
  auto* decoder = new AdpcmDecoder();
  auto* sink = new NullSink();
  encoder->AddOutput(decoder);
  decoder->AddOutput(sink);

  std::vector<uint8_t> pcm(kFrameBytes);
  for (size_t i = 0; i < kFrameBytes / 2; ++i) {
    const auto sample = static_cast<int16_t>(8000.0 * std::sin(static_cast<double>(i) * 0.07));
    pcm[2 * i] = static_cast<uint8_t>(static_cast<uint16_t>(sample) & 0xFF);
    pcm[2 * i + 1] = static_cast<uint8_t>(static_cast<uint16_t>(sample) >> 8);
  }
  AvFrameInfo info{};
  info.flags = AV_CLASS_MEDIA;
  AvFrame frame{AV_TYPE_PCM, 0, AV_KIND_AUDIO, &info, kFrameBytes, pcm.data()};
  for (auto _ : state) {
    info.timestamp += 20;
    ++info.seq;
    static_cast<AvSinkFace*>(encoder)->HandleFrame(nullptr, &frame);
  }
  if (sink->frames != static_cast<int64_t>(state.iterations())) state.SkipWithError("frames lost");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFrameBytes));

  encoder->DeletingDestructor(kDeleteFreesMemory);
  decoder->DeletingDestructor(kDeleteFreesMemory);
  sink->DeletingDestructor(kDeleteFreesMemory);
  g_zbavMemMgr.m_lpSink = nullptr;
}
BENCHMARK(BM_FrameThroughEncoderAndDecoder);

void BM_UncontendedAutoLock(benchmark::State& state) {
  zbbase::Locker lock;
  for (auto _ : state) {
    zbbase::AutoLock guard(&lock);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_UncontendedAutoLock);

void BM_RegistryLookup(benchmark::State& state) {
  InstanceRegistry registry;
  std::vector<InstanceRecord> records(static_cast<size_t>(state.range(0)));
  for (auto& record : records) registry.SetAt(&record, record);
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(registry.Lookup(&records[i]));
    i = (i + 1) % records.size();
  }
}
BENCHMARK(BM_RegistryLookup)->Arg(4)->Arg(16)->Arg(64);

}  // namespace
