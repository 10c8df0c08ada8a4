// The binary contract shared by the host, this library and modules of other libraries:
// the frame records, the frame type codes, the two faces of a module with their
// operations in slot order, and the host allocator interface.
//
// Slot 0 of every face is one vtable entry, the deleting destructor: it takes a flags
// argument (bit 0: free the memory), destroys the whole module and returns its address.
// On 32-bit Windows member functions use the thiscall convention and bool is one byte.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
  AV_TYPE_PCM = 128,          // 16-bit PCM samples
  AV_TYPE_ADPCM = 139,        // ADPCM blocks
  AV_TYPE_ADPCM_PARITY = 140  // byte-wise XOR of two ADPCM payloads
};

enum {
  AV_KIND_AUDIO = 12,              // the only stream kind the decoder processes
  AV_FLAGS_CLASS_MASK = 0x07,      // bits 0 to 2: frame class
  AV_CLASS_MEDIA = 2,              // the only frame class the modules process
  AV_FLAGS_DISTANCE_SHIFT = 5      // bits 5 to 7: partner distance minus one
};

/* Encoder modes of this library's "QV_AdpcmEncoder", chosen by passing one of these values
 * to slot 9 of its source face (ReservedSetting). Every value carries a tag, 0x5A424D
 * ("ZBM") in its top three bytes, and has an odd low byte, so that no small number, flag
 * set, boolean, -1 or pointer to an aligned object is one of them; 0 and every other value
 * change nothing, and a host that never passes these values gets the default output byte
 * for byte. A mode holds from the next frame on until another is chosen; ResetStream keeps
 * it. Every mode writes plain IMA ADPCM blocks, which any IMA decoder plays; this library's
 * decoder and the parity frames work alike in all of them.
 *   ZB_ENCODER_SPECIFIED  the default: every block starts at step index 0.
 *   ZB_ENCODER_CARRIED    each block starts at the step index the block before it ended
 *                         with, written in its header; a new stream, and the stream after
 *                         ResetStream, starts at 0. On speech about 9 to 11 dB closer to the
 *                         input than the default.
 *   ZB_ENCODER_SEARCH     carried, each block's codes and starting step index chosen by a
 *                         search for the least squared error of the decoded block: on
 *                         speech about 2.2 to 2.4 dB closer again, at a fraction of the
 *                         speed.
 *   ZB_ENCODER_SEARCH_DEEP  the same search keeping more candidates, for recording: about
 *                         0.4 dB closer still, at about a fifteenth of the search's speed. */
typedef enum ZbEncoderMode {
  ZB_ENCODER_SPECIFIED = 0x5A424D01,
  ZB_ENCODER_CARRIED = 0x5A424D03,
  ZB_ENCODER_SEARCH = 0x5A424D05,
  ZB_ENCODER_SEARCH_DEEP = 0x5A424D07
} ZbEncoderMode;

typedef struct AvFrameInfo {
  int32_t seq;
  int32_t timestamp;
  uint8_t flags;
  uint8_t reserved[3];
} AvFrameInfo;

typedef struct AvFrame {
  uint8_t type;
  uint8_t reserved;
  uint16_t kind;
  AvFrameInfo* info;
  uint32_t len;
  uint8_t* data;
} AvFrame;

#ifdef __cplusplus
}  // extern "C"

// Flag for slot 0: free the object's memory after destroying it.
inline constexpr unsigned int kDeleteFreesMemory = 1;

class AvSinkFace;

// The source face: slots 0 to 7 of every module.
class AvSourceFace {
 public:
  virtual void* DeletingDestructor(unsigned int flags) = 0;  // slot 0
  virtual uint16_t GetOutputType() = 0;                      // slot 1
  virtual bool AddOutput(AvSinkFace* pOutput) = 0;           // slot 2
  virtual bool RemoveOutput(AvSinkFace* pOutput) = 0;        // slot 3
  virtual int32_t CountActiveOutputs() = 0;                  // slot 4
  virtual int32_t ReservedQuery() = 0;                       // slot 5
  virtual void ReservedNotify() = 0;                         // slot 6
  virtual int32_t ReservedControl(int32_t value) = 0;        // slot 7

 protected:
  ~AvSourceFace() = default;
};

// The source face of a filter module: slot 8.
class AvFilterSourceFace : public AvSourceFace {
 public:
  virtual bool ResetStream() = 0;  // slot 8

 protected:
  ~AvFilterSourceFace() = default;
};

// The source face of an encoder module: slots 9 and 10.
class AvEncoderSourceFace : public AvFilterSourceFace {
 public:
  virtual void ReservedSetting(int32_t value) = 0;  // slot 9: ZB_ENCODER_* picks the encoder's mode
  virtual void EnableRedundancy(bool enable) = 0;   // slot 10

 protected:
  ~AvEncoderSourceFace() = default;
};

// The sink face: slots 0 to 5.
class AvSinkFace {
 public:
  virtual void* DeletingDestructor(unsigned int flags) = 0;         // slot 0
  virtual bool AcceptsType(uint16_t type) = 0;                      // slot 1
  virtual bool IsActive(AvSourceFace* from) = 0;                    // slot 2
  virtual bool AddInput(AvSourceFace* pInput) = 0;                  // slot 3
  virtual bool RemoveInput(AvSourceFace* pInput) = 0;               // slot 4
  virtual bool HandleFrame(AvSourceFace* from, AvFrame* frame) = 0; // slot 5

 protected:
  ~AvSinkFace() = default;
};

// The host's allocator for frame buffers. Slots: 0 Alloc, 1 Free.
class IAvMemAlloc {
 public:
  virtual void* Alloc(uint32_t size) = 0;
  virtual void Free(void* ptr) = 0;

 protected:
  ~IAvMemAlloc() = default;
};

// A module object starts with its source face; its sink face lies at this offset.
#if defined(_WIN32) && !defined(_WIN64)
inline constexpr size_t kSinkFaceOffset = 56;
#elif defined(__x86_64__) && defined(__linux__)
inline constexpr size_t kSinkFaceOffset = 112;
#else
#error "module object layout not defined for this platform"
#endif

inline AvSourceFace* SourceFaceOf(void* module) { return static_cast<AvSourceFace*>(module); }
inline AvSinkFace* SinkFaceOf(void* module) {
  return reinterpret_cast<AvSinkFace*>(static_cast<char*>(module) + kSinkFaceOffset);
}

#endif  // __cplusplus
