// Frames for module tests and fuzz targets (no test framework): owned PCM and ADPCM
// frames, a deterministic test signal, the blocks and PCM the modules must produce for a
// payload, and module ownership and wiring.
#pragma once

#include <cmath>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "Include/QV_Interface/zbav.h"
#include "codec/AdpcmBlock.h"
#include "codec/AdpcmModuleLayout.h"

namespace zbtest {

template <typename Module>
struct ModuleDeleter {
  void operator()(Module* module) const { module->DeletingDestructor(kDeleteFreesMemory); }
};
template <typename Module>
using ModulePtr = std::unique_ptr<Module, ModuleDeleter<Module>>;

template <typename Module>
ModulePtr<Module> Make() {
  return ModulePtr<Module>(new Module());
}

inline void Connect(AvSourceFace* source, AvSinkFace* sink) { source->AddOutput(sink); }

// A PCM frame whose record, info and payload live as long as the object.
struct PcmFrame {
  AvFrameInfo info{};
  std::vector<uint8_t> payload;
  AvFrame frame{};

  PcmFrame(std::vector<uint8_t> bytes, int32_t seq, int32_t timestamp, uint8_t flags = AV_CLASS_MEDIA,
           uint16_t kind = AV_KIND_AUDIO, uint8_t type = AV_TYPE_PCM)
      : payload(std::move(bytes)) {
    info.seq = seq;
    info.timestamp = timestamp;
    info.flags = flags;
    frame.type = type;
    frame.kind = kind;
    frame.info = &info;
    frame.len = static_cast<uint32_t>(payload.size());
    frame.data = payload.empty() ? nullptr : payload.data();
  }
  PcmFrame(const PcmFrame&) = delete;
  PcmFrame& operator=(const PcmFrame&) = delete;
};

// `samples` of a deterministic tone-and-noise signal as little-endian 16-bit PCM; `phase`
// makes consecutive frames differ.
inline std::vector<uint8_t> TestPcm(size_t samples, uint32_t phase) {
  std::vector<uint8_t> bytes(samples * 2);
  uint32_t noise = 0x9E3779B9u ^ phase;
  for (size_t i = 0; i < samples; ++i) {
    noise = noise * 1664525u + 1013904223u;
    const double t = static_cast<double>(phase * samples + i);
    const double value = 9000.0 * std::sin(t * 0.05) + 3000.0 * std::sin(t * 0.31) +
                         static_cast<double>(static_cast<int32_t>(noise >> 20) - 2048);
    const auto sample = static_cast<int16_t>(value);
    bytes[2 * i] = static_cast<uint8_t>(static_cast<uint16_t>(sample) & 0xFF);
    bytes[2 * i + 1] = static_cast<uint8_t>(static_cast<uint16_t>(sample) >> 8);
  }
  return bytes;
}

// The ADPCM payload of `pcm`: one 84-byte block per whole 320-byte piece.
inline std::vector<uint8_t> EncodeBlocks(const std::vector<uint8_t>& pcm) {
  std::vector<uint8_t> out;
  for (size_t offset = 0; offset + kAdpcmPcmBytesPerBlock <= pcm.size(); offset += kAdpcmPcmBytesPerBlock) {
    AdpcmCodecState state{};
    state.channels = 1;
    state.pcmBytesPerBlock = kAdpcmPcmBytesPerBlock;
    uint8_t block[kAdpcmBlockBytes];
    const int32_t n = EncodeAdpcmBlock(state, block, pcm.data() + offset);
    out.insert(out.end(), block, block + n);
  }
  return out;
}

// Byte-wise XOR of `a` with `b`, over a's length; bytes past b's end count as zero.
inline std::vector<uint8_t> Xor(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  std::vector<uint8_t> out(a);
  for (size_t i = 0; i < out.size() && i < b.size(); ++i) out[i] ^= b[i];
  return out;
}

// PCM the decoder must render: 84-byte blocks when the length allows, else one block.
inline std::vector<uint8_t> DecodedPcm(const std::vector<uint8_t>& payload) {
  const size_t len = payload.size();
  const size_t blockLen = len % kAdpcmBlockBytes == 0 ? kAdpcmBlockBytes : len;
  std::vector<uint8_t> out;
  for (size_t offset = 0; offset < len; offset += blockLen) {
    AdpcmCodecState state{};
    state.channels = 1;
    std::vector<uint8_t> pcm(4 * blockLen);
    int32_t written = 0;
    DecodeAdpcmBlock(state, pcm.data(), written, payload.data() + offset, static_cast<int32_t>(blockLen));
    out.insert(out.end(), pcm.begin(), pcm.begin() + written);
  }
  return out;
}

}  // namespace zbtest
