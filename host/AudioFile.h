// Audio files in and out: reads anything libsndfile reads, mixes it to mono and resamples
// it to the stream rate; writes mono 16-bit WAV through a temporary file that is renamed
// into place only when complete, so a failed run never leaves a half-written output.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zbhost {

struct InputAudio {
  std::vector<int16_t> samples;  // mono, at the stream rate
  int32_t fileRate = 0;
  int32_t fileChannels = 0;
  std::string format;            // libsndfile's name of the file's format
};

// Throws HostError (input) for a missing, unreadable, empty or unsupported file.
InputAudio ReadAudioFile(const std::string& path, int32_t streamRate);

// Throws HostError (output) when the file cannot be written; nothing is left behind then.
void WriteWavFile(const std::string& path, const std::vector<int16_t>& samples, int32_t rate);

}  // namespace zbhost
