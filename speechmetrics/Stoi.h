// Intelligibility: the short-time objective intelligibility measure of Taal, Hendriks,
// Heusdens and Jensen (2011). Both signals are resampled to 10 kHz; frames where the
// reference is more than 40 dB below its loudest frame are removed; 256-sample frames (hop
// 128) are grouped into 15 one-third-octave bands from 150 Hz; over every 384 ms segment
// the band envelope of the test signal, scaled to the reference's energy and clipped at
// -15 dB signal-to-distortion, is correlated with the reference's. The mean correlation,
// about 0 to 1, rises with intelligibility.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zbspeechmetrics {

// The measure for two mono signals of nSamples at sampleRate Hz; NaN when, once silence is
// removed, the reference is shorter than one segment.
double Stoi(const int16_t* reference, const int16_t* test, std::size_t nSamples, int sampleRate);

}  // namespace zbspeechmetrics
