// The lossy link the module tests put between two modules: it drops the frames a rule
// selects and can deliver every other frame twice.
#pragma once

#include <cstdint>
#include <functional>

#include "Include/QV_Interface/zbav.h"

namespace zbtest {

// Passes frames from its sink face to its outputs, except those `drop` selects.
class LossyLink final : public AvEncoderBase {
 public:
  using DropRule = std::function<bool(uint8_t type, int32_t seq)>;
  void* DeletingDestructor(unsigned int flags) override { return DestroyModule(this, flags); }
  uint16_t GetOutputType() override { return AV_TYPE_ADPCM; }
  bool AcceptsType(uint16_t) override { return true; }
  bool HandleFrame(AvSourceFace*, AvFrame* frame) override {
    if (drop && drop(frame->type, frame->info->seq)) return true;
    DeliverFrame(frame);
    if (duplicate) DeliverFrame(frame);
    return true;
  }
  DropRule drop;
  bool duplicate = false;  // deliver every passed frame twice
};

}  // namespace zbtest
