// The figures that measure speech, worked out while a column streams: SNR and segmental
// SNR over every frame, log-spectral distance over the frames nothing rebuilt (lost for good or
// concealed) that hold speech, and STOI, each against the input and the lossless decode.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "speechmetrics/SnrMeter.h"
#include "speechmetrics/SpectralDistance.h"
#include "speechmetrics/Stoi.h"

namespace zbhost {

// The figures against one reference; NaN where there was nothing to measure.
struct SpeechFigures {
  double snrDb = 0;          // over the whole stream: +inf when identical
  double segmentalSnrDb = 0;
  double lostLsdDb = 0;      // mean over the lost speech frames
  int64_t lostSpeechFrames = 0;
  double stoi = 0;
};

// SNR and LSD are worked out as each frame comes, as a frame's LSD goes into its row. STOI,
// which costs most (three signals resampled, two spectra a hop, correlations), is worked
// out on a thread of its own from copies of the frames, handed over a second at a time, at
// most a few seconds ahead, so that the stream need not wait for it.
class SpeechScore {
 public:
  SpeechScore(int32_t rate, int32_t frameSamples);
  ~SpeechScore();
  SpeechScore(const SpeechScore&) = delete;
  SpeechScore& operator=(const SpeechScore&) = delete;

  // One final frame: `length` samples of it belong to the input. Returns the frame's
  // log-spectral distance from the lossless decode when it was lost and holds speech.
  std::optional<double> Add(const int16_t* input, const int16_t* lossless, const int16_t* decoded,
                            size_t length, bool lost);

  // Call once each, after the last frame. Throws what the STOI thread threw.
  SpeechFigures FinishVsInput() { return Finish(m_input, m_stoiVsInput); }
  SpeechFigures FinishVsLossless() { return Finish(m_lossless, m_stoiVsLossless); }
  // The CPU time STOI's thread took, once finished.
  double stoiSeconds() const { return m_stoiSeconds; }

 private:
  struct Meters {
    explicit Meters(int32_t frameSamples) : lsd(static_cast<size_t>(frameSamples)) {}
    zbspeechmetrics::SnrMeter snr;
    zbspeechmetrics::SpectralDistance lsd;
  };
  // A second of the three signals, each frame's `length` samples one after another.
  struct Block {
    std::vector<int16_t> input;
    std::vector<int16_t> lossless;
    std::vector<int16_t> decoded;
    std::vector<size_t> lengths;
  };
  static std::optional<double> AddTo(Meters& meters, const int16_t* reference,
                                     const int16_t* decoded, size_t length, bool spectral);
  SpeechFigures Finish(Meters& meters, const double& stoi);
  void HandOver();        // the block being gathered, to the STOI thread
  void FinishStoi();      // waits for the STOI thread's figures
  void ScoreStoi(int32_t rate);  // the STOI thread

  size_t m_nFrameSamples;
  Meters m_input;
  Meters m_lossless;
  Block m_gathering;  // the stream's thread only

  std::mutex m_lock;
  std::condition_variable m_changed;
  std::deque<Block> m_blocks;      // guarded by m_lock
  bool m_bEnded = false;           // guarded by m_lock: no block will follow
  std::exception_ptr m_failure;    // guarded by m_lock
  // Written by the STOI thread before it ends; read once it has been joined.
  double m_stoiVsInput = 0;
  double m_stoiVsLossless = 0;
  double m_stoiSeconds = 0;
  std::thread m_stoi;  // started last, once everything it uses exists
};

}  // namespace zbhost
