// zbhost: loads the plug-in library, streams audio through its encoder, a lossy link and
// its decoder, block by block, and reports what survived; or lists what the library offers.
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <limits>
#include <new>
#include <random>

#include <fmt/format.h>

#include "host/app/Options.h"
#include "host/base/HostError.h"
#include "host/base/Stopwatch.h"
#include "host/io/AdpcmWavWriter.h"
#include "host/io/AudioOutput.h"
#include "host/io/AudioWriter.h"
#include "host/io/FileName.h"
#include "host/io/InputStream.h"
#include "host/io/OutputFile.h"
#include "host/library/Inspect.h"
#include "host/report/FrameLog.h"
#include "host/report/Plot.h"
#include "host/report/Progress.h"
#include "host/report/Report.h"
#include "host/stream/Stream.h"

namespace zbhost {

namespace {

constexpr int kJsonIndent = 2;

// A JSON document as text; any text in it that is not valid UTF-8 (names are shown valid,
// library texts may not be) has its bad bytes replaced rather than failing the run.
template <typename Json>
std::string JsonText(const Json& json) {
  return json.dump(kJsonIndent, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::string LibraryPath(const HostOptions& options) {
  return options.library.empty() ? DefaultLibraryPath() : options.library;
}

// Writes a report to `out` and makes sure it got there.
void Print(std::ostream& out, const std::string& text, const char* what) {
  out << text;
  out.flush();
  if (!out) {
    throw HostError(kExitOutput, fmt::format("cannot write {}: {}", what,
                                             errno != 0 ? std::strerror(errno) : "output error"));
  }
}

int Inspect(const HostOptions& options) {
  const ZbLibrary library(LibraryPath(options));
  const LibraryInspection inspection = InspectLibrary(library);
  if (options.json) {
    Print(std::cout, JsonText(JsonInspection(inspection)), "the listing");
  } else {
    Print(std::cout, PlainInspection(inspection), "the listing");
  }
  return kExitOk;
}

// The columns of a run: the run as asked alone; with --compare, the run as asked (parity on,
// no concealment: --compare allows neither --no-parity nor --conceal) and then the others;
// with --compare-encoders, the run as asked in each of two encoder modes. With -o FILE each
// column's audio goes to a file of its own, named by the column's suffix.
struct Column {
  std::string label;
  bool parity;
  bool conceal;
  ZbEncoderMode encoder;
  std::string suffix;  // inserted before the output's extension; empty for the run as asked
};
struct CompareColumn {
  const char* label;
  bool parity;
  bool conceal;
  const char* suffix;
};
constexpr char kAskedLabel[] = "parity";
// "parity, concealed" is what a real receiver does: repair what parity can, conceal the rest.
constexpr CompareColumn kOtherColumns[] = {{"parity, concealed", true, true, "parity-concealed"},
                                           {"no parity", false, false, "no-parity"},
                                           {"no parity, concealed", false, true, "no-parity-concealed"}};

std::vector<Column> ColumnsOf(const HostOptions& options) {
  const StreamSettings& asked = options.stream;
  if (options.encoders) {
    const auto [first, second] = *options.encoders;
    return {{fmt::format("{} encoder", NameOf(first)), asked.parity, asked.conceal, first, ""},
            {fmt::format("{} encoder", NameOf(second)), asked.parity, asked.conceal, second,
             NameOf(second)}};
  }
  std::vector<Column> columns = {{kAskedLabel, asked.parity, asked.conceal, asked.encoder, ""}};
  if (!options.compare) return columns;
  for (const CompareColumn& column : kOtherColumns) {
    columns.push_back({column.label, column.parity, column.conceal, asked.encoder, column.suffix});
  }
  return columns;
}

// "out.wav" with suffix "no-parity": "out.no-parity.wav".
std::string ColumnPath(const std::string& path, const std::string& suffix) {
  const size_t slash = path.find_last_of('/');
  const size_t dot = path.find_last_of('.');
  const bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
  if (!hasExtension) return path + "." + suffix;
  return path.substr(0, dot) + "." + suffix + path.substr(dot);
}

// Every target of the run, opened and checked before any work.
struct Targets {
  std::vector<OutputFile> audio;  // one per column written
  AudioContainer container;
  OutputFile frames;
  OutputFile adpcm;
  OutputFile plot;
  PlotFormat plotFormat = PlotFormat::Svg;

  bool UsesStandardOutput() const {
    for (const OutputFile& file : audio) {
      if (file.IsStandardOutput()) return true;
    }
    return frames.IsStandardOutput() || adpcm.IsStandardOutput() || plot.IsStandardOutput();
  }
};

Targets OpenTargets(const HostOptions& options, const std::vector<Column>& columns,
                    const Console& console) {
  Targets targets;
  std::vector<TakenFile> taken;
  if (options.input) TakeInput(*options.input, taken);
  if (options.plot) targets.plotFormat = PlotFormatFor(*options.plot);
  if (options.output) {
    targets.container = ContainerFor(*options.output);
    targets.audio.push_back(OutputFile::Open(*options.output, "the audio output", taken, true));
    // Each other column (--compare, --compare-encoders) gets a file beside the output; a
    // stream or a device takes the run as asked alone.
    if (targets.audio.front().IsFile()) {
      for (const Column& column : columns) {
        if (column.suffix.empty()) continue;
        targets.audio.push_back(OutputFile::Open(ColumnPath(*options.output, column.suffix),
                                                 fmt::format("the {} output", column.label), taken,
                                                 true));
      }
    }
  }
  if (options.frames)
    targets.frames = OutputFile::Open(*options.frames, "the frame table", taken, false);
  if (options.adpcm) targets.adpcm = OutputFile::Open(*options.adpcm, "the ADPCM output", taken, true);
  if (options.plot) targets.plot = OutputFile::Open(*options.plot, "the plot", taken, false);
  for (const OutputFile* file : {&targets.frames, &targets.adpcm, &targets.plot}) {
    for (const std::string& note : file->notes()) console.Warn(note);
  }
  for (const OutputFile& file : targets.audio) {
    for (const std::string& note : file.notes()) console.Warn(note);
  }
  return targets;
}

constexpr char kSilentInput[] =
    "the input is silent: SNR, STOI and LSD against it are undefined";

// Against digital silence (or stereo in antiphase, mixed to mono) no figure of error or
// intelligibility is defined: the decoder's idle noise of a step or two would read as one.
void ForgetInputFigures(Figures& figures) {
  constexpr double kUndefined = std::numeric_limits<double>::quiet_NaN();
  figures.snrInputDb = kUndefined;
  figures.speechVsInput.snrDb = kUndefined;
  figures.speechVsInput.segmentalSnrDb = kUndefined;
  figures.speechVsInput.lostLsdDb = kUndefined;
  figures.speechVsInput.stoi = kUndefined;
  // Intelligibility needs speech in the reference: the lossless decode of silence has none.
  figures.speechVsLossless.stoi = kUndefined;
}

// A picture's range must start within the input: beyond its end it would show nothing.
void CheckPlotRange(const std::optional<PlotRange>& range, double inputSeconds) {
  if (range && range->start >= inputSeconds) {
    throw HostError(kExitUsage, fmt::format("--plot-range starts at {:g} s, after the input's end at "
                                            "{:.2f} s", range->start, inputSeconds));
  }
}

// A library that refused frames, leaked buffers or freed foreign ones fails the run.
void CheckLibrary(const std::vector<LossyRun>& runs, const AllocatorCounters& allocator) {
  for (const LossyRun& run : runs) {
    if (run.result.refusedByEncoder > 0) {
      throw HostError(kExitLibraryFault,
                      fmt::format("the encoder refused {} PCM frames", run.result.refusedByEncoder));
    }
  }
  if (allocator.live > 0 || allocator.foreignFrees > 0) {
    throw HostError(kExitLibraryFault,
                    fmt::format("the library leaked {} frame buffers and freed {} it never got",
                                allocator.live, allocator.foreignFrees));
  }
}

std::string RenderReport(const HostOptions& options, const RunDescription& run,
                         const std::vector<LossyRun>& runs, const AllocatorCounters& allocator) {
  const LossyRun& asked = runs.front();
  if (runs.size() > 1) {
    return options.json ? JsonText(JsonComparison(run, runs, allocator))
                        : PlainComparison(run, runs);
  }
  return options.json ? JsonText(JsonReport(run, asked.result, asked.figures, allocator))
                      : PlainReport(run, asked.result, asked.figures, allocator);
}

// What was run, as far as it is known before the work: the input, the rates, the library
// and the settings as asked, a random link's seed drawn.
RunDescription DescribeRun(const HostOptions& options, const InputStream& input) {
  RunDescription run;
  run.input = input.inputName();
  run.inputFormat = input.inputFormat();
  run.inputRate = input.inputRate();
  run.inputChannels = input.inputChannels();
  run.layout.rate = input.streamRate();
  run.outputRate = options.outputRate != 0 ? options.outputRate : run.inputRate;
  run.library = DisplayName(LibraryPath(options));
  run.stream = options.stream;
  run.showTiming = options.verbosity == Verbosity::Verbose;
  if (run.stream.link.IsRandom()) {
    run.stream.link.seed = options.seed ? *options.seed : std::random_device{}();
  }
  return run;
}

// A length known before the work is checked now; any other once the input has ended.
void CheckDeclaredLength(const HostOptions& options, const InputStream& input) {
  if (input.declaredSamples() > 0) {
    const double declared = static_cast<double>(input.declaredSamples()) / input.inputRate();
    CheckPlotRange(options.plotRange, options.seconds > 0 ? std::min(declared, options.seconds) : declared);
  }
}

std::vector<LossyRun> RunsOf(const std::vector<Column>& columns) {
  std::vector<LossyRun> runs;
  for (const Column& column : columns) {
    runs.push_back({column.label, column.parity, column.conceal, column.encoder, {}, {}, {}});
  }
  return runs;
}

// The columns' settings, all seeing the same link with its seed. The run as asked hands what
// its encoder sends to `adpcm`, when there is one.
std::vector<StreamSettings> SettingsOf(const std::vector<Column>& columns,
                                       const StreamSettings& asked, AdpcmWavWriter* adpcm) {
  std::vector<StreamSettings> settings;
  for (const Column& column : columns) {
    StreamSettings s = asked;
    s.parity = column.parity;
    s.conceal = column.conceal;
    s.encoder = column.encoder;
    if (adpcm && settings.empty()) {
      s.link.onSent = [adpcm](const AvFrame& frame) {
        if (frame.type == AV_TYPE_ADPCM) adpcm->Add(frame.data, frame.len);
      };
    }
    settings.push_back(s);
  }
  return settings;
}

// One output per audio target, started before the work, so a container that cannot carry
// the rate is found now.
std::vector<std::unique_ptr<AudioOutput>> OpenOutputs(Targets& targets, RunDescription& run,
                                                      std::vector<LossyRun>& runs) {
  std::vector<std::unique_ptr<AudioOutput>> outputs;
  for (size_t i = 0; i < targets.audio.size(); ++i) {
    outputs.push_back(std::make_unique<AudioOutput>(targets.audio[i], targets.container,
                                                    run.layout.rate, run.outputRate));
    runs[i].output = DisplayName(targets.audio[i].path());
  }
  if (!outputs.empty()) {
    run.output = DisplayName(targets.audio.front().path());
    run.outputFormat = targets.container.name;
  }
  return outputs;
}

std::unique_ptr<FrameTable> OpenFrameTable(Targets& targets, const LinkSettings& link) {
  if (!targets.frames.IsOpen()) return nullptr;
  return std::make_unique<FrameTable>(targets.frames, FrameTableFormatFor(targets.frames.path()),
                                      link.IsRandom() ? std::optional<uint64_t>(link.seed)
                                                      : std::nullopt);
}

std::unique_ptr<PlotTrace> StartTrace(const Targets& targets, const HostOptions& options,
                                      const std::vector<LossyRun>& runs) {
  if (!targets.plot.IsOpen()) return nullptr;
  std::vector<std::string> labels;
  for (const LossyRun& column : runs) labels.push_back(column.label);
  // Encoder modes differ in coding error, which only a comparison with the input shows.
  return std::make_unique<PlotTrace>(labels, options.plotRange,
                                     options.encoders ? PlotReference::Input : PlotReference::Lossless);
}

// The library with both interfaces, lending the host's allocator.
void PrepareLibrary(const ZbLibrary& library, HostAllocator& allocator) {
  library.RequireInterface(ZB_NAME_ENCODER);
  library.RequireInterface(ZB_NAME_DECODER);
  library.Descriptor()->SetMemAllocator(&allocator);
}

// Where every final frame goes: each column's audio output (the first columns', one per
// audio target) and speech score, and the frame table and plot trace when asked for.
struct FrameSinks {
  std::vector<std::unique_ptr<AudioOutput>> outputs;
  std::unique_ptr<FrameTable> table;
  std::unique_ptr<PlotTrace> trace;
  std::vector<std::unique_ptr<SpeechScore>> speech;
  std::vector<FrameRow> rows;
  bool inputHeard = false;  // a sample of the input other than zero came by

  void StartScores(size_t columns, int32_t rate) {
    rows.resize(columns);
    const int32_t frameSamples = FrameLayout::For(rate, 0).frameSamples;
    for (size_t c = 0; c < columns; ++c) {
      speech.push_back(std::make_unique<SpeechScore>(rate, frameSamples));
    }
  }

  void Take(const FrameView& view, Timing& timing) {
    if (!inputHeard) {
      inputHeard = std::any_of(view.input, view.input + view.length, [](int16_t s) { return s != 0; });
    }
    const bool wantRows = table || trace;
    for (size_t c = 0; c < speech.size(); ++c) {
      const int16_t* decoded = view.columns[c].frame.samples;
      if (c < outputs.size()) outputs[c]->Write(decoded, view.length, timing.resampling, timing.writing);
      const FrameOutcome outcome = view.columns[c].frame.outcome;
      std::optional<double> lsd;
      {
        Stopwatch watch(timing.figures);
        lsd = speech[c]->Add(view.input, view.lossless[c], decoded, view.length,
                             outcome == FrameOutcome::Lost || outcome == FrameOutcome::Concealed);
      }
      if (wantRows) {
        rows[c] = MakeFrameRow(view.index, view.columns[c], view.lossless[c], view.length);
        rows[c].lsdDb = lsd;
      }
    }
    {
      Stopwatch watch(timing.writing);
      if (table) table->Add(rows.front());
    }
    Stopwatch watch(timing.plot);
    if (trace) trace->Add(view, rows);
  }
};

void StreamInput(InputStream& input, StreamPipeline& stream, ProgressBar& progress,
                 Timing& timing) {
  const ProgressFn streaming = progress.Phase("streaming");
  std::vector<int16_t> block;
  while (input.Next(block, timing.reading, timing.resampling)) {
    stream.Push(block.data(), block.size());
    if (streaming) streaming(input.inputSamples(), input.declaredSamples());
  }
  stream.Finish();
  progress.Finish();
}

// An input that made no sample, or ends before the plot's range starts, fails the run.
void CheckStreamed(const RunDescription& run, int64_t streamedSamples,
                   const std::optional<PlotRange>& plotRange) {
  if (streamedSamples == 0) {
    throw HostError(kExitInput, fmt::format("'{}' is too short to hold a sample at {} Hz",
                                            run.input, run.layout.rate));
  }
  CheckPlotRange(plotRange, static_cast<double>(run.inputSamples) / run.inputRate);
}

// The input's damage, its silence and loss-file entries beyond its end: said, and kept for
// the report.
void CollectWarnings(const HostOptions& options, const InputStream& input, bool inputHeard,
                     const Console& console, RunDescription& run) {
  run.warnings = input.warnings();
  // Damaged input is said even in a quiet run: the output is not what the input promised.
  for (const std::string& warning : run.warnings) console.Alert(warning);
  if (!inputHeard) {
    console.Warn(kSilentInput);
    run.warnings.push_back(kSilentInput);
  }
  const std::string beyond = DescribeEntriesBeyond(options.stream.link.loss, run.layout.frameCount);
  if (!beyond.empty()) {
    console.Warn(beyond);
    run.warnings.push_back(beyond);
  }
}

// The audio's tail, the picture, and the ends of the frame table and the ADPCM file.
void FinishTargets(const RunDescription& run, int64_t streamedSamples, FrameSinks& sinks,
                   AdpcmWavWriter* adpcm, Targets& targets, Timing& timing) {
  // Written at the input's own rate, the output is exactly as long as the input, so the two
  // line up sample for sample.
  const int64_t outputLength =
      run.outputRate == run.inputRate
          ? run.inputSamples
          : std::llround(static_cast<double>(streamedSamples) * run.outputRate / run.layout.rate);
  for (const std::unique_ptr<AudioOutput>& output : sinks.outputs) {
    output->Finish(outputLength, timing.resampling, timing.writing);
  }
  std::string picture;
  if (sinks.trace) {
    Stopwatch watch(timing.plot);
    picture = DrawPlot(run, *sinks.trace, targets.plotFormat, targets.plot.path());
  }
  Stopwatch watch(timing.writing);
  if (sinks.table) sinks.table->Finish();
  if (adpcm) adpcm->Finish();
  if (sinks.trace) targets.plot.Write(picture);
}

// Each column's counts and figures, its speech scores finished; the run's timing closed.
void FinishFigures(const StreamPipeline& stream, FrameSinks& sinks, Clock::time_point started,
                   RunDescription& run, std::vector<LossyRun>& runs) {
  run.timing.library = stream.librarySeconds();
  std::vector<SpeechFigures> speechVsInput(runs.size());
  std::vector<SpeechFigures> speechVsLossless(runs.size());
  {
    Stopwatch watch(run.timing.figures);
    for (size_t c = 0; c < runs.size(); ++c) {
      speechVsInput[c] = sinks.speech[c]->FinishVsInput();
      speechVsLossless[c] = sinks.speech[c]->FinishVsLossless();
      run.timing.figuresAlongside += sinks.speech[c]->stoiSeconds();
    }
  }
  run.timing.total = SecondsSince(started);
  for (size_t c = 0; c < runs.size(); ++c) {
    runs[c].result = stream.column(c);
    // Only the run as asked is timed end to end, reading to writing.
    runs[c].figures = ComputeFigures(runs[c].result, speechVsInput[c].snrDb,
                                     speechVsLossless[c].snrDb, run.layout,
                                     stream.losslessSeconds(), c == 0 ? run.timing.total : 0);
    runs[c].figures.speechVsInput = speechVsInput[c];
    runs[c].figures.speechVsLossless = speechVsLossless[c];
    if (!sinks.inputHeard) ForgetInputFigures(runs[c].figures);
  }
}

void CommitTargets(Targets& targets) {
  for (OutputFile& file : targets.audio) file.Commit();
  targets.frames.Commit();
  targets.adpcm.Commit();
  targets.plot.Commit();
}

// Streams the input through every chain, writes the targets as frames become final,
// commits them, then reports.
int Stream(const HostOptions& options) {
  const Clock::time_point started = Clock::now();
  // A file-size limit makes a write fail (and the run say so) rather than end the program.
  signal(SIGXFSZ, SIG_IGN);
  ProgressBar progress(options.verbosity != Verbosity::Quiet && ProgressBar::Wanted());
  const Console console(options.verbosity, progress);
  const std::vector<Column> columns = ColumnsOf(options);
  Targets targets = OpenTargets(options, columns, console);

  InputStream input(options.input, options.raw, options.rate, options.seconds,
                    [&console](const std::string& note) { console.Note(note); });
  RunDescription run = DescribeRun(options, input);
  CheckDeclaredLength(options, input);

  // The encoder's stream as the run as asked sends it, before the link.
  std::unique_ptr<AdpcmWavWriter> adpcm;
  if (targets.adpcm.IsOpen()) {
    adpcm = std::make_unique<AdpcmWavWriter>(targets.adpcm, run.layout.rate);
  }
  std::vector<LossyRun> runs = RunsOf(columns);
  const std::vector<StreamSettings> settings = SettingsOf(columns, run.stream, adpcm.get());
  FrameSinks sinks;
  sinks.outputs = OpenOutputs(targets, run, runs);
  sinks.table = OpenFrameTable(targets, run.stream.link);
  sinks.trace = StartTrace(targets, options, runs);

  HostAllocator allocator;  // outlives the library, which keeps its address until unloaded
  console.Note(fmt::format("loading {}", run.library));
  const ZbLibrary library(LibraryPath(options));
  PrepareLibrary(library, allocator);

  sinks.StartScores(runs.size(), run.layout.rate);
  auto pipeline = std::make_unique<StreamPipeline>(
      library, run.layout.rate, settings, [&](const FrameView& view) { sinks.Take(view, run.timing); });
  StreamPipeline& stream = *pipeline;
  console.Note(fmt::format("streaming {} Hz audio", run.layout.rate));
  StreamInput(input, stream, progress, run.timing);

  run.inputSamples = input.inputSamples();
  run.layout = stream.layout();
  console.Note(fmt::format("streamed {} frames", run.layout.frameCount));
  CheckStreamed(run, stream.samples(), options.plotRange);
  CollectWarnings(options, input, sinks.inputHeard, console, run);
  FinishTargets(run, stream.samples(), sinks, adpcm.get(), targets, run.timing);
  FinishFigures(stream, sinks, started, run, runs);
  // The modules go before the frame buffers are counted: what they still held is returned.
  pipeline.reset();
  // -q silences the words, not a JSON report that was asked for. The report is made before
  // any target takes its result, so that nothing is replaced by a run that then fails.
  const bool report = options.verbosity != Verbosity::Quiet || options.json;
  const std::string text = report ? RenderReport(options, run, runs, allocator.counters()) : "";
  CommitTargets(targets);
  if (!sinks.outputs.empty()) {
    console.Note(fmt::format("wrote {} ({}, {} Hz)", run.output, run.outputFormat, run.outputRate));
  }
  if (report) Print(targets.UsesStandardOutput() ? std::cerr : std::cout, text, "the report");
  CheckLibrary(runs, allocator.counters());
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
  } catch (const std::bad_alloc&) {
    std::cerr << "zbhost: out of memory\n";
    return kExitHostFault;
  } catch (const std::exception& error) {
    std::cerr << "zbhost: " << error.what() << '\n';
    return kExitHostFault;
  }
}
