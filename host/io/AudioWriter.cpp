// Encoding the decoded stream.
#include "host/io/AudioWriter.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include <fmt/format.h>

#include "host/base/HostError.h"

namespace zbhost {

namespace {

constexpr size_t kCopyChunkBytes = 1 << 16;
constexpr uint32_t kUnknownLength = 0xFFFFFFFF;  // a streamed WAV's sizes, as other tools write them
constexpr uint32_t kFmtChunkBytes = 16;
constexpr uint16_t kPcmFormatTag = 1;
constexpr uint16_t kBitsPerSample = 16;
constexpr uint16_t kBytesPerSample = kBitsPerSample / 8;
constexpr int kByteBits = 8;

void AppendLittleEndian(std::string& out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (kByteBits * i)) & 0xFF);
}

// The header of a mono 16-bit WAV stream of unknown length. libsndfile writes WAV only
// where it can seek back to fill in the sizes; to a pipe, this header goes first and the
// samples follow as raw little-endian PCM.
std::string StreamedWavHeader(int32_t rate) {
  std::string header = "RIFF";
  AppendLittleEndian(header, kUnknownLength, 4);
  header += "WAVEfmt ";
  AppendLittleEndian(header, kFmtChunkBytes, 4);
  AppendLittleEndian(header, kPcmFormatTag, 2);
  AppendLittleEndian(header, 1, 2);  // channels
  AppendLittleEndian(header, static_cast<uint32_t>(rate), 4);
  AppendLittleEndian(header, static_cast<uint32_t>(rate) * kBytesPerSample, 4);
  AppendLittleEndian(header, kBytesPerSample, 2);
  AppendLittleEndian(header, kBitsPerSample, 2);
  header += "data";
  AppendLittleEndian(header, kUnknownLength, 4);
  return header;
}

}  // namespace

AudioContainer ContainerFor(const std::string& path) {
  // One row per container, with every extension that names it; the first row is the default.
  struct Known {
    int format;
    const char* name;
    bool streams;
    const char* extensions[2];  // unused entries are null
  };
  static constexpr Known kKnown[] = {
      {SF_FORMAT_WAV | SF_FORMAT_PCM_16, "WAV", true, {"wav"}},  // streamed by hand
      {SF_FORMAT_FLAC | SF_FORMAT_PCM_16, "FLAC", false, {"flac"}},
      {SF_FORMAT_OGG | SF_FORMAT_VORBIS, "Ogg Vorbis", true, {"ogg", "oga"}},
      {SF_FORMAT_OGG | SF_FORMAT_OPUS, "Ogg Opus", false, {"opus"}},
      {SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, "MP3", true, {"mp3"}},
      {SF_FORMAT_AIFF | SF_FORMAT_PCM_16, "AIFF", false, {"aiff", "aif"}},
      {SF_FORMAT_AU | SF_FORMAT_PCM_16, "AU", true, {"au"}},
      {SF_FORMAT_CAF | SF_FORMAT_PCM_16, "CAF", false, {"caf"}},
      {SF_FORMAT_W64 | SF_FORMAT_PCM_16, "Wave64", false, {"w64"}},
      {SF_FORMAT_RF64 | SF_FORMAT_PCM_16, "RF64", false, {"rf64"}},
      {SF_FORMAT_RAW | SF_FORMAT_PCM_16 | SF_ENDIAN_LITTLE, "raw 16-bit little-endian PCM", true,
       {"raw"}},
  };
  const size_t slash = path.find_last_of('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const size_t dot = name.find_last_of('.');
  if (dot == std::string::npos || dot == 0) return {kKnown[0].format, kKnown[0].name, kKnown[0].streams};
  std::string extension = name.substr(dot + 1);
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  std::string known;
  for (const Known& entry : kKnown) {
    for (const char* candidate : entry.extensions) {
      if (candidate == nullptr) break;
      if (extension == candidate) return {entry.format, entry.name, entry.streams};
      known += (known.empty() ? "." : ", .") + std::string(candidate);
    }
  }
  throw HostError(kExitOutput,
                  fmt::format("cannot write '{}': no audio container uses the extension "
                              "'.{}'; use one of {}",
                              path, extension, known));
}

namespace {

constexpr char kSystemErrorPrefix[] = "System error : ";  // libsndfile's text for errno

// Why libsndfile failed, in zbhost's words: a system error as the system names it.
std::string Reason(SNDFILE* file) {
  std::string text = sf_strerror(file);
  if (text.rfind(kSystemErrorPrefix, 0) == 0) {
    text.erase(0, std::strlen(kSystemErrorPrefix));
    if (!text.empty() && text.back() == '.') text.pop_back();
  }
  return text;
}

// Opus codes these rates (Hz) alone.
constexpr int32_t kOpusRates[] = {8000, 12000, 16000, 24000, 48000};

// For a container that cannot take `rate`, the --output-rate that it takes; else empty.
std::string RateHint(const AudioContainer& container, int32_t rate) {
  if ((container.format & SF_FORMAT_SUBMASK) != SF_FORMAT_OPUS) return {};
  const int32_t* above = std::find_if(std::begin(kOpusRates), std::end(kOpusRates),
                                      [rate](int32_t opus) { return opus >= rate; });
  return fmt::format(" Use --output-rate {}.",
                     above != std::end(kOpusRates) ? *above : *std::rbegin(kOpusRates));
}

}  // namespace

AudioWriter::AudioWriter(OutputFile& target, const AudioContainer& container, int32_t rate)
    : m_target(target) {
  int fd = target.fd();
  if (!container.streams && !target.IsSeekable()) {
    const char* dir = std::getenv("TMPDIR");
    m_spool = open(dir != nullptr && *dir != '\0' ? dir : "/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (m_spool < 0) target.Fail(fmt::format("cannot make a temporary file: {}", std::strerror(errno)));
    fd = m_spool;
  }
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = 1;
  info.format = container.format;
  if ((container.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_WAV && !target.IsSeekable()) {
    target.Write(StreamedWavHeader(rate));
    info.format = SF_FORMAT_RAW | SF_FORMAT_PCM_16 | SF_ENDIAN_LITTLE;
  }
  m_file.reset(sf_open_fd(fd, SFM_WRITE, &info, SF_FALSE));
  if (!m_file) {
    target.Fail(fmt::format("cannot write {} at {} Hz: {}{}", container.name, rate,
                            Reason(nullptr), RateHint(container, rate)));
  }
}

AudioWriter::~AudioWriter() {
  m_file.reset();
  if (m_spool >= 0) close(m_spool);
}

void AudioWriter::Write(const int16_t* samples, size_t count) {
  const sf_count_t n = static_cast<sf_count_t>(count);
  if (count > 0 && sf_writef_short(m_file.get(), samples, n) != n) {
    m_target.Fail(Reason(m_file.get()));
  }
}

void AudioWriter::Finish() {
  // libsndfile completes the header on closing, and says so when it cannot.
  sf_write_sync(m_file.get());
  const int error = sf_error(m_file.get());
  const std::string message = Reason(m_file.get());
  if (error != SF_ERR_NO_ERROR || sf_close(m_file.release()) != 0) m_target.Fail(message);
  if (m_spool < 0) return;
  lseek(m_spool, 0, SEEK_SET);
  char buffer[kCopyChunkBytes];
  for (;;) {
    const ssize_t got = read(m_spool, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) m_target.Fail(std::strerror(errno));
    if (got == 0) break;
    m_target.Write(buffer, static_cast<size_t>(got));
  }
}

}  // namespace zbhost
