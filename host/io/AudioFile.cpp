// Reading, mixing and resampling input audio; encoding the decoded stream.
#include "host/io/AudioFile.h"

#include <fcntl.h>
#include <samplerate.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <sstream>

#include <fmt/format.h>

#include "host/app/HostError.h"
#include "host/io/OutputFile.h"

namespace zbhost {

namespace {

constexpr double kInt16Scale = 32768.0;  // libsndfile's float scale for 16-bit samples
constexpr sf_count_t kReadChunkFrames = 65536;
constexpr long kResampleChunkFrames = 65536;
constexpr size_t kSlurpChunkBytes = 1 << 16;
constexpr size_t kLogBytes = 16384;

struct SndFileCloser {
  void operator()(SNDFILE* file) const { sf_close(file); }
};
using SndFilePtr = std::unique_ptr<SNDFILE, SndFileCloser>;

struct SrcCloser {
  void operator()(SRC_STATE* state) const { src_delete(state); }
};

// A whole file held in memory, behind libsndfile's virtual I/O: input that cannot seek
// (standard input, a FIFO) is read into one, and output is encoded into one.
struct MemoryFile {
  std::string bytes;
  sf_count_t position = 0;

  static sf_count_t Length(void* self) {
    return static_cast<sf_count_t>(static_cast<MemoryFile*>(self)->bytes.size());
  }
  static sf_count_t Seek(sf_count_t offset, int whence, void* self) {
    MemoryFile& file = *static_cast<MemoryFile*>(self);
    const sf_count_t base = whence == SEEK_SET   ? 0
                            : whence == SEEK_CUR ? file.position
                                                 : Length(self);
    if (base + offset < 0) return -1;
    file.position = base + offset;
    return file.position;
  }
  static sf_count_t Read(void* to, sf_count_t count, void* self) {
    MemoryFile& file = *static_cast<MemoryFile*>(self);
    const sf_count_t available = std::max<sf_count_t>(0, Length(self) - file.position);
    const sf_count_t n = std::min(count, available);
    std::memcpy(to, file.bytes.data() + file.position, static_cast<size_t>(n));
    file.position += n;
    return n;
  }
  static sf_count_t Write(const void* from, sf_count_t count, void* self) {
    MemoryFile& file = *static_cast<MemoryFile*>(self);
    const size_t end = static_cast<size_t>(file.position + count);
    if (file.bytes.size() < end) file.bytes.resize(end);
    std::memcpy(file.bytes.data() + file.position, from, static_cast<size_t>(count));
    file.position += count;
    return count;
  }
  static sf_count_t Tell(void* self) { return static_cast<MemoryFile*>(self)->position; }

  static SF_VIRTUAL_IO Io() { return SF_VIRTUAL_IO{Length, Seek, Read, Write, Tell}; }
};

std::string FormatName(int format) {
  SF_FORMAT_INFO info{};
  info.format = format & SF_FORMAT_TYPEMASK;
  if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &info, sizeof info) != 0 || info.name == nullptr) {
    return "audio";
  }
  return info.name;
}

[[noreturn]] void InputFault(const std::string& path, const std::string& reason) {
  throw HostError(kExitInput, fmt::format("cannot read '{}': {}", path, reason));
}

// Reads all of standard input or a FIFO, which libsndfile cannot seek in.
void Slurp(const std::string& path, MemoryFile& file) {
  const bool standardInput = path == kStdStreamName;
  const int fd = standardInput ? STDIN_FILENO : open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) InputFault(path, std::strerror(errno));
  if (standardInput && isatty(fd) != 0)
    InputFault(path, "standard input is a terminal; pipe audio into it");
  char buffer[kSlurpChunkBytes];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      const int error = errno;
      if (!standardInput) close(fd);
      InputFault(path, std::strerror(error));
    }
    if (got == 0) break;
    file.bytes.append(buffer, static_cast<size_t>(got));
  }
  if (!standardInput) close(fd);
}

// A header that announces more audio than the file holds: libsndfile reads what is there
// and notes "data : ANNOUNCED (should be HELD)" in its log.
std::string TruncationWarning(SNDFILE* file, const std::string& path) {
  std::string log(kLogBytes, '\0');
  sf_command(file, SFC_GET_LOG_INFO, log.data(), static_cast<int>(log.size()));
  std::istringstream lines(log.c_str());
  std::string line;
  while (std::getline(lines, line)) {
    long long announced = 0;
    long long held = 0;
    if (std::sscanf(line.c_str(), "data : %lld (should be %lld)", &announced, &held) == 2 &&
        announced > held) {
      return fmt::format(
          "'{}' is truncated: its header announces {} bytes of audio, the file holds "
          "{}; streaming what is there",
          path, announced, held);
    }
  }
  return {};
}

}  // namespace

