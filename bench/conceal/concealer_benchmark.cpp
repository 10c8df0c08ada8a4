// The cost of concealment per lost 20 ms frame, at the worst: every other frame lost, so
// each fill starts a new pitch search, and each good frame after it is cross-faded. One
// iteration is one good frame and one concealed frame. Target: at most 20 us per concealed
// frame at 48 kHz (run a release build).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "conceal/Concealer.h"

namespace {

constexpr int kFramesPerSecond = 50;
constexpr int kSignalFrames = 100;
constexpr double kPitchHz = 140.0;
constexpr double kVibratoHz = 3.0;
constexpr double kVibratoDepth = 0.05;
constexpr int kHarmonics = 12;
constexpr double kAmplitude = 2500.0;
constexpr double kNoiseAmplitude = 300.0;

// A voiced sound with a wandering pitch and some noise: a pitch search finds work in it.
std::vector<int16_t> Voiced(int rate) {
  std::vector<int16_t> pcm(static_cast<std::size_t>(rate / kFramesPerSecond * kSignalFrames));
  std::mt19937 random(1);
  std::uniform_real_distribution<double> noise(-kNoiseAmplitude, kNoiseAmplitude);
  double phase = 0;
  for (std::size_t i = 0; i < pcm.size(); ++i) {
    const double t = static_cast<double>(i) / rate;
    phase += 2 * M_PI * kPitchHz * (1 + kVibratoDepth * std::sin(2 * M_PI * kVibratoHz * t)) / rate;
    double v = noise(random);
    for (int h = 1; h <= kHarmonics; ++h) v += kAmplitude / h * std::sin(h * phase);
    pcm[i] = static_cast<int16_t>(std::lround(v));
  }
  return pcm;
}

void BM_ConcealEveryOtherFrame(benchmark::State& state) {
  const int rate = static_cast<int>(state.range(0));
  const std::size_t n = static_cast<std::size_t>(rate / kFramesPerSecond);
  const std::vector<int16_t> signal = Voiced(rate);
  zbconceal::Concealer concealer(rate);
  std::vector<int16_t> good(n);
  std::vector<int16_t> fill(n);
  std::size_t at = 0;
  for (auto _ : state) {
    good.assign(signal.begin() + static_cast<std::ptrdiff_t>(at),
                signal.begin() + static_cast<std::ptrdiff_t>(at + n));
    concealer.AddGoodFrame(good.data(), n);
    concealer.ConcealFrame(fill.data(), n);
    benchmark::DoNotOptimize(fill.data());
    at = (at + 2 * n) % (signal.size() - n);
  }
  state.SetLabel("per concealed frame");
}
BENCHMARK(BM_ConcealEveryOtherFrame)->Arg(8000)->Arg(16000)->Arg(48000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
