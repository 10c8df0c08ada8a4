// The ADPCM decoder module and the reader's side of the parity-frame protocol.
#include "modules/AdpcmDecoder.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>

#include "Include/ZBAV_H/QV_ZbavMemMgr.h"
#include "QV_Base/Src/QV_DebugTrace.h"
#include "codec/AdpcmBlock.h"
#include "codec/AdpcmModuleLayout.h"
#include "modules/FrameChecks.h"

namespace {

constexpr int32_t kSlotRebuilt = 0;
constexpr int32_t kSlotLastData = 1;
constexpr int32_t kSlotLastParity = 2;

// Sequence numbers and timestamps wrap rather than overflow.
int32_t WrappingSub(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}

// Only payloads that are stored must fit a slot; a rebuilt frame has its parity's length.
bool FitsSlot(uint32_t len) { return len <= static_cast<uint32_t>(kDecoderSlotBytes); }

// PCM bytes a payload of `len` bytes decodes to: whole 84-byte blocks, or one block.
// Counted in 64 bits: for payloads of a gigabyte and more it passes 32 bits.
uint64_t PcmBytesFor(uint32_t len) {
  if (len % kAdpcmBlockBytes == 0) return uint64_t{len} / kAdpcmBlockBytes * kAdpcmPcmBytesPerBlock;
  return len < static_cast<uint32_t>(kAdpcmHeaderBytes) ? 0 : 4 * (uint64_t{len} - kAdpcmHeaderBytes);
}

}  // namespace

AdpcmDecoder::AdpcmDecoder() {
  m_frmRebuilt = AvFrame{AV_TYPE_ADPCM, 0, AV_KIND_AUDIO, &m_infoRebuilt, 0, Slot(kSlotRebuilt)};
  m_frmLastData = AvFrame{AV_TYPE_ADPCM, 0, AV_KIND_AUDIO, &m_infoLastData, 0, Slot(kSlotLastData)};
  m_frmLastParity =
      AvFrame{AV_TYPE_ADPCM_PARITY, 0, AV_KIND_AUDIO, &m_infoLastParity, 0, Slot(kSlotLastParity)};
}

AdpcmDecoder::~AdpcmDecoder() {
  zbbase::AutoLock lock(&m_lckState);
  std::fill(std::begin(m_nSeqHistory), std::end(m_nSeqHistory), 0);
  m_nHistoryCount = 0;
  m_infoRebuilt = AvFrameInfo{};
  m_infoLastData = AvFrameInfo{};
  m_infoLastParity = AvFrameInfo{};
}

void* AdpcmDecoder::DeletingDestructor(unsigned int flags) { return DestroyModule(this, flags); }

bool AdpcmDecoder::ResetStream() { return true; }

bool AdpcmDecoder::AcceptsType(uint16_t type) {
  return type == AV_TYPE_ADPCM || type == AV_TYPE_ADPCM_PARITY;
}

bool AdpcmDecoder::HistoryHolds(int32_t seq) const {
  for (int32_t i = kSeqHistoryLength - m_nHistoryCount; i < kSeqHistoryLength; ++i) {
    if (m_nSeqHistory[i] == seq) return true;
  }
  return false;
}

void AdpcmDecoder::PushHistory(int32_t seq) {
  std::memmove(m_nSeqHistory, m_nSeqHistory + 1, sizeof m_nSeqHistory - sizeof m_nSeqHistory[0]);
  m_nSeqHistory[kSeqHistoryLength - 1] = seq;
  m_nHistoryCount = std::min(m_nHistoryCount + 1, kSeqHistoryLength);
}

bool AdpcmDecoder::HandleFrame(AvSourceFace* /*from*/, AvFrame* frame) {
  zbbase::AutoLock lock(&m_lckState);
  zbbase::DebugTrace("Adpcm HandleFrame\r\n");
  if (!IsWellFormedFrame(frame) || frame->kind != AV_KIND_AUDIO ||
      !IsMediaClass(frame->info->flags)) {
    return false;
  }

  const AvFrameInfo& info = *frame->info;
  const int32_t n = info.seq;
  const int32_t distance = (info.flags >> AV_FLAGS_DISTANCE_SHIFT) + 1;
  const int32_t p = WrappingSub(n, distance);
  const uint32_t len = frame->len;

  const bool seenN = HistoryHolds(n);
  const bool seenP = HistoryHolds(p);
  if (seenN && seenP) return true;

  if (frame->type == AV_TYPE_ADPCM) {
    if (!seenP && m_bHasLastParity && m_infoLastParity.seq == n) {
      RebuildEarlierPartner(info, distance, Slot(kSlotLastParity), m_frmLastParity.len, frame->data, len);
    }
    // Asked afresh: an output may have called back in with this frame while the rebuilt
    // partner was handed out.
    if (!HistoryHolds(n)) KeepDataFrame(n, frame);
  } else if (frame->type == AV_TYPE_ADPCM_PARITY && FitsSlot(len)) {
    if (!seenP && m_bHasLastData && m_infoLastData.seq == n) {
      RebuildEarlierPartner(info, distance, frame->data, len, Slot(kSlotLastData), m_frmLastData.len);
    } else if (!seenN && m_bHasLastData && m_infoLastData.seq == p &&
               !(m_bLastDataRebuilt && len > m_frmLastData.len)) {
      RebuildThisNumber(info, frame->data, len);
    } else {
      KeepParityFrame(n, frame->data, len);
    }
  }
  return true;
}

