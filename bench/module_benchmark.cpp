// Per-frame costs outside the codec kernel: the whole chain for one 20 ms frame against the
// transcription's chain (with the summary of the shared cases), the uncontended scoped
// lock, and registry lookups.
#include <benchmark/benchmark.h>

#include <vector>

#include "QV_Base/Src/QV_Locker.h"
#include "bench/GoogleBenchmarkCases.h"
#include "exports/InstanceRegistry.h"

namespace {

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

int main(int argc, char** argv) {
  const std::vector<zbbench::Case> cases = zbbench::ChainCases();
  return zbbench::RunWithGoogleBenchmark(cases, argc, argv);
}
