// Command-line parsing with CLI11. Numbers are read by this file's own strict parsers, so
// that NaN, infinities, out-of-range and half-numeric values are refused with a message.
#include "host/app/Options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <limits>
#include <stdexcept>
#include <string_view>
#include <vector>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "host/base/HostError.h"
#include "host/io/SpeechSignal.h"
#include "host/stream/Stream.h"

namespace zbhost {

namespace {

constexpr double kMaxBuiltInSeconds = 3600.0;
constexpr double kHzPerKilohertz = 1000.0;
constexpr int32_t kMinOutputRate = 1000;    // Hz
constexpr int32_t kMaxOutputRate = 384000;  // Hz
constexpr char kInspectCommand[] = "inspect";
constexpr char kRawType[] = "raw";
constexpr int32_t kMaxRawChannels = 64;

[[noreturn]] void UsageError(const std::string& message) {
  throw HostError(kExitUsage, message + " (see zbhost --help)");
}

// A finite decimal number filling all of `text`; nullopt otherwise.
std::optional<double> ParseNumber(const std::string& text) {
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || end != text.c_str() + text.size() || errno != 0 || !std::isfinite(value)) {
    return std::nullopt;
  }
  return value;
}

// "16000", "16k", "44.1k" or "44.1kHz" as a whole number of hertz; nullopt otherwise.
std::optional<int32_t> ParseHertz(const std::string& text) {
  std::string digits = text;
  double scale = 1;
  for (const char* suffix : {"kHz", "khz", "k"}) {
    const std::string_view s(suffix);
    if (digits.size() > s.size() && digits.compare(digits.size() - s.size(), s.size(), s) == 0) {
      digits.resize(digits.size() - s.size());
      scale = kHzPerKilohertz;
      break;
    }
  }
  const std::optional<double> value = ParseNumber(digits);
  if (!value) return std::nullopt;
  const double hertz = *value * scale;
  if (hertz != std::floor(hertz) || hertz < 1 || hertz > std::numeric_limits<int32_t>::max()) {
    return std::nullopt;
  }
  return static_cast<int32_t>(hertz);
}

int32_t ParseStreamRate(const std::string& text) {
  const std::optional<int32_t> rate = ParseHertz(text);
  if (!rate || !IsStreamRate(*rate)) {
    UsageError(
        fmt::format("--rate {} is not a stream rate; use 8000, 16000, 24000, 32000, 40000 or 48000 "
                    "(or 8k ... 48k)",
                    text));
  }
  return *rate;
}

int32_t ParseOutputRate(const std::string& text) {
  const std::optional<int32_t> rate = ParseHertz(text);
  if (!rate || *rate < kMinOutputRate || *rate > kMaxOutputRate) {
    UsageError(
        fmt::format("--output-rate {} must be a whole number of hertz from {} to {} (44100, "
                    "44.1k, 48k, ...)",
                    text, kMinOutputRate, kMaxOutputRate));
  }
  return *rate;
}

uint64_t ParseSeed(const std::string& text) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
  const bool digitsOnly =
      !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
  if (!digitsOnly || end != text.c_str() + text.size() || errno != 0) {
    UsageError(fmt::format("--seed must be a whole number from 0 to {}, not '{}'",
                           std::numeric_limits<uint64_t>::max(), text));
  }
  return value;
}

int32_t ParseParityDelay(const std::string& text) {
  const bool digitsOnly = !text.empty() && text.size() <= 2 && text.find_first_not_of("0123456789") == std::string::npos;
  const int value = digitsOnly ? std::atoi(text.c_str()) : -1;
  if (value < 0 || value > zbreceive::kMaxParityDelay) {
    UsageError(fmt::format("--parity-delay must be a whole number of frames from 0 to {}, not '{}'",
                           zbreceive::kMaxParityDelay, text));
  }
  return value;
}

double ParseOptionPercent(const std::string& text, const char* option) {
  try {
    return ParsePercent(text, option);
  } catch (const std::invalid_argument& error) {
    UsageError(error.what());
  }
}

