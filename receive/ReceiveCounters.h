// The receive path's one set of counters, shared by zbhost's report and the decoder element's
// `stats`.
#pragma once

#include <cstdint>

namespace zbreceive {

struct ReceiveCounters {
  int64_t received = 0;        // frames played from their own data packet, decoded
  int64_t rebuilt = 0;         // frames played from a rebuild out of a parity packet and its partner
  int64_t lost = 0;            // frames played with nothing rendered: concealed or silent
  int64_t longestLostRun = 0;  // most lost frames in a row
  int64_t concealed = 0;       // of the lost, filled by concealment rather than silence
  int64_t duplicates = 0;      // packets of a kind and number already taken, dropped
  int64_t late = 0;            // data packets, and rebuilds, that came after their frame had played
  int64_t parityReceived = 0;  // parity packets taken
  int64_t parityUsed = 0;      // of those, the ones a rebuild came from
  int64_t invalid = 0;         // packets of the wrong length dropped, and renders the module should not make
  int64_t restarts = 0;        // segments started after the first (a restart signal or a jump)

  int64_t ParityUnused() const { return parityReceived - parityUsed; }
};

}  // namespace zbreceive
