// A progress bar on standard error for long inputs, drawn only when standard error is a
// terminal, so pipes and logs never see it.
#pragma once

#include <cstdint>

namespace zbhost {

inline constexpr double kProgressMinSeconds = 5.0;  // shorter inputs finish before it helps

class ProgressBar {
 public:
  explicit ProgressBar(bool enabled) : m_bEnabled(enabled) {}
  ~ProgressBar() { Finish(); }
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  // Redraws when the shown percentage changes.
  void Update(int32_t done, int32_t total);
  // Clears the bar.
  void Finish();

  // True when a bar should be drawn for `inputSeconds` of audio.
  static bool Wanted(double inputSeconds);

 private:
  bool m_bEnabled;
  int m_nShown = -1;
};

}  // namespace zbhost
