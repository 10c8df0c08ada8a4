// The input, read block by block: anything libsndfile reads, from a file, a FIFO or standard
// input ("-"), mixed to mono. Containers libsndfile reads as a stream (WAV, AU, AIFF, MP3)
// come live from a pipe; any other piped container is first copied to an unnamed temporary
// file. Damage (a truncated file, fewer samples than the header declares, a decode error)
// becomes a warning, and what was read is kept; FLAC and Ogg Vorbis are read on past damage.
#pragma once

#include <sndfile.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/io/ResyncDecoder.h"

namespace zbhost {

// Sample rates zbhost reads and writes.
inline constexpr int32_t kMinAudioRate = 1000;    // Hz
inline constexpr int32_t kMaxAudioRate = 384000;  // Hz

// Headerless input: what its header would have said.
struct RawInput {
  int32_t rate = 0;     // Hz
  int32_t channels = 1;
  int encoding = SF_FORMAT_PCM_16;  // libsndfile's subtype, little-endian
};

// The encodings of headerless input by name ("s16", "f32", "ulaw", ...); nullopt for another.
std::optional<int> RawEncodingNamed(const std::string& name);
// Their names, for a message: "s8, u8, s16, ...".
std::string RawEncodingNames();

class AudioReader {
 public:
  // Opens `path` ("-" for standard input), as headerless audio of the form `raw` when given.
  // Throws HostError (input) for a missing, unreadable, empty or unsupported file, or a
  // rate out of range.
  explicit AudioReader(const std::string& path, const std::optional<RawInput>& raw = std::nullopt);
  ~AudioReader();
  AudioReader(const AudioReader&) = delete;
  AudioReader& operator=(const AudioReader&) = delete;

  int32_t rate() const { return m_nRate; }
  int32_t channels() const { return m_nChannels; }
  const std::string& format() const { return m_format; }
  // Frames the container declares; 0 when unknown (a stream).
  int64_t declaredFrames() const { return m_nDeclared; }
  // True when the input comes as it is made (a pipe): it is best read in small blocks.
  bool live() const { return m_bLive; }

  // Replaces `mono` with up to `frames` samples mixed to mono (full scale 1.0); returns
  // false at the end of the input.
  bool Read(std::vector<float>& mono, size_t frames);
  int64_t framesRead() const { return m_nRead; }
  // Damage found so far; complete once Read has returned false.
  const std::vector<std::string>& warnings() const { return m_warnings; }

 private:
  struct SndFileCloser {
    void operator()(SNDFILE* file) const { sf_close(file); }
  };

  void NoteEnd();
  // Runs `call` (a libsndfile call) with standard error caught: the decoders beneath it
  // (libmpg123) print their complaints there, which become this reader's count instead.
  template <typename Call>
  auto Quietly(Call call);
  void TakeLibraryMessages();

  std::string m_path;  // the input's name as messages show it
  int m_fd = -1;  // the descriptor libsndfile reads, when this reader opened it
  // The samples of a WAV file whose header declares no data, from their start on; read
  // through it by m_file, so it is declared first and outlives it.
  struct SampleSpan {
    int fd = -1;
    sf_count_t start = 0;
    sf_count_t length = 0;
    sf_count_t position = 0;
    ~SampleSpan();
  };
  std::unique_ptr<SampleSpan> m_span;
  std::unique_ptr<SNDFILE, SndFileCloser> m_file;
  std::unique_ptr<ResyncDecoder> m_resync;  // reads instead of m_file where it can
  int32_t m_nRate = 0;
  int32_t m_nChannels = 0;
  std::string m_format;
  int64_t m_nDeclared = 0;
  int64_t m_nDeclaredSlack = 0;  // samples the declared length may be off by without damage
  int64_t m_nRead = 0;
  bool m_bEnded = false;
  bool m_bLive = false;
  std::vector<float> m_interleaved;
  int m_nCatcher = -1;  // an in-memory file standard error goes to during libsndfile calls
  int64_t m_nLibraryErrors = 0;
  std::string m_firstLibraryError;
  std::vector<std::string> m_warnings;
};

}  // namespace zbhost
