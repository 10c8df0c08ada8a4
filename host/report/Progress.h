// A progress bar on standard error covering every long step of a run (reading, resampling,
// streaming), drawn only when standard error is a terminal and the run has lasted long
// enough to need one, so pipes, logs and short runs never see it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace zbhost {

// Called during a long step with the work done and the work in all.
using ProgressFn = std::function<void(int64_t done, int64_t total)>;

class ProgressBar {
 public:
  explicit ProgressBar(bool enabled);
  ~ProgressBar() { Finish(); }
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  // A callback that shows the progress of the step named `phase` ("reading").
  ProgressFn Phase(const std::string& phase);
  // Clears the bar.
  void Finish();

  // True when standard error is a terminal.
  static bool Wanted();

 private:
  void Update(const std::string& phase, int64_t done, int64_t total);

  bool m_bEnabled;
  std::chrono::steady_clock::time_point m_started;
  std::string m_shownPhase;
  int m_nShown = -1;
};

}  // namespace zbhost
