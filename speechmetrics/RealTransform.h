// FFTW's transform of real frames of one size to their half spectrum, planned once. FFTW's
// planner is not safe to call from two threads at once (running a plan is), and meters run
// on threads of their own: every plan is made and destroyed under one lock.
#pragma once

#include <cstddef>

#include <fftw3.h>

namespace zbspeechmetrics {

class RealTransform {
 public:
  explicit RealTransform(std::size_t size);
  ~RealTransform();
  RealTransform(const RealTransform&) = delete;
  RealTransform& operator=(const RealTransform&) = delete;

  std::size_t size() const { return m_nSize; }
  double* in() { return m_in; }                     // size() samples
  const fftw_complex* out() const { return m_out; }  // size() / 2 + 1 bins
  void Run() { fftw_execute(m_plan); }

 private:
  std::size_t m_nSize;
  double* m_in;
  fftw_complex* m_out;
  fftw_plan m_plan;
};

}  // namespace zbspeechmetrics
