// The built-in input: a deterministic speech-like signal, so the program runs on a fresh
// machine without an audio file. Syllables of voiced sound (harmonics of a gliding pitch
// shaped by vowel formants), noise bursts like fricatives, and pauses.
#pragma once

#include <cstdint>
#include <vector>

namespace zbhost {

inline constexpr double kDefaultInputSeconds = 10.0;

// `seconds` of the signal at `rate` Hz; the same arguments give the same samples.
std::vector<int16_t> GenerateSpeechLike(int32_t rate, double seconds);

}  // namespace zbhost
