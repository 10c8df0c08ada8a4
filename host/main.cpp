// zbhost: loads the plug-in library, streams audio through its encoder, a lossy link and
// its decoder, and reports what survived; or lists what the library offers.
#include <chrono>
#include <cstdio>
#include <iostream>
#include <random>

#include <fmt/format.h>

#include "host/AudioFile.h"
#include "host/FrameLog.h"
#include "host/HostError.h"
#include "host/Inspect.h"
#include "host/Options.h"
#include "host/OutputFile.h"
#include "host/Plot.h"
#include "host/Progress.h"
#include "host/Report.h"
#include "host/SpeechSignal.h"
#include "host/Stream.h"

namespace zbhost {

namespace {

constexpr int kJsonIndent = 2;

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

int Inspect(const HostOptions& options) {
  const ZbLibrary library(options.library.empty() ? DefaultLibraryPath() : options.library);
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
    run.inputSeconds = static_cast<double>(signal.size()) / rate;
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
  run.inputSeconds = static_cast<double>(audio.mono.size()) / audio.fileRate;
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

LinkSettings LinkFor(const HostOptions& options, const LossPlan& loss, uint64_t seed) {
  LinkSettings link;
  link.loss = loss;
  link.duplicatePercent = options.duplicatePercent;
  link.reorderPercent = options.reorderPercent;
  link.seed = seed;
  return link;
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

int Stream(const HostOptions& options) {
  const Clock::time_point started = Clock::now();
  Targets targets = OpenTargets(options);
  std::ostream& reportStream = targets.UsesStandardOutput() ? std::cerr : std::cout;

  ProgressBar progress(options.verbosity != Verbosity::Quiet && ProgressBar::Wanted());
  const Console console(options.verbosity, progress);
  RunDescription run;
  const std::vector<int16_t> input = LoadInput(options, console, progress, run);
  run.layout = FrameLayout::For(run.layout.rate, input.size());
  run.outputRate = options.outputRate != 0 ? options.outputRate : run.inputRate;
  if (targets.audio.IsOpen()) {
    // A container that cannot carry the output rate is found now, not after the work.
    EncodeAudio({}, run.outputRate, targets.container, targets.audio.path());
    run.output = targets.audio.path();
    run.outputFormat = targets.container.name;
  }
  const std::string beyond = DescribeEntriesBeyond(options.loss, run.layout.frameCount);
  if (!beyond.empty()) {
    console.Warn(beyond);
    run.warnings.push_back(beyond);
  }

  StreamSettings settings;
  settings.parity = options.parity;
  settings.conceal = options.conceal;
  settings.link = LinkFor(options, options.loss, 0);
  if (settings.link.IsRandom()) {
    settings.link.seed = options.seed ? *options.seed : std::random_device{}();
  }
  run.library = options.library.empty() ? DefaultLibraryPath() : options.library;
  run.loss = options.loss;
  run.parity = settings.parity;
  run.conceal = options.conceal;
  run.random = settings.link.IsRandom();
  run.seed = settings.link.seed;
  run.duplicatePercent = options.duplicatePercent;
  run.reorderPercent = options.reorderPercent;

  // The allocator outlives the library: the library keeps its address until unloaded.
  HostAllocator allocator;
  StreamResult result;
  LosslessResult lossless;
  std::vector<ComparedRun> compared;
  {
    console.Note(fmt::format("loading {}", run.library));
    const ZbLibrary library(run.library);
    library.RequireInterface(ZB_NAME_ENCODER);
    library.RequireInterface(ZB_NAME_DECODER);
    library.Descriptor()->SetMemAllocator(&allocator);
    console.Note(
        fmt::format("streaming {} frames of {} Hz audio", run.layout.frameCount, run.layout.rate));
    result = RunLossyStream(library, input, run.layout.rate, settings, progress.Phase("streaming"));
    lossless = RunLosslessStream(library, input, run.layout.rate);
    if (options.compare) {
      compared.push_back({"parity", true, false, {}});
      compared.push_back({"no parity", false, false, {}});
      compared.push_back({"no parity, concealed", false, true, {}});
      StreamSettings other = settings;
      other.link = LinkFor(options, SameDataLosses(result), settings.link.seed);
      other.parity = false;
      for (size_t column = 1; column < compared.size(); ++column) {
        other.conceal = compared[column].conceal;
        const StreamResult again =
            RunLossyStream(library, input, run.layout.rate, other, progress.Phase("comparing"));
        compared[column].figures =
            ComputeFigures(again, input, lossless.output, run.layout, allocator.counters(),
                           lossless.processingSeconds, 0);
      }
    }
  }

  // Files are written before the report, which then names any that failed.
  std::optional<HostError> writeError;
  try {
    if (targets.audio.IsOpen()) {
      console.Note(
          fmt::format("writing {} ({}, {} Hz)", run.output, run.outputFormat, run.outputRate));
      targets.audio.Write(EncodeAudio(DecodeForOutput(result.output, run, progress), run.outputRate,
                                      targets.container, targets.audio.path()));
    }
    if (targets.frames.IsOpen() || targets.plot.IsOpen()) {
      const std::vector<FrameRow> rows = FrameRows(result, lossless.output, run.layout);
      if (targets.frames.IsOpen()) {
        targets.frames.Write(WantsJsonLines(targets.frames.path()) ? FramesJsonLines(rows)
                                                                   : FramesCsv(rows));
      }
      if (targets.plot.IsOpen()) targets.plot.Write(PlotSvg(run, input, result.output, rows));
    }
  } catch (const HostError& error) {
    writeError = error;
  }
  progress.Finish();

  const Figures figures =
      ComputeFigures(result, input, lossless.output, run.layout, allocator.counters(),
                     lossless.processingSeconds, SecondsSince(started));
  if (options.verbosity != Verbosity::Quiet) {
    if (options.compare) {
      compared[0].figures = figures;
      if (options.json) {
        reportStream << JsonComparison(run, compared).dump(kJsonIndent) << '\n';
      } else {
        reportStream << PlainComparison(run, compared);
      }
    } else if (options.json) {
      reportStream << JsonReport(run, figures).dump(kJsonIndent) << '\n';
    } else {
      reportStream << PlainReport(run, figures);
    }
    reportStream.flush();
  }
  if (writeError) throw *writeError;

  if (result.refusedByEncoder > 0) {
    throw HostError(kExitLibraryFault,
                    fmt::format("the encoder refused {} PCM frames", result.refusedByEncoder));
  }
  if (allocator.counters().live > 0 || allocator.counters().foreignFrees > 0) {
    throw HostError(kExitLibraryFault,
                    fmt::format("the library leaked {} frame buffers and freed {} it never got",
                                allocator.counters().live, allocator.counters().foreignFrees));
  }
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