// `most` bounds the built-in signal; an input's limit is any length.
double ParseSeconds(const std::string& text, std::optional<double> most) {
  const std::optional<double> value = ParseNumber(text);
  if (!value || *value <= 0 || (most && *value > *most)) {
    UsageError(most ? fmt::format("--seconds must be above 0 and at most {:g}, not '{}'", *most, text)
                    : fmt::format("--seconds must be above 0, not '{}'", text));
  }
  return *value;
}

ZbEncoderMode ParseEncoderMode(const std::string& text, const char* option) {
  const std::optional<ZbEncoderMode> mode = EncoderModeNamed(text);
  if (!mode) {
    UsageError(fmt::format("{} takes specified, carried, search or search-deep, not '{}'", option, text));
  }
  return *mode;
}

// -t raw and the form of the input it names; the form without -t raw is refused, as it
// would do nothing.
std::optional<RawInput> ParseRawInput(const CLI::App& app, const std::string& type,
                                      const std::string& rate, const std::string& channels,
                                      const std::string& encoding) {
  if (app.count("--type") == 0) {
    for (const char* option : {"--input-rate", "--input-channels", "--input-encoding"}) {
      if (app.count(option) != 0) UsageError(fmt::format("{} describes headerless input: add -t raw", option));
    }
    return std::nullopt;
  }
  if (type != kRawType) UsageError(fmt::format("-t takes raw (headerless input), not '{}'", type));
  RawInput raw;
  const std::optional<int32_t> hertz = ParseHertz(rate);
  if (app.count("--input-rate") == 0 || !hertz || *hertz < kMinAudioRate || *hertz > kMaxAudioRate) {
    UsageError(fmt::format("-t raw needs --input-rate HZ, from {} to {}", kMinAudioRate, kMaxAudioRate));
  }
  raw.rate = *hertz;
  if (app.count("--input-channels") != 0) {
    const std::optional<double> count = ParseNumber(channels);
    if (!count || *count != std::floor(*count) || *count < 1 || *count > kMaxRawChannels) {
      UsageError(fmt::format("--input-channels must be a whole number from 1 to {}, not '{}'",
                             kMaxRawChannels, channels));
    }
    raw.channels = static_cast<int32_t>(*count);
  }
  if (app.count("--input-encoding") != 0) {
    const std::optional<int> format = RawEncodingNamed(encoding);
    if (!format) {
      UsageError(fmt::format("--input-encoding takes {}, not '{}'", RawEncodingNames(), encoding));
    }
    raw.encoding = *format;
  }
  return raw;
}

// "carried,search": two different modes.
std::pair<ZbEncoderMode, ZbEncoderMode> ParseEncoderPair(const std::string& text) {
  const size_t comma = text.find(',');
  if (comma == std::string::npos) {
    UsageError(fmt::format("--compare-encoders takes two modes, e.g. carried,search, not '{}'", text));
  }
  const ZbEncoderMode first = ParseEncoderMode(text.substr(0, comma), "--compare-encoders");
  const ZbEncoderMode second = ParseEncoderMode(text.substr(comma + 1), "--compare-encoders");
  if (first == second) UsageError("--compare-encoders takes two different modes");
  return {first, second};
}

// Runs CLI11 on `app`; returns false when help or the version was printed.
bool Parse(CLI::App& app, int argc, char** argv) {
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& done) {
    app.exit(done);
    return false;
  } catch (const CLI::ExtrasError& error) {
    // A second name after the input is most likely meant as the output, as cp would take it.
    const std::vector<std::string> extras = app.remaining();
    if (extras.size() == 1 && !extras.front().empty() && extras.front()[0] != '-') {
      UsageError(fmt::format("one input at a time; to write '{}', name it with -o {}",
                             extras.front(), extras.front()));
    }
    UsageError(error.what());
  } catch (const CLI::ParseError& error) {
    UsageError(error.what());
  }
  return true;
}

// An option taking one value as text, shown as `typeName` in the help.
void AddTextOption(CLI::App& app, const char* name, std::string& text, const char* typeName,
                   const char* description) {
  app.add_option(name, text, description)->type_name(typeName);
}

