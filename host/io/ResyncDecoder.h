// Decoders that read on past damage. libsndfile stops at the first damaged FLAC frame or
// Ogg page; these decode FLAC with libFLAC and Ogg Vorbis with libvorbisfile, which find the
// next good frame or page and go on. What could not be decoded is counted, and a span lost
// inside the stream comes out as silence of its length, so the rest keeps its time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zbhost {

// What damage a decoder read past.
struct DecodeDamage {
  int64_t errors = 0;      // decoding errors reported by the decoder
  int64_t lostFrames = 0;  // frames (samples per channel) that came out as silence
  int64_t spans = 0;       // stretches of such frames
  int64_t firstLostAt = -1;  // the first lost frame's position; -1: none
  std::string firstError;  // the decoder's name for the first error
  int64_t skippedBytes = 0;  // bytes of the stream in no valid page (Ogg), skipped unheard
};

class ResyncDecoder {
 public:
  virtual ~ResyncDecoder() = default;

  // A decoder for the libsndfile format `format` when one of these reads it past damage;
  // nullptr otherwise (libsndfile reads it on its own). The stream is the file `path` or,
  // when `fd` is not negative, the regular file open at `fd`, read from its start.
  // `channels` and `declaredFrames` (0: unknown) are what libsndfile found in the header.
  static std::unique_ptr<ResyncDecoder> For(int format, const std::string& path, int fd,
                                            int channels, int64_t declaredFrames);

  // Writes up to `frames` interleaved frames to `out`; returns how many, 0 at the end.
  size_t Read(float* out, size_t frames);
  const DecodeDamage& damage() const { return m_damage; }

 protected:
  ResyncDecoder(int channels, int64_t declaredFrames)
      : m_nChannels(channels), m_nDeclared(declaredFrames) {}

  // Decodes a little more, handing it to Deliver at most once; false at the end of the
  // stream.
  virtual bool Decode() = 0;
  // Interleaved frames whose first is frame `first` of the stream. A gap before it comes
  // out as silence; a part already delivered is dropped.
  void Deliver(int64_t first, const std::vector<float>& interleaved);
  // A decoding error the decoder names `what`.
  void NoteError(const std::string& what);
  // `frames` frames from frame `at` that the decoder put out as silence.
  void NoteLost(int64_t at, int64_t frames);
  void NoteSkipped(int64_t bytes) { m_damage.skippedBytes += bytes; }

  int channels() const { return m_nChannels; }

 private:
  int m_nChannels;
  int64_t m_nDeclared;
  int64_t m_nNext = 0;        // the frame the next delivery should start at
  int64_t m_nSilenceDue = 0;  // lost frames still to come out as silence
  std::vector<float> m_pending;
  size_t m_nPendingAt = 0;
  bool m_bEnded = false;
  DecodeDamage m_damage;
};

}  // namespace zbhost
