// Feeding the speech meters frame by frame.
#include "host/report/SpeechScore.h"

namespace zbhost {

SpeechScore::SpeechScore(int32_t rate, int32_t frameSamples)
    : m_nFrameSamples(static_cast<size_t>(frameSamples)),
      m_input(rate, frameSamples),
      m_lossless(rate, frameSamples) {}

std::optional<double> SpeechScore::Add(const int16_t* input, const int16_t* lossless,
                                       const int16_t* decoded, size_t length, bool lost) {
  // A spectrum is taken of whole frames only: the last one, padded past the input, is not.
  const bool spectral = lost && length == m_nFrameSamples;
  AddTo(m_input, input, decoded, length, spectral);
  return AddTo(m_lossless, lossless, decoded, length, spectral);
}

std::optional<double> SpeechScore::AddTo(Meters& meters, const int16_t* reference,
                                         const int16_t* decoded, size_t length, bool spectral) {
  meters.snr.AddFrame(reference, decoded, length);
  meters.stoi.Add(reference, decoded, length);
  return spectral ? meters.lsd.AddFrame(reference, decoded) : std::nullopt;
}

SpeechFigures SpeechScore::Finish(Meters& meters) {
  SpeechFigures figures;
  figures.snrDb = meters.snr.SnrDb();
  figures.segmentalSnrDb = meters.snr.SegmentalSnrDb();
  figures.lostLsdDb = meters.lsd.MeanDb();
  figures.lostSpeechFrames = static_cast<int64_t>(meters.lsd.SpeechFrames());
  figures.stoi = meters.stoi.Finish();
  return figures;
}

}  // namespace zbhost
