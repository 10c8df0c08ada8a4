// The decoded audio written block by block, mono 16-bit, in the container its output name
// asks for (WAV, FLAC, Ogg Vorbis, ...). A target that cannot seek (a pipe, standard output)
// gets containers that stream (WAV, AU, raw, MP3, Ogg Vorbis) as they come; any other is
// made in an unnamed temporary file and copied to it at the end.
#pragma once

#include <sndfile.h>

#include <cstdint>
#include <memory>
#include <string>

#include "host/io/OutputFile.h"

namespace zbhost {

// An audio container libsndfile writes, chosen by the output name's extension.
struct AudioContainer {
  int format = 0;        // libsndfile major format and encoding
  std::string name;      // "WAV", "FLAC", ...
  bool streams = false;  // libsndfile writes it to a pipe
};

// The container for `path`: by its extension, WAV when it has none. Throws HostError
// (output) for an extension no supported container uses.
AudioContainer ContainerFor(const std::string& path);

class AudioWriter {
 public:
  // Starts the file in `target` (which must outlive the writer). Throws HostError (output),
  // naming the target, when the container cannot carry the rate (Opus at 44.1 kHz, say).
  AudioWriter(OutputFile& target, const AudioContainer& container, int32_t rate);
  ~AudioWriter();
  AudioWriter(const AudioWriter&) = delete;
  AudioWriter& operator=(const AudioWriter&) = delete;

  void Write(const int16_t* samples, size_t count);
  // Completes the file (and copies a spooled one to the target). Throws HostError (output).
  void Finish();

 private:
  struct SndFileCloser {
    void operator()(SNDFILE* file) const { sf_close(file); }
  };

  OutputFile& m_target;
  int m_spool = -1;  // the unnamed temporary file, when the target cannot take the container
  std::unique_ptr<SNDFILE, SndFileCloser> m_file;
};

}  // namespace zbhost
