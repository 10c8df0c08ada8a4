// The interface header: the source and sink base classes that implement the two faces
// once for every module (connection lists on both sides, frame delivery, detaching on
// destruction) and the encoder and decoder filter bases.
//
// Lock discipline: each port list has its own recursive lock. A connection change holds
// only its own list's lock while it edits the list and releases it before it calls the
// peer's mirror operation, so two threads changing the same pair from opposite ends never
// wait for each other. Until the peer has answered, the entry a connection adds is
// provisional: it answers the peer's call back on the same thread and is no connection for
// anything else (delivery, counting, a connection of the same pair on another thread).
// DeliverFrame holds the output list's lock while the outputs handle the frame; an output
// may change the delivering source's connections from inside HandleFrame on the same thread.
//
// Lock order, for every lock of the library. A thread takes them only in this order:
//   1. a codec module's state lock (m_lckState), for the whole of its HandleFrame;
//   2. that module's output list lock, for each delivery. The outputs' HandleFrame runs under
//      both, so along a chain of modules 1 and 2 repeat from upstream to downstream;
//   3. any other port list lock, held only while its own list is edited or counted, and the
//      instance registry's lock, held only while its map is read or changed: nothing else is
//      taken under either. zbDestroyInstance forgets the record under the registry lock and
//      destroys the module after releasing it, so an output may call every export from
//      inside HandleFrame.
// A thread that holds a lock may take it again (every Locker is recursive): an output may
// call back upstream, and a peer calls back the side that called it.
#pragma once

#include <atomic>
#include <cstdint>

#include "Include/QV_Interface/zbav_abi.h"
#include "QV_Base/Src/QV_Assert.h"
#include "QV_Base/Src/QV_LockedContainers.h"

// Reported as lines of the interface header "zbav"; fixed numbers, not this file's lines.
inline constexpr zbbase::AssertSite kAssertAddOutput{"pOutput", "zbav", 1166};
inline constexpr zbbase::AssertSite kAssertRemoveOutput{"pOutput", "zbav", 1177};
inline constexpr zbbase::AssertSite kAssertAddInput{"pInput", "zbav", 1214};
inline constexpr zbbase::AssertSite kAssertRemoveInput{"pInput", "zbav", 1225};
inline constexpr zbbase::AssertSite kAssertDeliverOutput{"lpOutput", "zbav", 1251};

// Destroys a module through slot 0: runs its destructor and, when asked, frees its memory.
// Module is the object's own (most derived) class, so the destructor is named directly.
template <typename Module>
void* DestroyModule(Module* self, unsigned int flags) {
  self->Module::~Module();
  if ((flags & kDeleteFreesMemory) != 0) ::operator delete(self);
  return self;
}

// The connection layer of a source face: the list of outputs. `Face` is the source face
// interface the module offers (plain, filter or encoder), so that the module's vtable is
// that interface's, slot for slot.
template <typename Face>
class AvSourcePortOf : public Face {
 public:
  // Connecting is all or nothing: when either side cannot list the other (no memory for a
  // node block, a peer that refuses or throws), the call lists nothing on either side and
  // the answer is false. Removing also cancels a connection of the pair in progress on
  // another thread. No exception leaves a connection operation.
  bool AddOutput(AvSinkFace* pOutput) override;
  bool RemoveOutput(AvSinkFace* pOutput) override;
  int32_t CountActiveOutputs() override;

 protected:
  AvSourcePortOf() = default;
  // Detaches every output: takes each off the list in turn and tells it. Allocates nothing.
  ~AvSourcePortOf();

  // Sink faces of the outputs, in connection order. Guarded by its own Locker.
  zbbase::LockedPtrList<AvSinkFace> m_lstOutputs;
};

// A source face with its reserved operations and frame delivery.
template <typename Face>
class AvSourceOf : public AvSourcePortOf<Face> {
 public:
  int32_t ReservedQuery() override;
  void ReservedNotify() override;

  // Offers `frame` to every active output in connection order; returns when all have
  // handled it. Holds the output list's lock throughout. An output removed during the
  // walk gets nothing more from it.
  void DeliverFrame(AvFrame* frame);
  // Delivers a fresh frame record of these fields, as DeliverFrame does.
  void SendFrame(uint8_t type, uint16_t kind, AvFrameInfo* info, uint32_t len, uint8_t* data);

 protected:
  AvSourceOf() = default;
  ~AvSourceOf() = default;
};

using AvSourcePort = AvSourcePortOf<AvSourceFace>;
using AvSource = AvSourceOf<AvSourceFace>;

// The connection layer of the sink face: the list of inputs and the active switch.
class AvSinkPort : public AvSinkFace {
 public:
  bool IsActive(AvSourceFace* from) override;
  // As AddOutput and RemoveOutput, from the sink's side.
  bool AddInput(AvSourceFace* pInput) override;
  bool RemoveInput(AvSourceFace* pInput) override;

 protected:
  AvSinkPort() = default;
  // Detaches every input: takes each off the list in turn and tells it. Allocates nothing.
  ~AvSinkPort();

  // Source faces of the inputs, in connection order. Guarded by its own Locker.
  zbbase::LockedPtrList<AvSourceFace> m_lstInputs;
  bool m_bActive = true;  // true for the whole life of every module of this library
};

class AvSink : public AvSinkPort {
 protected:
  AvSink() = default;
  ~AvSink() = default;
};

// Base of encoder modules: takes PCM, emits its own type plus parity frames.
class AvEncoderBase : public AvSourceOf<AvEncoderSourceFace>, public AvSink {
 public:
  bool ResetStream() override;
  void ReservedSetting(int32_t value) override;
  void EnableRedundancy(bool enable) override;
  int32_t ReservedControl(int32_t value) override;
  bool AcceptsType(uint16_t type) override;

 protected:
  AvEncoderBase() = default;
  ~AvEncoderBase() = default;

  // Written by EnableRedundancy from any thread, read by the encoder without a lock.
  std::atomic<bool> m_bRedundancy{true};
};

// Base of decoder modules: emits PCM.
class AvDecoderBase : public AvSourceOf<AvFilterSourceFace>, public AvSink {
 public:
  bool ResetStream() override;
  int32_t ReservedControl(int32_t value) override;
  uint16_t GetOutputType() override;

 protected:
  AvDecoderBase() = default;
  ~AvDecoderBase() = default;
};

extern template class AvSourcePortOf<AvSourceFace>;
extern template class AvSourcePortOf<AvFilterSourceFace>;
extern template class AvSourcePortOf<AvEncoderSourceFace>;
extern template class AvSourceOf<AvSourceFace>;
extern template class AvSourceOf<AvFilterSourceFace>;
extern template class AvSourceOf<AvEncoderSourceFace>;

static_assert(sizeof(std::atomic<bool>) == sizeof(bool), "m_bRedundancy keeps the size of a bool");

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(AvFrame) == 16, "AvFrame is 16 bytes");
static_assert(sizeof(AvFrameInfo) == 12, "AvFrameInfo is 12 bytes");
static_assert(sizeof(zbbase::LockedPtrList<AvSinkFace>) == 52, "LockedPtrList is 52 bytes");
#endif
static_assert(sizeof(AvSourceOf<AvEncoderSourceFace>) == kSinkFaceOffset &&
                  sizeof(AvSourceOf<AvFilterSourceFace>) == kSinkFaceOffset,
              "the sink face follows the source part");
