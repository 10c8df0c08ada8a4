// zbhost: loads the plug-in library, streams audio through its encoder, a lossy link and
// its decoder, and reports what survived; or lists what the library offers.
#include <chrono>
#include <cstdio>
#include <iostream>
#include <random>

#include <fmt/format.h>

#include "host/io/AudioFile.h"
#include "host/report/FrameLog.h"
#include "host/app/HostError.h"
#include "host/library/Inspect.h"
#include "host/app/Options.h"
#include "host/io/OutputFile.h"
#include "host/report/Plot.h"
#include "host/report/Progress.h"
#include "host/report/Report.h"
#include "host/io/SpeechSignal.h"
#include "host/stream/Stream.h"

namespace zbhost {

namespace {

constexpr int kJsonIndent = 2;

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string LibraryPath(const HostOptions& options) {
  return options.library.empty() ? DefaultLibraryPath() : options.library;
}

int Inspect(const HostOptions& options) {
  const ZbLibrary library(LibraryPath(options));
  const LibraryInspection inspection = InspectLibrary(library);
  if (options.json) {
    std::cout << JsonInspection(inspection).dump(kJsonIndent) << '\n';
  } else {
    std::cout << PlainInspection(inspection);
  }
  return kExitOk;
}

// Every target of the run, opened and checked before any work.
struct Targets {
  OutputFile audio;
  AudioContainer container;
  OutputFile frames;
  OutputFile plot;

