// The plug-in's binding to the codec library, reached as any host reaches it: the five exports,
// the descriptor that installs the frame-buffer allocator, and the modules' two faces. A module
// is wired to a sink face of ours that copies every frame the module emits, since emitted frames
// are only lent for the duration of the delivery.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "zbexports.h"

namespace zbgst {

// A frame a module emitted: its type code, sequence number and payload.
struct EmittedFrame {
  uint8_t type = 0;
  int32_t seq = 0;
  std::vector<uint8_t> bytes;
};

// Initialises the library once per process and installs the allocator. False when the library
// fails to initialise or offers no descriptor; true on every later call after a success.
bool InitLibrary();

// One encoder or decoder module. Calls on one object must not overlap; different objects may
// run on different threads (the allocator is thread-safe).
class LibraryModule {
 public:
  // Creates the module by interface name; throws std::runtime_error when the library cannot.
  explicit LibraryModule(const char* interfaceName);
  ~LibraryModule();
  LibraryModule(const LibraryModule&) = delete;
  LibraryModule& operator=(const LibraryModule&) = delete;

  // Hands the module one frame of the audio kind and media class; false when it refused it.
  // What the module emitted meanwhile waits in TakeEmitted().
  bool Push(uint8_t type, int32_t seq, const uint8_t* data, uint32_t len);
  std::vector<EmittedFrame> TakeEmitted();

  bool ResetStream();
  // Encoder modules only: switches parity frames on or off.
  void EnableRedundancy(bool enable);
  // Encoder modules only: codes the frames that follow in `mode`.
  void SetEncoderMode(ZbEncoderMode mode);

 private:
  class Collector;
  std::unique_ptr<Collector> m_pCollector;  // outlives the module, which detaches from it
  void* m_pObject = nullptr;
};

}  // namespace zbgst
