// AdpcmDecoder: the "QV_AdpcmDecoder" module. Drops frames it has already rendered, rebuilds
// a single lost frame from a parity frame and its surviving partner, decodes ADPCM frames
// to 16-bit PCM and delivers them.
#pragma once

#include <cstdint>

#include "Include/QV_Interface/zbav.h"
#include "QV_Base/Src/QV_Locker.h"

inline constexpr int32_t kDecoderSlotBytes = 512;        // payload room of each slot
inline constexpr int32_t kDecoderSlotCount = 3;          // rebuilt, last data, last parity
inline constexpr uint32_t kDecoderRenderBytes = 3200;    // PCM buffer asked per rendered frame
inline constexpr int32_t kSeqHistoryLength = 10;         // sequence numbers remembered
inline constexpr int32_t kTimestampStepPerFrame = 20;    // timestamp distance between frames

class AdpcmDecoder : public AvDecoderBase {
 public:
  AdpcmDecoder();
  // Clears the history and the stored numbers under m_lckState; the bases then detach.
  ~AdpcmDecoder();

  void* DeletingDestructor(unsigned int flags) override;
  bool ResetStream() override;  // true; the history and slots survive it
  bool AcceptsType(uint16_t type) override;
  // Holds m_lckState throughout, rendering and delivery included.
  bool HandleFrame(AvSourceFace* from, AvFrame* frame) override;

 private:
  // Decodes `frame` into a PCM frame and delivers it; called with m_lckState held.
  bool RenderFrame(AvFrame* frame);
  // Renders the frame last rebuilt into slot 0; called with m_lckState held.
  void RenderRebuilt();

  bool HistoryHolds(int32_t seq) const;
  void PushHistory(int32_t seq);
  // Slot 0 = `parity` XOR `partner` over the parity's `parityLen` bytes, which becomes the
  // rebuilt frame's length; partner bytes past `partnerLen` count as zero.
  void RebuildInto(const uint8_t* parity, uint32_t parityLen, const uint8_t* partner, uint32_t partnerLen);
  void SetRebuiltInfo(int32_t seq, int32_t timestamp, uint8_t flags);
  uint8_t* Slot(int32_t index) { return m_bySlots + index * kDecoderSlotBytes; }

  // Everything below is guarded by m_lckState.
  zbbase::Locker m_lckState;
  int32_t m_nSeqHistory[kSeqHistoryLength] = {};  // oldest in entry 0, newest in entry 9
  int32_t m_nHistoryCount = 0;                    // valid entries, counted from entry 9 down
  AvFrameInfo m_infoRebuilt{};
  AvFrameInfo m_infoLastData{};    // only seq: the number of the frame in slot 1
  AvFrameInfo m_infoLastParity{};  // only seq: the number of the frame in slot 2
  bool m_bHasLastData = false;     // slot 1 holds a stored data frame
  bool m_bHasLastParity = false;   // slot 2 holds a stored parity frame
  uint8_t m_bySlots[kDecoderSlotCount * kDecoderSlotBytes] = {};
  AvFrame m_frmRebuilt{};     // describes slot 0; rendered through a per-call copy
  AvFrame m_frmLastData{};    // describes slot 1; len is the stored frame's length
  AvFrame m_frmLastParity{};  // describes slot 2; len is the stored frame's length
};
