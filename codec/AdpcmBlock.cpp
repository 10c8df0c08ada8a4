// The block encoder (one channel; one block, or several side by side) and the block decoder
// (one or two channels; several one-channel blocks side by side), and the list of the
// multi-block paths with the choice among them.
#include "codec/AdpcmBlock.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>

#include "codec/AdpcmKernel.h"
#include "codec/AdpcmModuleLayout.h"
#include "codec/AdpcmPaths.h"
#include "codec/AdpcmVector.h"

namespace {

constexpr int32_t kGroupPcmBytes = 16;    // one channel: 8 samples, coded into 4 bytes
constexpr int32_t kGroupCodeBytes = 4;    // one channel's codes of a group
constexpr int32_t kStereoGroupBytes = 8;  // two channels: 4 bytes of channel 0, then 4 of channel 1
constexpr int32_t kPcmSampleBytes = 2;

int32_t LoadPcm(const uint8_t* bytes) {
  return static_cast<int16_t>(static_cast<uint16_t>(bytes[0] | (bytes[1] << 8)));
}

void StorePcm(uint8_t* bytes, int32_t sample) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  // One 16-bit store per sample; assembled from bytes, two samples would be merged with shifts.
  const int16_t value = static_cast<int16_t>(sample);
  std::memcpy(bytes, &value, sizeof value);
#else
  bytes[0] = static_cast<uint8_t>(sample);
  bytes[1] = static_cast<uint8_t>(sample >> 8);
#endif
}

int32_t GroupsPerBlock(const AdpcmCodecState& state) {
  return state.pcmBytesPerBlock >= kGroupPcmBytes ? state.pcmBytesPerBlock / kGroupPcmBytes : 0;
}

int32_t BlockBytesOf(const AdpcmCodecState& state) {
  return kAdpcmHeaderBytes + GroupsPerBlock(state) * kGroupCodeBytes;
}

// PCM bytes a one-channel block of blockBytes (at least its header) decodes to.
int32_t PcmBytesOf(int32_t blockBytes) { return (blockBytes - kAdpcmHeaderBytes) * 2 * kPcmSampleBytes; }

// Writes a block's header (the first sample, the step index the block starts at, the
// reserved byte) and returns the cursor the block's codes start from.
AdpcmEncoderCursor StartBlock(uint8_t* out, const uint8_t* pcm, int32_t stepIndex) {
  const int32_t first = LoadPcm(pcm);
  StorePcm(out, first);
  out[2] = static_cast<uint8_t>(stepIndex);
  out[3] = 0;  // reserved
  return AdpcmEncoderCursor{first, &AdpcmEncoderRows.row[stepIndex]};
}

void SaveCursor(AdpcmCodecState& state, const AdpcmEncoderCursor& cursor) {
  state.channel[0].encodePredictor = cursor.predictor;
  state.channel[0].stepIndex = static_cast<int16_t>(cursor.row - AdpcmEncoderRows.row);
}

#if defined(__GNUC__)
// The lanes' cursors must live in registers: every step is inlined into the lane loop.
#define ADPCM_FLATTEN __attribute__((flatten))
#define ADPCM_UNROLL_LANES _Pragma("GCC unroll 8")
// A whole group per pass: with two lanes the loop's own count and branch showed in the time.
#define ADPCM_UNROLL_GROUP _Pragma("GCC unroll 4")
#else
#define ADPCM_FLATTEN
#define ADPCM_UNROLL_LANES
#define ADPCM_UNROLL_GROUP
#endif

// Blocks coded side by side: each lane's chain from one sample to the next is serial, but
// the lanes' chains are independent, so the processor overlaps them. The widest batch runs
// while that many blocks remain, then two lanes (a 20 ms frame is two blocks), then the
// single-block path. Four lanes on 64-bit builds. 32-bit builds have seven general
// registers: an encoder lane needs two of them, and beyond two lanes the spills cost more
// than the overlap gains; the decoder still gains a little from four.
#if UINTPTR_MAX > UINT32_MAX
constexpr int32_t kScalarEncodeLanes = 4;
#else
constexpr int32_t kScalarEncodeLanes = 2;
#endif
constexpr int32_t kScalarDecodeLanes = 4;
constexpr int32_t kPairLanes = 2;
// Up to this many decoder lanes keep their step index for the byte table (see DecodeLanes).
// On 64-bit builds the index costs a multiply and an add per byte to reach its row, and a
// pair is faster on links (one 20 ms frame, 241 against 257 ns); on 32-bit builds the
// row is one shift away and a pair is faster on the index (245 against 250 to 268 ns).
#if UINTPTR_MAX > UINT32_MAX
constexpr int32_t kDecodeOnIndexLanes = 1;
#else
constexpr int32_t kDecodeOnIndexLanes = kPairLanes;
#endif

