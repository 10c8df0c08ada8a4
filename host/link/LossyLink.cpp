// The lossy link: loss, duplication and reordering of the encoder's frames.
#include "host/link/LossyLink.h"

#include <algorithm>
#include <cstdint>
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

std::unique_ptr<LossyLink::Packet> LossyLink::Copy(const AvFrame& frame) {
  auto packet = std::make_unique<Packet>();
  packet->info = *frame.info;
  packet->payload.assign(frame.data, frame.data + frame.len);
  packet->frame = frame;
  packet->frame.info = &packet->info;
  packet->frame.data = packet->payload.data();
  return packet;
}

bool LossyLink::Carry(const AvFrame& frame) {
  if (m_settings.onSent) m_settings.onSent(frame);
  const bool parity = frame.type == AV_TYPE_ADPCM_PARITY;
  (parity ? m_counters.sentParity : m_counters.sentData) += 1;
  (parity ? m_counters.parityBytes : m_counters.dataBytes) += frame.len;
  FramePairFate& pair = m_fates[frame.info->seq];
  (parity ? pair.paritySent : pair.dataSent) = true;
  if (parity && m_settings.parityDelay > 0) {
    m_delayed.push_back(Copy(frame));
    return true;
  }
  Send(Copy(frame), frame.info->seq);
  if (!parity) SendDueParity(frame.info->seq, false);
  return true;
}

void LossyLink::SendDueParity(int32_t slot, bool all) {
  while (!m_delayed.empty()) {
    const int32_t seq = m_delayed.front()->info.seq;
    if (!all && static_cast<int64_t>(seq) + m_settings.parityDelay > slot) return;
    std::unique_ptr<Packet> packet = std::move(m_delayed.front());
    m_delayed.pop_front();
    Send(std::move(packet), static_cast<int32_t>(std::min<int64_t>(
                                static_cast<int64_t>(seq) + m_settings.parityDelay, INT32_MAX)));
  }
}

void LossyLink::Send(std::unique_ptr<Packet> packet, int32_t slot) {
  const uint16_t type = packet->frame.type;
  const bool parity = type == AV_TYPE_ADPCM_PARITY;
  LinkFate& fate = parity ? m_fates[packet->info.seq].parity : m_fates[packet->info.seq].data;
  if (m_loss->Drops(static_cast<uint8_t>(type), slot)) {
    (parity ? m_counters.droppedParity : m_counters.droppedData) += 1;
    fate.dropped = true;
    return;
  }
  if (!m_held && m_reorderRandom.Chance(m_settings.reorderPercent, {type, packet->info.seq})) {
    ++m_counters.reordered;
    fate.reordered = true;
    m_held = std::move(packet);
    return;
  }
  Forward(*packet);
  ForwardHeld();
}

void LossyLink::Flush() {
  SendDueParity(0, true);
  ForwardHeld();
}

void LossyLink::ForwardHeld() {
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
