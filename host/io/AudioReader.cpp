// Opening, reading and mixing the input.
#include "host/io/AudioReader.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include <fmt/format.h>

#include "host/base/HostError.h"
#include "host/io/FileName.h"
#include "host/io/OutputFile.h"
#include "host/io/ResyncDecoder.h"

namespace zbhost {

namespace {

constexpr size_t kLogBytes = 16384;
constexpr char kLogErrorPrefix[] = "ERROR : ";
constexpr char kLibraryErrorPrefix[] = "error: ";  // how libmpg123 starts a complaint
// An MP3's length in its header is an estimate: a couple of MPEG frames either way is no damage.
constexpr int64_t kMpegEstimateSlack = 2 * 1152;
constexpr size_t kCopyChunkBytes = 1 << 16;
constexpr size_t kMagicBytes = 4;
constexpr auto kPeekPause = std::chrono::milliseconds(1);
// Openings of the containers libsndfile reads from a pipe: WAV, AU, AIFF, MP3 with a tag.
constexpr const char* kStreamedMagic[] = {"RIFF", "RIFX", ".snd", "FORM", "ID3"};
constexpr unsigned char kMpegSync = 0xFF;      // an MP3 frame header's first byte
constexpr unsigned char kMpegSyncHigh = 0xE0;  // and the top bits of its second
// Data sizes that writers put in a header when they stream and cannot come back to fill in
// the size: the largest 32-bit sizes, signed and unsigned, and GStreamer's wavenc's. Such a
// header declares no length.
constexpr long long kStreamingDataSizes[] = {0x7FFFFFFF, 0xFFFFFFFF, 0x7FFF0000};
constexpr char kDataLogLine[] = "data : %lld";
constexpr std::streamoff kRiffHeadBytes = 12;  // "RIFF", its size, "WAVE"
constexpr size_t kChunkHeadBytes = 8;          // a chunk's id and size
constexpr size_t kChunkIdBytes = 4;
constexpr int kMostChunksWalked = 64;

[[noreturn]] void InputFault(const std::string& path, const std::string& reason) {
  throw HostError(kExitInput, fmt::format("cannot read '{}': {}", path, reason));
}

std::string FormatName(int format) {
  SF_FORMAT_INFO info{};
  info.format = format & SF_FORMAT_TYPEMASK;
  if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &info, sizeof info) != 0 || info.name == nullptr) {
    return "audio";
  }
  return info.name;
}

// The first bytes waiting in pipe `fd`, left in it for the reader (a copy through tee).
// Fewer when the writer closes before sending as many.
// (tee copies between pipes without taking the bytes out of the first.)
std::string PeekPipe(int fd) {
  int probe[2];
  if (pipe(probe) != 0) return {};
  std::string peeked;
  bool hungUp = false;
  for (;;) {
    const ssize_t copied = tee(fd, probe[1], kMagicBytes, SPLICE_F_NONBLOCK);
    if (copied > 0) {
      char bytes[kMagicBytes];
      const ssize_t got = read(probe[0], bytes, static_cast<size_t>(copied));
      peeked.assign(bytes, got > 0 ? static_cast<size_t>(got) : 0);
    }
    const bool failed = copied < 0 && errno != EAGAIN;
    if (peeked.size() >= kMagicBytes || copied == 0 || failed || hungUp) break;
    // Once the writer has gone, the pipe holds all it ever will: one more look, then done.
    struct pollfd state {fd, POLLIN, 0};
    hungUp = poll(&state, 1, -1) < 0 || (state.revents & POLLHUP) != 0;
    if (!hungUp && copied > 0) std::this_thread::sleep_for(kPeekPause);
  }
  close(probe[0]);
  close(probe[1]);
  return peeked;
}

bool StreamsFromPipe(const std::string& opening) {
  for (const char* magic : kStreamedMagic) {
    if (opening.rfind(magic, 0) == 0) return true;
  }
  return opening.size() >= 2 && static_cast<unsigned char>(opening[0]) == kMpegSync &&
         (static_cast<unsigned char>(opening[1]) & kMpegSyncHigh) == kMpegSyncHigh;
}

