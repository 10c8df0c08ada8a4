// The fills, each run over the stream frame by frame as a receiver would.
#include "concealeval/Fills.h"

#include <algorithm>
#include <cmath>

#include "conceal/Concealer.h"

#ifdef ZB_HAVE_SPANDSP
#include <spandsp.h>
#endif

namespace zbconcealeval {

namespace {

constexpr int kFadeFrames = 3;

std::vector<int16_t> FadeFill(const Stream& s, const std::vector<bool>& lost) {
  std::vector<int16_t> out = s.pcm;
  const std::size_t n = s.frameSamples;
  const double total = static_cast<double>(kFadeFrames) * static_cast<double>(n);
  long lastGood = -1;
  int run = 0;
  for (std::size_t f = 0; f < lost.size(); ++f) {
    if (!lost[f]) {
      lastGood = static_cast<long>(f);
      run = 0;
      continue;
    }
    ++run;
    int16_t* to = &out[f * n];
    if (lastGood < 0 || run > kFadeFrames) {
      std::fill(to, to + n, int16_t{0});
      continue;
    }
    const int16_t* from = &out[static_cast<std::size_t>(lastGood) * n];
    const double start = static_cast<double>(run - 1) * static_cast<double>(n);
    for (std::size_t i = 0; i < n; ++i) {
      const double gain = 1.0 - (start + static_cast<double>(i)) / total;
      to[i] = static_cast<int16_t>(std::lround(from[i] * gain));
    }
  }
  return out;
}

// Runs a streaming concealer with AddGoodFrame/ConcealFrame-like calls over the stream.
template <typename Good, typename Lost>
std::vector<int16_t> Streamed(const Stream& s, const std::vector<bool>& lost, Good good, Lost fill) {
  std::vector<int16_t> out = s.pcm;
  for (std::size_t f = 0; f < lost.size(); ++f) {
    int16_t* frame = &out[f * s.frameSamples];
    if (lost[f]) {
      fill(frame, s.frameSamples);
    } else {
      good(frame, s.frameSamples);
    }
  }
  return out;
}

}  // namespace

std::vector<Fill> AvailableFills() {
#ifdef ZB_HAVE_SPANDSP
  return {Fill::Silence, Fill::Fade, Fill::Pitch, Fill::Spandsp};
#else
  return {Fill::Silence, Fill::Fade, Fill::Pitch};
#endif
}

const char* FillName(Fill fill) {
  switch (fill) {
    case Fill::Silence: return "silence";
    case Fill::Fade: return "fade";
    case Fill::Pitch: return "pitch";
    case Fill::Spandsp: return "spandsp";
  }
  return "?";
}

std::vector<int16_t> Apply(Fill fill, const Stream& lossless, const std::vector<bool>& lost) {
  switch (fill) {
    case Fill::Silence:
      return Streamed(
          lossless, lost, [](int16_t*, std::size_t) {},
          [](int16_t* pcm, std::size_t n) { std::fill(pcm, pcm + n, int16_t{0}); });
    case Fill::Fade:
      return FadeFill(lossless, lost);
    case Fill::Pitch: {
      zbconceal::Concealer concealer(lossless.sampleRate);
      return Streamed(
          lossless, lost, [&](int16_t* pcm, std::size_t n) { concealer.AddGoodFrame(pcm, n); },
          [&](int16_t* pcm, std::size_t n) { concealer.ConcealFrame(pcm, n); });
    }
    case Fill::Spandsp: {
#ifdef ZB_HAVE_SPANDSP
      plc_state_t* plc = plc_init(nullptr);
      std::vector<int16_t> out = Streamed(
          lossless, lost, [&](int16_t* pcm, std::size_t n) { plc_rx(plc, pcm, static_cast<int>(n)); },
          [&](int16_t* pcm, std::size_t n) { plc_fillin(plc, pcm, static_cast<int>(n)); });
      plc_free(plc);
      return out;
#else
      break;
#endif
    }
  }
  return lossless.pcm;
}

}  // namespace zbconcealeval
