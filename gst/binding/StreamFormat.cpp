// Frame header coding and the rate check.
#include "gst/binding/StreamFormat.h"

#include <algorithm>

namespace zbgst {

bool IsSupportedRate(int rate) { return std::find(kRates.begin(), kRates.end(), rate) != kRates.end(); }

void WriteFrameHeader(uint8_t* out, FrameHeader header) {
  const uint32_t word = (header.number & kFrameNumberMask) | (header.parity ? kParityBit : 0u);
  out[0] = static_cast<uint8_t>(word >> 24);
  out[1] = static_cast<uint8_t>(word >> 16);
  out[2] = static_cast<uint8_t>(word >> 8);
  out[3] = static_cast<uint8_t>(word);
}

FrameHeader ReadFrameHeader(const uint8_t* in) {
  const uint32_t word = static_cast<uint32_t>(in[0]) << 24 | static_cast<uint32_t>(in[1]) << 16 |
                        static_cast<uint32_t>(in[2]) << 8 | static_cast<uint32_t>(in[3]);
  return FrameHeader{(word & kParityBit) != 0, word & kFrameNumberMask};
}

int32_t FrameNumberDistance(uint32_t from, uint32_t to) {
  constexpr uint32_t kHalf = (kFrameNumberMask >> 1) + 1;  // 2^30
  const uint32_t forward = (to - from) & kFrameNumberMask;
  return forward > kHalf ? static_cast<int32_t>(forward) - static_cast<int32_t>(kFrameNumberMask) - 1
                         : static_cast<int32_t>(forward);
}

}  // namespace zbgst
