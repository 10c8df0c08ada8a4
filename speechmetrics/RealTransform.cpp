// One lock for FFTW's planner, shared by every transform in the process.
#include "speechmetrics/RealTransform.h"

#include <mutex>

namespace zbspeechmetrics {

namespace {

std::mutex& PlannerLock() {
  static std::mutex lock;
  return lock;
}

}  // namespace

RealTransform::RealTransform(std::size_t size)
    : m_nSize(size), m_in(fftw_alloc_real(size)), m_out(fftw_alloc_complex(size / 2 + 1)) {
  const std::lock_guard<std::mutex> guard(PlannerLock());
  m_plan = fftw_plan_dft_r2c_1d(static_cast<int>(size), m_in, m_out, FFTW_ESTIMATE);
}

RealTransform::~RealTransform() {
  {
    const std::lock_guard<std::mutex> guard(PlannerLock());
    fftw_destroy_plan(m_plan);
  }
  fftw_free(m_in);
  fftw_free(m_out);
}

}  // namespace zbspeechmetrics