// Where consecutive blocks lie: the distance between their PCM pieces and between their
// blocks. For the modules' blocks both are constants, so that every lane's address is one
// shared register plus a constant; otherwise they are read at run time and each lane
// needs registers of its own.
struct RuntimeLayout {
  ptrdiff_t pcmStride;
  ptrdiff_t blockBytes;
};

struct ModuleLayout {
  static constexpr ptrdiff_t pcmStride = kAdpcmPcmBytesPerBlock;
  static constexpr ptrdiff_t blockBytes = kAdpcmBlockBytes;
};

// Codes kLanes consecutive blocks in lockstep, each from step index `startIndex`; returns
// the last lane's final cursor.
template <int32_t kLanes, typename Layout>
ADPCM_FLATTEN AdpcmEncoderCursor EncodeLanes(uint8_t* out, const uint8_t* pcm, Layout layout, int32_t groups,
                                             int32_t startIndex = 0) {
  AdpcmEncoderCursor cursor[kLanes];
  ADPCM_UNROLL_LANES
  for (int32_t lane = 0; lane < kLanes; ++lane) {
    cursor[lane] = StartBlock(out + lane * layout.blockBytes, pcm + lane * layout.pcmStride, startIndex);
  }
  uint8_t* code = out + kAdpcmHeaderBytes;
  // One count for every address: code byte n of each lane holds its samples 2n and 2n + 1.
  const int32_t codeBytes = groups * kGroupCodeBytes;
  for (int32_t n = 0; n < codeBytes; n += kGroupCodeBytes) {
    ADPCM_UNROLL_GROUP
    for (int32_t j = n; j < n + kGroupCodeBytes; ++j) {
      const uint8_t* pair = pcm + 2 * kPcmSampleBytes * j;
      uint32_t early[kLanes];
      ADPCM_UNROLL_LANES
      for (int32_t lane = 0; lane < kLanes; ++lane) {
        early[lane] = AdpcmEncodeStep(cursor[lane], LoadPcm(pair + lane * layout.pcmStride));
      }
      ADPCM_UNROLL_LANES
      for (int32_t lane = 0; lane < kLanes; ++lane) {
        const uint32_t late =
            AdpcmEncodeStep<1>(cursor[lane], LoadPcm(pair + lane * layout.pcmStride + kPcmSampleBytes));
        code[lane * layout.blockBytes + j] = static_cast<uint8_t>(early[lane] | late);
      }
    }
  }
  return cursor[kLanes - 1];
}

// Codes `count` blocks from `done` on in batches of kLanes, then in pairs, then one by one.
template <int32_t kLanes, typename Layout>
void EncodeScalarFrom(AdpcmCodecState& state, uint8_t* out, const uint8_t* pcm, int32_t count, int32_t done,
                      Layout layout) {
  const int32_t groups = GroupsPerBlock(state);
  for (; count - done >= kLanes; done += kLanes) {
    SaveCursor(state, EncodeLanes<kLanes>(out + done * layout.blockBytes, pcm + done * layout.pcmStride, layout,
                                          groups));
  }
  if (kLanes > kPairLanes && count - done >= kPairLanes) {
    SaveCursor(state, EncodeLanes<kPairLanes>(out + done * layout.blockBytes, pcm + done * layout.pcmStride,
                                              layout, groups));
    done += kPairLanes;
  }
  for (; done < count; ++done) {
    EncodeAdpcmBlock(state, out + done * layout.blockBytes, pcm + done * layout.pcmStride);
  }
}

