// Command-line parsing with CLI11.
#include "host/Options.h"

#include <cstdlib>
#include <iostream>
#include <stdexcept>
#include <string_view>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "host/HostError.h"
#include "host/SpeechSignal.h"
#include "host/Stream.h"

namespace zbhost {

namespace {

constexpr double kMaxBuiltInSeconds = 3600.0;
constexpr int32_t kHzPerKilohertz = 1000;
constexpr char kListCommand[] = "inspect";

// "16000", "16k" or "16kHz"; throws std::invalid_argument unless it is a stream rate.
int32_t ParseRate(const std::string& text) {
  std::string digits = text;
  int32_t scale = 1;
  for (const char* suffix : {"kHz", "khz", "k"}) {
    const std::string_view s(suffix);
    if (digits.size() > s.size() && digits.compare(digits.size() - s.size(), s.size(), s) == 0) {
      digits.resize(digits.size() - s.size());
      scale = kHzPerKilohertz;
      break;
    }
  }
  char* end = nullptr;
  const long value = std::strtol(digits.c_str(), &end, 10);
  const long rate = value * scale;
  if (digits.empty() || end != digits.c_str() + digits.size() ||
      !IsStreamRate(static_cast<int32_t>(rate)) || rate != static_cast<int32_t>(rate)) {
    throw std::invalid_argument(fmt::format(
        "--rate {} is not a stream rate; use 8000, 16000, 24000, 32000, 40000 or 48000 (or 8k ... 48k)",
        text));
  }
  return static_cast<int32_t>(rate);
}

[[noreturn]] void UsageError(const std::string& message) {
  throw HostError(kExitUsage, message + " (see zbhost --help)");
}

// Runs CLI11 on `app`; returns false when help was printed.
bool Parse(CLI::App& app, int argc, char** argv) {
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& help) {
    app.exit(help);
    return false;
  } catch (const CLI::ParseError& error) {
    UsageError(error.what());
  }
  return true;
}

void AddLibraryOption(CLI::App& app, HostOptions& options) {
  app.add_option("--library", options.library,
                 "The plug-in library to load (default: the one built beside this program)");
}

}  // namespace

std::optional<HostOptions> ParseCommandLine(int argc, char** argv) {
  HostOptions options;
  if (argc > 1 && std::string_view(argv[1]) == kListCommand) {
    options.command = HostOptions::Command::List;
    CLI::App app("List the interfaces, type identifiers and frame types the library offers",
                 "zbhost inspect");
    AddLibraryOption(app, options);
    app.add_flag("--json", options.json, "Print the listing as one JSON object");
    if (!Parse(app, argc - 1, argv + 1)) return std::nullopt;
    return options;
  }

  CLI::App app(
      "Streams audio through the ADPCM encoder, a lossy link and the decoder, and reports what "
      "survived.",
      "zbhost");
  app.footer("Also: zbhost inspect [--library PATH] lists what the library offers.\n"
             "Loss models: none | random:PCT | gilbert:ENTER,LEAVE[,LOSS_BAD[,LOSS_GOOD]] (percent)\n"
             "             | list:ENTRIES | file:PATH, where ENTRIES are d5 (data frame 5), p5 (parity\n"
             "             frame 5), 7 (data frame 7) or ranges like d10-12, separated by commas.");
  std::string rateText = std::to_string(kDefaultRate);
  std::string lossText = "none";
  uint64_t seed = 0;
  options.seconds = kDefaultInputSeconds;
  bool noParity = false;
  app.add_option("input", options.input,
                 "Audio file to stream (any format libsndfile reads); default: a built-in "
                 "speech-like signal");
  app.add_option("-o,--output", options.output, "Write the decoded audio as mono 16-bit WAV");
  AddLibraryOption(app, options);
  app.add_option("--rate", rateText, "Stream sample rate in Hz: 8000, 16000 (default), 24000, 32000, "
                                     "40000 or 48000");
  app.add_option("--loss", lossText, "Loss model of the link (default: none)");
  CLI::Option* seedOption = app.add_option("--seed", seed, "Seed of the link's random decisions");
  app.add_option("--duplicate", options.duplicatePercent, "Percentage of frames delivered twice")
      ->check(CLI::Range(0.0, 100.0));
  app.add_option("--reorder", options.reorderPercent,
                 "Percentage of frames held back behind the next one")
      ->check(CLI::Range(0.0, 100.0));
  app.add_flag("--no-parity", noParity, "Switch the encoder's parity frames off");
  app.add_flag("--conceal", options.conceal,
               "Fill lost frames with a fading repetition instead of silence");
  app.add_flag("--json", options.json, "Print the report as one JSON object");
  app.add_option("--seconds", options.seconds, "Length of the built-in signal in seconds (default 10)")
      ->check(CLI::Range(0.0, kMaxBuiltInSeconds));
  if (!Parse(app, argc, argv)) return std::nullopt;

  try {
    options.rate = ParseRate(rateText);
    options.loss = ParseLossPlan(lossText);
  } catch (const std::invalid_argument& error) {
    UsageError(error.what());
  }
  if (options.seconds <= 0) UsageError("--seconds must be above 0");
  if (!options.input.empty() && app.count("--seconds") != 0) {
    UsageError("--seconds sets the length of the built-in signal and takes no input file");
  }
  if (seedOption->count() != 0) options.seed = seed;
  options.parity = !noParity;
  return options;
}

}  // namespace zbhost
