// Fuzz target for the receive path over packet sequences, as a network may send them: any
// numbers, lengths, kinds and restart flags, with time advanced and the stream drained between.
//
// Input framing: byte 0 sets concealment (bit 0), the rate (bit 1: 16 kHz, else 8 kHz) and the
// parity delay (bits 2-3). Then
// one record per call, at most kMaxRecords: an op byte, bits 6-7 choosing the call (0 to 2: a
// packet; 3: bits 0-1 clear advance time by the next byte as a signed delta from the newest
// frame, else drain). A packet's op byte: bit 0 parity, bit 1 restart; bits 2-3 its length
// (0: a frame's, 1: none, 2: a frame's and one byte, 3: the next byte's value); bits 4-5 its
// number (0: the last one plus the next byte as a signed delta, 1: the last one plus one, 2: the
// next four bytes, little-endian, 3: the last one). The payload's bytes follow; past the end
// of the input every byte is 0.
// Checks: the window stays bounded; output indices only increase, segments only move on and
// each starts with a frame marked so; no call lets out more than its bound; every frame played
// as received is the decode of a data payload taken (after a concealed frame only its second half,
// since its start is cross-faded from the fill), every rebuilt one the decode of a parity
// payload XOR its partner (a data payload or a rebuild before it; followed in the order packets
// come, so without a parity delay only), every lost one silent
// unless concealed, and concealed only with concealment on; every buffer goes back to the
// allocator.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "codec/AdpcmBlock.h"
#include "exports/zbexports.h"
#include "receive/Receiver.h"
#include "tests/fuzz/FuzzCheck.h"
#include "tests/support/TestSupport.h"

namespace {

constexpr size_t kMaxRecords = 256;
constexpr size_t kParityWindow = 16;  // recent parities taken, for rebuilds of an earlier partner
constexpr size_t kDataWindow = 4;     // recent data taken, for a parity's partner
constexpr size_t kChainLength = 16;   // possible rebuilds of this number followed
constexpr uint8_t kCallMask = 0xC0;
constexpr uint8_t kCallTime = 0xC0;
constexpr int32_t kLowRate = 8000;
constexpr int32_t kHighRate = 16000;
constexpr int32_t kFrameMs = 20;
constexpr int32_t kMsPerSecond = 1000;
constexpr int kDelayShift = 2;
constexpr uint8_t kDelayBits = 3;

class Input {
 public:
  Input(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
  bool empty() const { return m_offset >= m_size; }
  uint8_t Byte() { return m_offset < m_size ? m_data[m_offset++] : 0; }
  uint32_t Word() {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= uint32_t{Byte()} << (8 * i);
    return value;
  }
  std::vector<uint8_t> Bytes(size_t count) {
    std::vector<uint8_t> bytes(count, 0);
    for (uint8_t& byte : bytes) byte = Byte();
    return bytes;
  }

 private:
  const uint8_t* m_data;
  size_t m_size;
  size_t m_offset = 0;
};

using Bytes = std::vector<uint8_t>;

Bytes Xor(const Bytes& a, const Bytes& b) {
  Bytes out(a);
  for (size_t i = 0; i < out.size() && i < b.size(); ++i) out[i] ^= b[i];
  return out;
}

// What the module's protocol can have made of the payloads taken so far, as decoded PCM.
class Model {
 public:
  explicit Model(int32_t frameSamples) : m_nPcmBytes(static_cast<size_t>(frameSamples) * sizeof(int16_t)) {}