InputAudio ReadAudioFile(const std::string& path, const ProgressFn& progress) {
  struct stat st {};
  const bool standardInput = path == kStdStreamName;
  if (!standardInput) {
    if (stat(path.c_str(), &st) != 0) {
      if (errno == ENOENT)
        throw HostError(kExitInput, fmt::format("cannot open '{}': no such file", path));
      InputFault(path, std::strerror(errno));
    }
    if (S_ISDIR(st.st_mode)) InputFault(path, "it is a directory");
    if (access(path.c_str(), R_OK) != 0) InputFault(path, std::strerror(errno));
  }

  SF_INFO info{};
  MemoryFile memory;
  SF_VIRTUAL_IO io = MemoryFile::Io();
  SndFilePtr file;
  if (standardInput || !S_ISREG(st.st_mode)) {
    Slurp(path, memory);
    file.reset(sf_open_virtual(&io, SFM_READ, &info, &memory));
  } else {
    file.reset(sf_open(path.c_str(), SFM_READ, &info));
  }
  if (!file) {
    InputFault(path, fmt::format("unsupported or damaged audio file ({})", sf_strerror(nullptr)));
  }
  if (info.frames <= 0 || info.channels <= 0 || info.samplerate <= 0) {
    throw HostError(kExitInput, fmt::format("'{}' holds no audio", path));
  }

  InputAudio audio;
  audio.fileRate = info.samplerate;
  audio.fileChannels = info.channels;
  audio.format = FormatName(info.format);
  const std::string truncated = TruncationWarning(file.get(), path);
  if (!truncated.empty()) audio.warnings.push_back(truncated);

  audio.mono.reserve(static_cast<size_t>(info.frames));
  std::vector<float> chunk(static_cast<size_t>(kReadChunkFrames) * info.channels);
  for (;;) {
    const sf_count_t got = sf_readf_float(file.get(), chunk.data(), kReadChunkFrames);
    if (got <= 0) break;
    for (sf_count_t frame = 0; frame < got; ++frame) {
      double sum = 0;
      for (int channel = 0; channel < info.channels; ++channel) {
        sum += chunk[static_cast<size_t>(frame * info.channels + channel)];
      }
      audio.mono.push_back(static_cast<float>(sum / info.channels));
    }
    if (progress) progress(static_cast<int64_t>(audio.mono.size()), info.frames);
  }
  if (audio.mono.empty()) throw HostError(kExitInput, fmt::format("'{}' holds no audio", path));
  if (sf_error(file.get()) != SF_ERR_NO_ERROR) {
    // As other audio tools do with a damaged tail: warn and keep what was read.
    audio.warnings.push_back(fmt::format("'{}' ends early ({}); streaming the {} samples read",
                                         path, sf_strerror(file.get()), audio.mono.size()));
  }
  return audio;
}

std::vector<float> Resample(const std::vector<float>& mono, int32_t fromRate, int32_t toRate,
                            const ProgressFn& progress) {
  if (fromRate == toRate) return mono;
  auto fail = [&](int error) {
    return HostError(kExitInput, fmt::format("cannot resample from {} Hz to {} Hz: {}", fromRate,
                                             toRate, src_strerror(error)));
  };
  int error = 0;
  const std::unique_ptr<SRC_STATE, SrcCloser> state(src_new(SRC_SINC_BEST_QUALITY, 1, &error));
  if (!state) throw fail(error);
  const double ratio = static_cast<double>(toRate) / fromRate;
  std::vector<float> out(static_cast<size_t>(std::ceil(static_cast<double>(mono.size()) * ratio)) +
                         1);
  const long total = static_cast<long>(mono.size());
  long consumed = 0;
  long produced = 0;
  // Chunk by chunk, so the progress bar moves; the last call flushes the converter.
  while (produced < static_cast<long>(out.size())) {
    SRC_DATA data{};
    const long chunk = std::min(kResampleChunkFrames, total - consumed);
    data.data_in = mono.data() + consumed;
    data.input_frames = chunk;
    data.data_out = out.data() + produced;
    data.output_frames = static_cast<long>(out.size()) - produced;
    data.src_ratio = ratio;
    data.end_of_input = consumed + chunk >= total ? 1 : 0;
    error = src_process(state.get(), &data);
    if (error != 0) throw fail(error);
    consumed += data.input_frames_used;
    produced += data.output_frames_gen;
    if (progress) progress(consumed, total);
    if (data.end_of_input != 0 && data.output_frames_gen == 0) break;
  }
  out.resize(static_cast<size_t>(produced));
  return out;
}

