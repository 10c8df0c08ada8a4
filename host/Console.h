// Messages on standard error other than the fatal one: warnings, and the step-by-step
// notes of a verbose run. Quiet runs print neither.
#pragma once

#include <iostream>
#include <string>

namespace zbhost {

enum class Verbosity { Quiet, Normal, Verbose };

class Console {
 public:
  explicit Console(Verbosity verbosity) : m_verbosity(verbosity) {}

  void Warn(const std::string& message) const {
    if (m_verbosity != Verbosity::Quiet) std::cerr << "zbhost: warning: " << message << '\n';
  }
  void Note(const std::string& message) const {
    if (m_verbosity == Verbosity::Verbose) std::cerr << "zbhost: " << message << '\n';
  }

 private:
  Verbosity m_verbosity;
};

}  // namespace zbhost
