// zbhost end to end: a 44.1 kHz stereo WAV of speech-like audio through the program and back
// to a 44.1 kHz WAV, as a user runs it, and the same with a lossy link drawn as a PNG plot.
// Each case runs the program once per iteration and reports its speed in multiples of real
// time (by the clock, and by the CPU time of all its threads), its peak resident memory, for
// a 10-minute and a one-hour input (the memory must not grow with the input's length), and
// where the time went, from the program's own report: reading and resampling, the library,
// the speech figures (what the stream waited for, and STOI's thread alongside it), writing,
// and the plot.
#include <benchmark/benchmark.h>
#include <sndfile.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

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

// What one run of zbhost reported and used.
struct RunResult {
  int status = -1;
  long peakKilobytes = 0;
  double cpuSeconds = 0;  // user and system, the program's every thread
  nlohmann::json report;  // its --json report; null when it printed none
};

double Seconds(const timeval& time) {
  constexpr double kMicrosecondsPerSecond = 1e6;
  return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / kMicrosecondsPerSecond;
}

// Runs zbhost on `input` with `extra` options, its JSON report read from its standard output.
RunResult RunZbhost(const std::string& input, const std::string& output,
                    const std::vector<std::string>& extra) {
  std::vector<std::string> args = {ZBHOST_BINARY, input, "-o", output, "-q", "--json"};
  args.insert(args.end(), extra.begin(), extra.end());
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  RunResult result;
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return result;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(pipeFds[1], STDOUT_FILENO);
    close(pipeFds[0]);
    close(pipeFds[1]);
    execv(ZBHOST_BINARY, argv.data());
    _exit(127);
  }
  close(pipeFds[1]);
  std::string text;
  char buffer[4096];
  for (ssize_t got; (got = read(pipeFds[0], buffer, sizeof buffer)) > 0;) {
    text.append(buffer, static_cast<size_t>(got));
  }
  close(pipeFds[0]);
  int status = 0;
  struct rusage usage {};
  wait4(pid, &status, 0, &usage);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.peakKilobytes = usage.ru_maxrss;
  result.cpuSeconds = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
  result.report = nlohmann::json::parse(text, nullptr, false);
  return result;
}

// The parts of the run's time the report names, summed over the iterations. Reading and
// resampling go together: both bring the input to the stream's rate (and the output back).
struct Split {
  double readingAndResampling = 0;
  double library = 0;
  double figures = 0;           // on the stream's thread: what the stream waited for them
  double figuresAlongside = 0;  // STOI's own thread, alongside the stream
  double writing = 0;
  double plot = 0;
  double total = 0;

  void Add(const nlohmann::json& seconds) {
    readingAndResampling += seconds.value("reading", 0.0) + seconds.value("resampling", 0.0);
    library += seconds.value("library", 0.0);
    figures += seconds.value("figures", 0.0);
    figuresAlongside += seconds.value("figures_alongside", 0.0);
    writing += seconds.value("writing", 0.0);
    plot += seconds.value("plot", 0.0);
    total += seconds.value("total", 0.0);
  }
};

// One case: `seconds` of input, with a PNG plot of a lossy run when `plot` is set.
void EndToEnd(benchmark::State& state, bool plot) {
  const int seconds = static_cast<int>(state.range(0));
  const std::string input = Input(seconds);
  const std::string output = Scratch("out.wav");
  const std::string picture = Scratch("plot.png");
  const std::vector<std::string> extra =
      plot ? std::vector<std::string>{"--loss", "random:5", "--seed", "1", "--plot", picture}
           : std::vector<std::string>{};
  long peak = 0;
  double cpu = 0;
  Split split;
  for (auto _ : state) {
    const auto started = std::chrono::steady_clock::now();
    const RunResult run = RunZbhost(input, output, extra);
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    if (run.status != 0 || !run.report.is_object()) {
      state.SkipWithError("zbhost failed");
      break;
    }
    peak = std::max(peak, run.peakKilobytes);
    cpu += run.cpuSeconds;
    split.Add(run.report["seconds"]);
  }
  std::remove(output.c_str());
  std::remove(picture.c_str());
  const double audio = static_cast<double>(seconds) * static_cast<double>(state.iterations());
  state.counters["x_real_time"] = benchmark::Counter(audio, benchmark::Counter::kIsRate);
  state.counters["x_real_time_cpu"] = cpu > 0 ? audio / cpu : 0;
  state.counters["peak_rss_MB"] = static_cast<double>(peak) / kKilobytesPerMegabyte;
  const auto average = [](double sum) { return benchmark::Counter(sum, benchmark::Counter::kAvgIterations); };
  state.counters["s_read_resample"] = average(split.readingAndResampling);
  state.counters["s_library"] = average(split.library);
  state.counters["s_figures"] = average(split.figures);
  state.counters["s_figures_alongside"] = average(split.figuresAlongside);
  state.counters["s_writing"] = average(split.writing);
  state.counters["s_plot"] = average(split.plot);
  state.counters["s_total"] = average(split.total);
  state.counters["figures_share"] = split.total > 0 ? split.figures / split.total : 0;
}

BENCHMARK_CAPTURE(EndToEnd, plain, false)->Arg(kPieceSeconds)->Arg(6 * kPieceSeconds)
    ->UseManualTime()->Iterations(3)->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(EndToEnd, lossy_png_plot, true)->Arg(kPieceSeconds)->Arg(6 * kPieceSeconds)
    ->UseManualTime()->Iterations(3)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
