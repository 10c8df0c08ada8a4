// The receive path, written once for every host: packets (data or parity frames, each with its
// frame number) go in, in any order, duplicated, late, damaged or hostile; frames of audio come
// out in frame order, once each, every one final: decoded, rebuilt from parity, concealed or
// silent. Between them sit the library's decoder module, fed through the exports, and the
// playout's window.
//
// Frame numbers are 31 bits on the wire and wrap; they are unwrapped to 64-bit indices, and the
// decoder module is given each index's low 32 bits, which it compares for equality and steps
// back by wrapping subtraction. A segment is a run of frames with one numbering: it starts at
// the first packet, and again at a restart signal (a sender's new stream) or at a number beyond
// the window (a hole of more than kMaxFillFrames after the newest frame, or more than
// kMaxFillFrames before the oldest still open). A restart lets every held frame go, starts a
// fresh decoder module, and numbers the new segment's frames on from the old ones, so output
// indices only ever increase.
//
// With a parity delay of k frames, every frame is held k frames longer (HoldFrames()).
//
// Output per input is bounded: a packet fills a hole of at most kMaxFillFrames frames before
// it, and an advance of time gives up at most kMaxFillFrames frames, so one call lets at most
// kMaxFillFrames + 1 frames out beyond the window's HoldFrames() + 2: 100 ms of audio for one
// packet, at most 19 bytes out per byte in (at 48 kHz five frames of 1920 PCM bytes for a
// 508-byte packet; at 8 kHz five of 320 for 88), against at most 3.8 for a packet played as
// sent. A longer jump starts a new segment, which fills nothing.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "exports/zbstream.h"
#include "receive/Exports.h"
#include "receive/LibraryModule.h"
#include "receive/Playout.h"
#include "receive/ReceiveCounters.h"

namespace zbreceive {

// The frames after a missing frame that must pass before it is given up: the frames that can
// still rebuild frame k, the data and parity frames of k + 1, come by the time frame k + 2 does.
inline constexpr int32_t kHoldFrames = 2;
// The longest hole before a packet, and the most frames an advance of time gives up, that are
// filled (80 ms); a longer jump ahead starts a new segment.
inline constexpr int64_t kMaxFillFrames = 4;
// Frame numbers on the wire: 31 bits.
inline constexpr uint32_t kFrameNumberMask = 0x7FFFFFFFu;
// The block coder turns each 320-byte piece of a PCM frame into one 84-byte block.
inline constexpr uint32_t kPcmBytesPerBlock = ZB_PCM_BYTES_PER_BLOCK;
inline constexpr uint32_t kAdpcmBytesPerBlock = ZB_ADPCM_BYTES_PER_BLOCK;
inline constexpr uint32_t CodedBytesPerFrame(int32_t frameSamples) {
  return static_cast<uint32_t>(frameSamples) * static_cast<uint32_t>(sizeof(int16_t)) / kPcmBytesPerBlock * kAdpcmBytesPerBlock;
}

// The most frames a sender may send each parity frame late.
inline constexpr int32_t kMaxParityDelay = 8;

struct ReceiverSettings {
  int32_t sampleRate = 16000;
  int32_t frameSamples = 320;  // samples per frame
  uint32_t codedBytes = 168;   // payload bytes of a data or parity frame
  bool conceal = false;        // lost frames concealed; else silent
  // Frames by which the sender sends each parity frame late, 0 to kMaxParityDelay: parity n
  // comes beside data n + parityDelay, so a burst of losses hits frames that parity frames
  // sent apart from them can rebuild. With a delay the packets of each frame wait until the
  // parity frame should have come, and go to the module in frame order, data n then parity n.
  int32_t parityDelay = 0;

  // Frames after a missing frame that must pass before it is given up.
  int32_t HoldFrames() const { return kHoldFrames + parityDelay; }
};

// One packet as it arrived: read only during the call.
struct Packet {
  uint32_t number = 0;  // low 31 bits used
  bool parity = false;
  const uint8_t* data = nullptr;
  size_t size = 0;
  bool restart = false;  // the sender started a new stream with this packet
};

// What became of a packet.
struct PushResult {
  bool started = false;  // it started a segment (the first, or a restart)
  bool fed = false;      // it went to the decoder module (else dropped and counted)
};

class Receiver {
 public:
  // Throws std::runtime_error when the library cannot create a decoder module, and
  // std::invalid_argument for a parity delay out of range.
  Receiver(const ZbExports& exports, const ReceiverSettings& settings);
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;

  // Starts the first segment at frame `number`, for a stream known to start there; otherwise
  // the first packet starts it, and the frame before that packet's may still lead it.
  void Anchor(uint32_t number);
  PushResult Push(const Packet& packet);
  // Time has reached frame `index` (a lost packet announced, or the sender's clock): frames
  // before it given up in turn. Moves at most kMaxFillFrames on; nothing before the first
  // segment.
  void Advance(int64_t index);
  // Lets every frame up to the newest go: the end of the stream.
  void Drain();
  // The next frame that has left, in order; false when none is waiting. Take them after
  // every call: they wait until taken.
  bool Next(OutFrame& out) { return m_playout.Take(out); }

  bool anchored() const { return m_playout.started(); }
  // The index the current segment's numbering starts from, and the number it has there.
  int64_t anchorIndex() const { return m_nAnchorIndex; }
  uint64_t segment() const { return m_playout.segment(); }
  int64_t horizon() const { return m_playout.horizon(); }
  // Frames and packets held: at most 2 * parityDelay + kHoldFrames + 3 once output is taken.
  size_t held() const { return m_playout.held() + m_playout.waiting() + m_pending.size(); }
  const ReceiveCounters& counters() const { return m_counters; }

 private:
  static constexpr size_t kSeenRing = 64;  // recent indices taken, per kind, for duplicates

  // The packets of one frame waiting for their turn at the module (with a parity delay).
  struct Pending {
    std::vector<uint8_t> data;  // empty: none came
    std::vector<uint8_t> parity;
  };

  void StartSegment(uint32_t number, int64_t first, bool mayStartEarlier);
  int64_t IndexOf(uint32_t number) const;
  // Takes a packet unless it is a copy or of no more use; true when taken.
  bool Take(const Packet& packet, int64_t index);
  // Hands the module one frame and places what it renders.
  void Decode(bool parity, int64_t index, const uint8_t* data, size_t size);
  // Hands the module the waiting frames whose parity should have come; with `all`, every one.
  void FeedDue(bool all);

  const ZbExports m_exports;
  ReceiverSettings m_settings;
  ReceiveCounters m_counters;
  Playout m_playout;
  std::unique_ptr<LibraryModule> m_decoder;
  uint32_t m_nAnchorNumber = 0;
  int64_t m_nAnchorIndex = 0;
  std::array<std::array<int64_t, kSeenRing>, 2> m_seen{};  // [parity][index % ring]
  int64_t m_nFeed = 0;              // with a parity delay: the next frame the module is due
  std::deque<Pending> m_pending;    // frames m_nFeed and on
};

}  // namespace zbreceive
