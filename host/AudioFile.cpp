// Reading, mixing and resampling input audio; writing the decoded stream as WAV.
#include "host/AudioFile.h"

#include <samplerate.h>
#include <sndfile.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>

#include <fmt/format.h>

#include "host/HostError.h"

namespace zbhost {

namespace {

constexpr double kInt16Scale = 32768.0;  // libsndfile's float scale for 16-bit samples
constexpr sf_count_t kReadChunkFrames = 65536;

struct SndFileCloser {
  void operator()(SNDFILE* file) const { sf_close(file); }
};
using SndFilePtr = std::unique_ptr<SNDFILE, SndFileCloser>;

int16_t ToInt16(float value) {
  const double scaled = std::nearbyint(static_cast<double>(value) * kInt16Scale);
  return static_cast<int16_t>(std::clamp(scaled, static_cast<double>(std::numeric_limits<int16_t>::min()),
                                         static_cast<double>(std::numeric_limits<int16_t>::max())));
}

std::string FormatName(int format) {
  SF_FORMAT_INFO info{};
  info.format = format & SF_FORMAT_TYPEMASK;
  if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &info, sizeof info) != 0 || info.name == nullptr) {
    return "audio";
  }
  return info.name;
}

std::vector<float> Resample(const std::vector<float>& mono, int32_t fromRate, int32_t toRate) {
  const double ratio = static_cast<double>(toRate) / fromRate;
  std::vector<float> out(static_cast<size_t>(std::ceil(static_cast<double>(mono.size()) * ratio)) + 1);
  SRC_DATA data{};
  data.data_in = mono.data();
  data.input_frames = static_cast<long>(mono.size());
  data.data_out = out.data();
  data.output_frames = static_cast<long>(out.size());
  data.src_ratio = ratio;
  const int error = src_simple(&data, SRC_SINC_BEST_QUALITY, 1);
  if (error != 0) {
    throw HostError(kExitInput, fmt::format("cannot resample from {} Hz to {} Hz: {}", fromRate,
                                            toRate, src_strerror(error)));
  }
  out.resize(static_cast<size_t>(data.output_frames_gen));
  return out;
}

}  // namespace

InputAudio ReadAudioFile(const std::string& path, int32_t streamRate) {
  std::error_code error;
  if (!std::filesystem::exists(path, error)) {
    throw HostError(kExitInput, fmt::format("cannot open '{}': no such file", path));
  }
  if (std::filesystem::is_directory(path, error)) {
    throw HostError(kExitInput, fmt::format("cannot read '{}': it is a directory", path));
  }
  if (access(path.c_str(), R_OK) != 0) {
    throw HostError(kExitInput, fmt::format("cannot read '{}': {}", path, std::strerror(errno)));
  }

  SF_INFO info{};
  SndFilePtr file(sf_open(path.c_str(), SFM_READ, &info));
  if (!file) {
    throw HostError(kExitInput, fmt::format("cannot read '{}': unsupported or damaged audio file ({})",
                                            path, sf_strerror(nullptr)));
  }
  if (info.frames <= 0 || info.channels <= 0 || info.samplerate <= 0) {
    throw HostError(kExitInput, fmt::format("'{}' holds no audio", path));
  }

  InputAudio audio;
  audio.fileRate = info.samplerate;
  audio.fileChannels = info.channels;
  audio.format = FormatName(info.format);

  std::vector<float> mono;
  mono.reserve(static_cast<size_t>(info.frames));
  std::vector<float> chunk(static_cast<size_t>(kReadChunkFrames) * info.channels);
  for (;;) {
    const sf_count_t got = sf_readf_float(file.get(), chunk.data(), kReadChunkFrames);
    if (got <= 0) break;
    for (sf_count_t frame = 0; frame < got; ++frame) {
      double sum = 0;
      for (int channel = 0; channel < info.channels; ++channel) {
        sum += chunk[static_cast<size_t>(frame * info.channels + channel)];
      }
      mono.push_back(static_cast<float>(sum / info.channels));
    }
  }
  if (sf_error(file.get()) != SF_ERR_NO_ERROR) {
    throw HostError(kExitInput, fmt::format("cannot read '{}': {}", path, sf_strerror(file.get())));
  }
  if (mono.empty()) throw HostError(kExitInput, fmt::format("'{}' holds no audio", path));

  if (info.samplerate != streamRate) mono = Resample(mono, info.samplerate, streamRate);
  audio.samples.reserve(mono.size());
  for (float value : mono) audio.samples.push_back(ToInt16(value));
  if (audio.samples.empty()) throw HostError(kExitInput, fmt::format("'{}' holds no audio", path));
  return audio;
}

void WriteWavFile(const std::string& path, const std::vector<int16_t>& samples, int32_t rate) {
  const std::filesystem::path target(path);
  const std::filesystem::path directory =
      target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
  std::string pattern = (directory / (target.filename().string() + ".XXXXXX")).string();
  const int fd = mkstemp(pattern.data());
  if (fd < 0) {
    throw HostError(kExitOutput, fmt::format("cannot write '{}': {}", path, std::strerror(errno)));
  }
  const std::string temp = pattern;
  auto fail = [&](const std::string& reason) {
    std::remove(temp.c_str());
    return HostError(kExitOutput, fmt::format("cannot write '{}': {}", path, reason));
  };

  SF_INFO info{};
  info.samplerate = rate;
  info.channels = 1;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SndFilePtr file(sf_open_fd(fd, SFM_WRITE, &info, SF_TRUE));
  if (!file) {
    close(fd);
    throw fail(sf_strerror(nullptr));
  }
  const sf_count_t count = static_cast<sf_count_t>(samples.size());
  if (sf_writef_short(file.get(), samples.data(), count) != count) throw fail(sf_strerror(file.get()));
  if (sf_close(file.release()) != 0) throw fail("closing failed");
  // mkstemp makes the file private; an audio file gets the usual permissions.
  std::error_code error;
  std::filesystem::permissions(temp,
                               std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                                   std::filesystem::perms::group_read | std::filesystem::perms::others_read,
                               error);
  if (std::rename(temp.c_str(), path.c_str()) != 0) throw fail(std::strerror(errno));
}

}  // namespace zbhost
