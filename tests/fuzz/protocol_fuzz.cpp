// Fuzz target for the parity protocol as a whole with the encoder's sample-by-sample modes
// (framing and checks in ProtocolFuzz.h; the searching modes have protocol_search_fuzz).
#include <cstdint>
#include <iterator>

#include "tests/fuzz/ProtocolFuzz.h"

namespace {
constexpr uint32_t kMaxFrames = 48;
constexpr int32_t kEncoderModes[] = {ZB_ENCODER_SPECIFIED, ZB_ENCODER_CARRIED};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zbfuzz::RunProtocolInput(data, size, kMaxFrames, kEncoderModes, static_cast<uint32_t>(std::size(kEncoderModes)));
  return 0;
}