template <int32_t kLanes>
void EncodeScalarFrom(AdpcmCodecState& state, uint8_t* out, const uint8_t* pcm, int32_t count, int32_t done) {
  if (state.pcmBytesPerBlock == ModuleLayout::pcmStride) {
    EncodeScalarFrom<kLanes>(state, out, pcm, count, done, ModuleLayout{});
  } else {
    const RuntimeLayout layout{state.pcmBytesPerBlock, BlockBytesOf(state)};
    EncodeScalarFrom<kLanes>(state, out, pcm, count, done, layout);
  }
}

// Decodes kLanes one-channel blocks in lockstep; leaves the last lane's final predictor
// and index in `last`. With few lanes the chain from byte to byte sets the pace, and each
// lane keeps its step index for the byte table, which takes the chain one load per byte;
// with more lanes the instructions per byte do, and each lane keeps the link to its row.
template <int32_t kLanes, typename Layout>
ADPCM_FLATTEN void DecodeLanes(uint8_t* pcmOut, const uint8_t* blocks, Layout layout, AdpcmChannelState& last) {
  constexpr bool kOnIndex = kLanes <= kDecodeOnIndexLanes;
  int32_t predictor[kLanes];
  uint32_t index[kLanes];
  AdpcmDecoderLink link[kLanes];
  AdpcmChannelState header[kLanes];
  ADPCM_UNROLL_LANES
  for (int32_t lane = 0; lane < kLanes; ++lane) {
    ReadAdpcmHeader(header[lane], blocks + lane * layout.blockBytes);
    predictor[lane] = header[lane].decodePredictor;
    if constexpr (kOnIndex) {
      index[lane] = static_cast<uint32_t>(header[lane].stepIndex);
    } else {
      link[lane] = AdpcmDecoderLinkOf(header[lane].stepIndex);
    }
  }
  // One count for every address: data byte n of each lane decodes to its samples 2n and 2n + 1.
  const uint8_t* in = blocks + kAdpcmHeaderBytes;
  const ptrdiff_t dataBytes = layout.blockBytes - kAdpcmHeaderBytes;
  for (ptrdiff_t n = 0; n < dataBytes; ++n) {
    uint8_t* out = pcmOut + 2 * kPcmSampleBytes * n;
    ADPCM_UNROLL_LANES
    for (int32_t lane = 0; lane < kLanes; ++lane) {
      int32_t early;
      int32_t late;
      if constexpr (kOnIndex) {
        AdpcmDecodeByteOnIndex(predictor[lane], index[lane], in[lane * layout.blockBytes + n], early, late);
      } else {
        AdpcmDecodeByte(predictor[lane], link[lane], in[lane * layout.blockBytes + n], early, late);
      }
      StorePcm(out + lane * layout.pcmStride, early);
      StorePcm(out + lane * layout.pcmStride + kPcmSampleBytes, late);
    }
  }
  last.decodePredictor = predictor[kLanes - 1];
  last.stepIndex = kOnIndex ? static_cast<int16_t>(index[kLanes - 1]) : AdpcmDecoderStepIndex(link[kLanes - 1]);
}

// Decodes `count` blocks from `done` on in batches of kLanes, then in pairs, then one by
// one; pcmStride is the PCM one block decodes to.
template <int32_t kLanes, typename Layout>
void DecodeScalarFrom(AdpcmCodecState& state, uint8_t* pcmOut, const uint8_t* blocks, int32_t count, int32_t done,
                      Layout layout) {
  for (; count - done >= kLanes; done += kLanes) {
    DecodeLanes<kLanes>(pcmOut + done * layout.pcmStride, blocks + done * layout.blockBytes, layout,
                        state.channel[0]);
  }
  if (kLanes > kPairLanes && count - done >= kPairLanes) {
    DecodeLanes<kPairLanes>(pcmOut + done * layout.pcmStride, blocks + done * layout.blockBytes, layout,
                            state.channel[0]);
    done += kPairLanes;
  }
  for (; done < count; ++done) {
    int32_t written = 0;
    DecodeAdpcmBlock(state, pcmOut + done * layout.pcmStride, written, blocks + done * layout.blockBytes,
                     static_cast<int32_t>(layout.blockBytes));
  }
}

