// The lossy link: loss, duplication and reordering of the encoder's frames.
#include "host/link/LossyLink.h"

#include <cstring>
#include <vector>

namespace zbhost {

struct LossyLink::Packet {
  AvFrame frame{};
  AvFrameInfo info{};
  std::vector<uint8_t> payload;
};

LossyLink::LossyLink(const LinkSettings& settings)
    : m_settings(settings),
      m_loss(MakeLossModel(settings.loss, settings.seed)),
      m_duplicateRandom(settings.seed, kStreamDuplicate),
      m_reorderRandom(settings.seed, kStreamReorder),
      m_input(*this),
      m_output(AV_TYPE_ADPCM) {}

LossyLink::~LossyLink() {
  m_input.DetachAll();
  m_output.DetachAll();
}

bool LossyLink::LinkInput::AcceptsType(uint16_t type) {
  return type == AV_TYPE_ADPCM || type == AV_TYPE_ADPCM_PARITY;
}

bool LossyLink::LinkInput::HandleFrame(AvSourceFace*, AvFrame* frame) {
  if (frame == nullptr || frame->info == nullptr || (frame->data == nullptr && frame->len != 0) ||
      !AcceptsType(frame->type)) {
    ++m_link.m_counters.refused;
    return false;
  }
  return m_link.Carry(*frame);
}

bool LossyLink::Carry(const AvFrame& frame) {
  if (m_settings.onSent) m_settings.onSent(frame);
  const bool parity = frame.type == AV_TYPE_ADPCM_PARITY;
  (parity ? m_counters.sentParity : m_counters.sentData) += 1;
  (parity ? m_counters.parityBytes : m_counters.dataBytes) += frame.len;
  FramePairFate& pair = m_fates[frame.info->seq];
  (parity ? pair.paritySent : pair.dataSent) = true;
  LinkFate& fate = parity ? pair.parity : pair.data;
  if (m_loss->Drops(frame.type, frame.info->seq)) {
    (parity ? m_counters.droppedParity : m_counters.droppedData) += 1;
    fate.dropped = true;
    return true;
  }

  auto packet = std::make_unique<Packet>();
  packet->info = *frame.info;
  packet->payload.assign(frame.data, frame.data + frame.len);
  packet->frame = frame;
  packet->frame.info = &packet->info;
  packet->frame.data = packet->payload.data();

  if (!m_held && m_reorderRandom.Chance(m_settings.reorderPercent, {frame.type, frame.info->seq})) {
    ++m_counters.reordered;
    fate.reordered = true;
    m_held = std::move(packet);
    return true;
  }
  Forward(*packet);
  Flush();
  return true;
}

void LossyLink::Flush() {
  if (!m_held) return;
  const std::unique_ptr<Packet> held = std::move(m_held);
  Forward(*held);
}

FramePairFate LossyLink::TakeFate(int32_t seq) {
  const auto found = m_fates.find(seq);
  if (found == m_fates.end()) return {};
  const FramePairFate fate = found->second;
  m_fates.erase(found);
  return fate;
}

void LossyLink::Forward(Packet& packet) {
  DeliverOnce(packet);
  if (m_duplicateRandom.Chance(m_settings.duplicatePercent,
                               {packet.frame.type, packet.info.seq})) {
    ++m_counters.duplicated;
    DeliverOnce(packet);
  }
}

void LossyLink::DeliverOnce(Packet& packet) {
  const bool parity = packet.frame.type == AV_TYPE_ADPCM_PARITY;
  (parity ? m_counters.deliveredParity : m_counters.deliveredData) += 1;
  FramePairFate& pair = m_fates[packet.info.seq];
  (parity ? pair.parity : pair.data).deliveries += 1;
  // Each delivery lends a fresh copy of the record, so a duplicate is unaffected by the first.
  AvFrame frame = packet.frame;
  m_output.Deliver(&frame);
}

}  // namespace zbhost
