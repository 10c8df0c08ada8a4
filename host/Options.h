// The command line: `zbhost [INPUT] [options]` streams audio through the library,
// `zbhost inspect [--library PATH]` lists what the library offers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "host/LossModels.h"

namespace zbhost {

struct HostOptions {
  enum class Command { Stream, List };
  Command command = Command::Stream;
  std::string input;     // empty: the built-in signal
  double seconds = 0;    // length of the built-in signal
  std::string output;    // empty: no file written
  std::string library;   // empty: the library built beside the program
  int32_t rate = 0;
  LossPlan loss;
  std::optional<uint64_t> seed;
  double duplicatePercent = 0;
  double reorderPercent = 0;
  bool parity = true;
  bool conceal = false;
  bool json = false;
};

// Parses the command line. Returns nullopt when help was asked for and printed; throws
// HostError (usage) for a bad option or value, (input) for an unreadable loss list file.
std::optional<HostOptions> ParseCommandLine(int argc, char** argv);

}  // namespace zbhost
