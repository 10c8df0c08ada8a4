// The IMA ADPCM step-index adjustment and step-size tables.
#pragma once

#include <cstdint>

inline constexpr int32_t kAdpcmMaxStepIndex = 88;

extern const int32_t AdpcmIndexTable[16];
extern const int32_t AdpcmStepTable[kAdpcmMaxStepIndex + 1];
