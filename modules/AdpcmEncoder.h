// AdpcmEncoder: the "QV_AdpcmEncoder" module. Codes each 320-byte piece of a PCM frame into
// one 84-byte ADPCM block, delivers the ADPCM frame, then (redundancy on) a parity frame:
// the byte-wise XOR of the previous ADPCM frame and this one, bearing this frame's info.
#pragma once

#include <atomic>
#include <cstdint>

#include "Include/QV_Interface/zbav.h"
#include "QV_Base/Src/QV_Locker.h"

inline constexpr int32_t kEncoderSavedFrameBytes = 2000;  // room for 23 blocks
inline constexpr uint32_t kEncoderBufferSlack = 10;       // extra bytes asked per frame buffer

class AdpcmEncoder : public AvEncoderBase {
 public:
  AdpcmEncoder();
  ~AdpcmEncoder();

  void* DeletingDestructor(unsigned int flags) override;
  uint16_t GetOutputType() override;
  // Forgets the saved frame, so the next frame goes without parity. Takes no lock.
  bool ResetStream() override;
  // Holds m_lckState throughout; the outputs run with it and the output list's lock held.
  bool HandleFrame(AvSourceFace* from, AvFrame* frame) override;

 private:
  zbbase::Locker m_lckState;
  uint8_t m_byPrevFrame[kEncoderSavedFrameBytes];  // guarded by m_lckState
  // Valid bytes of m_byPrevFrame, 0 when none. Written by ResetStream from any thread.
  std::atomic<int32_t> m_nPrevLen{0};
};
