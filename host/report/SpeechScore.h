// The figures that measure speech, worked out while a column streams: SNR and segmental
// SNR over every frame, log-spectral distance over the frames nothing rebuilt (lost for good or
// concealed) that hold speech, and STOI, each against the input and the lossless decode.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

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

class SpeechScore {
 public:
  SpeechScore(int32_t rate, int32_t frameSamples);

  // One final frame: `length` samples of it belong to the input. Returns the frame's
  // log-spectral distance from the lossless decode when it was lost and holds speech.
  std::optional<double> Add(const int16_t* input, const int16_t* lossless, const int16_t* decoded,
                            size_t length, bool lost);

  // Call once, after the last frame.
  SpeechFigures FinishVsInput() { return Finish(m_input); }
  SpeechFigures FinishVsLossless() { return Finish(m_lossless); }

 private:
  struct Meters {
    Meters(int32_t rate, int32_t frameSamples) : lsd(static_cast<size_t>(frameSamples)), stoi(rate) {}
    zbspeechmetrics::SnrMeter snr;
    zbspeechmetrics::SpectralDistance lsd;
    zbspeechmetrics::StoiMeter stoi;
  };
  static std::optional<double> AddTo(Meters& meters, const int16_t* reference,
                                     const int16_t* decoded, size_t length, bool spectral);
  static SpeechFigures Finish(Meters& meters);

  size_t m_nFrameSamples;
  Meters m_input;
  Meters m_lossless;
};

}  // namespace zbhost
