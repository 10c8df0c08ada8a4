// The kernel's rare clamps to the 16-bit sample range, out of line so they stay off the sample chain.
#include "codec/AdpcmKernel.h"

int32_t AdpcmClampToSampleMax(int32_t value) { return value > kAdpcmSampleMax ? kAdpcmSampleMax : value; }

int32_t AdpcmClampToSample(int32_t value) {
  return value > kAdpcmSampleMax ? kAdpcmSampleMax : (value < kAdpcmSampleMin ? kAdpcmSampleMin : value);
}
