// The terminal progress bar.
#include "host/report/Progress.h"

#include <unistd.h>

#include <cstdio>

namespace zbhost {

namespace {
constexpr int kBarWidth = 40;
constexpr int kPercent = 100;
constexpr int kPhaseWidth = 11;                        // "resampling "
constexpr int kLabelWidth = kPhaseWidth + 8;           // the phase, "[", "] ", "100 %"
constexpr std::chrono::milliseconds kQuietStart{300};  // runs shorter than this show no bar
}  // namespace

ProgressBar::ProgressBar(bool enabled)
    : m_bEnabled(enabled), m_started(std::chrono::steady_clock::now()) {}

bool ProgressBar::Wanted() { return isatty(STDERR_FILENO) != 0; }

ProgressFn ProgressBar::Phase(const std::string& phase) {
  return [this, phase](int64_t done, int64_t total) { Update(phase, done, total); };
}

void ProgressBar::Update(const std::string& phase, int64_t done, int64_t total) {
  if (!m_bEnabled || total <= 0) return;
  const int percent = static_cast<int>(done * kPercent / total);
  if (percent == m_nShown && phase == m_shownPhase) return;
  if (std::chrono::steady_clock::now() - m_started < kQuietStart) return;
  m_nShown = percent;
  m_shownPhase = phase;
  const int filled = percent * kBarWidth / kPercent;
  std::fprintf(stderr, "\r%-*s[%s%s] %3d %%", kPhaseWidth, phase.c_str(),
               std::string(static_cast<size_t>(filled), '#').c_str(),
               std::string(static_cast<size_t>(kBarWidth - filled), ' ').c_str(), percent);
  std::fflush(stderr);
}

void ProgressBar::Finish() {
  if (!m_bEnabled || m_nShown < 0) return;
  std::fprintf(stderr, "\r%*s\r", kBarWidth + kLabelWidth, "");
  std::fflush(stderr);
  m_nShown = -1;
  m_shownPhase.clear();
}

}  // namespace zbhost
