// The command line: `zbhost [INPUT] [options]` streams audio through the library,
// `zbhost inspect [--library PATH]` lists what the library offers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "host/app/Console.h"
#include "host/io/AudioReader.h"
#include "host/report/Plot.h"
#include "host/stream/Stream.h"

namespace zbhost {

struct HostOptions {
  enum class Command { Stream, Inspect };
  Command command = Command::Stream;
  std::optional<std::string> input;  // the built-in signal when absent; "-": standard input
  std::optional<RawInput> raw;       // the input's form when it has no header (-t raw)
  double seconds = 0;    // length of the built-in signal, or the most of the input (0: all)
  std::optional<std::string> output;  // the decoded audio; "-": standard output
  std::optional<std::string> frames;  // the per-frame table (CSV, JSON Lines or JSON)
  std::optional<std::string> adpcm;   // the encoder's ADPCM stream, as an IMA ADPCM WAV file
  std::optional<std::string> plot;    // the picture, SVG or PNG
  std::optional<PlotRange> plotRange;  // the stretch the picture shows; all when absent
  std::string library;   // empty: the library built beside the program
  int32_t rate = 0;         // 0: the input's rate when it is a stream rate
  int32_t outputRate = 0;   // 0: the input's rate
  StreamSettings stream;         // as asked; a random link's seed is drawn for the run
  std::optional<uint64_t> seed;  // the seed asked for a random link
  bool compare = false;
  // --compare-encoders: the run as asked in two encoder modes, side by side.
  std::optional<std::pair<ZbEncoderMode, ZbEncoderMode>> encoders;
  bool json = false;
  Verbosity verbosity = Verbosity::Normal;
};

// Parses the command line. Returns nullopt when help or the version was asked for and
// printed; throws HostError (usage) for a bad option or value, (input) for an unreadable
// loss list file.
std::optional<HostOptions> ParseCommandLine(int argc, char** argv);

}  // namespace zbhost
