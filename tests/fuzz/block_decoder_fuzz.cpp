// Fuzz target for the block decoder, checked against the reference transcription.
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
// Batches: with one channel and a cap of at least a header, the bytes after byte 0 are
// also decoded as blocks of the cap's length, as many as they hold (an exact-size copy),
// through the multi-block entry point and through every path this build and processor
// have, vector lanes included; each must write exactly their PCM, equal to the reference
// decoder's block by block, and leave channel 0 as the last block leaves it. The same bytes,
// read as PCM, are coded in pieces of the PCM such a block decodes to (at least a group)
// through the multi-block encoder and every path, each equal to the reference coder's
// blocks and final state.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "codec/AdpcmBlock.h"
#include "codec/AdpcmPaths.h"
#include "reference/AdpcmReference.h"
#include "tests/fuzz/FuzzCheck.h"

namespace {

constexpr uint8_t kChannelBit = 0x01;
constexpr int32_t kCapShift = 1;
constexpr int32_t kCapFactor = 3;          // bytes of cap per unit of the cap field
constexpr int32_t kPcmBytesPerCode = 4;    // two 16-bit samples per code byte
constexpr int32_t kUntouched = -1;         // pcmBytesWritten before the call
constexpr int32_t kGroupPcmBytes = 16;     // the PCM of one group of 4 code bytes

AdpcmCodecState MakeState(int32_t channels, int32_t cap) {
  AdpcmCodecState state{};
  state.channels = channels;
  state.maxInputBytes = cap;
  return state;
}

// Decodes `count` blocks of `blockBytes` from `blocks` through `decode` and checks the
// result against `expected`, the reference decoding, and `last`, its final state.
void CheckBatch(AdpcmDecodeBlocksFn decode, const uint8_t* blocks, int32_t blockBytes, int32_t count,
                const std::vector<uint8_t>& expected, const AdpcmChannelState& last) {
  std::unique_ptr<uint8_t[]> pcm(new uint8_t[expected.size()]);
  AdpcmCodecState state = MakeState(1, 0);
  const int32_t written = decode(state, pcm.get(), blocks, blockBytes, count);
  ZB_FUZZ_CHECK(static_cast<size_t>(written) == expected.size());
  ZB_FUZZ_CHECK(std::equal(expected.begin(), expected.end(), pcm.get()));
  ZB_FUZZ_CHECK(state.channel[0].decodePredictor == last.decodePredictor);
  ZB_FUZZ_CHECK(state.channel[0].stepIndex == last.stepIndex);
}

void CheckBatches(const uint8_t* bytes, int32_t length, int32_t blockBytes) {
  const int32_t count = length / blockBytes;
  if (count == 0) return;
  const size_t inBytes = static_cast<size_t>(count) * static_cast<size_t>(blockBytes);
  const size_t pcmPerBlock = static_cast<size_t>(kPcmBytesPerCode * (blockBytes - kAdpcmHeaderBytes));
  std::unique_ptr<uint8_t[]> blocks(new uint8_t[inBytes]);
  std::memcpy(blocks.get(), bytes, inBytes);

  std::vector<uint8_t> expected(static_cast<size_t>(count) * pcmPerBlock);
  AdpcmCodecState reference = MakeState(1, 0);
  for (int32_t i = 0; i < count; ++i) {
    int32_t written = kUntouched;
    std::vector<uint8_t> one(pcmPerBlock + 1);  // never empty, so its data is never null
    adpcm_reference::DecodeBlock(reference, one.data(), written, blocks.get() + i * ptrdiff_t{blockBytes}, blockBytes);
    std::copy(one.begin(), one.begin() + static_cast<ptrdiff_t>(pcmPerBlock),
              expected.begin() + static_cast<ptrdiff_t>(static_cast<size_t>(i) * pcmPerBlock));
  }
  CheckBatch(DecodeAdpcmBlocks, blocks.get(), blockBytes, count, expected, reference.channel[0]);
  for (int32_t i = 0; i < AdpcmPathCount(); ++i) {
    if (AdpcmPathAt(i).decode != nullptr) {
      CheckBatch(AdpcmPathAt(i).decode, blocks.get(), blockBytes, count, expected, reference.channel[0]);
    }
  }
}

void CheckEncodeBatch(AdpcmEncodeBlocksFn encode, const uint8_t* pcm, int32_t pcmBytesPerBlock, int32_t count,
                      const std::vector<uint8_t>& expected, const AdpcmChannelState& last) {
  std::unique_ptr<uint8_t[]> out(new uint8_t[expected.size()]);
  AdpcmCodecState state = MakeState(1, 0);
  state.pcmBytesPerBlock = pcmBytesPerBlock;
  const int32_t written = encode(state, out.get(), pcm, count);
  ZB_FUZZ_CHECK(static_cast<size_t>(written) == expected.size());
  ZB_FUZZ_CHECK(std::equal(expected.begin(), expected.end(), out.get()));
  ZB_FUZZ_CHECK(state.channel[0].encodePredictor == last.encodePredictor);
  ZB_FUZZ_CHECK(state.channel[0].stepIndex == last.stepIndex);
}

void CheckEncodeBatches(const uint8_t* bytes, int32_t length, int32_t pcmBytesPerBlock) {
  const int32_t count = length / pcmBytesPerBlock;
  if (count == 0) return;
  const size_t inBytes = static_cast<size_t>(count) * static_cast<size_t>(pcmBytesPerBlock);
  std::unique_ptr<uint8_t[]> pcm(new uint8_t[inBytes]);
  std::memcpy(pcm.get(), bytes, inBytes);

  AdpcmCodecState reference = MakeState(1, 0);
  reference.pcmBytesPerBlock = pcmBytesPerBlock;
  std::vector<uint8_t> expected;
  for (int32_t i = 0; i < count; ++i) {
    std::vector<uint8_t> block(static_cast<size_t>(kAdpcmHeaderBytes + pcmBytesPerBlock / kPcmBytesPerCode));
    const int32_t written =
        adpcm_reference::EncodeBlock(reference, block.data(), pcm.get() + i * ptrdiff_t{pcmBytesPerBlock});
    expected.insert(expected.end(), block.begin(), block.begin() + written);
  }
  CheckEncodeBatch(EncodeAdpcmBlocks, pcm.get(), pcmBytesPerBlock, count, expected, reference.channel[0]);
  for (int32_t i = 0; i < AdpcmPathCount(); ++i) {
    CheckEncodeBatch(AdpcmPathAt(i).encode, pcm.get(), pcmBytesPerBlock, count, expected, reference.channel[0]);
  }
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
  if (channels == 1 && cap >= kAdpcmHeaderBytes) {
    CheckBatches(data + 1, blockBytes, cap);
    const int32_t pcmBytesPerBlock = kPcmBytesPerCode * (cap - kAdpcmHeaderBytes);
    if (pcmBytesPerBlock >= kGroupPcmBytes) CheckEncodeBatches(data + 1, blockBytes, pcmBytesPerBlock);
  }
  return 0;
}
