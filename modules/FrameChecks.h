// Checks on incoming frames shared by the codec modules.
#pragma once

#include <cstdint>

#include "Include/QV_Interface/zbav_abi.h"

// A frame that can be read at all: record, info and (for a non-empty payload) data present.
inline bool IsWellFormedFrame(const AvFrame* frame) {
  return frame != nullptr && frame->info != nullptr && (frame->data != nullptr || frame->len == 0);
}

// Frame class 2: bit 0 clear, bit 1 set, bit 2 clear.
inline bool IsMediaClass(uint8_t flags) { return (flags & AV_FLAGS_CLASS_MASK) == AV_CLASS_MEDIA; }
