// Fills the frames nothing could rebuild: from the audio before them with the shared
// concealment library when the build has it, with silence otherwise.
#pragma once

#include <cstddef>
#include <cstdint>

#ifdef ZBGST_HAVE_CONCEALER
#include "conceal/Concealer.h"
#endif

namespace zbgst {

class Concealment {
 public:
  explicit Concealment(int sampleRate);

  // A good frame in stream order; after a fill its first samples are cross-faded from it.
  void AddGoodFrame(int16_t* pcm, std::size_t nSamples);
  // Writes a fill for one lost frame; false when it wrote silence.
  bool ConcealFrame(int16_t* pcm, std::size_t nSamples);
  void Reset();

 private:
#ifdef ZBGST_HAVE_CONCEALER
  zbconceal::Concealer m_concealer;
#endif
};

}  // namespace zbgst
