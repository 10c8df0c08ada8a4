// Wall time for the run's timing: a steady clock, and a scope that adds its time to a total.
#pragma once

#include <chrono>

namespace zbhost {

using Clock = std::chrono::steady_clock;

inline double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Adds the time a scope takes to a total.
class Stopwatch {
 public:
  explicit Stopwatch(double& total) : m_total(total), m_started(Clock::now()) {}
  ~Stopwatch() { m_total += SecondsSince(m_started); }
  Stopwatch(const Stopwatch&) = delete;
  Stopwatch& operator=(const Stopwatch&) = delete;

 private:
  double& m_total;
  Clock::time_point m_started;
};

}  // namespace zbhost
