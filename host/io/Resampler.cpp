// libsoxr behind a block interface.
#include "host/io/Resampler.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <fmt/format.h>

#include "host/base/HostError.h"

namespace zbhost {

namespace {

constexpr double kInt16Scale = 32768.0;  // libsndfile's float scale for 16-bit samples
constexpr size_t kOutputMargin = 16;     // samples beyond the ratio's share, for rounding
constexpr size_t kFlushBlock = 4096;     // samples asked for at a time while flushing

}  // namespace

Resampler::Resampler(int32_t fromRate, int32_t toRate)
    : m_ratio(static_cast<double>(toRate) / fromRate) {
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
  soxr_error_t error = nullptr;
  m_soxr.reset(soxr_create(fromRate, toRate, 1, &error, nullptr, &quality, nullptr));
  if (error != nullptr) {
    throw HostError(kExitInput, fmt::format("cannot resample from {} Hz to {} Hz: {}", fromRate,
                                            toRate, error));
  }
}

void Resampler::Run(const float* in, size_t count, std::vector<float>& out) {
  const size_t room = static_cast<size_t>(std::ceil(static_cast<double>(count) * m_ratio)) +
                      (in == nullptr ? kFlushBlock : kOutputMargin);
  size_t used = 0;
  while (true) {
    const size_t start = out.size();
    out.resize(start + room);
    size_t taken = 0;
    size_t made = 0;
    const soxr_error_t error = soxr_process(m_soxr.get(), in == nullptr ? nullptr : in + used,
                                            count - used, &taken, out.data() + start, room, &made);
    out.resize(start + made);
    if (error != nullptr) {
      throw HostError(kExitInput, fmt::format("resampling failed: {}", error));
    }
    used += taken;
    // Input left, or a full buffer at the end: there is more to come.
    if (used < count || (in == nullptr && made == room)) continue;
    break;
  }
}

void Resampler::Process(const float* in, size_t count, std::vector<float>& out) {
  if (count > 0) Run(in, count, out);
}

void Resampler::Flush(std::vector<float>& out) { Run(nullptr, 0, out); }

void AppendPcm16(const std::vector<float>& samples, std::vector<int16_t>& out) {
  const size_t start = out.size();
  out.resize(start + samples.size());
  for (size_t i = 0; i < samples.size(); ++i) {
    const double scaled = std::nearbyint(static_cast<double>(samples[i]) * kInt16Scale);
    out[start + i] = static_cast<int16_t>(std::clamp(scaled, double{std::numeric_limits<int16_t>::min()},
                                                     double{std::numeric_limits<int16_t>::max()}));
  }
}

void ToFloat(const int16_t* samples, size_t count, std::vector<float>& out) {
  out.resize(count);
  for (size_t i = 0; i < count; ++i) out[i] = static_cast<float>(samples[i] / kInt16Scale);
}

}  // namespace zbhost
