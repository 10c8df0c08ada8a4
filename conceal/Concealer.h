// Pitch-based concealment of lost frames for a mono 16-bit stream, at any rate from 8 to
// 48 kHz. On a loss it finds the pitch period of the audio before it, repeats the last
// period (at least 8 ms of audio, so a short period two or three times; two and then three
// periods as the loss goes on, so a long fill does not buzz), holds the level for a short
// while and then lets it fall, and cross-fades back into the first good frame. The fill is
// computed from history alone: nothing is delayed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "conceal/PitchSearch.h"

namespace zbconceal {

// Fills lost frames of a mono 16-bit stream from the audio before them. Streaming: hand it
// every good frame in order and ask it for each lost frame as it comes.
class Concealer {
 public:
  explicit Concealer(int sampleRate);  // 8000..48000 Hz; throws std::invalid_argument outside

  // A good frame, in stream order. Processed in place: when it follows concealed frames, its
  // first samples are cross-faded from the fill. It becomes history for the next loss.
  void AddGoodFrame(int16_t* pcm, std::size_t nSamples);

  // Writes a fill for one lost frame of nSamples. Returns false (and writes silence) when no
  // good audio came before it (a loss at the start of the stream).
  bool ConcealFrame(int16_t* pcm, std::size_t nSamples);

  // Forgets all history (a new stream).
  void Reset();

 private:
  void StartFill();
  float NextFillSample();
  float Replayed(std::size_t periods, std::size_t& pos) const;
  void AppendHistory(const int16_t* pcm, std::size_t nSamples);

  std::size_t m_nHoldSamples;     // the fill keeps its level this long
  float m_fDecayPerSample;        // then its gain falls by this much per sample
  std::size_t m_nGrowSamples;     // one more period is replayed after each stretch this long
  std::size_t m_nMinReplay;       // samples: the fill replays at least this much, in periods
  PitchSearch m_pitch;
  std::vector<float> m_history;   // the latest output, oldest first
  bool m_bHasHistory = false;
  bool m_bInFill = false;         // the last frame handed out was a fill

  // The fill in progress: the history as it was when the loss began, its last periods
  // replayed.
  std::vector<float> m_source;
  std::size_t m_nPeriod = 0;      // samples
  std::size_t m_nOverlap = 0;     // a quarter period: the length of every cross-fade
  std::size_t m_nPeriods = 1;     // periods replayed now
  std::size_t m_nPos = 0;         // position in the replayed periods
  std::size_t m_nFilled = 0;      // samples filled since the loss began
  std::size_t m_nFadeLeft = 0;    // samples left of the cross-fade from fewer periods
  std::size_t m_nFadePos = 0;     // position in the periods replayed before
};

}  // namespace zbconceal