template <int32_t kLanes>
void DecodeScalarFrom(AdpcmCodecState& state, uint8_t* pcmOut, const uint8_t* blocks, int32_t blockBytes,
                      int32_t count, int32_t done) {
  if (blockBytes == ModuleLayout::blockBytes) {
    DecodeScalarFrom<kLanes>(state, pcmOut, blocks, count, done, ModuleLayout{});
  } else {
    DecodeScalarFrom<kLanes>(state, pcmOut, blocks, count, done, RuntimeLayout{PcmBytesOf(blockBytes), blockBytes});
  }
}

// The scalar step on each record, the earlier code's form for even records and the later
// one's for odd records, as the scalar encoders alternate them.
void EncodeSamplesScalar(AdpcmChannelState* channels, const int16_t* samples, uint8_t* codes, int32_t count) {
  for (int32_t k = 0; k < count; ++k) {
    AdpcmChannelState& channel = channels[k];
    AdpcmEncoderCursor cursor{channel.encodePredictor, &AdpcmEncoderRows.row[channel.stepIndex]};
    const uint32_t code = k % 2 == 0 ? AdpcmEncodeStep<0>(cursor, samples[k])
                                     : AdpcmEncodeStep<1>(cursor, samples[k]) >> kAdpcmNibbleBits;
    channel.encodePredictor = cursor.predictor;
    channel.stepIndex = static_cast<int16_t>(cursor.row - AdpcmEncoderRows.row);
    codes[k] = static_cast<uint8_t>(code & kAdpcmNibbleMask);
  }
}

int32_t ClampStepIndex(int32_t stepIndex) {
  return stepIndex < 0 ? 0 : (stepIndex > kAdpcmMaxStepIndex ? kAdpcmMaxStepIndex : stepIndex);
}

bool CodesNothing(const AdpcmCodecState& state, int32_t count) { return count <= 0 || state.pcmBytesPerBlock < 0; }

bool DecodesNothing(int32_t blockBytes, int32_t count) { return count <= 0 || blockBytes < kAdpcmHeaderBytes; }

int32_t EncodeBlocksOneByOne(AdpcmCodecState& state, uint8_t* out, const uint8_t* pcm, int32_t count) {
  if (CodesNothing(state, count)) return 0;
  EncodeScalarFrom<1>(state, out, pcm, count, 0);
  return count * BlockBytesOf(state);
}

int32_t DecodeBlocksOneByOne(AdpcmCodecState& state, uint8_t* pcmOut, const uint8_t* blocks, int32_t blockBytes,
                             int32_t count) {
  if (DecodesNothing(blockBytes, count)) return 0;
  DecodeScalarFrom<1>(state, pcmOut, blocks, blockBytes, count, 0);
  return count * PcmBytesOf(blockBytes);
}

int32_t EncodeBlocksScalar(AdpcmCodecState& state, uint8_t* out, const uint8_t* pcm, int32_t count) {
  if (CodesNothing(state, count)) return 0;
  EncodeScalarFrom<kScalarEncodeLanes>(state, out, pcm, count, 0);
  return count * BlockBytesOf(state);
}

int32_t DecodeBlocksScalar(AdpcmCodecState& state, uint8_t* pcmOut, const uint8_t* blocks, int32_t blockBytes,
                           int32_t count) {
  if (DecodesNothing(blockBytes, count)) return 0;
  DecodeScalarFrom<kScalarDecodeLanes>(state, pcmOut, blocks, blockBytes, count, 0);
  return count * PcmBytesOf(blockBytes);
}

#if ADPCM_VECTOR_PATHS
// Whole vector batches, then the rest on the scalar path.
int32_t EncodeBlocksSse2(AdpcmCodecState& state, uint8_t* out, const uint8_t* pcm, int32_t count) {
  if (CodesNothing(state, count)) return 0;
  EncodeScalarFrom<kScalarEncodeLanes>(state, out, pcm, count, AdpcmEncodeSse2Batches(state, out, pcm, count));
  return count * BlockBytesOf(state);
}

int32_t EncodeBlocksAvx2(AdpcmCodecState& state, uint8_t* out, const uint8_t* pcm, int32_t count) {
  if (CodesNothing(state, count)) return 0;
  EncodeScalarFrom<kScalarEncodeLanes>(state, out, pcm, count, AdpcmEncodeAvx2Batches(state, out, pcm, count));
  return count * BlockBytesOf(state);
}

