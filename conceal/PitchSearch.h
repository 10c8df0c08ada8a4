// The pitch period of the end of a signal: the lag from 5 to 15 ms at which the last 5 ms
// best match the audio one lag before them, by normalised correlation. Searched coarsely on
// a copy averaged down to about 4 kHz, then refined sample by sample around the best lag.
#pragma once

#include <cstddef>
#include <vector>

namespace zbconceal {

class PitchSearch {
 public:
  explicit PitchSearch(int sampleRate);

  // Samples of history the search reads, counted back from its end.
  std::size_t Span() const { return m_nWindow + m_nMaxLag; }
  std::size_t MaxLag() const { return m_nMaxLag; }

  // The period of the signal ending at `end` (Span() samples before it must be readable).
  std::size_t Find(const float* end);

 private:
  std::size_t m_nFactor;  // samples averaged into one of the coarse copy
  std::size_t m_nWindow;
  std::size_t m_nMinLag;
  std::size_t m_nMaxLag;
  std::vector<float> m_coarse;
};

}  // namespace zbconceal
