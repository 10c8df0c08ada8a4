// zbhost end to end: a 44.1 kHz stereo WAV of speech-like audio through the program and back
// to a 44.1 kHz WAV, as a user runs it. Each case runs the program once per iteration and
// reports its speed in multiples of real time and its peak resident memory, for a 10-minute
// and a one-hour input: the memory must not grow with the input's length.
#include <benchmark/benchmark.h>
#include <sndfile.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "host/io/SpeechSignal.h"

namespace {

constexpr int kRate = 44100;
constexpr int kChannels = 2;
constexpr int kPieceSeconds = 600;  // the input is this much signal, repeated
constexpr double kKilobytesPerMegabyte = 1024.0;

std::string Scratch(const std::string& name) {
  return (std::filesystem::temp_directory_path() / ("zbhost_bench_" + name)).string();
}

// A WAV of `seconds` (a multiple of the piece), made once per length and kept.
std::string Input(int seconds) {
  const std::string path = Scratch(std::to_string(seconds) + "s.wav");
  if (std::filesystem::exists(path)) return path;
  const std::vector<int16_t> mono = zbhost::GenerateSpeechLike(kRate, kPieceSeconds);
  std::vector<int16_t> stereo(mono.size() * kChannels);
  for (size_t i = 0; i < mono.size(); ++i) stereo[2 * i] = stereo[2 * i + 1] = mono[i];
  SF_INFO info{};
  info.samplerate = kRate;
  info.channels = kChannels;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  const std::string partial = path + ".partial";
  SNDFILE* file = sf_open(partial.c_str(), SFM_WRITE, &info);
  if (file == nullptr) return {};
  for (int piece = 0; piece < seconds / kPieceSeconds; ++piece) {
    sf_writef_short(file, stereo.data(), static_cast<sf_count_t>(mono.size()));
  }
  sf_close(file);
  std::filesystem::rename(partial, path);
  return path;
}

// Runs zbhost on `input`; returns its exit status and peak resident memory in kilobytes.
int RunZbhost(const std::string& input, const std::string& output, long& peakKilobytes) {
  const pid_t pid = fork();
  if (pid == 0) {
    execl(ZBHOST_BINARY, ZBHOST_BINARY, input.c_str(), "-o", output.c_str(), "-q",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  struct rusage usage {};
  wait4(pid, &status, 0, &usage);
  peakKilobytes = usage.ru_maxrss;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void EndToEnd(benchmark::State& state) {
  const int seconds = static_cast<int>(state.range(0));
  const std::string input = Input(seconds);
  const std::string output = Scratch("out.wav");
  long peak = 0;
  for (auto _ : state) {
    const auto started = std::chrono::steady_clock::now();
    if (RunZbhost(input, output, peak) != 0) {
      state.SkipWithError("zbhost failed");
      break;
    }
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
  }
  std::remove(output.c_str());
  state.counters["x_real_time"] = benchmark::Counter(
      static_cast<double>(seconds) * static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate);
  state.counters["peak_rss_MB"] = static_cast<double>(peak) / kKilobytesPerMegabyte;
}

BENCHMARK(EndToEnd)->Arg(kPieceSeconds)->Arg(6 * kPieceSeconds)->UseManualTime()->Iterations(3)
    ->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
