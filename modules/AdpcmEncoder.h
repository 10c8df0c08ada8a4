// AdpcmEncoder: the "QV_AdpcmEncoder" module. Codes each 320-byte piece of a PCM frame into
// one 84-byte ADPCM block, in the mode chosen through slot 9 (each block from step index 0
// by default), delivers the ADPCM frame, then (redundancy on) a parity frame: the byte-wise
// XOR of the previous ADPCM frame and this one, bearing this frame's info.
#pragma once

#include <atomic>
#include <cstdint>

#include "Include/QV_Interface/zbav.h"
#include "QV_Base/Src/QV_Locker.h"

// The saved frame's room: 23 whole 84-byte blocks, the ADPCM of 23 pieces of 320 bytes.
inline constexpr int32_t kEncoderSavedFrameBytes = 2000;
// Asked beyond the blocks with every ADPCM buffer (pieces x 84 + 10 bytes) and never written:
// the request size hosts' allocators have always seen from this encoder, kept as it is.
inline constexpr uint32_t kEncoderBufferSlack = 10;

class AdpcmEncoder : public AvEncoderBase {
 public:
  AdpcmEncoder();
  ~AdpcmEncoder();

  void* DeletingDestructor(unsigned int flags) override;
  uint16_t GetOutputType() override;
  // Forgets the saved frame, so the next frame goes without parity, and the carried step
  // index, so the next block starts at 0. Takes no lock: it leaves the reset pending, and the
  // next HandleFrame to start carries it out, so a reset that lands while a frame is being
  // coded takes effect at the frame after it.
  bool ResetStream() override;
  // Chooses the mode for the frames that follow when `value` is one of the ZB_ENCODER_*
  // values; ignores every other value. Takes no lock.
  void ReservedSetting(int32_t value) override;
  // Holds m_lckState throughout; the outputs run with it and the output list's lock held.
  bool HandleFrame(AvSourceFace* from, AvFrame* frame) override;

 private:
  zbbase::Locker m_lckState;
  uint8_t m_byPrevFrame[kEncoderSavedFrameBytes];  // guarded by m_lckState
  // Valid bytes of m_byPrevFrame, 0 when none. Guarded by m_lckState.
  int32_t m_nPrevLen = 0;
  // The ZB_ENCODER_* value in force. Written by ReservedSetting from any thread.
  std::atomic<int32_t> m_nMode{ZB_ENCODER_SPECIFIED};
  // The step index the last coded block ended with, where a carried block starts; 0 for a
  // new stream. Guarded by m_lckState.
  int32_t m_nStepIndex = 0;
  // Set by ResetStream from any thread, taken by HandleFrame under m_lckState.
  std::atomic<bool> m_bResetPending{false};
};
