// The ways of filling lost frames that the evaluation compares. Each takes the lossless
// decode and which frames were lost, and returns the stream as a listener would get it:
// the frames that arrived unchanged (or, after a fill, cross-faded), the lost ones filled.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zbconcealeval {

struct Stream {
  std::vector<int16_t> pcm;
  int sampleRate = 0;
  std::size_t frameSamples = 0;
};

enum class Fill {
  Silence,  // lost frames stay silent
  Fade,     // zbhost's fill until now: the last good frame from its first sample, fading
            // linearly to zero over three frames, silence after
  Pitch,    // the pitch-based concealment of zbconceal
  Spandsp,  // libspandsp's plc, made for 8 kHz (run at any rate for comparison)
};

std::vector<Fill> AvailableFills();
const char* FillName(Fill fill);

// `lost[f]` true for each frame f that never arrived.
std::vector<int16_t> Apply(Fill fill, const Stream& lossless, const std::vector<bool>& lost);

}  // namespace zbconcealeval
