// Audio in and out. Reads anything libsndfile reads (a file, or standard input as "-"),
// mixes it to mono and notes damage; resamples; and encodes the decoded stream in the
// container its output name asks for (WAV, FLAC, Ogg Vorbis, ...).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/report/Progress.h"

namespace zbhost {

struct InputAudio {
  std::vector<float> mono;       // at the file's rate, full scale 1.0
  int32_t fileRate = 0;
  int32_t fileChannels = 0;
  std::string format;            // libsndfile's name of the file's format
  std::vector<std::string> warnings;  // damage found while reading (a truncated file)
};

// Throws HostError (input) for a missing, unreadable, empty or unsupported file.
InputAudio ReadAudioFile(const std::string& path, const ProgressFn& progress);

// Resamples mono audio; throws HostError (input) when the converter fails.
std::vector<float> Resample(const std::vector<float>& mono, int32_t fromRate, int32_t toRate,
                            const ProgressFn& progress);

std::vector<int16_t> ToPcm16(const std::vector<float>& samples);
std::vector<float> ToFloat(const std::vector<int16_t>& samples);

// An audio container libsndfile writes, chosen by the output name's extension.
struct AudioContainer {
  int format = 0;    // libsndfile major format and encoding
  std::string name;  // "WAV", "FLAC", ...
};

// The container for `path`: by its extension, WAV when it has none. Throws HostError
// (output) for an extension no supported container uses.
AudioContainer ContainerFor(const std::string& path);

// Mono 16-bit samples encoded in `container` at `rate`, as the bytes of a complete file.
// Throws HostError (output), naming `path`, when the container cannot carry them (Opus at
// 44.1 kHz, say).
std::string EncodeAudio(const std::vector<int16_t>& samples, int32_t rate,
                        const AudioContainer& container, const std::string& path);

}  // namespace zbhost
