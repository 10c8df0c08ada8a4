// Fuzz target for the decoder module: frames built from the input, delivered to an
// AdpcmDecoder whose PCM goes to a checking sink; then the same bytes as PCM through an
// encoder and a second decoder.
//
// Input framing: a sequence of records, each
//   byte 0      type and shape:
//                 bits 0-1  0 or 1: ADPCM data frame, 2: parity frame, 3: a PCM frame
//                           (a type the decoder does not take)
//                 bit 2     kind 11 instead of the audio kind
//                 bit 3     null data pointer (the length still stands)
//                 bit 4     null info pointer
//                 bit 5     delivered twice in a row
//   byte 1      flags of the frame info (class in bits 0-2, partner distance in bits 5-7)
//   bytes 2-3   seq, int16 little-endian (the timestamp is seq * 20)
//   bytes 4-5   length, uint16 little-endian, taken modulo 1100 so that payloads larger
//               than the decoder's slots occur; 0 means a lost frame: nothing is delivered
//   then        that many payload bytes, or fewer at the end of the input
// A record cut short in its header ends the sequence. Each payload is copied into a heap
// buffer of exactly its length.
// Second pass: the whole input, cut into PCM frames of a repeating pattern of lengths,
// goes through an AdpcmEncoder (parity on) into a fresh AdpcmDecoder.
// Checks: every delivered PCM frame has type 128, info, data and a length within the
// buffer the decoder took for it (every byte of which is read); a refused frame renders
// nothing; one frame renders at most two; every buffer is given back by the end.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "Include/QV_Interface/zbav.h"
#include "modules/AdpcmDecoder.h"
#include "modules/AdpcmEncoder.h"
#include "tests/fuzz/FuzzCheck.h"
#include "tests/support/ModuleFrames.h"
#include "tests/support/RecordingSink.h"
#include "tests/support/TestSupport.h"

namespace {

constexpr size_t kRecordHeaderBytes = 6;
constexpr uint32_t kLengthModulus = 1100;  // bytes; above the decoder's 512-byte slots
constexpr uint8_t kShapeTypeMask = 0x03;
constexpr uint8_t kShapeParity = 2;
constexpr uint8_t kShapeOther = 3;
constexpr uint8_t kShapeOtherKind = 0x04;
constexpr uint8_t kShapeNullData = 0x08;
constexpr uint8_t kShapeNullInfo = 0x10;
constexpr uint8_t kShapeTwice = 0x20;
constexpr uint16_t kOtherKind = 11;
constexpr int32_t kTimestampStep = 20;  // per sequence number
constexpr size_t kMaxRendersPerFrame = 2;  // a rebuilt partner, then the frame itself
// PCM frame lengths (bytes) of the second pass: one 20 ms frame, a piece and a bit, a
// frame whose code outgrows a decoder slot, one whose code outgrows the encoder's saved
// frame.
constexpr size_t kChainFrameBytes[] = {640, 330, 2240, 7680};

// Receives the decoder's PCM and checks each frame against the buffer it was given in;
// the recording reads every byte of it.
class CheckingSink final : public zbtest::FrameRecorder<AvSink> {
 public:
  explicit CheckingSink(const zbtest::CountingAllocator& allocator) : m_allocator(allocator) {}

  void* DeletingDestructor(unsigned int flags) override { return DestroyModule(this, flags); }
  bool HandleFrame(AvSourceFace* from, AvFrame* frame) override {
    ZB_FUZZ_CHECK(frame != nullptr);
    ZB_FUZZ_CHECK(frame->type == AV_TYPE_PCM);
    ZB_FUZZ_CHECK(frame->info != nullptr);
    ZB_FUZZ_CHECK(frame->data != nullptr);
    // The buffer being delivered is the last one asked for.
    const std::vector<uint32_t> sizes = m_allocator.sizes();
    ZB_FUZZ_CHECK(!sizes.empty());
    ZB_FUZZ_CHECK(frame->len <= sizes.back());
    return FrameRecorder::HandleFrame(from, frame);
  }
  size_t frames() const { return received.size(); }

