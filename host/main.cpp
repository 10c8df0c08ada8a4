// zbhost: loads the plug-in library, streams audio through its encoder, a lossy link and
// its decoder, and reports what survived; or lists what the library offers.
#include <cstdio>
#include <iostream>
#include <random>

#include <fmt/format.h>

#include "host/AudioFile.h"
#include "host/HostError.h"
#include "host/LibraryListing.h"
#include "host/Options.h"
#include "host/Progress.h"
#include "host/Report.h"
#include "host/SpeechSignal.h"
#include "host/Stream.h"

namespace zbhost {

namespace {

constexpr int kJsonIndent = 2;

int ListOffer(const HostOptions& options) {
  const ZbLibrary library(options.library.empty() ? DefaultLibraryPath() : options.library);
  const LibraryListing listing = ListLibrary(library);
  if (options.json) {
    std::cout << JsonListing(listing).dump(kJsonIndent) << '\n';
  } else {
    std::cout << PlainListing(listing);
  }
  return kExitOk;
}

int Stream(const HostOptions& options) {
  RunDescription run;
  std::vector<int16_t> input;
  if (options.input.empty()) {
    input = GenerateSpeechLike(options.rate, options.seconds);
  } else {
    InputAudio audio = ReadAudioFile(options.input, options.rate);
    input = std::move(audio.samples);
    run.input = options.input;
    run.inputFormat =
        fmt::format("{}, {} Hz, {} channel{}", audio.format, audio.fileRate, audio.fileChannels,
                    audio.fileChannels == 1 ? "" : "s");
  }

  StreamSettings settings;
  settings.parity = options.parity;
  settings.conceal = options.conceal;
  settings.link.loss = options.loss;
  settings.link.duplicatePercent = options.duplicatePercent;
  settings.link.reorderPercent = options.reorderPercent;
  if (settings.link.IsRandom()) {
    settings.link.seed = options.seed ? *options.seed : std::random_device{}();
  }

  run.library = options.library.empty() ? DefaultLibraryPath() : options.library;
  run.layout = FrameLayout::For(options.rate, input.size());
  run.inputSeconds = static_cast<double>(input.size()) / options.rate;
  run.link = DescribeLossPlan(options.loss);
  run.parity = options.parity;
  run.conceal = options.conceal;
  run.random = settings.link.IsRandom();
  run.seed = settings.link.seed;
  run.duplicatePercent = options.duplicatePercent;
  run.reorderPercent = options.reorderPercent;
  run.output = options.output;

  // The allocator outlives the library: the library keeps its address until unloaded.
  HostAllocator allocator;
  StreamResult result;
  std::vector<int16_t> lossless;
  {
    const ZbLibrary library(run.library);
    library.RequireInterface(ZB_NAME_ENCODER);
    library.RequireInterface(ZB_NAME_DECODER);
    library.Descriptor()->SetMemAllocator(&allocator);
    ProgressBar progress(ProgressBar::Wanted(run.inputSeconds));
    result = RunLossyStream(library, input, options.rate, settings,
                            [&progress](int32_t done, int32_t total) { progress.Update(done, total); });
    progress.Finish();
    lossless = RunLosslessStream(library, input, options.rate);
  }

  const Figures figures = ComputeFigures(result, input, lossless, run.layout, allocator.counters());
  if (!options.output.empty()) WriteWavFile(options.output, result.output, options.rate);
  if (options.json) {
    std::cout << JsonReport(run, figures).dump(kJsonIndent) << '\n';
  } else {
    std::cout << PlainReport(run, figures);
  }
  std::cout.flush();

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
    return options->command == HostOptions::Command::List ? ListOffer(*options) : Stream(*options);
  } catch (const HostError& error) {
    std::cerr << "zbhost: " << error.what() << '\n';
    return error.status();
  } catch (const std::exception& error) {
    std::cerr << "zbhost: " << error.what() << '\n';
    return kExitLibraryFault;
  }
}