  bool UsesStandardOutput() const {
    return audio.IsStandardOutput() || frames.IsStandardOutput() || plot.IsStandardOutput();
  }
};

Targets OpenTargets(const HostOptions& options) {
  Targets targets;
  std::vector<TakenFile> taken;
  if (!options.input.empty()) TakeInput(options.input, taken);
  if (options.output) {
    targets.container = ContainerFor(*options.output);
    targets.audio = OutputFile::Open(*options.output, "the audio output", taken, true);
  }
  if (options.frames)
    targets.frames = OutputFile::Open(*options.frames, "the frame table", taken, false);
  if (options.plot) targets.plot = OutputFile::Open(*options.plot, "the plot", taken, false);
  return targets;
}

// The input at the stream rate, and its description in `run`.
std::vector<int16_t> LoadInput(const HostOptions& options, const Console& console,
                               ProgressBar& progress, RunDescription& run) {
  if (options.input.empty()) {
    const int32_t rate = options.rate != 0 ? options.rate : kDefaultRate;
    run.layout.rate = rate;
    run.inputRate = rate;
    run.inputChannels = 1;
    std::vector<int16_t> signal = GenerateSpeechLike(rate, options.seconds);
    run.inputSamples = static_cast<int64_t>(signal.size());
    return signal;
  }
  console.Note(fmt::format("reading {}", options.input));
  InputAudio audio = ReadAudioFile(options.input, progress.Phase("reading"));
  for (const std::string& warning : audio.warnings) console.Warn(warning);
  run.warnings = audio.warnings;
  run.input = options.input;
  run.inputFormat = audio.format;
  run.inputRate = audio.fileRate;
  run.inputChannels = audio.fileChannels;
  run.inputSamples = static_cast<int64_t>(audio.mono.size());
  // 8 kHz in stays 8 kHz: the stream follows the input when the library can carry its rate.
  const int32_t rate = options.rate != 0              ? options.rate
                       : IsStreamRate(audio.fileRate) ? audio.fileRate
                                                      : kDefaultRate;
  run.layout.rate = rate;
  if (rate != audio.fileRate)
    console.Note(fmt::format("resampling {} Hz to {} Hz", audio.fileRate, rate));
  std::vector<int16_t> input =
      ToPcm16(Resample(audio.mono, audio.fileRate, rate, progress.Phase("resampling")));
  if (input.empty()) {
    throw HostError(kExitInput, fmt::format("'{}' is too short to hold a sample at {} Hz",
                                            options.input, rate));
  }
  return input;
}

// A run built from the command line before the library is loaded: every target open and
// checked, the input at the stream rate, and the description that running and reporting read.
struct BuiltRun {
  Targets targets;
  std::vector<int16_t> input;
  RunDescription run;
};

BuiltRun BuildRun(const HostOptions& options, const Console& console, ProgressBar& progress) {
  BuiltRun built;
  built.targets = OpenTargets(options);
  RunDescription& run = built.run;
  built.input = LoadInput(options, console, progress, run);
  run.layout = FrameLayout::For(run.layout.rate, built.input.size());
  run.outputRate = options.outputRate != 0 ? options.outputRate : run.inputRate;
  if (built.targets.audio.IsOpen()) {
    // A container that cannot carry the output rate is found now, not after the work.
    EncodeAudio({}, run.outputRate, built.targets.container, built.targets.audio.path());
    run.output = built.targets.audio.path();
    run.outputFormat = built.targets.container.name;
  }
  const std::string beyond = DescribeEntriesBeyond(options.stream.link.loss, run.layout.frameCount);
  if (!beyond.empty()) {
    console.Warn(beyond);
    run.warnings.push_back(beyond);
  }
  run.library = LibraryPath(options);
  run.stream = options.stream;
  if (run.stream.link.IsRandom()) {
    run.stream.link.seed = options.seed ? *options.seed : std::random_device{}();
  }
  return built;
}

// The data frames a run's link dropped, as a list plan, so other runs lose the same ones.
LossPlan SameDataLosses(const StreamResult& result) {
  LossPlan plan;
  plan.kind = LossPlan::Kind::List;
  for (const auto& [seq, fate] : result.link.dataFates) {
    if (fate.dropped) plan.dropped.insert({AV_TYPE_ADPCM, seq});
  }
  return plan;
}

// --compare's columns after the run as asked, which has parity on and no concealment
// (--compare allows neither --no-parity nor --conceal).
struct OtherColumn {
  const char* label;
  bool parity;
  bool conceal;
};
constexpr char kAskedColumn[] = "parity";
constexpr OtherColumn kOtherColumns[] = {{"no parity", false, false},
                                         {"no parity, concealed", false, true}};

// What the library made of the input: the run as asked first, then with --compare the other
// columns, which lose the same data frames; and the lossless reference.
struct RunResults {
  std::vector<LossyRun> runs;
  LosslessResult lossless;
};

// `allocator` must outlive the library, which keeps its address until unloaded.
RunResults RunStreams(bool compare, const RunDescription& run, const std::vector<int16_t>& input,
                   HostAllocator& allocator, const Console& console, ProgressBar& progress) {
  console.Note(fmt::format("loading {}", run.library));
  const ZbLibrary library(run.library);
  library.RequireInterface(ZB_NAME_ENCODER);
  library.RequireInterface(ZB_NAME_DECODER);
  library.Descriptor()->SetMemAllocator(&allocator);
  console.Note(
      fmt::format("streaming {} frames of {} Hz audio", run.layout.frameCount, run.layout.rate));
  RunResults results;
  results.runs.push_back({kAskedColumn, run.stream.parity, run.stream.conceal,
                          RunLossyStream(library, input, run.layout.rate, run.stream,
                                         progress.Phase("streaming")),
                          {}});
  results.lossless = RunLosslessStream(library, input, run.layout.rate);
  if (compare) {
    StreamSettings other = run.stream;
    other.link.loss = SameDataLosses(results.runs.front().result);
    for (const OtherColumn& column : kOtherColumns) {
      other.parity = column.parity;
      other.conceal = column.conceal;
      results.runs.push_back(
          {column.label, column.parity, column.conceal,
           RunLossyStream(library, input, run.layout.rate, other, progress.Phase("comparing")),
           {}});
    }
  }
  return results;
}

// The decode at the output rate. Written at the input's own rate, it is exactly as long as
// the input, so the two line up sample for sample.
std::vector<int16_t> DecodeForOutput(const std::vector<int16_t>& decoded, const RunDescription& run,
                                     ProgressBar& progress) {
  if (run.outputRate == run.layout.rate) return decoded;
  std::vector<int16_t> out = ToPcm16(
      Resample(ToFloat(decoded), run.layout.rate, run.outputRate, progress.Phase("resampling")));
  const double length = static_cast<double>(decoded.size()) * run.outputRate / run.layout.rate;
  out.resize(run.outputRate == run.inputRate ? static_cast<size_t>(run.inputSamples)
                                             : static_cast<size_t>(std::llround(length)),
             0);
  return out;
}

// Writes the run as asked to the targets. A failure is returned, not thrown, so that the
// report still comes and the error after it names the file.
std::optional<HostError> WriteTargets(BuiltRun& built, const RunResults& results,
                                      const Console& console, ProgressBar& progress) {
  Targets& targets = built.targets;
  const RunDescription& run = built.run;
  const StreamResult& result = results.runs.front().result;
  try {
    if (targets.audio.IsOpen()) {
      console.Note(
          fmt::format("writing {} ({}, {} Hz)", run.output, run.outputFormat, run.outputRate));
      targets.audio.Write(EncodeAudio(DecodeForOutput(result.output, run, progress), run.outputRate,
                                      targets.container, targets.audio.path()));
    }
    if (targets.frames.IsOpen() || targets.plot.IsOpen()) {
      const std::vector<FrameRow> rows = FrameRows(result, results.lossless.output, run.layout);
      if (targets.frames.IsOpen()) {
        targets.frames.Write(WantsJsonLines(targets.frames.path()) ? FramesJsonLines(rows)
                                                                   : FramesCsv(rows));
      }
      if (targets.plot.IsOpen()) {
        targets.plot.Write(PlotSvg(run, built.input, result.output, rows));
      }
    }
  } catch (const HostError& error) {
    return error;
  }
  return std::nullopt;
}

// Works out every run's figures; only the run as asked is timed end to end, reading to
// writing, which took `wallSeconds`.
void WorkOutFigures(RunResults& results, const BuiltRun& built, double wallSeconds) {
  for (LossyRun& lossy : results.runs) {
    const bool asked = &lossy == &results.runs.front();
    lossy.figures = ComputeFigures(lossy.result, built.input, results.lossless.output,
                                   built.run.layout, results.lossless.processingSeconds,
                                   asked ? wallSeconds : 0);
  }
}

void Report(const HostOptions& options, const RunDescription& run, const RunResults& results,
            const AllocatorCounters& allocator, std::ostream& out) {
  const LossyRun& asked = results.runs.front();
  if (options.compare) {
    if (options.json) {
      out << JsonComparison(run, results.runs, allocator).dump(kJsonIndent) << '\n';
    } else {
      out << PlainComparison(run, results.runs);
    }
  } else if (options.json) {
    out << JsonReport(run, asked.result, asked.figures, allocator).dump(kJsonIndent) << '\n';
  } else {
    out << PlainReport(run, asked.result, asked.figures, allocator);
  }
  out.flush();
}

// A library that refused frames, leaked buffers or freed foreign ones fails the run.
void CheckLibrary(const StreamResult& result, const AllocatorCounters& allocator) {
  if (result.refusedByEncoder > 0) {
    throw HostError(kExitLibraryFault,
                    fmt::format("the encoder refused {} PCM frames", result.refusedByEncoder));
  }
  if (allocator.live > 0 || allocator.foreignFrees > 0) {
    throw HostError(kExitLibraryFault,
                    fmt::format("the library leaked {} frame buffers and freed {} it never got",
                                allocator.live, allocator.foreignFrees));
  }
}

// Builds the run, streams it, writes the files, then reports.
int Stream(const HostOptions& options) {
  const Clock::time_point started = Clock::now();
  ProgressBar progress(options.verbosity != Verbosity::Quiet && ProgressBar::Wanted());
  const Console console(options.verbosity, progress);
  BuiltRun built = BuildRun(options, console, progress);

  HostAllocator allocator;
  RunResults results =
      RunStreams(options.compare, built.run, built.input, allocator, console, progress);

  const std::optional<HostError> writeError = WriteTargets(built, results, console, progress);
  progress.Finish();
  WorkOutFigures(results, built, SecondsSince(started));
  if (options.verbosity != Verbosity::Quiet) {
    Report(options, built.run, results, allocator.counters(),
           built.targets.UsesStandardOutput() ? std::cerr : std::cout);
  }
  if (writeError) throw *writeError;
  CheckLibrary(results.runs.front().result, allocator.counters());
  return kExitOk;
}

}  // namespace

}  // namespace zbhost

int main(int argc, char** argv) {
  using namespace zbhost;
  try {
    const std::optional<HostOptions> options = ParseCommandLine(argc, argv);
    if (!options) return kExitOk;
    return options->command == HostOptions::Command::Inspect ? Inspect(*options) : Stream(*options);
  } catch (const HostError& error) {
    std::cerr << "zbhost: " << error.what() << '\n';
    return error.status();
  } catch (const std::exception& error) {
    std::cerr << "zbhost: " << error.what() << '\n';
    return kExitLibraryFault;
  }
}