// Copies the rest of `fd` into an unnamed temporary file and returns it, rewound.
int SpoolToTemporary(int fd, const std::string& path) {
  const char* dir = std::getenv("TMPDIR");
  const int spool = open(dir != nullptr && *dir != '\0' ? dir : "/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (spool < 0) InputFault(path, fmt::format("cannot make a temporary copy: {}", std::strerror(errno)));
  char buffer[kCopyChunkBytes];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got == 0) break;
    if (got < 0 || write(spool, buffer, static_cast<size_t>(got)) != got) {
      const int error = errno;
      close(spool);
      InputFault(path, std::strerror(error));
    }
  }
  lseek(spool, 0, SEEK_SET);
  return spool;
}

std::string Log(SNDFILE* file) {
  std::string log(kLogBytes, '\0');
  sf_command(file, SFC_GET_LOG_INFO, log.data(), static_cast<int>(log.size()));
  return log.c_str();
}

// Decoding errors that libsndfile's decoders (FLAC, Ogg, MP3) noted in its log while reading
// on past them: "ERROR : WHAT" lines.
std::string DecodeErrorWarning(SNDFILE* file, const std::string& path) {
  std::istringstream lines(Log(file));
  std::string line;
  std::string first;
  int64_t count = 0;
  while (std::getline(lines, line)) {
    if (line.rfind(kLogErrorPrefix, 0) != 0) continue;
    if (count++ == 0) first = line.substr(std::strlen(kLogErrorPrefix));
  }
  if (count == 0) return {};
  return fmt::format("'{}' is damaged: {} decoding error{} ({}); streaming what could be decoded",
                     path, count, count == 1 ? "" : "s", first);
}

bool IsStreamingSize(long long bytes) {
  return std::find(std::begin(kStreamingDataSizes), std::end(kStreamingDataSizes), bytes) !=
         std::end(kStreamingDataSizes);
}

// True when the header's data size is one a streaming writer puts there: the length is unknown.
bool DeclaresStreamingSize(SNDFILE* file) {
  std::istringstream lines(Log(file));
  std::string line;
  while (std::getline(lines, line)) {
    long long bytes = 0;
    if (std::sscanf(line.c_str(), kDataLogLine, &bytes) == 1) return IsStreamingSize(bytes);
  }
  return false;
}

// True when the header's data size is 0, as some streaming writers leave it.
bool DeclaresNoData(SNDFILE* file) {
  std::istringstream lines(Log(file));
  std::string line;
  while (std::getline(lines, line)) {
    long long bytes = 0;
    if (std::sscanf(line.c_str(), kDataLogLine, &bytes) == 1) return bytes == 0;
  }
  return false;
}

// Where the samples of the WAV file `path` start: just past its data chunk's head, found by
// walking its chunks; nullopt when there is none.
std::optional<sf_count_t> WavDataOffset(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  char head[kChunkHeadBytes];
  if (!file.seekg(kRiffHeadBytes)) return std::nullopt;
  for (int chunk = 0; chunk < kMostChunksWalked && file.read(head, sizeof head); ++chunk) {
    const uint32_t size = static_cast<uint32_t>(static_cast<unsigned char>(head[4])) |
                          static_cast<uint32_t>(static_cast<unsigned char>(head[5])) << 8 |
                          static_cast<uint32_t>(static_cast<unsigned char>(head[6])) << 16 |
                          static_cast<uint32_t>(static_cast<unsigned char>(head[7])) << 24;
    if (std::string(head, kChunkIdBytes) == "data") return static_cast<sf_count_t>(file.tellg());
    // Chunks are padded to an even length.
    if (!file.seekg(static_cast<std::streamoff>(size + (size & 1)), std::ios::cur)) return std::nullopt;
  }
  return std::nullopt;
}

double Seconds(int64_t frames, int32_t rate) { return static_cast<double>(frames) / rate; }

// What a decoder that reads past damage met, in words; empty when the stream was whole.
std::string DamageWarning(const DecodeDamage& damage, const std::string& path, int32_t rate) {
  if (damage.errors == 0 && damage.lostFrames == 0 && damage.skippedBytes == 0) return {};
  std::string text = fmt::format("'{}' is damaged:", path);
  if (damage.errors > 0) {
    text += fmt::format(" {} decoding error{} (the first: {})", damage.errors,
                        damage.errors == 1 ? "" : "s", damage.firstError);
  }
  if (damage.skippedBytes > 0) {
    text += fmt::format("{} {} bytes in damaged pages skipped", damage.errors > 0 ? "," : "",
                        damage.skippedBytes);
  }
  if (damage.lostFrames == 0) return text + "; streaming what could be decoded";
  return text + fmt::format("; {:.2f} s of audio in {} place{} could not be decoded (the first at "
                            "{:.2f} s) and is streamed as silence, the rest as decoded",
                            Seconds(damage.lostFrames, rate), damage.spans,
                            damage.spans == 1 ? "" : "s", Seconds(damage.firstLostAt, rate));
}