  void NewModule() {
    m_datas.clear();
    m_parities.clear();
    m_chain.clear();
  }
  // A data payload taken: the module may render it, rebuild its earlier partner from a stored
  // parity, and keep it as its last data frame (unless it had rendered that frame already).
  void TakeData(const Bytes& data) {
    m_received.insert(Decode(data));
    for (const Bytes& parity : m_parities) m_rebuilt.insert(Decode(Xor(parity, data)));
    Remember(m_datas, data, kDataWindow);
  }
  // A parity payload taken: the module may rebuild from it and its last data frame, which is a
  // data payload or a frame rebuilt before; such a rebuild becomes its last data frame in turn.
  void TakeParity(const Bytes& parity) {
    std::vector<Bytes> chain;
    for (auto it = m_datas.rbegin(); it != m_datas.rend(); ++it) chain.push_back(Xor(parity, *it));
    for (const Bytes& earlier : m_chain) {
      if (chain.size() == kChainLength) break;
      chain.push_back(Xor(parity, earlier));
    }
    for (const Bytes& rebuilt : chain) m_rebuilt.insert(Decode(rebuilt));
    m_chain.swap(chain);
    Remember(m_parities, parity, kParityWindow);
  }
  // With `faded`, only the second half of `pcm` counts: the frame's start is cross-faded.
  bool Received(const std::string& pcm, bool faded) const { return Holds(m_received, pcm, faded); }
  bool Rebuilt(const std::string& pcm, bool faded) const { return Holds(m_rebuilt, pcm, faded); }

 private:
  struct Decodes {
    std::unordered_set<std::string> whole;
    std::unordered_set<std::string> tails;  // second halves
    void insert(const std::string& pcm) {
      whole.insert(pcm);
      tails.insert(pcm.substr(pcm.size() / 2));
    }
  };
  static bool Holds(const Decodes& decodes, const std::string& pcm, bool faded) {
    return faded ? decodes.tails.count(pcm.substr(pcm.size() / 2)) != 0 : decodes.whole.count(pcm) != 0;
  }

  std::string Decode(const Bytes& coded) const {
    std::string pcm(m_nPcmBytes, '\0');
    AdpcmCodecState state{};
    state.channels = 1;
    DecodeAdpcmBlocks(state, reinterpret_cast<uint8_t*>(&pcm[0]), coded.data(), zbreceive::kAdpcmBytesPerBlock,
                      static_cast<int32_t>(coded.size() / zbreceive::kAdpcmBytesPerBlock));
    return pcm;
  }

  static void Remember(std::vector<Bytes>& recent, const Bytes& bytes, size_t window) {
    recent.push_back(bytes);
    if (recent.size() > window) recent.erase(recent.begin());
  }

  size_t m_nPcmBytes;
  std::vector<Bytes> m_datas;     // recent data payloads taken, oldest first
  std::vector<Bytes> m_parities;  // recent parity payloads taken, oldest first
  std::vector<Bytes> m_chain;     // possible rebuilds from the last parity, newest partner first
  Decodes m_received;
  Decodes m_rebuilt;
};

const zbreceive::ZbExports& LinkedExports() {
  static const zbreceive::ZbExports s_exports = [] {
    zbInitialize();
    return zbreceive::ZbExports{zbInitialize, zbUninitialize, zbGetInterfaceName, zbCreateInstance,
                                zbDestroyInstance};
  }();
  return s_exports;
}

struct Checker {
  bool conceal = false;
  bool followRebuilds = true;  // the model follows the module's order of frames
  size_t maxHeld = 0;
  bool any = false;
  int64_t lastIndex = 0;
  uint64_t lastSegment = 0;
  bool lastConcealed = false;

