// Test signals for the codec's tests and the benchmarks, built from integers only so that
// every platform produces the same samples (golden hashes depend on it). Samples are
// returned as little-endian 16-bit PCM bytes, as the block coder takes them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace adpcm_signals {

inline constexpr int32_t kSampleRate = 8000;  // Hz

// xorshift32: small, fully specified, same sequence everywhere.
class Rng {
 public:
  explicit Rng(uint32_t seed) : m_state(seed != 0 ? seed : 0x9E3779B9u) {}
  uint32_t Next() {
    m_state ^= m_state << 13;
    m_state ^= m_state >> 17;
    m_state ^= m_state << 5;
    return m_state;
  }
  int32_t Sample() { return static_cast<int16_t>(static_cast<uint16_t>(Next() >> 16)); }
  int32_t Below(int32_t bound) { return static_cast<int32_t>(Next() % static_cast<uint32_t>(bound)); }

 private:
  uint32_t m_state;
};

// sin(2 pi phase / 2^32) in Q15 from a refined parabola (error below 0.1 %).
inline int32_t SineQ15(uint32_t phase) {
  const int64_t x = static_cast<int32_t>(phase) / 65536;  // Q15 in -1..1, half turn each side
  const int64_t y = 4 * x * (32768 - std::llabs(x)) / 32768;
  return static_cast<int32_t>(y + 225 * (y * std::llabs(y) / 32768 - y) / 1000);
}

inline uint32_t PhaseStep(int32_t hertz) {
  return static_cast<uint32_t>((static_cast<uint64_t>(hertz) << 32) / kSampleRate);
}

inline int16_t Saturate(int64_t value) {
  return static_cast<int16_t>(value > 32767 ? 32767 : (value < -32768 ? -32768 : value));
}

inline std::vector<uint8_t> ToBytes(const std::vector<int16_t>& samples) {
  std::vector<uint8_t> bytes(2 * samples.size());
  for (size_t n = 0; n < samples.size(); ++n) {
    const uint16_t bits = static_cast<uint16_t>(samples[n]);
    bytes[2 * n] = static_cast<uint8_t>(bits & 0xFF);
    bytes[2 * n + 1] = static_cast<uint8_t>(bits >> 8);
  }
  return bytes;
}

inline std::vector<int16_t> FromBytes(const std::vector<uint8_t>& bytes) {
  std::vector<int16_t> samples(bytes.size() / 2);
  for (size_t n = 0; n < samples.size(); ++n) {
    samples[n] = static_cast<int16_t>(static_cast<uint16_t>(bytes[2 * n] | (bytes[2 * n + 1] << 8)));
  }
  return samples;
}

inline std::vector<uint8_t> Silence(int32_t samples) { return std::vector<uint8_t>(2 * samples, 0); }

inline std::vector<uint8_t> Sine(int32_t samples, int32_t hertz, int32_t amplitude) {
  std::vector<int16_t> s(samples);
  uint32_t phase = 0;
  for (auto& v : s) {
    v = Saturate(int64_t{amplitude} * SineQ15(phase) / 32768);
    phase += PhaseStep(hertz);
  }
  return ToBytes(s);
}

// Full scale, -32768 and 32767, changing every periodSamples / 2 samples.
inline std::vector<uint8_t> Square(int32_t samples, int32_t periodSamples) {
  std::vector<int16_t> s(samples);
  for (int32_t n = 0; n < samples; ++n) s[n] = (n % periodSamples) < periodSamples / 2 ? 32767 : -32768;
  return ToBytes(s);
}

inline std::vector<uint8_t> Noise(int32_t samples, uint32_t seed) {
  Rng rng(seed);
  std::vector<int16_t> s(samples);
  for (auto& v : s) v = static_cast<int16_t>(rng.Sample());
  return ToBytes(s);
}

// A walk from a random start in steps of a roughness drawn once, held to the 16-bit range:
// seeded input that visits every range of step indices and reaches both clamps.
inline std::vector<int16_t> RandomWalk(Rng& rng, size_t samples) {
  const int32_t roughness = 1 + rng.Below(65536);
  int32_t x = rng.Sample();
  std::vector<int16_t> s(samples);
  for (auto& v : s) {
    x += rng.Below(roughness) - roughness / 2;
    x = x > 32767 ? 32767 : (x < -32768 ? -32768 : x);
    v = static_cast<int16_t>(x);
  }
  return s;
}

// Speech-like: voiced syllables of 120 to 240 ms (a gliding pitch with a few harmonics,
// shaped by a rise and fall), noisy fricatives, and pauses of 80 to 400 ms in between.
inline std::vector<uint8_t> Speech(int32_t samples, uint32_t seed) {
  Rng rng(seed);
  std::vector<int16_t> s(samples, 0);
  int32_t n = 0;
  int32_t smooth = 0;
  while (n < samples) {
    const int32_t pause = kSampleRate * (80 + rng.Below(320)) / 1000;
    for (int32_t k = 0; k < pause && n < samples; ++k, ++n) s[n] = static_cast<int16_t>(rng.Below(33) - 16);
    const int32_t length = kSampleRate * (120 + rng.Below(120)) / 1000;
    const int32_t pitch = 100 + rng.Below(120);
    const int32_t loudness = 4000 + rng.Below(16000);
    const bool fricative = rng.Below(4) == 0;
    uint32_t phase = 0;
    for (int32_t k = 0; k < length && n < samples; ++k, ++n) {
      const int64_t envelope =
          int64_t{loudness} *
          SineQ15(static_cast<uint32_t>((static_cast<uint64_t>(k) << 31) / static_cast<uint64_t>(length))) /
          32768;
      int64_t v;
      if (fricative) {
        v = envelope * (rng.Sample() / 2) / 32768;
      } else {
        const int32_t glide = pitch + (pitch * k) / (4 * length);
        phase += PhaseStep(glide);
        v = envelope *
            (SineQ15(phase) + SineQ15(2 * phase) / 2 + SineQ15(3 * phase) / 3 + SineQ15(5 * phase) / 5) /
            (2 * 32768);
      }
      smooth += static_cast<int32_t>((v - smooth) / 2);  // a gentle low-pass
      s[n] = Saturate(smooth);
    }
  }
  return ToBytes(s);
}

}  // namespace adpcm_signals
