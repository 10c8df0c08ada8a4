// The seed of the codec's randomised tests: ADPCM_TEST_SEED when set, else a fixed default,
// read with SeedFromEnvironment and printed with SeedNote.
#pragma once

#include <cstdint>

namespace zbtest {

inline constexpr char kSeedVariable[] = "ADPCM_TEST_SEED";
inline constexpr uint32_t kDefaultSeed = 20240611u;

}  // namespace zbtest