void AdpcmDecoder::RebuildEarlierPartner(const AvFrameInfo& info, int32_t distance, const uint8_t* parity,
                                         uint32_t parityLen, const uint8_t* partner, uint32_t partnerLen) {
  Rebuild(WrappingSub(info.seq, distance), WrappingSub(info.timestamp, kTimestampStepPerFrame * distance),
          info.flags, parity, parityLen, partner, partnerLen);
  RenderRebuilt();
}

void AdpcmDecoder::RebuildThisNumber(const AvFrameInfo& info, const uint8_t* parity, uint32_t parityLen) {
  // Nothing in the payload tells the lost frame's own length, so it takes the parity's,
  // which is its partner's: exact when the two have one length; a longer lost frame is cut
  // to it, a shorter one filled with zero bytes. As the last data frame it serves the next
  // parity, whose length is the lost frame's own, only when it covers that length
  // (HandleFrame): a filled frame is exact up to its own length, a cut one lacks bytes.
  Rebuild(info.seq, info.timestamp, info.flags, parity, parityLen, Slot(kSlotLastData), m_frmLastData.len);
  StoreLastData(info.seq, Slot(kSlotRebuilt), parityLen);
  m_bLastDataRebuilt = true;
  RenderRebuilt();
}

void AdpcmDecoder::KeepDataFrame(int32_t seq, AvFrame* frame) {
  // Only a payload that fits a slot is kept for rebuilding; a larger one is rendered all the same.
  if (FitsSlot(frame->len)) StoreLastData(seq, frame->data, frame->len);
  PushHistory(seq);
  RenderFrame(frame);
}

void AdpcmDecoder::KeepParityFrame(int32_t seq, const uint8_t* data, uint32_t len) {
  m_infoLastParity.seq = seq;
  if (len != 0) std::memcpy(Slot(kSlotLastParity), data, len);
  m_frmLastParity.len = len;
  m_bHasLastParity = true;
}

void AdpcmDecoder::StoreLastData(int32_t seq, const uint8_t* data, uint32_t len) {
  m_infoLastData.seq = seq;
  if (len != 0) std::memcpy(Slot(kSlotLastData), data, len);
  m_frmLastData.len = len;
  m_bHasLastData = true;
  m_bLastDataRebuilt = false;
}

void AdpcmDecoder::Rebuild(int32_t seq, int32_t timestamp, uint8_t flags, const uint8_t* parity,
                           uint32_t parityLen, const uint8_t* partner, uint32_t partnerLen) {
  m_infoRebuilt.seq = seq;
  m_infoRebuilt.timestamp = timestamp;
  m_infoRebuilt.flags = flags;
  uint8_t* rebuilt = Slot(kSlotRebuilt);
  const uint32_t overlap = std::min(partnerLen, parityLen);
  for (uint32_t i = 0; i < overlap; ++i) rebuilt[i] = static_cast<uint8_t>(parity[i] ^ partner[i]);
  if (parityLen > overlap) std::memcpy(rebuilt + overlap, parity + overlap, parityLen - overlap);
  m_frmRebuilt.len = parityLen;
}

void AdpcmDecoder::RenderRebuilt() {
  PushHistory(m_infoRebuilt.seq);
  // An output may call back in and rebuild another frame while this one is still handed to
  // the outputs after it: they get a copy of the record. Slot 0 itself is decoded in full
  // before any output runs.
  AvFrameInfo info = m_infoRebuilt;
  AvFrame rebuilt = m_frmRebuilt;
  rebuilt.info = &info;
  RenderFrame(&rebuilt);
}

bool AdpcmDecoder::RenderFrame(AvFrame* frame) {
  if (frame == nullptr || frame->data == nullptr || frame->info == nullptr) return false;
  // The block coder counts PCM bytes in signed 32 bits: a payload whose PCM passes that is
  // not decoded at all.
  const uint32_t len = frame->len;
  const uint64_t pcmBytes = PcmBytesFor(len);
  if (pcmBytes > static_cast<uint64_t>(INT32_MAX)) return false;
  zbbase::DebugTrace("Render Adpcm Frame\r\n");

  const HostBuffer pcm(std::max(kDecoderRenderBytes, static_cast<uint32_t>(pcmBytes)));
  uint8_t* const buffer = pcm.data();
  if (buffer == nullptr) return false;

  try {
    AdpcmCodecState state{};
    state.channels = 1;
    uint32_t total = 0;
    if (len % kAdpcmBlockBytes == 0) {
      // Whole blocks, decoded side by side.
      total = static_cast<uint32_t>(DecodeAdpcmBlocks(state, buffer, frame->data, kAdpcmBlockBytes,
                                                      static_cast<int32_t>(len / kAdpcmBlockBytes)));
    } else {
      int32_t written = 0;
      DecodeAdpcmBlock(state, buffer, written, frame->data, static_cast<int32_t>(len));
      total = static_cast<uint32_t>(written);
    }
    SendFrame(AV_TYPE_PCM, frame->kind, frame->info, total, buffer);
  } catch (...) {
    // The delivery stops here; the buffer still goes back.
  }
  return true;
}
