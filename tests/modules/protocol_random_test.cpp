// Seeded protocol scenarios: hundreds of streams through encoder, a lossy link (losses,
// duplicates, adjacent swaps) and decoder, each compared with a model of the decoder and
// checked against the protocol's invariants. A failure prints the stream's seed.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "tests/modules/ModuleHarness.h"
#include "tests/support/ProtocolScenario.h"

namespace zbtest {
namespace {

constexpr uint32_t kStreams = 400;
constexpr uint32_t kFramesPerStream = 40;

// Choices from a seeded generator (splitmix64).
class SeededChooser : public Chooser {
 public:
  explicit SeededChooser(uint64_t seed) : m_state(seed) {}
  uint32_t Below(uint32_t n) override {
    m_state += 0x9E3779B97F4A7C15u;
    uint64_t z = m_state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return static_cast<uint32_t>((z ^ (z >> 31)) % n);
  }

 private:
  uint64_t m_state;
};

// ZB_PROTOCOL_SEED=S runs the streams from seed S on.
constexpr char kSeedVariable[] = "ZB_PROTOCOL_SEED";

using ProtocolRandomTest = ModuleTest;

TEST_F(ProtocolRandomTest, DecoderFollowsItsModelAndKeepsTheInvariants) {
  const uint32_t first = SeedFromEnvironment(kSeedVariable, 1u);
  for (uint32_t seed = first; seed < first + kStreams; ++seed) {
    SeededChooser choose(seed);
    const std::vector<std::string> problems = RunProtocolScenario(choose, kFramesPerStream, true);
    std::string report;
    for (const std::string& problem : problems) report += "\n  " + problem;
    ASSERT_TRUE(problems.empty()) << SeedNote(kSeedVariable, seed) << ":" << report;
    ASSERT_EQ(allocator.live(), 0u) << "seed " << seed << ": frame buffers not given back";
  }
}

}  // namespace
}  // namespace zbtest
