// Concealment through the shared library, or silence in builds without it.
#include "gst/decode/Concealment.h"

#include <algorithm>

namespace zbgst {

#ifdef ZBGST_HAVE_CONCEALER

Concealment::Concealment(int sampleRate) : m_concealer(sampleRate) {}
void Concealment::AddGoodFrame(int16_t* pcm, std::size_t nSamples) { m_concealer.AddGoodFrame(pcm, nSamples); }
bool Concealment::ConcealFrame(int16_t* pcm, std::size_t nSamples) { return m_concealer.ConcealFrame(pcm, nSamples); }
void Concealment::Reset() { m_concealer.Reset(); }

#else

Concealment::Concealment(int) {}
void Concealment::AddGoodFrame(int16_t*, std::size_t) {}
bool Concealment::ConcealFrame(int16_t* pcm, std::size_t nSamples) {
  std::fill(pcm, pcm + nSamples, int16_t{0});
  return false;
}
void Concealment::Reset() {}

#endif

}  // namespace zbgst
