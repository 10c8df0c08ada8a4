// The block layout the encoder and decoder modules send: each 320-byte PCM piece becomes
// one 84-byte one-channel block. The block format allows other sizes; the multi-block lane
// kernels are specialised for this one, so that every lane's address is a constant offset.
#pragma once

#include <cstdint>

inline constexpr int32_t kAdpcmPcmBytesPerBlock = 320;  // PCM bytes one module block covers
inline constexpr int32_t kAdpcmBlockBytes = 84;         // bytes of one module block