  void TakeAll(zbreceive::Receiver& receiver, const Model& model, size_t bound) {
    zbreceive::OutFrame frame;
    size_t count = 0;
    while (receiver.Next(frame)) {
      ++count;
      ZB_FUZZ_CHECK(count <= bound);
      ZB_FUZZ_CHECK(!any || frame.index > lastIndex);
      ZB_FUZZ_CHECK(!any || frame.segment >= lastSegment);
      ZB_FUZZ_CHECK(frame.segmentStart == (!any || frame.segment != lastSegment));
      const std::string pcm(reinterpret_cast<const char*>(frame.samples.data()), frame.samples.size() * sizeof(int16_t));
      const bool faded = lastConcealed && !frame.segmentStart;
      switch (frame.outcome) {
        case zbreceive::FrameOutcome::Received:
          ZB_FUZZ_CHECK(model.Received(pcm, faded));
          break;
        case zbreceive::FrameOutcome::Rebuilt:
          ZB_FUZZ_CHECK(!followRebuilds || model.Rebuilt(pcm, faded));
          break;
        case zbreceive::FrameOutcome::Lost:
          ZB_FUZZ_CHECK(std::all_of(frame.samples.begin(), frame.samples.end(), [](int16_t s) { return s == 0; }));
          break;
        case zbreceive::FrameOutcome::Concealed:
          ZB_FUZZ_CHECK(conceal);
          break;
      }
      any = true;
      lastConcealed = frame.outcome == zbreceive::FrameOutcome::Concealed;
      lastIndex = frame.index;
      lastSegment = frame.segment;
    }
    ZB_FUZZ_CHECK(receiver.held() <= maxHeld);
  }
};

}  // namespace

namespace {

void Run(const uint8_t* data, size_t size) {
  Input input(data, size);
  const uint8_t setup = input.Byte();
  zbreceive::ReceiverSettings settings;
  settings.conceal = (setup & 1) != 0;
  settings.sampleRate = (setup & 2) != 0 ? kHighRate : kLowRate;
  settings.frameSamples = settings.sampleRate * kFrameMs / kMsPerSecond;
  settings.codedBytes = zbreceive::CodedBytesPerFrame(settings.frameSamples);
  settings.parityDelay = (setup >> kDelayShift) & kDelayBits;
  zbreceive::Receiver receiver(LinkedExports(), settings);
  Model model(settings.frameSamples);
  Checker checker;
  checker.conceal = settings.conceal;
  checker.followRebuilds = settings.parityDelay == 0;
  checker.maxHeld = static_cast<size_t>(2 * settings.parityDelay + zbreceive::kHoldFrames + 3);
  // Frames one call may let out: a fill as long as the longest, the frame itself and the window.
  const size_t maxOutPerCall = static_cast<size_t>(zbreceive::kMaxFillFrames + 1 + settings.HoldFrames() + 2);
  uint32_t number = 0;

  for (size_t record = 0; record < kMaxRecords && !input.empty(); ++record) {
    const uint8_t op = input.Byte();
    if ((op & kCallMask) == kCallTime) {
      const size_t held = receiver.held();
      if ((op & 3) == 0) {
        receiver.Advance(receiver.horizon() + static_cast<int8_t>(input.Byte()));
        checker.TakeAll(receiver, model, maxOutPerCall);
      } else {
        receiver.Drain();
        checker.TakeAll(receiver, model, held);
      }
      continue;
    }
    zbreceive::Packet packet;
    packet.parity = (op & 1) != 0;
    packet.restart = (op & 2) != 0;
    size_t length = settings.codedBytes;
    switch ((op >> 2) & 3) {
      case 1: length = 0; break;
      case 2: length = settings.codedBytes + 1; break;
      case 3: length = input.Byte(); break;
      default: break;
    }
    switch ((op >> 4) & 3) {
      case 0: number += static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(input.Byte()))); break;
      case 1: ++number; break;
      case 2: number = input.Word(); break;
      default: break;
    }
    const Bytes payload = input.Bytes(length);
    packet.number = number;
    packet.data = payload.empty() ? nullptr : payload.data();
    packet.size = payload.size();
    const bool first = !receiver.anchored();
    const zbreceive::PushResult result = receiver.Push(packet);
    if (result.started && !first) model.NewModule();
    if (result.fed) {
      if (packet.parity) {
        model.TakeParity(payload);
      } else {
        model.TakeData(payload);
      }
    }
    checker.TakeAll(receiver, model, maxOutPerCall);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zbtest::CountingAllocator allocator;
  {
    zbtest::AllocatorScope scope(&allocator);
    Run(data, size);
  }
  ZB_FUZZ_CHECK(allocator.live() == 0);
  ZB_FUZZ_CHECK(allocator.badFrees() == 0);
  return 0;
}