// A header that announces more audio than the file holds: libsndfile reads what is there
// and notes "data : ANNOUNCED (should be HELD)" in its log.
std::string TruncationWarning(SNDFILE* file, const std::string& path) {
  std::istringstream lines(Log(file));
  std::string line;
  while (std::getline(lines, line)) {
    long long announced = 0;
    long long held = 0;
    if (std::sscanf(line.c_str(), "data : %lld (should be %lld)", &announced, &held) == 2 &&
        announced > held && !IsStreamingSize(announced)) {
      return fmt::format(
          "'{}' is truncated: its header announces {} bytes of audio, the file holds "
          "{}; streaming what is there",
          path, announced, held);
    }
  }
  return {};
}

}  // namespace

template <typename Call>
auto AudioReader::Quietly(Call call) {
  if (m_nCatcher < 0) m_nCatcher = memfd_create("zbhost-stderr", MFD_CLOEXEC);
  const int saved = m_nCatcher >= 0 ? dup(STDERR_FILENO) : -1;
  if (saved < 0) return call();
  std::fflush(stderr);
  dup2(m_nCatcher, STDERR_FILENO);
  const auto result = call();
  std::fflush(stderr);
  dup2(saved, STDERR_FILENO);
  close(saved);
  TakeLibraryMessages();
  return result;
}

// Each line the decoders printed is one error; the first is kept, without its source
// location ("[src/libmpg123/layer3.c:...] error: dequantization failed!").
void AudioReader::TakeLibraryMessages() {
  const off_t size = lseek(m_nCatcher, 0, SEEK_CUR);
  if (size <= 0) return;
  std::string text(static_cast<size_t>(std::min<off_t>(size, kLogBytes)), '\0');
  const ssize_t got = pread(m_nCatcher, text.data(), text.size(), 0);
  text.resize(got > 0 ? static_cast<size_t>(got) : 0);
  if (ftruncate(m_nCatcher, 0) != 0 || lseek(m_nCatcher, 0, SEEK_SET) != 0) {
    close(m_nCatcher);
    m_nCatcher = -1;
  }
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty()) continue;
    if (m_nLibraryErrors++ > 0) continue;
    const size_t bracket = line.rfind("] ");
    m_firstLibraryError = bracket == std::string::npos ? line : line.substr(bracket + 2);
    if (m_firstLibraryError.rfind(kLibraryErrorPrefix, 0) == 0) {
      m_firstLibraryError.erase(0, std::strlen(kLibraryErrorPrefix));
    }
  }
}

namespace {

struct RawEncoding {
  const char* name;
  int format;
};
constexpr RawEncoding kRawEncodings[] = {
    {"s8", SF_FORMAT_PCM_S8}, {"u8", SF_FORMAT_PCM_U8},  {"s16", SF_FORMAT_PCM_16},
    {"s24", SF_FORMAT_PCM_24}, {"s32", SF_FORMAT_PCM_32}, {"f32", SF_FORMAT_FLOAT},
    {"f64", SF_FORMAT_DOUBLE}, {"ulaw", SF_FORMAT_ULAW},  {"alaw", SF_FORMAT_ALAW}};

}  // namespace

std::optional<int> RawEncodingNamed(const std::string& name) {
  for (const RawEncoding& encoding : kRawEncodings) {
    if (name == encoding.name) return encoding.format;
  }
  return std::nullopt;
}

std::string RawEncodingNames() {
  std::string names;
  for (const RawEncoding& encoding : kRawEncodings) names += (names.empty() ? "" : ", ") + std::string(encoding.name);
  return names;
}