void AddLibraryOption(CLI::App& app, HostOptions& options) {
  AddTextOption(app, "--library", options.library, "PATH",
                "The plug-in library to load (default: the one built beside this program)");
}

void AddVersionFlag(CLI::App& app) {
  app.set_version_flag("--version",
                       fmt::format("zbhost {} (built against the zbadpcm {} library interface)",
                                   ZBHOST_VERSION, ZBHOST_VERSION));
}

// A file name option: present, it must name something ("-" for standard output).
std::optional<std::string> FileOption(const CLI::App& app, const char* option,
                                      const std::string& value) {
  if (app.count(option) == 0) return std::nullopt;
  if (value.empty())
    UsageError(fmt::format("{} needs a file name (- for standard output)", option));
  return value;
}

// The help, laid out by hand: grouped, at most 100 columns, with examples.
constexpr char kHelp[] =
    "Usage: zbhost [INPUT] [options]\n"
    "       zbhost inspect [--library PATH] [--json]   lists what the library offers\n"
    "\n"
    "Streams audio through the ADPCM encoder, a simulated lossy link and the decoder, block by\n"
    "block, and reports what survived.\n"
    "\n"
    "Input and output:\n"
    "  INPUT                audio file (any format libsndfile reads), - for standard input\n"
    "  --built-in           a built-in speech-like signal (the default without INPUT)\n"
    "  -t raw               INPUT has no header: give --input-rate HZ, and --input-channels N\n"
    "                       (default 1) and --input-encoding s8, u8, s16 (the default), s24,\n"
    "                       s32, f32, f64, ulaw or alaw (little-endian)\n"
    "  -o, --output FILE    write the decoded audio (mono, 16-bit), - for standard output; the\n"
    "                       container follows the extension: .wav (also for none), .flac, .ogg,\n"
    "                       .opus, .mp3, .aiff, .au, .caf, .w64, .rf64, .raw\n"
    "  --rate HZ            stream rate: 8000, 16000, 24000, 32000, 40000 or 48000 (or 8k ... 48k);\n"
    "                       default: the input's rate when it is one of these, else 16000\n"
    "  --output-rate HZ     rate of the written audio (default: the input's)\n"
    "  --seconds S          length of the built-in signal (default 10, at most 3600); with INPUT,\n"
    "                       the most of it to stream (a live input stops there)\n"
    "  --library PATH       the plug-in library (default: the one installed with zbhost)\n"
    "\n"
    "The link:\n"
    "  --loss MODEL         which frames the link drops (default: none; models below)\n"
    "  --duplicate PCT      percentage of frames delivered twice\n"
    "  --reorder PCT        percentage of frames held back behind the next one\n"
    "  --parity-delay K     send each parity frame K frames late (0 to 8, default 0), beside the\n"
    "                       data frame K numbers after its own, so that a burst of losses hits\n"
    "                       frames that parity sent apart from them can rebuild; the receiver\n"
    "                       holds K frames (20 ms each) longer. Losses are drawn per data frame\n"
    "                       and the parity frame beside it, so every K sees the same slots lost\n"
    "  --seed N             seed of the link's random decisions, 0 to 2^64-1; without one a seed\n"
    "                       is drawn and printed. It fixes the fate of each frame number's data\n"
    "                       and parity frames, whatever else is switched on or off.\n"
    "  --encoder MODE       the encoder's mode: specified (the default: every block starts at\n"
    "                       step index 0), carried (the index carried from block to block, about\n"
    "                       10 dB better on speech), search (carried, each block's codes\n"
    "                       searched for the least error; slower) or search-deep (a wider\n"
    "                       search, closer still, about 15 times slower than search); every\n"
    "                       mode plays everywhere\n"
    "  --no-parity          switch the encoder's parity frames off\n"
    "  --conceal            fill the frames nothing could rebuild from the audio before them\n"
    "                       (pitch-based concealment) instead of with silence\n"
    "\n"
    "Reports:\n"
    "  --compare            run with parity, with parity and concealment, without parity, and\n"
    "                       without but concealed, side by side (not with --no-parity or\n"
    "                       --conceal); with -o NAME.EXT each column's audio goes to a file of\n"
    "                       its own: NAME.EXT, NAME.parity-concealed.EXT, NAME.no-parity.EXT and\n"
    "                       NAME.no-parity-concealed.EXT\n"
    "  --compare-encoders A,B  run the same stream and losses with encoder modes A and B side by\n"
    "                       side (not with --compare or --encoder); with -o NAME.EXT, A's audio\n"
    "                       goes to NAME.EXT and B's to NAME.B.EXT\n"
    "  --adpcm-out FILE     the encoder's ADPCM stream as an IMA ADPCM WAV file (84-byte blocks\n"
    "                       of 161 samples), which sox, FFmpeg and libsndfile play\n"
    "  --frames FILE        one row per frame: CSV, JSON Lines (.jsonl, .ndjson) or JSON (.json)\n"
    "  --plot FILE          the run as a picture: .svg or .png\n"
    "  --plot-range A-B     draw only from A to B, in seconds, M:SS or H:MM:SS (e.g. 1:30-2:00)\n"
    "  --json               print the report as one JSON object\n"
    "  -q, --quiet          print no words, only errors (and the JSON when asked for)\n"
    "  -v, --verbose        tell each step, and where the time went\n"
    "  -h, --help           print this help; --version prints the version\n"
    "\n"
    "Loss models (percentages):\n"
    "  none                 no loss (the default)\n"
    "  random:PCT           each frame lost with chance PCT\n"
    "  gilbert:ENTER,LEAVE[,LOSS_BAD[,LOSS_GOOD]]\n"
    "                       bursty loss: chances per frame to enter and to leave the bad state,\n"
    "                       and the loss in the bad and the good state (default 100 and 0)\n"
    "  list:ENTRIES         exactly these frames: d5 (data frame 5), p5 (parity frame 5; with\n"
    "                       --parity-delay K, the parity frame sent beside data frame 5),\n"
    "  file:PATH            7 (data frame 7), ranges like d10-12; separated by commas, blanks\n"
    "                       or lines; # starts a comment\n"
    "\n"
    "Examples:\n"
    "  zbhost speech.wav -o decoded.wav --loss random:5\n"
    "  zbhost talk.flac --loss gilbert:2,30 --seed 7 --compare -o out.wav --plot out.png\n"
    "  arecord -f S16_LE -r 16000 | zbhost - -o - --loss random:3 | aplay\n"
    "\n"
    "MP3 output starts late by the encoder's delay (about 1,700 samples at 44.1 kHz), which\n"
    "libsndfile cannot trim; use another container where samples must line up with the input.\n"
    "\n"
    "Exit status:\n"
    "    0  success                            4  library not loadable or incomplete\n"
    "    1  zbhost itself failed (memory)      5  output cannot be written\n"
    "    2  bad command line or value          6  the library misbehaved (refused frames, leaks)\n"
    "    3  input missing, unreadable or     130  interrupted (Ctrl-C)\n"
    "       not audio\n";

}  // namespace

