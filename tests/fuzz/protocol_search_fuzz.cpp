// Fuzz target for the parity protocol as a whole with the encoder's searching modes
// (framing and checks in ProtocolFuzz.h; the other modes have protocol_fuzz).
#include <cstdint>
#include <iterator>

#include "tests/fuzz/ProtocolFuzz.h"

namespace {
// Fewer frames than protocol_fuzz: the search costs a hundred times the other modes, and the
// protocol's cases (losses, duplicates, swaps, partner distances) all fit in a few frames.
constexpr uint32_t kMaxFrames = 8;
constexpr int32_t kEncoderModes[] = {ZB_ENCODER_SEARCH, ZB_ENCODER_SEARCH_DEEP};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zbfuzz::RunProtocolInput(data, size, kMaxFrames, kEncoderModes, static_cast<uint32_t>(std::size(kEncoderModes)));
  return 0;
}
