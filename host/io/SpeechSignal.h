// The built-in input: a deterministic speech-like signal, so the program runs on a fresh
// machine without an audio file. Syllables of voiced sound (harmonics of a gliding pitch
// shaped by vowel formants), noise bursts like fricatives, and pauses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace zbhost {

inline constexpr double kDefaultInputSeconds = 10.0;

class ScriptRandom;

// The signal sample by sample: `seconds` of it at `rate` Hz, the same every time.
class SpeechSignal {
 public:
  SpeechSignal(int32_t rate, double seconds);
  ~SpeechSignal();
  SpeechSignal(const SpeechSignal&) = delete;
  SpeechSignal& operator=(const SpeechSignal&) = delete;

  // Fills up to `count` samples; returns how many (0 at the end).
  size_t Read(int16_t* out, size_t count);
  int64_t total() const { return m_nTotal; }

 private:
  void NextSegment();
  double NextValue();

  int32_t m_nRate;
  int64_t m_nTotal;
  double m_topHarmonic;
  std::unique_ptr<ScriptRandom> m_random;
  int64_t m_nProduced = 0;
  size_t m_nPattern = 0;  // the next segment's place in its syllable
  int m_nSyllable = 0;
  int m_kind = 0;         // the current segment's kind
  double m_length = 0;    // its length in seconds
  int64_t m_nCount = 0;   // its samples, cut at the end of the signal
  int64_t m_nIndex = 0;   // the next sample's place in it
  size_t m_nVowel = 0;
  double m_pitchFrom = 0;
  double m_pitchTo = 0;
  double m_phase = 0;
};

// `seconds` of the signal at `rate` Hz; the same arguments give the same samples.
std::vector<int16_t> GenerateSpeechLike(int32_t rate, double seconds);

}  // namespace zbhost
