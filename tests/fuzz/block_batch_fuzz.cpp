// Fuzz target for the multi-block coder: the batch decoder and the batch encoder through the
// multi-block entry points and every path this build and processor have, vector lanes
// included, each checked against the reference transcription block by block.
//
// Input framing: byte 0 gives the block length, 4 + byte 0 modulo 253 bytes (a header and up
// to 252 code bytes, every residue of the 4- and 8-byte group sizes); the rest is decoded as
// blocks of that length, as many as it holds (an exact-size copy), and, read as PCM, coded
// in pieces of the PCM such a block decodes to (when that is at least a group).
// Checks: each path writes exactly the blocks' PCM (or code bytes), equal to the reference
// coder's, and leaves channel 0 as the reference leaves it after the last block.
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

constexpr int32_t kPcmBytesPerCode = 4;  // two 16-bit samples per code byte
constexpr int32_t kUntouched = -1;       // pcmBytesWritten before the call
constexpr int32_t kGroupPcmBytes = 16;   // the PCM of one group of 4 code bytes
constexpr int32_t kLengthChoices = 253;  // block lengths from a header alone to 252 code bytes more

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
  const int32_t blockBytes = kAdpcmHeaderBytes + data[0] % kLengthChoices;
  const auto length = static_cast<int32_t>(std::min<size_t>(size - 1, INT32_MAX));
  CheckBatches(data + 1, length, blockBytes);
  const int32_t pcmBytesPerBlock = kPcmBytesPerCode * (blockBytes - kAdpcmHeaderBytes);
  if (pcmBytesPerBlock >= kGroupPcmBytes) CheckEncodeBatches(data + 1, length, pcmBytesPerBlock);
  return 0;
}
