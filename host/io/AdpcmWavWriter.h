// The encoder's ADPCM stream as an IMA ADPCM WAV file (--adpcm-out), so that any IMA decoder
// (sox, FFmpeg, libsndfile) can play the blocks the encoder made. Each 84-byte block is one
// WAV block: its 4-byte header holds the first sample, which an IMA WAV decoder puts out
// before the block's 160 codes, so a block plays as 161 samples.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

#include "host/io/OutputFile.h"

namespace zbhost {

inline constexpr uint32_t kImaBlockBytes = 84;
inline constexpr uint32_t kImaSamplesPerBlock = 161;  // the header's sample and 160 codes

class AdpcmWavWriter {
 public:
  // Writes the header to `target` (which must outlive the writer) for a stream at `rate`.
  AdpcmWavWriter(OutputFile& target, int32_t rate);
  // Appends the whole blocks of one data frame's payload. Called from within the library's
  // delivery, it throws nothing: a failure is kept for Finish.
  void Add(const uint8_t* payload, size_t bytes) noexcept;
  // Puts the sizes in the header where the target can seek; a stream keeps the sizes that
  // mean "unknown". Throws HostError (output).
  void Finish();

 private:
  std::string Header(uint32_t blocks) const;

  OutputFile& m_target;
  int32_t m_nRate;
  uint32_t m_nBlocks = 0;
  std::exception_ptr m_failure;
};

}  // namespace zbhost