// The command line's texts and flags as CLI11 fills them, before they are read into the
// options.
struct CommandLineTexts {
  bool help = false;
  std::string rateText;
  std::string outputRateText;
  std::string lossText = "none";
  std::string seedText;
  std::string duplicateText = "0";
  std::string reorderText = "0";
  std::string parityDelayText = "0";
  std::string secondsText;
  std::string outputText;
  std::string framesText;
  std::string adpcmText;
  std::string plotText;
  bool noParity = false;
  bool quiet = false;
  bool verbose = false;
  std::string inputText;
  std::string typeText;
  std::string inputRateText;
  std::string inputChannelsText;
  std::string inputEncodingText;
  std::string encoderText;
  std::string encodersText;
  std::string plotRangeText;
};

// Declares the streaming command's options, filling `t` and the options CLI11 sets
// directly.
void DeclareOptions(CLI::App& app, CommandLineTexts& t, HostOptions& options) {
  // The help is this program's own text; CLI11 only parses.
  app.set_help_flag();
  app.add_flag("-h,--help", t.help);
  AddVersionFlag(app);
  CLI::Option* inputOption =
      app.add_option("input", t.inputText,
                     "Audio file to stream (any format libsndfile reads, - for standard input); "
                     "default: a built-in speech-like signal")
          ->type_name("INPUT");
  app.add_flag("--built-in", "Stream the built-in speech-like signal (the default without INPUT)")
      ->excludes(inputOption);
  AddTextOption(app, "-t,--type", t.typeText, "raw", "The input has no header: raw samples");
  AddTextOption(app, "--input-rate", t.inputRateText, "HZ", "Rate of headerless input");
  AddTextOption(app, "--input-channels", t.inputChannelsText, "N", "Channels of headerless input");
  AddTextOption(app, "--input-encoding", t.inputEncodingText, "ENC", "Encoding of headerless input");
  AddTextOption(app, "-o,--output", t.outputText, "FILE",
                "Write the decoded audio (mono 16-bit) here; the container follows the extension");
  AddLibraryOption(app, options);
  AddTextOption(app, "--rate", t.rateText, "HZ",
                "Stream sample rate: 8000, 16000, 24000, 32000, 40000 or 48000 Hz (default: the "
                "input's rate when it is one of these, else 16000)");
  AddTextOption(app, "--output-rate", t.outputRateText, "HZ",
                "Sample rate of the written audio (default: the input's rate)");
  AddTextOption(app, "--loss", t.lossText, "MODEL",
                "Loss model of the link (default: none; see below)");
  AddTextOption(app, "--seed", t.seedText, "N", "Seed of the link's random decisions, 0 to 2^64-1");
  AddTextOption(app, "--duplicate", t.duplicateText, "PCT",
                "Percentage of frames delivered twice, e.g. --duplicate 5");
  AddTextOption(app, "--reorder", t.reorderText, "PCT",
                "Percentage of frames held back behind the next one, e.g. --reorder 2");
  AddTextOption(app, "--parity-delay", t.parityDelayText, "K",
                "Send each parity frame K frames late (0 to 8); the receiver holds K frames longer");
  CLI::Option* noParityFlag =
      app.add_flag("--no-parity", t.noParity, "Switch the encoder's parity frames off");
  CLI::Option* concealFlag =
      app.add_flag("--conceal", options.stream.conceal,
                   "Fill the frames nothing could rebuild by concealment instead of silence");
  CLI::Option* compareFlag = app.add_flag(
      "--compare", options.compare,
      "Run the same stream and losses with parity, with parity and concealment, without parity, "
      "and without parity but with concealment, and report them side by side");
  compareFlag->excludes(noParityFlag)->excludes(concealFlag);
  CLI::Option* encoderOption =
      app.add_option("--encoder", t.encoderText, "The encoder's mode: specified, carried, search or search-deep")
          ->type_name("MODE");
  app.add_option("--compare-encoders", t.encodersText,
                 "Run the same stream and losses with two encoder modes, side by side")
      ->type_name("A,B")
      ->excludes(compareFlag)
      ->excludes(encoderOption);
  AddTextOption(app, "--adpcm-out", t.adpcmText, "FILE",
                "Write the encoder's ADPCM stream as an IMA ADPCM WAV file");
  AddTextOption(app, "--frames", t.framesText, "FILE",
                "Write one row per frame: CSV, JSON Lines (.jsonl, .ndjson) or JSON (.json)");
  AddTextOption(app, "--plot", t.plotText, "FILE",
                "Draw the input, the decode, every lost frame and per-frame SNR (.svg or .png)");
  AddTextOption(app, "--plot-range", t.plotRangeText, "START-END",
                "Draw only this stretch, in seconds, M:SS or H:MM:SS (e.g. 1:30-2:00)");
  app.add_flag("--json", options.json, "Print the report as one JSON object");
  CLI::Option* quietFlag = app.add_flag("-q,--quiet", t.quiet, "Print nothing but errors");
  app.add_flag("-v,--verbose", t.verbose, "Also tell each step on standard error")
      ->excludes(quietFlag);
  AddTextOption(app, "--seconds", t.secondsText, "S",
                "Length of the built-in signal, or the most of the input to stream");
}