 private:
  const zbtest::CountingAllocator& m_allocator;
};

uint8_t FrameType(uint8_t shape) {
  switch (shape & kShapeTypeMask) {
    case kShapeParity:
      return AV_TYPE_ADPCM_PARITY;
    case kShapeOther:
      return AV_TYPE_PCM;
    default:
      return AV_TYPE_ADPCM;
  }
}

// Whether the decoder must refuse the frame outright.
bool Refused(const AvFrame& frame) {
  return frame.info == nullptr || (frame.data == nullptr && frame.len != 0) ||
         frame.kind != AV_KIND_AUDIO || (frame.info->flags & AV_FLAGS_CLASS_MASK) != AV_CLASS_MEDIA;
}

void DeliverRecord(AdpcmDecoder& decoder, const CheckingSink& sink, AvFrame& frame) {
  const size_t before = sink.frames();
  const bool handled = decoder.HandleFrame(nullptr, &frame);
  const size_t rendered = sink.frames() - before;
  ZB_FUZZ_CHECK(rendered <= kMaxRendersPerFrame);
  if (Refused(frame)) {
    ZB_FUZZ_CHECK(!handled);
    ZB_FUZZ_CHECK(rendered == 0);
  }
  if (frame.type != AV_TYPE_ADPCM && frame.type != AV_TYPE_ADPCM_PARITY) ZB_FUZZ_CHECK(rendered == 0);
}

void RunRecords(const uint8_t* data, size_t size, const CheckingSink& sink, AdpcmDecoder& decoder) {
  size_t offset = 0;
  while (size - offset >= kRecordHeaderBytes) {
    const uint8_t* header = data + offset;
    offset += kRecordHeaderBytes;
    const uint8_t shape = header[0];
    const auto seq = static_cast<int16_t>(static_cast<uint16_t>(header[2] | (header[3] << 8)));
    const uint32_t length = static_cast<uint32_t>(header[4] | (header[5] << 8)) % kLengthModulus;
    const size_t available = std::min<size_t>(length, size - offset);
    std::unique_ptr<uint8_t[]> payload(new uint8_t[available]);
    if (available != 0) std::memcpy(payload.get(), data + offset, available);
    offset += available;
    if (length == 0) continue;  // a lost frame

    AvFrameInfo info{};
    info.seq = seq;
    info.timestamp = seq * kTimestampStep;
    info.flags = header[1];
    AvFrame frame{};
    frame.type = FrameType(shape);
    frame.kind = (shape & kShapeOtherKind) != 0 ? kOtherKind : static_cast<uint16_t>(AV_KIND_AUDIO);
    frame.info = (shape & kShapeNullInfo) != 0 ? nullptr : &info;
    frame.len = static_cast<uint32_t>(available);
    frame.data = (shape & kShapeNullData) != 0 ? nullptr : payload.get();
    DeliverRecord(decoder, sink, frame);
    if ((shape & kShapeTwice) != 0) DeliverRecord(decoder, sink, frame);
  }
}

void RunChain(const uint8_t* data, size_t size, const CheckingSink& sink, AdpcmDecoder& decoder) {
  auto encoder = zbtest::Make<AdpcmEncoder>();
  encoder->AddOutput(&decoder);
  size_t offset = 0;
  for (int32_t seq = 0; offset < size; ++seq) {
    const size_t pattern = static_cast<size_t>(seq) % (sizeof kChainFrameBytes / sizeof kChainFrameBytes[0]);
    const size_t length = std::min(kChainFrameBytes[pattern], size - offset);
    std::unique_ptr<uint8_t[]> pcm(new uint8_t[length]);
    std::memcpy(pcm.get(), data + offset, length);
    offset += length;

    AvFrameInfo info{};
    info.seq = seq;
    info.timestamp = seq * kTimestampStep;
    info.flags = AV_CLASS_MEDIA;
    AvFrame frame{AV_TYPE_PCM, 0, AV_KIND_AUDIO, &info, static_cast<uint32_t>(length), pcm.get()};
    const size_t before = sink.frames();
    ZB_FUZZ_CHECK(encoder->HandleFrame(nullptr, &frame));
    // Nothing is lost between the two: the data frame renders, its parity adds nothing.
    ZB_FUZZ_CHECK(sink.frames() - before == 1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zbtest::CountingAllocator allocator;
  {
    zbtest::AllocatorScope scope(&allocator);
    for (const bool chain : {false, true}) {
      zbtest::ModulePtr<CheckingSink> sink(new CheckingSink(allocator));
      auto decoder = zbtest::Make<AdpcmDecoder>();
      decoder->AddOutput(sink.get());
      if (chain) {
        RunChain(data, size, *sink, *decoder);
      } else {
        RunRecords(data, size, *sink, *decoder);
      }
      decoder.reset();
      sink.reset();
      ZB_FUZZ_CHECK(allocator.live() == 0);
    }
  }
  ZB_FUZZ_CHECK(allocator.badFrees() == 0);
  return 0;
}
