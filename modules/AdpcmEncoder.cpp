// The ADPCM encoder module and the writer's side of the parity-frame protocol.
#include "modules/AdpcmEncoder.h"

#include <algorithm>
#include <cstring>

#include "Include/ZBAV_H/QV_ZbavMemMgr.h"
#include "codec/AdpcmBlock.h"
#include "codec/AdpcmModuleLayout.h"
#include "codec/AdpcmSearch.h"
#include "modules/FrameChecks.h"

static_assert(sizeof(std::atomic<int32_t>) == sizeof(int32_t), "m_nMode keeps its size");

namespace {
constexpr int32_t kXorWordBytes = sizeof(uint64_t);

// Codes `pieces` blocks in the mode `mode` (a ZB_ENCODER_* value) from channel 0's step
// index, which is left where the last block ends.
int32_t EncodeInMode(int32_t mode, AdpcmCodecState& state, uint8_t* out, const uint8_t* pcm, int32_t pieces) {
  switch (mode) {
    case ZB_ENCODER_CARRIED:
      return EncodeAdpcmBlocksCarried(state, out, pcm, pieces);
    case ZB_ENCODER_SEARCH:
      return SearchAdpcmBlocks(state, out, pcm, pieces);
    case ZB_ENCODER_SEARCH_DEEP:
      return SearchAdpcmBlocksDeep(state, out, pcm, pieces);
    default:
      return EncodeAdpcmBlocks(state, out, pcm, pieces);
  }
}
}  // namespace

AdpcmEncoder::AdpcmEncoder() = default;

AdpcmEncoder::~AdpcmEncoder() = default;

void* AdpcmEncoder::DeletingDestructor(unsigned int flags) { return DestroyModule(this, flags); }

uint16_t AdpcmEncoder::GetOutputType() { return AV_TYPE_ADPCM; }

bool AdpcmEncoder::ResetStream() {
  m_bResetPending.store(true);
  return true;
}

void AdpcmEncoder::ReservedSetting(int32_t value) {
  switch (value) {
    case ZB_ENCODER_SPECIFIED:
    case ZB_ENCODER_CARRIED:
    case ZB_ENCODER_SEARCH:
    case ZB_ENCODER_SEARCH_DEEP:
      m_nMode.store(value);
      break;
    default:
      break;  // untagged, or a tagged value that names no mode: nothing changes
  }
}

bool AdpcmEncoder::HandleFrame(AvSourceFace* /*from*/, AvFrame* frame) {
  zbbase::AutoLock lock(&m_lckState);
  if (m_bResetPending.exchange(false)) {
    m_nPrevLen = 0;
    m_nStepIndex = 0;
  }
  if (!IsWellFormedFrame(frame) || !IsMediaClass(frame->info->flags)) return false;

  const uint32_t pieces = frame->len / kAdpcmPcmBytesPerBlock;
  const HostBuffer output(pieces * kAdpcmBlockBytes + kEncoderBufferSlack);
  uint8_t* const buffer = output.data();
  if (buffer == nullptr) {
    // Nothing can be sent; a later parity frame must not span this unsent frame.
    m_nPrevLen = 0;
    return false;
  }

  // The parity against the saved frame is formed in a per-call copy, and this frame saved,
  // before anything is delivered: an output may call back in with the next frame, whose
  // parity must then be formed against this one.
  uint8_t parity[kEncoderSavedFrameBytes];
  int32_t parityLen = 0;
  try {
    AdpcmCodecState state{};
    state.channels = 1;
    state.pcmBytesPerBlock = kAdpcmPcmBytesPerBlock;
    state.channel[0].stepIndex = static_cast<int16_t>(m_nStepIndex);
    const int32_t total = EncodeInMode(m_nMode.load(), state, buffer, frame->data, static_cast<int32_t>(pieces));
    m_nStepIndex = state.channel[0].stepIndex;

    const int32_t prevLen = m_nPrevLen;
    if (prevLen != 0 && m_bRedundancy.load()) {
      // Bytes past the new frame's end count as zero, so the saved bytes there stand.
      std::memcpy(parity, m_byPrevFrame, static_cast<size_t>(prevLen));
      const int32_t overlap = std::min(prevLen, total);
      // Word by word: a byte loop showed in the frame's time.
      int32_t i = 0;
      for (; i + kXorWordBytes <= overlap; i += kXorWordBytes) {
        uint64_t saved;
        uint64_t fresh;
        std::memcpy(&saved, parity + i, kXorWordBytes);
        std::memcpy(&fresh, buffer + i, kXorWordBytes);
        saved ^= fresh;
        std::memcpy(parity + i, &saved, kXorWordBytes);
      }
      for (; i < overlap; ++i) parity[i] ^= buffer[i];
      parityLen = prevLen;
    }
    if (total <= kEncoderSavedFrameBytes) {
      std::memcpy(m_byPrevFrame, buffer, static_cast<size_t>(total));
      m_nPrevLen = total;
    } else {
      // Too long to keep: the next frame goes without parity rather than against a stale frame.
      m_nPrevLen = 0;
    }

    SendFrame(AV_TYPE_ADPCM, frame->kind, frame->info, static_cast<uint32_t>(total), buffer);
    if (parityLen != 0) {
      SendFrame(AV_TYPE_ADPCM_PARITY, frame->kind, frame->info, static_cast<uint32_t>(parityLen), parity);
    }
  } catch (...) {
    // Some outputs missed this frame or its parity: forget the saved frame, so no parity
    // frame is formed against it.
    m_nPrevLen = 0;
  }
  return true;
}
