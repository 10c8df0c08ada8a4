// The terminal progress bar.
#include "host/Progress.h"

#include <unistd.h>

#include <cstdio>
#include <string>

namespace zbhost {

namespace {
constexpr int kBarWidth = 40;
constexpr int kPercent = 100;
constexpr int kLabelWidth = 8;  // "[", "] ", "100 %"
}  // namespace

bool ProgressBar::Wanted(double inputSeconds) {
  return inputSeconds > kProgressMinSeconds && isatty(STDERR_FILENO) != 0;
}

void ProgressBar::Update(int32_t done, int32_t total) {
  if (!m_bEnabled || total <= 0) return;
  const int percent = static_cast<int>(static_cast<int64_t>(done) * kPercent / total);
  if (percent == m_nShown) return;
  m_nShown = percent;
  const int filled = percent * kBarWidth / kPercent;
  std::fprintf(stderr, "\r[%s%s] %3d %%", std::string(static_cast<size_t>(filled), '#').c_str(),
               std::string(static_cast<size_t>(kBarWidth - filled), ' ').c_str(), percent);
  std::fflush(stderr);
}

void ProgressBar::Finish() {
  if (!m_bEnabled || m_nShown < 0) return;
  std::fprintf(stderr, "\r%*s\r", kBarWidth + kLabelWidth, "");
  std::fflush(stderr);
  m_nShown = -1;
}

}  // namespace zbhost