int32_t DecodeBlocksAvx2(AdpcmCodecState& state, uint8_t* pcmOut, const uint8_t* blocks, int32_t blockBytes,
                         int32_t count) {
  if (DecodesNothing(blockBytes, count)) return 0;
  DecodeScalarFrom<kScalarDecodeLanes>(state, pcmOut, blocks, blockBytes, count,
                                       AdpcmDecodeAvx2Batches(state, pcmOut, blocks, blockBytes, count));
  return count * PcmBytesOf(blockBytes);
}
#endif

// The paths this build has, narrowest first; those the processor lacks are left out.
constexpr int32_t kMaxPaths = 4;  // single, scalar, sse2, avx2

struct PathList {
  AdpcmPath path[kMaxPaths];
  int32_t count = 0;
};

PathList ListPaths() {
  PathList list;
  list.path[list.count++] = AdpcmPath{"single", 1, 1, EncodeBlocksOneByOne, EncodeSamplesScalar, DecodeBlocksOneByOne};
  list.path[list.count++] =
      AdpcmPath{"scalar", kPairLanes, kPairLanes, EncodeBlocksScalar, EncodeSamplesScalar, DecodeBlocksScalar};
#if ADPCM_VECTOR_PATHS
  // SSE2 has no gather: its decoder lanes would read each amount one by one, and the scalar
  // lanes already do that with less around it.
  if (AdpcmCpuHasSse2()) {
    list.path[list.count++] = AdpcmPath{"sse2", kAdpcmSse2Lanes, 0, EncodeBlocksSse2, AdpcmEncodeSse2Samples, nullptr};
  }
  if (AdpcmCpuHasAvx2()) {
    list.path[list.count++] = AdpcmPath{"avx2", kAdpcmAvx2Lanes, kAdpcmAvx2DecodeLanes, EncodeBlocksAvx2,
                                        AdpcmEncodeAvx2Samples, DecodeBlocksAvx2};
  }
#endif
  return list;
}

const PathList& Paths() {
  static const PathList list = ListPaths();
  return list;
}

// How many of the listed paths, from the narrowest, the multi-block operations consider.
std::atomic<int32_t> g_consideredPaths{kMaxPaths};

// The widest path with the operation whose batch `count` blocks fill; the single-block
// path for fewer.
template <typename Fn>
const AdpcmPath& WidestPath(int32_t count, Fn AdpcmPath::*operation, int32_t AdpcmPath::*from) {
  const PathList& list = Paths();
  const int32_t considered = std::min(list.count, g_consideredPaths.load(std::memory_order_relaxed));
  for (int32_t i = considered - 1; i > 0; --i) {
    const AdpcmPath& path = list.path[i];
    if (path.*operation != nullptr && path.*from <= count) return path;
  }
  return list.path[0];
}

}  // namespace

int32_t AdpcmPathCount() { return Paths().count; }

const AdpcmPath& AdpcmPathAt(int32_t i) { return Paths().path[i]; }

bool AdpcmLimitPaths(const char* widest) {
  const PathList& list = Paths();
  int32_t considered = list.count;
  if (widest != nullptr) {
    considered = 0;
    while (considered < list.count && std::strcmp(list.path[considered].name, widest) != 0) ++considered;
    if (considered == list.count) return false;
    ++considered;
  }
  g_consideredPaths.store(considered, std::memory_order_relaxed);
  return true;
}

int32_t EncodeAdpcmBlock(AdpcmCodecState& state, uint8_t* out, const uint8_t* pcm) {
  const int32_t groups = GroupsPerBlock(state);
  SaveCursor(state, EncodeLanes<1>(out, pcm, RuntimeLayout{0, 0}, groups));
  return kAdpcmHeaderBytes + groups * kGroupCodeBytes;
}

