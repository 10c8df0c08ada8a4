// The lossy link between encoder and decoder: a sink face that takes the encoder's data
// and parity frames and a source face that hands what survives to the decoder. It drops
// frames by its loss model, delivers some twice and holds some back behind the next one.
// Frames are only lent for the duration of HandleFrame, so every forwarded frame is copied
// (record, info and payload) and delivered from the copy.
//
// With a parity delay of K frames the link sends each parity frame K frames late, beside the
// data frame K numbers after its own, and the loss model decides each frame by the data frame
// it travels beside: parity n sent beside data n + K is decided as parity n + K would be
// without the delay. The same seed then gives the same losses in each slot for every K, and a
// parity frame still shares its bursty model's state with the data frame beside it; only which
// parity frame rides in a slot changes. (A loss list's "pN" names the parity frame sent beside
// data frame N.)
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>

#include "host/library/HostFaces.h"
#include "host/link/LossModels.h"

namespace zbhost {

struct LinkSettings {
  LossPlan loss;
  double duplicatePercent = 0;  // chance that a forwarded frame is delivered twice
  double reorderPercent = 0;    // chance that a frame is held back behind the next one
  uint64_t seed = 0;
  int32_t parityDelay = 0;      // frames each parity frame is sent late, 0 to kMaxParityDelay
  // Sees every frame the encoder sends, before the link decides its fate (--adpcm-out).
  std::function<void(const AvFrame&)> onSent;

  bool IsRandom() const { return loss.IsRandom() || duplicatePercent > 0 || reorderPercent > 0; }
};

// What the link did to the data or the parity frame of one number.
struct LinkFate {
  bool dropped = false;
  bool reordered = false;  // held back behind the next frame
  int32_t deliveries = 0;  // copies handed to the decoder
};

struct LinkCounters {
  int64_t sentData = 0;          // data frames the encoder handed to the link
  int64_t sentParity = 0;        // parity frames the encoder handed to the link
  int64_t dataBytes = 0;         // payload bytes of those data frames
  int64_t parityBytes = 0;       // payload bytes of those parity frames
  int64_t droppedData = 0;
  int64_t droppedParity = 0;
  int64_t duplicated = 0;        // extra copies delivered
  int64_t reordered = 0;         // frames held back behind the next one
  int64_t deliveredData = 0;     // deliveries to the decoder, copies included
  int64_t deliveredParity = 0;
  int64_t refused = 0;           // frames of other types, or malformed, that the link refused
};

// What the link did to the data and the parity frame of one number (an empty fate with no
// deliveries and not dropped: never sent).
struct FramePairFate {
  LinkFate data;
  LinkFate parity;
  bool dataSent = false;
  bool paritySent = false;
};

class LossyLink {
 public:
  explicit LossyLink(const LinkSettings& settings);
  ~LossyLink();
  LossyLink(const LossyLink&) = delete;
  LossyLink& operator=(const LossyLink&) = delete;

  HostSinkFace* Input() { return &m_input; }     // the encoder delivers here
  HostSourceFace* Output() { return &m_output; }  // this delivers to the decoder
  // Sends the parity frames still waiting and delivers a frame still held back: the end of
  // the stream.
  void Flush();
  const LinkCounters& counters() const { return m_counters; }
  // What became of frame `seq`'s data and parity frames; forgets them, so the link keeps
  // records only of frames not yet taken. Take a frame once nothing more can happen to it.
  FramePairFate TakeFate(int32_t seq);

 private:
  struct Packet;

  class LinkInput : public HostSinkFace {
   public:
    explicit LinkInput(LossyLink& link) : m_link(link) {}
    bool AcceptsType(uint16_t type) override;
    bool HandleFrame(AvSourceFace* from, AvFrame* frame) override;

   private:
    LossyLink& m_link;
  };

  static std::unique_ptr<Packet> Copy(const AvFrame& frame);
  // Sends a frame over the link, its fate decided as the frame sent beside data frame `slot`.
  void Send(std::unique_ptr<Packet> packet, int32_t slot);
  // Sends the held parity frames due once data frame `slot` has gone; with `all`, every one.
  void SendDueParity(int32_t slot, bool all);
  bool Carry(const AvFrame& frame);
  // Delivers the frame held back behind the next one, if any.
  void ForwardHeld();
  void Forward(Packet& packet);
  void DeliverOnce(Packet& packet);

  LinkSettings m_settings;
  std::unique_ptr<LossModel> m_loss;
  SeededRandom m_duplicateRandom;
  SeededRandom m_reorderRandom;
  std::map<int32_t, FramePairFate> m_fates;  // by frame number, until taken
  LinkInput m_input;
  HostSourceFace m_output;
  std::unique_ptr<Packet> m_held;  // a frame held back behind the next one
  std::deque<std::unique_ptr<Packet>> m_delayed;  // parity frames waiting to be sent late
  LinkCounters m_counters;
};

}  // namespace zbhost