// Reads the texts and flags the command line gave into the options, checking each.
void ReadOptions(const CLI::App& app, const CommandLineTexts& t, HostOptions& options) {
  try {
    options.stream.link.loss = ParseLossPlan(t.lossText);
  } catch (const std::invalid_argument& error) {
    UsageError(error.what());
  }
  if (!t.rateText.empty()) options.rate = ParseStreamRate(t.rateText);
  if (!t.outputRateText.empty()) options.outputRate = ParseOutputRate(t.outputRateText);
  if (app.count("--seed") != 0) options.seed = ParseSeed(t.seedText);
  options.stream.link.duplicatePercent = ParseOptionPercent(t.duplicateText, "--duplicate");
  options.stream.link.reorderPercent = ParseOptionPercent(t.reorderText, "--reorder");
  options.stream.link.parityDelay = ParseParityDelay(t.parityDelayText);
  if (app.count("input") != 0) {
    // An empty name is a script's empty variable, not a wish for the built-in signal.
    if (t.inputText.empty()) {
      UsageError("the input name is empty: name a file, - for standard input, or --built-in for "
                 "the built-in signal");
    }
    options.input = t.inputText;
  }
  const bool builtIn = !options.input;
  options.raw = ParseRawInput(app, t.typeText, t.inputRateText, t.inputChannelsText, t.inputEncodingText);
  if (options.raw && builtIn) UsageError("-t raw describes an input: name it, or - for standard input");
  options.seconds = builtIn ? kDefaultInputSeconds : 0;
  if (app.count("--seconds") != 0) {
    options.seconds =
        ParseSeconds(t.secondsText, builtIn ? std::optional<double>(kMaxBuiltInSeconds) : std::nullopt);
  }
  options.output = FileOption(app, "--output", t.outputText);
  options.frames = FileOption(app, "--frames", t.framesText);
  options.adpcm = FileOption(app, "--adpcm-out", t.adpcmText);
  options.plot = FileOption(app, "--plot", t.plotText);
  if (app.count("--plot-range") != 0) {
    try {
      options.plotRange = ParsePlotRange(t.plotRangeText);
    } catch (const std::invalid_argument& error) {
      UsageError(error.what());
    }
    if (!options.plot) UsageError("--plot-range chooses what a picture shows: add --plot FILE.svg or .png");
  }
  if (app.count("--encoder") != 0) options.stream.encoder = ParseEncoderMode(t.encoderText, "--encoder");
  if (app.count("--compare-encoders") != 0) options.encoders = ParseEncoderPair(t.encodersText);
  options.stream.parity = !t.noParity;
  options.verbosity = t.quiet ? Verbosity::Quiet : t.verbose ? Verbosity::Verbose : Verbosity::Normal;
}

std::optional<HostOptions> ParseCommandLine(int argc, char** argv) {
  HostOptions options;
  if (argc > 1 && std::string_view(argv[1]) == kInspectCommand) {
    options.command = HostOptions::Command::Inspect;
    CLI::App app("List the interfaces, type identifiers and frame types the library offers",
                 "zbhost inspect");
    AddLibraryOption(app, options);
    AddVersionFlag(app);
    app.add_flag("--json", options.json, "Print the listing as one JSON object");
    if (!Parse(app, argc - 1, argv + 1)) return std::nullopt;
    return options;
  }

  CLI::App app(
      "Streams audio through the ADPCM encoder, a lossy link and the decoder, and reports what "
      "survived.",
      "zbhost");
  CommandLineTexts t;
  DeclareOptions(app, t, options);
  if (!Parse(app, argc, argv)) return std::nullopt;
  if (t.help) {
    std::cout << kHelp;
    return std::nullopt;
  }
  ReadOptions(app, t, options);
  return options;
}

}  // namespace zbhost
