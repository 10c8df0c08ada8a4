// Fuzz target for the block decoder, checked against the reference transcription. The
// multi-block entry points and their vector paths have a target of their own
// (block_batch_fuzz), so that this one keeps its pace.
//
// Input framing: byte 0 picks the decoder's settings, the rest is the block.
//   bit 0      channels - 1 (1 or 2 channels)
//   bits 1-7   c: maxInputBytes = 3 * c (0: no cap; the factor 3 makes caps of every
//              residue modulo the 4- and 8-byte group sizes, up to 381 bytes)
// The block is copied into a heap buffer of exactly L bytes (L: the block's length after
// the cap), while the decoder is told the whole length, so reading past the cap shows
// under AddressSanitizer. The PCM goes to a heap buffer of exactly 4 * (L - 4 * channels)
// bytes (none when L is shorter than the headers).
// Checks: pcmBytesWritten within the PCM buffer (untouched for an empty block), the
// result within L, 4 PCM bytes per code byte consumed, a one-channel block with its
// header consumed whole, and output, result and channel state equal to the reference
// decoder's.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

#include "codec/AdpcmBlock.h"
#include "reference/AdpcmReference.h"
#include "tests/fuzz/FuzzCheck.h"

namespace {

constexpr uint8_t kChannelBit = 0x01;
constexpr int32_t kCapShift = 1;
constexpr int32_t kCapFactor = 3;          // bytes of cap per unit of the cap field
constexpr int32_t kPcmBytesPerCode = 4;    // two 16-bit samples per code byte
constexpr int32_t kUntouched = -1;         // pcmBytesWritten before the call

AdpcmCodecState MakeState(int32_t channels, int32_t cap) {
  AdpcmCodecState state{};
  state.channels = channels;
  state.maxInputBytes = cap;
  return state;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const int32_t channels = (data[0] & kChannelBit) != 0 ? 2 : 1;
  const int32_t cap = kCapFactor * (data[0] >> kCapShift);
  const auto blockBytes = static_cast<int32_t>(std::min<size_t>(size - 1, INT32_MAX));
  const int32_t l = cap != 0 ? std::min(cap, blockBytes) : blockBytes;
  const int32_t room = std::max(0, kPcmBytesPerCode * (l - kAdpcmHeaderBytes * channels));

  std::unique_ptr<uint8_t[]> block(new uint8_t[static_cast<size_t>(l)]);
  if (l != 0) std::memcpy(block.get(), data + 1, static_cast<size_t>(l));
  std::unique_ptr<uint8_t[]> pcm(new uint8_t[static_cast<size_t>(room)]);
  std::unique_ptr<uint8_t[]> expected(new uint8_t[static_cast<size_t>(room)]);

  AdpcmCodecState state = MakeState(channels, cap);
  int32_t written = kUntouched;
  const int32_t consumed = DecodeAdpcmBlock(state, pcm.get(), written, block.get(), blockBytes);

  ZB_FUZZ_CHECK(consumed >= 0 && consumed <= l);
  if (blockBytes == 0) {
    ZB_FUZZ_CHECK(written == kUntouched);
    return 0;
  }
  ZB_FUZZ_CHECK(written >= 0 && written <= room);
  if (consumed != 0) ZB_FUZZ_CHECK(written == kPcmBytesPerCode * (consumed - kAdpcmHeaderBytes * channels));
  if (channels == 1 && l >= kAdpcmHeaderBytes) ZB_FUZZ_CHECK(consumed == l);

  AdpcmCodecState referenceState = MakeState(channels, cap);
  int32_t referenceWritten = kUntouched;
  const int32_t referenceConsumed =
      adpcm_reference::DecodeBlock(referenceState, expected.get(), referenceWritten, block.get(), blockBytes);
  ZB_FUZZ_CHECK(consumed == referenceConsumed);
  ZB_FUZZ_CHECK(written == referenceWritten);
  ZB_FUZZ_CHECK(std::memcmp(pcm.get(), expected.get(), static_cast<size_t>(written)) == 0);
  for (int32_t k = 0; k < channels; ++k) {
    ZB_FUZZ_CHECK(state.channel[k].decodePredictor == referenceState.channel[k].decodePredictor);
    ZB_FUZZ_CHECK(state.channel[k].stepIndex == referenceState.channel[k].stepIndex);
  }
  return 0;
}
