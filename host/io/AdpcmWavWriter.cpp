// Writing the ADPCM stream as an IMA ADPCM WAV file.
#include "host/io/AdpcmWavWriter.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace zbhost {

namespace {

constexpr uint16_t kImaAdpcmTag = 0x0011;  // WAVE_FORMAT_DVI_ADPCM
constexpr uint16_t kBitsPerCode = 4;
constexpr uint16_t kExtraFormatBytes = 2;  // the samples per block
constexpr uint32_t kFmtBytes = 20;
constexpr uint32_t kFactBytes = 4;
constexpr uint32_t kChunkHeadBytes = 8;
constexpr uint32_t kWaveTagBytes = 4;
// The sizes of a stream whose length is not known when its header is written.
constexpr uint32_t kUnknownSize = 0xFFFFFFFF;
// The largest number of blocks whose data size fits the header's 32 bits.
constexpr uint32_t kMostBlocks = (kUnknownSize - 1024) / kImaBlockBytes;

void Put16(std::string& out, uint16_t value) {
  out += static_cast<char>(value & 0xFF);
  out += static_cast<char>(value >> 8);
}

void Put32(std::string& out, uint32_t value) {
  Put16(out, static_cast<uint16_t>(value & 0xFFFF));
  Put16(out, static_cast<uint16_t>(value >> 16));
}

}  // namespace

AdpcmWavWriter::AdpcmWavWriter(OutputFile& target, int32_t rate) : m_target(target), m_nRate(rate) {
  m_target.Write(Header(kUnknownSize));
}

std::string AdpcmWavWriter::Header(uint32_t blocks) const {
  const bool known = blocks != kUnknownSize;
  const uint32_t dataBytes = known ? blocks * kImaBlockBytes : kUnknownSize;
  const uint32_t headerBytes =
      kWaveTagBytes + kChunkHeadBytes + kFmtBytes + kChunkHeadBytes + kFactBytes + kChunkHeadBytes;
  std::string out = "RIFF";
  Put32(out, known ? headerBytes + dataBytes : kUnknownSize);
  out += "WAVEfmt ";
  Put32(out, kFmtBytes);
  Put16(out, kImaAdpcmTag);
  Put16(out, 1);  // one channel
  Put32(out, static_cast<uint32_t>(m_nRate));
  Put32(out, static_cast<uint32_t>(static_cast<uint64_t>(m_nRate) * kImaBlockBytes / kImaSamplesPerBlock));
  Put16(out, static_cast<uint16_t>(kImaBlockBytes));
  Put16(out, kBitsPerCode);
  Put16(out, kExtraFormatBytes);
  Put16(out, static_cast<uint16_t>(kImaSamplesPerBlock));
  out += "fact";
  Put32(out, kFactBytes);
  Put32(out, known ? blocks * kImaSamplesPerBlock : kUnknownSize);
  out += "data";
  Put32(out, dataBytes);
  return out;
}

void AdpcmWavWriter::Add(const uint8_t* payload, size_t bytes) noexcept {
  const auto blocks = static_cast<uint32_t>(bytes / kImaBlockBytes);
  if (blocks == 0 || m_failure) return;
  try {
    if (m_nBlocks > kMostBlocks - blocks) m_target.Fail("the ADPCM stream outgrows a WAV file's 4 GB");
    m_target.Write(reinterpret_cast<const char*>(payload), blocks * kImaBlockBytes);
    m_nBlocks += blocks;
  } catch (...) {
    m_failure = std::current_exception();
  }
}

void AdpcmWavWriter::Finish() {
  if (m_failure) std::rethrow_exception(m_failure);
  if (!m_target.IsSeekable()) return;
  const std::string header = Header(m_nBlocks);
  if (pwrite(m_target.fd(), header.data(), header.size(), 0) != static_cast<ssize_t>(header.size())) {
    m_target.Fail(std::strerror(errno));
  }
}

}  // namespace zbhost
