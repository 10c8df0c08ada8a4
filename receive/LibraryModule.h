// One module of the library, reached through the exports table and the module's two faces:
// created by interface name, fed one frame at a time, and wired to a collecting sink face of
// ours that copies every frame the module emits, since emitted frames are only lent for the
// duration of the delivery.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "receive/Exports.h"

namespace zbreceive {

// A frame a module emitted: its type code, sequence number and payload.
struct EmittedFrame {
  uint8_t type = 0;
  int32_t seq = 0;
  std::vector<uint8_t> bytes;
};

// Calls on one object must not overlap; different objects may run on different threads when
// the library's allocator is thread-safe.
class LibraryModule {
 public:
  // Creates the module by interface name; throws std::runtime_error when the library cannot.
  LibraryModule(const ZbExports& exports, const char* interfaceName);
  ~LibraryModule();
  LibraryModule(const LibraryModule&) = delete;
  LibraryModule& operator=(const LibraryModule&) = delete;

  // Hands the module one frame of the audio kind and media class (partner distance 1); false
  // when it refused it. What the module emitted meanwhile waits in TakeEmitted().
  bool Push(uint8_t type, int32_t seq, const uint8_t* data, uint32_t len);
  std::vector<EmittedFrame> TakeEmitted();

  bool ResetStream();
  // Encoder modules only: switches parity frames on or off.
  void EnableRedundancy(bool enable);
  // Encoder modules only: codes the frames that follow in `mode`.
  void SetEncoderMode(ZbEncoderMode mode);

 private:
  class Collector;
  ZbDestroyInstanceFn m_fnDestroy;
  std::unique_ptr<Collector> m_pCollector;  // outlives the module, which detaches from it
  void* m_pObject = nullptr;
};

}  // namespace zbreceive
