// AdpcmDecoder: the "QV_AdpcmDecoder" module. Drops frames it has already rendered, rebuilds
// a single lost frame from a parity frame and its surviving partner, decodes ADPCM frames
// to 16-bit PCM and delivers them.
#pragma once

#include <cstdint>

#include "Include/QV_Interface/zbav.h"
#include "QV_Base/Src/QV_Locker.h"

inline constexpr int32_t kDecoderSlotBytes = 512;  // payload room of each slot: 6 blocks of 84 bytes fit
inline constexpr int32_t kDecoderSlotCount = 3;    // rebuilt, last data, last parity
// The PCM buffer asked per rendered frame: ten blocks of 320 PCM bytes, more than a slot's
// six blocks decode to. A longer payload, never stored, gets a buffer of its own PCM size.
inline constexpr uint32_t kDecoderRenderBytes = 3200;
inline constexpr int32_t kSeqHistoryLength = 10;       // sequence numbers remembered
inline constexpr int32_t kTimestampStepPerFrame = 20;  // timestamps count milliseconds; a frame is 20 ms

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
  // The protocol's cases, each called with m_lckState held. `info` describes the incoming
  // frame, whose partner is the frame `distance` numbers before it.
  // The incoming frame's partner was lost: rebuilds and renders it from a parity payload and
  // the data payload numbered as that parity.
  void RebuildEarlierPartner(const AvFrameInfo& info, int32_t distance, const uint8_t* parity,
                             uint32_t parityLen, const uint8_t* partner, uint32_t partnerLen);
  // The data frame numbered as the incoming parity frame was lost: rebuilds it from the parity
  // and the stored partner, keeps it as the last data frame and renders it. A stored partner
  // that was itself rebuilt serves only a parity no longer than itself: a shorter one was cut
  // and lacks bytes the parity covers, so the parity is stored instead.
  void RebuildThisNumber(const AvFrameInfo& info, const uint8_t* parity, uint32_t parityLen);
  // Keeps the incoming data frame numbered `seq` for later rebuilding, when it fits a slot,
  // and renders it.
  void KeepDataFrame(int32_t seq, AvFrame* frame);
  // Keeps the incoming parity frame until its partner arrives.
  void KeepParityFrame(int32_t seq, const uint8_t* data, uint32_t len);

  // Makes slot 1 the data frame numbered `seq`.
  void StoreLastData(int32_t seq, const uint8_t* data, uint32_t len);
  // Slot 0 = `parity` XOR `partner` over the parity's `parityLen` bytes, which becomes the
  // rebuilt frame's length; partner bytes past `partnerLen` count as zero. The rebuilt frame
  // takes `seq`, `timestamp` and `flags`.
  void Rebuild(int32_t seq, int32_t timestamp, uint8_t flags, const uint8_t* parity, uint32_t parityLen,
               const uint8_t* partner, uint32_t partnerLen);
  // Pushes the number of the frame rebuilt into slot 0 and renders it.
  void RenderRebuilt();
  // Decodes `frame` into a PCM frame and delivers it; called with m_lckState held.
  bool RenderFrame(AvFrame* frame);

  bool HistoryHolds(int32_t seq) const;
  void PushHistory(int32_t seq);
  uint8_t* Slot(int32_t index) { return m_bySlots + index * kDecoderSlotBytes; }

  // Everything below is guarded by m_lckState.
  zbbase::Locker m_lckState;
  int32_t m_nSeqHistory[kSeqHistoryLength] = {};  // oldest in entry 0, newest in entry 9
  int32_t m_nHistoryCount = 0;                    // valid entries, counted from entry 9 down
  AvFrameInfo m_infoRebuilt{};
  // Only seq is used, the number of the frame in slot 1 or 2; the other fields keep the
  // records whole, as the frame records below point to them.
  AvFrameInfo m_infoLastData{};
  AvFrameInfo m_infoLastParity{};
  bool m_bHasLastData = false;     // slot 1 holds a stored data frame
  bool m_bHasLastParity = false;   // slot 2 holds a stored parity frame
  bool m_bLastDataRebuilt = false; // slot 1 holds a frame rebuilt from its earlier partner
  uint8_t m_bySlots[kDecoderSlotCount * kDecoderSlotBytes] = {};
  AvFrame m_frmRebuilt{};     // describes slot 0; rendered through a per-call copy
  // Describe slots 1 and 2. Only len, the stored frame's length, is read; the other fields
  // are set once and kept for the object's layout.
  AvFrame m_frmLastData{};
  AvFrame m_frmLastParity{};
};