AudioReader::AudioReader(const std::string& path, const std::optional<RawInput>& raw)
    : m_path(DisplayName(path)) {
  struct stat st {};
  const bool standardInput = path == kStdStreamName;
  if (standardInput) {
    if (isatty(STDIN_FILENO) != 0) InputFault(m_path, "standard input is a terminal; pipe audio into it");
    if (fstat(STDIN_FILENO, &st) != 0) InputFault(m_path, std::strerror(errno));
  } else {
    if (stat(path.c_str(), &st) != 0) {
      if (errno == ENOENT)
        throw HostError(kExitInput, fmt::format("cannot open '{}': no such file", m_path));
      InputFault(m_path, std::strerror(errno));
    }
    if (S_ISDIR(st.st_mode)) InputFault(m_path, "it is a directory");
    if (access(path.c_str(), R_OK) != 0) InputFault(m_path, std::strerror(errno));
  }

  SF_INFO info{};
  if (raw) {
    info.samplerate = raw->rate;
    info.channels = raw->channels;
    info.format = SF_FORMAT_RAW | raw->encoding | SF_ENDIAN_LITTLE;
  }
  // A decoder that reads past damage reads the stream again from its start: a regular file
  // (by its name, or standard input's descriptor) or the copy of a pipe.
  bool rereadable = S_ISREG(st.st_mode);
  int rereadFd = standardInput ? STDIN_FILENO : -1;
  if (!standardInput && S_ISREG(st.st_mode)) {
    m_file.reset(Quietly([&] { return sf_open(path.c_str(), SFM_READ, &info); }));
  } else {
    const int fd = standardInput ? STDIN_FILENO : open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) InputFault(m_path, std::strerror(errno));
    if (!standardInput) m_fd = fd;
    m_bLive = S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode) || S_ISSOCK(st.st_mode);
    // Headerless audio streams from a pipe as it comes.
    if (S_ISFIFO(st.st_mode) && !raw && !StreamsFromPipe(PeekPipe(fd))) {
      const int spool = SpoolToTemporary(fd, m_path);
      if (m_fd >= 0) close(m_fd);
      m_fd = spool;
      m_bLive = false;
      rereadable = true;
      rereadFd = spool;
    }
    m_file.reset(Quietly([&] { return sf_open_fd(m_fd >= 0 ? m_fd : fd, SFM_READ, &info, SF_FALSE); }));
  }
  if (!m_file) {
    InputFault(m_path, fmt::format("unsupported or damaged audio file ({})", sf_strerror(nullptr)));
  }
  // A WAV file whose header says "no data", as a writer that streams may leave it: its
  // samples are read from the data chunk on, as headerless audio of the header's form.
  bool noDataDeclared = false;
  if (info.frames == 0 && (info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_WAV && !standardInput &&
      S_ISREG(st.st_mode) && DeclaresNoData(m_file.get())) {
    const std::optional<sf_count_t> offset = WavDataOffset(path);
    SF_INFO samples{};
    samples.samplerate = info.samplerate;
    samples.channels = info.channels;
    samples.format = SF_FORMAT_RAW | (info.format & SF_FORMAT_SUBMASK) | SF_ENDIAN_LITTLE;
    // libsndfile reads headerless audio only from a file's start: it reads this one through
    // a span that starts at the first sample.
    auto span = std::make_unique<SampleSpan>();
    span->fd = offset ? open(path.c_str(), O_RDONLY | O_CLOEXEC) : -1;
    if (span->fd >= 0 && st.st_size > *offset) {
      span->start = *offset;
      span->length = st.st_size - *offset;
      static SF_VIRTUAL_IO io = {
          [](void* user) { return static_cast<SampleSpan*>(user)->length; },
          [](sf_count_t offsetBy, int whence, void* user) {
            auto& s = *static_cast<SampleSpan*>(user);
            const sf_count_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? s.position : s.length;
            s.position = std::clamp<sf_count_t>(base + offsetBy, 0, s.length);
            return s.position;
          },
          [](void* to, sf_count_t bytes, void* user) {
            auto& s = *static_cast<SampleSpan*>(user);
            const ssize_t got = pread(s.fd, to, static_cast<size_t>(std::min(bytes, s.length - s.position)),
                                      s.start + s.position);
            s.position += got > 0 ? got : 0;
            return static_cast<sf_count_t>(got > 0 ? got : 0);
          },
          [](const void*, sf_count_t, void*) { return sf_count_t{0}; },
          [](void* user) { return static_cast<SampleSpan*>(user)->position; }};
      std::unique_ptr<SNDFILE, SndFileCloser> bare(
          Quietly([&] { return sf_open_virtual(&io, SFM_READ, &samples, span.get()); }));
      if (bare) {
        const int container = info.format;
        m_span = std::move(span);
        m_file = std::move(bare);
        info = samples;
        info.format = container;
        noDataDeclared = true;
      }
    }
  }
  if (info.frames <= 0 || info.channels <= 0) {
    throw HostError(kExitInput, fmt::format("'{}' holds no audio", m_path));
  }
  if (info.samplerate < kMinAudioRate || info.samplerate > kMaxAudioRate) {
    throw HostError(kExitInput,
                    fmt::format("'{}' declares a sample rate of {} Hz; zbhost reads {} to {} Hz",
                                m_path, info.samplerate, kMinAudioRate, kMaxAudioRate));
  }
  m_nRate = info.samplerate;
  m_nChannels = info.channels;
  m_format = FormatName(info.format);
  // Headerless audio from a pipe declares nothing: libsndfile's figure is a placeholder.
  const bool unknown = info.frames == SF_COUNT_MAX || (raw && m_bLive) || noDataDeclared ||
                       DeclaresStreamingSize(m_file.get());
  m_nDeclared = unknown ? 0 : info.frames;
  m_nDeclaredSlack = (info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_MPEG ? kMpegEstimateSlack : 0;
  if (rereadable) m_resync = ResyncDecoder::For(info.format, path, rereadFd, m_nChannels, m_nDeclared);
  const std::string truncated = TruncationWarning(m_file.get(), m_path);
  if (!truncated.empty()) m_warnings.push_back(truncated);
}

AudioReader::SampleSpan::~SampleSpan() {
  if (fd >= 0) close(fd);
}

AudioReader::~AudioReader() {
  m_file.reset();
  if (m_nCatcher >= 0) close(m_nCatcher);
  if (m_fd >= 0) close(m_fd);
}

bool AudioReader::Read(std::vector<float>& mono, size_t frames) {
  mono.clear();
  if (m_bEnded) return false;
  m_interleaved.resize(frames * static_cast<size_t>(m_nChannels));
  const sf_count_t got =
      m_resync ? static_cast<sf_count_t>(m_resync->Read(m_interleaved.data(), frames))
               : Quietly([&] {
                   return sf_readf_float(m_file.get(), m_interleaved.data(), static_cast<sf_count_t>(frames));
                 });
  if (got <= 0) {
    NoteEnd();
    return false;
  }
  mono.resize(static_cast<size_t>(got));
  if (m_nChannels == 1) {
    std::copy_n(m_interleaved.begin(), got, mono.begin());
  } else {
    for (size_t frame = 0; frame < mono.size(); ++frame) {
      const float* first = &m_interleaved[frame * static_cast<size_t>(m_nChannels)];
      double sum = 0;
      for (int channel = 0; channel < m_nChannels; ++channel) sum += first[channel];
      mono[frame] = static_cast<float>(sum / m_nChannels);
    }
  }
  m_nRead += got;
  return true;
}

void AudioReader::NoteEnd() {
  m_bEnded = true;
  if (m_nRead == 0) throw HostError(kExitInput, fmt::format("'{}' holds no audio", m_path));
  if (m_resync) {
    const std::string damage = DamageWarning(m_resync->damage(), m_path, m_nRate);
    if (!damage.empty()) m_warnings.push_back(damage);
  } else if (sf_error(m_file.get()) != SF_ERR_NO_ERROR) {
    // As other audio tools do with a damaged tail: warn and keep what was read.
    m_warnings.push_back(fmt::format("'{}' ends early ({}); streaming the {} samples read", m_path,
                                     sf_strerror(m_file.get()), m_nRead));
    return;
  } else {
    const std::string decodeErrors = DecodeErrorWarning(m_file.get(), m_path);
    if (!decodeErrors.empty()) m_warnings.push_back(decodeErrors);
    if (m_nLibraryErrors > 0 && decodeErrors.empty()) {
      m_warnings.push_back(fmt::format(
          "'{}' is damaged: {} decoding error{} (the first: {}); streaming what could be decoded",
          m_path, m_nLibraryErrors, m_nLibraryErrors == 1 ? "" : "s", m_firstLibraryError));
    }
  }
  if (m_nDeclared > m_nRead + m_nDeclaredSlack && (m_warnings.empty() || m_resync)) {
    m_warnings.push_back(fmt::format(
        "'{}' ends early: its header declares {} samples ({:.2f} s), {} ({:.2f} s) could be read; "
        "streaming what was read",
        m_path, m_nDeclared, Seconds(m_nDeclared, m_nRate), m_nRead, Seconds(m_nRead, m_nRate)));
  }
}

}  // namespace zbhost