int32_t EncodeAdpcmBlocksCarried(AdpcmCodecState& state, uint8_t* out, const uint8_t* pcm, int32_t count) {
  if (CodesNothing(state, count)) return 0;
  const int32_t groups = GroupsPerBlock(state);
  const int32_t blockBytes = BlockBytesOf(state);
  // Each block waits for the index its predecessor ends with, so they are coded one by one.
  const auto codeEach = [&](auto layout) {
    for (int32_t b = 0; b < count; ++b) {
      const int32_t start = ClampStepIndex(state.channel[0].stepIndex);
      SaveCursor(state, EncodeLanes<1>(out + b * layout.blockBytes, pcm + b * layout.pcmStride, layout, groups, start));
    }
  };
  if (state.pcmBytesPerBlock == ModuleLayout::pcmStride) {
    codeEach(ModuleLayout{});
  } else {
    codeEach(RuntimeLayout{state.pcmBytesPerBlock, blockBytes});
  }
  return count * blockBytes;
}

int32_t EncodeAdpcmBlocks(AdpcmCodecState& state, uint8_t* out, const uint8_t* pcm, int32_t count) {
  return WidestPath(count, &AdpcmPath::encode, &AdpcmPath::encodeFrom).encode(state, out, pcm, count);
}

int32_t DecodeAdpcmBlocks(AdpcmCodecState& state, uint8_t* pcmOut, const uint8_t* blocks, int32_t blockBytes,
                          int32_t count) {
  return WidestPath(count, &AdpcmPath::decode, &AdpcmPath::decodeFrom).decode(state, pcmOut, blocks, blockBytes, count);
}

int32_t DecodeAdpcmBlock(AdpcmCodecState& state, uint8_t* pcmOut, int32_t& pcmBytesWritten,
                         const uint8_t* block, int32_t blockBytes) {
  if (blockBytes == 0) return 0;
  if (state.maxInputBytes != 0 && blockBytes > state.maxInputBytes) blockBytes = state.maxInputBytes;
  const int32_t channels = state.channels;
  // Too short for its headers (or a channel count the layout does not have): nothing to decode.
  if ((channels != 1 && channels != 2) || blockBytes < kAdpcmHeaderBytes * channels) {
    pcmBytesWritten = 0;
    return 0;
  }

  if (channels == 1) {
    DecodeLanes<1>(pcmOut, block, RuntimeLayout{0, blockBytes}, state.channel[0]);
    pcmBytesWritten = PcmBytesOf(blockBytes);
    return blockBytes;
  }

  ReadAdpcmHeader(state.channel[0], block);
  ReadAdpcmHeader(state.channel[1], block + kAdpcmHeaderBytes);
  int32_t p0 = state.channel[0].decodePredictor;
  uint32_t i0 = static_cast<uint32_t>(state.channel[0].stepIndex);
  int32_t p1 = state.channel[1].decodePredictor;
  uint32_t i1 = static_cast<uint32_t>(state.channel[1].stepIndex);
  uint8_t* out = pcmOut;
  const uint8_t* in = block + 2 * kAdpcmHeaderBytes;
  // Only whole groups: channel 1's bytes of a group cut short would lie past the input.
  const int32_t groups = (blockBytes - 2 * kAdpcmHeaderBytes) / kStereoGroupBytes;
  for (int32_t g = 0; g < groups; ++g, in += kStereoGroupBytes) {
    for (int32_t j = 0; j < kGroupCodeBytes; ++j, out += 4 * kPcmSampleBytes) {
      const uint32_t left = in[j];
      const uint32_t right = in[j + kGroupCodeBytes];
      int32_t leftEarly;
      int32_t leftLate;
      int32_t rightEarly;
      int32_t rightLate;
      AdpcmDecodeByteOnIndex(p0, i0, left, leftEarly, leftLate);
      AdpcmDecodeByteOnIndex(p1, i1, right, rightEarly, rightLate);
      StorePcm(out, leftEarly);
      StorePcm(out + kPcmSampleBytes, rightEarly);
      StorePcm(out + 2 * kPcmSampleBytes, leftLate);
      StorePcm(out + 3 * kPcmSampleBytes, rightLate);
    }
  }
  state.channel[0].decodePredictor = p0;
  state.channel[0].stepIndex = static_cast<int16_t>(i0);
  state.channel[1].decodePredictor = p1;
  state.channel[1].stepIndex = static_cast<int16_t>(i1);
  pcmBytesWritten = static_cast<int32_t>(out - pcmOut);
  return static_cast<int32_t>(in - block);
}
