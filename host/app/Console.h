// Messages on standard error other than the fatal one: warnings, and the step-by-step
// notes of a verbose run. Quiet runs print neither, but for alerts: warnings that the
// result is not what it seems (damaged input, audio lost before the stream). A progress bar on the same terminal is
// cleared first, and redraws itself on its next step.
#pragma once

#include <iostream>
#include <string>

#include "host/report/Progress.h"

namespace zbhost {

enum class Verbosity { Quiet, Normal, Verbose };

class Console {
 public:
  Console(Verbosity verbosity, ProgressBar& progress)
      : m_verbosity(verbosity), m_progress(progress) {}

  void Warn(const std::string& message) const {
    if (m_verbosity != Verbosity::Quiet) Alert(message);
  }
  void Alert(const std::string& message) const {
    m_progress.Finish();
    std::cerr << "zbhost: warning: " << message << '\n';
  }
  void Note(const std::string& message) const {
    if (m_verbosity != Verbosity::Verbose) return;
    m_progress.Finish();
    std::cerr << "zbhost: " << message << '\n';
  }

 private:
  Verbosity m_verbosity;
  ProgressBar& m_progress;
};

}  // namespace zbhost
