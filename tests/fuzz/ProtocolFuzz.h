// The body shared by the protocol fuzz targets: the input's bytes choose a stream (frame
// lengths, partner distance, numbers near the 32-bit wrap), the encoder's mode among the
// target's own, the link's losses, duplicates and swaps, and calls back into either module
// from their outputs. The stream runs through encoder, link and decoder as in the seeded
// protocol test. The modes are split between targets by cost, so that the searching modes
// do not slow the fuzzing of the rest.
//
// Input framing: byte 0 modulo (M x the target's mode count), M the target's most frames,
// gives the number of frames (1 + it modulo M) and the encoder's mode (it divided by M, in
// the target's order); every
// later choice below n takes one byte when n is at most 256, else four (little-endian),
// modulo n; past the end of the input every choice is 0.
// Checks, alike in every mode: every parity is the XOR of the frames it names; without
// calls back into the decoder its output equals the model's; every rendered frame was sent,
// is rendered once and with its own timestamp, bit for bit (a frame rebuilt from its
// earlier partner may take that partner's length instead, cut or filled with zero bytes);
// with losses alone every frame one parity can rebuild is rendered; every buffer goes back
// to the allocator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/fuzz/FuzzCheck.h"
#include "tests/support/ProtocolScenario.h"
#include "tests/support/TestSupport.h"

namespace zbfuzz {

class ByteChooser : public zbtest::Chooser {
 public:
  ByteChooser(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
  uint32_t Below(uint32_t n) override {
    constexpr uint32_t kOneByteRange = 256;
    uint32_t value = 0;
    const size_t bytes = n <= kOneByteRange ? 1 : 4;
    for (size_t i = 0; i < bytes && m_offset < m_size; ++i) value |= uint32_t{m_data[m_offset++]} << (8 * i);
    return value % n;
  }

 private:
  const uint8_t* m_data;
  size_t m_size;
  size_t m_offset = 0;
};

// Runs one input of at most `maxFrames` frames with the encoder in one of `modes`
// (`modeCount` of them).
inline void RunProtocolInput(const uint8_t* data, size_t size, uint32_t maxFrames, const int32_t* modes,
                             uint32_t modeCount) {
  ByteChooser choose(data, size);
  const uint32_t setup = choose.Below(maxFrames * modeCount);
  const uint32_t frames = 1 + setup % maxFrames;
  const int32_t mode = modes[setup / maxFrames];
  zbtest::CountingAllocator allocator;
  std::vector<std::string> problems;
  {
    zbtest::AllocatorScope scope(&allocator);
    problems = zbtest::RunProtocolScenario(choose, frames, true, mode);
  }
  for (const std::string& problem : problems) std::fprintf(stderr, "%s\n", problem.c_str());
  ZB_FUZZ_CHECK(problems.empty());
  ZB_FUZZ_CHECK(allocator.live() == 0);
  ZB_FUZZ_CHECK(allocator.badFrees() == 0);
}

}  // namespace zbfuzz