std::vector<int16_t> ToPcm16(const std::vector<float>& samples) {
  std::vector<int16_t> pcm;
  pcm.reserve(samples.size());
  for (float value : samples) {
    const double scaled = std::nearbyint(static_cast<double>(value) * kInt16Scale);
    pcm.push_back(
        static_cast<int16_t>(std::clamp(scaled, double{std::numeric_limits<int16_t>::min()},
                                        double{std::numeric_limits<int16_t>::max()})));
  }
  return pcm;
}

std::vector<float> ToFloat(const std::vector<int16_t>& samples) {
  std::vector<float> out;
  out.reserve(samples.size());
  for (int16_t value : samples) out.push_back(static_cast<float>(value / kInt16Scale));
  return out;
}

AudioContainer ContainerFor(const std::string& path) {
  // One row per container, with every extension that names it; the first row is the default.
  struct Known {
    int format;
    const char* name;
    const char* extensions[2];  // unused entries are null
  };
  static constexpr Known kKnown[] = {
      {SF_FORMAT_WAV | SF_FORMAT_PCM_16, "WAV", {"wav"}},
      {SF_FORMAT_FLAC | SF_FORMAT_PCM_16, "FLAC", {"flac"}},
      {SF_FORMAT_OGG | SF_FORMAT_VORBIS, "Ogg Vorbis", {"ogg", "oga"}},
      {SF_FORMAT_OGG | SF_FORMAT_OPUS, "Ogg Opus", {"opus"}},
      {SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, "MP3", {"mp3"}},
      {SF_FORMAT_AIFF | SF_FORMAT_PCM_16, "AIFF", {"aiff", "aif"}},
      {SF_FORMAT_AU | SF_FORMAT_PCM_16, "AU", {"au"}},
      {SF_FORMAT_CAF | SF_FORMAT_PCM_16, "CAF", {"caf"}},
      {SF_FORMAT_W64 | SF_FORMAT_PCM_16, "Wave64", {"w64"}},
      {SF_FORMAT_RF64 | SF_FORMAT_PCM_16, "RF64", {"rf64"}},
      {SF_FORMAT_RAW | SF_FORMAT_PCM_16 | SF_ENDIAN_LITTLE, "raw 16-bit little-endian PCM",
       {"raw"}},
  };
  const size_t slash = path.find_last_of('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const size_t dot = name.find_last_of('.');
  if (dot == std::string::npos || dot == 0) return {kKnown[0].format, kKnown[0].name};
  std::string extension = name.substr(dot + 1);
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  std::string known;
  for (const Known& entry : kKnown) {
    for (const char* candidate : entry.extensions) {
      if (candidate == nullptr) break;
      if (extension == candidate) return {entry.format, entry.name};
      known += (known.empty() ? "." : ", .") + std::string(candidate);
    }
  }
  throw HostError(kExitOutput,
                  fmt::format("cannot write '{}': no audio container uses the extension "
                              "'.{}'; use one of {}",
                              path, extension, known));
}

std::string EncodeAudio(const std::vector<int16_t>& samples, int32_t rate,
                        const AudioContainer& container, const std::string& path) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = 1;
  info.format = container.format;
  MemoryFile memory;
  SF_VIRTUAL_IO io = MemoryFile::Io();
  SndFilePtr file(sf_open_virtual(&io, SFM_WRITE, &info, &memory));
  if (!file) {
    throw HostError(kExitOutput, fmt::format("cannot write '{}' as {} at {} Hz: {}", path,
                                             container.name, rate, sf_strerror(nullptr)));
  }
  const sf_count_t count = static_cast<sf_count_t>(samples.size());
  if (sf_writef_short(file.get(), samples.data(), count) != count) {
    throw HostError(kExitOutput,
                    fmt::format("cannot write '{}': {}", path, sf_strerror(file.get())));
  }
  if (sf_close(file.release()) != 0) {
    throw HostError(kExitOutput, fmt::format("cannot write '{}': encoding failed", path));
  }
  return std::move(memory.bytes);
}

}  // namespace zbhost
