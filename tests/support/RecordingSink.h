// The recording sink every suite uses: it copies what each delivery carried, can run a hook
// or throw inside HandleFrame, and answers as it is told. FrameRecorder<Face> records on
// any sink face (the host's own faces included); RecordingSink is the module form that the
// framework creates and destroys.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <utility>
#include <vector>

#include "Include/QV_Interface/zbav.h"

namespace zbtest {

// What one HandleFrame call carried, copied during the call. A frame without info records
// its numbers as 0.
struct Received {
  const AvFrame* frame;
  const AvFrameInfo* info;
  uint8_t type;
  uint16_t kind;
  int32_t seq;
  int32_t timestamp;
  uint8_t flags;
  std::vector<uint8_t> payload;
};

// Records every frame handed to it. Frames may arrive on any thread; read `received` once
// the senders have finished.
template <typename Face>
class FrameRecorder : public Face {
 public:
  bool AcceptsType(uint16_t) override { return true; }
  bool HandleFrame(AvSourceFace*, AvFrame* frame) override {
    const AvFrameInfo* info = frame->info;
    Received r{frame,
               info,
               frame->type,
               frame->kind,
               info != nullptr ? info->seq : 0,
               info != nullptr ? info->timestamp : 0,
               info != nullptr ? info->flags : uint8_t{0},
               frame->data != nullptr ? std::vector<uint8_t>(frame->data, frame->data + frame->len)
                                      : std::vector<uint8_t>()};
    size_t count = 0;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      received.push_back(std::move(r));
      count = received.size();
    }
    if (onFrame) onFrame(*frame);
    if (throwOnFrame != 0 && count == throwOnFrame) throw std::runtime_error("sink");
    return takes;
  }
  std::vector<Received> OfType(uint8_t type) const {
    std::vector<Received> out;
    for (const auto& r : received) {
      if (r.type == type) out.push_back(r);
    }
    return out;
  }

  std::vector<Received> received;  // appended under m_mutex
  std::function<void(const AvFrame&)> onFrame;  // runs inside HandleFrame, after the copy
  size_t throwOnFrame = 0;  // 1-based index of the frame whose HandleFrame throws; 0: never
  bool takes = true;        // HandleFrame's answer

 private:
  std::mutex m_mutex;
};

// A sink module that records every frame.
class RecordingSink final : public FrameRecorder<AvSink> {
 public:
  void* DeletingDestructor(unsigned int flags) override { return DestroyModule(this, flags); }
};

}  // namespace zbtest
