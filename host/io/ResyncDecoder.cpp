// FLAC through libFLAC and Ogg Vorbis through libvorbisfile, read on past damage.
#include "host/io/ResyncDecoder.h"

#include <FLAC/stream_decoder.h>
#include <sndfile.h>
#include <unistd.h>
#include <ogg/ogg.h>
#include <vorbis/vorbisfile.h>

#include <algorithm>
#include <cstdio>

namespace zbhost {

namespace {

// A jump in a damaged stream's positions longer than this (frames) is taken as a damaged
// position rather than lost audio, when the stream declares no length to check it against.
constexpr int64_t kMostLostSpanFrames = int64_t{1} << 24;
constexpr int kVorbisReadFrames = 4096;  // frames asked of libvorbisfile at a time
constexpr char kHoleError[] = "a damaged or missing Ogg page";
constexpr long kOggScanBytes = 1 << 16;  // read at a time when checking an Ogg stream's pages

// Bytes of `stream` in no valid Ogg page (a damaged page fails its check sum), found by one
// pass of libogg's page sync; the stream is rewound after it. libvorbisfile skips such pages
// without a word, so this is how their loss becomes known.
int64_t SkippedOggBytes(FILE* stream) {
  ogg_sync_state sync;
  ogg_sync_init(&sync);
  ogg_page page;
  int64_t skipped = 0;
  for (;;) {
    for (long found = 0; (found = ogg_sync_pageseek(&sync, &page)) != 0;) {
      if (found < 0) skipped -= found;
    }
    char* buffer = ogg_sync_buffer(&sync, kOggScanBytes);
    const size_t got = buffer == nullptr ? 0 : std::fread(buffer, 1, kOggScanBytes, stream);
    if (got == 0) break;
    ogg_sync_wrote(&sync, static_cast<long>(got));
  }
  skipped += sync.fill - sync.returned;  // a page cut short at the end
  ogg_sync_clear(&sync);
  std::rewind(stream);
  return skipped;
}

// The stream as a C stream from its start: `path` opened, or a duplicate of `fd` rewound.
FILE* OpenStream(const std::string& path, int fd) {
  if (fd < 0) return std::fopen(path.c_str(), "rb");
  const int copy = dup(fd);
  if (copy < 0) return nullptr;
  FILE* stream = fdopen(copy, "rb");
  if (stream == nullptr) {
    close(copy);
    return nullptr;
  }
  if (std::fseek(stream, 0, SEEK_SET) != 0) {
    std::fclose(stream);
    return nullptr;
  }
  return stream;
}

class FlacDecoder : public ResyncDecoder {
 public:
  FlacDecoder(int channels, int64_t declaredFrames) : ResyncDecoder(channels, declaredFrames) {}
  ~FlacDecoder() override {
    if (m_decoder != nullptr) FLAC__stream_decoder_delete(m_decoder);
  }
  FlacDecoder(const FlacDecoder&) = delete;
  FlacDecoder& operator=(const FlacDecoder&) = delete;

  // Takes `stream`, closing it in any case; false when libFLAC cannot start on it.
  bool Open(FILE* stream) {
    m_decoder = FLAC__stream_decoder_new();
    if (m_decoder == nullptr) {
      std::fclose(stream);
      return false;
    }
    // On failure libFLAC has closed the stream itself.
    return FLAC__stream_decoder_init_FILE(m_decoder, stream, &OnWrite, nullptr, &OnError, this) ==
           FLAC__STREAM_DECODER_INIT_STATUS_OK;
  }

 private:
  bool Decode() override {
    if (!FLAC__stream_decoder_process_single(m_decoder)) return false;
    return FLAC__stream_decoder_get_state(m_decoder) != FLAC__STREAM_DECODER_END_OF_STREAM;
  }

  static FLAC__StreamDecoderWriteStatus OnWrite(const FLAC__StreamDecoder*, const FLAC__Frame* frame,
                                                const FLAC__int32* const buffer[], void* self) {
    auto& decoder = *static_cast<FlacDecoder*>(self);
    const FLAC__FrameHeader& header = frame->header;
    const int64_t first = header.number_type == FLAC__FRAME_NUMBER_TYPE_SAMPLE_NUMBER
                              ? static_cast<int64_t>(header.number.sample_number)
                              : static_cast<int64_t>(header.number.frame_number) * header.blocksize;
    // After an error libFLAC puts out the frame it could not decode as silence of its
    // length (or skips it, which Deliver finds as a gap).
    if (decoder.m_bAfterError) {
      decoder.m_bAfterError = false;
      const bool silent = std::all_of(buffer, buffer + header.channels, [&header](const FLAC__int32* channel) {
        return std::all_of(channel, channel + header.blocksize, [](FLAC__int32 s) { return s == 0; });
      });
      if (silent) decoder.NoteLost(first, header.blocksize);
    }
    if (static_cast<int>(header.channels) != decoder.channels() || header.bits_per_sample == 0) {
      decoder.NoteError("a frame with another channel count or sample size");
      return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
    }
    const float scale = 1.0f / static_cast<float>(int64_t{1} << (header.bits_per_sample - 1));
    decoder.m_block.resize(static_cast<size_t>(header.blocksize) * header.channels);
    for (unsigned i = 0; i < header.blocksize; ++i) {
      for (unsigned channel = 0; channel < header.channels; ++channel) {
        decoder.m_block[i * header.channels + channel] = static_cast<float>(buffer[channel][i]) * scale;
      }
    }
    decoder.Deliver(first, decoder.m_block);
    return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
  }

  static const char* ErrorName(FLAC__StreamDecoderErrorStatus status) {
    switch (status) {
      case FLAC__STREAM_DECODER_ERROR_STATUS_LOST_SYNC:
        return "lost sync";
      case FLAC__STREAM_DECODER_ERROR_STATUS_BAD_HEADER:
        return "a damaged frame header";
      case FLAC__STREAM_DECODER_ERROR_STATUS_FRAME_CRC_MISMATCH:
        return "a frame failing its check sum";
      default:
        return FLAC__StreamDecoderErrorStatusString[status];
    }
  }

  static void OnError(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus status, void* self) {
    auto& decoder = *static_cast<FlacDecoder*>(self);
    decoder.NoteError(ErrorName(status));
    decoder.m_bAfterError = true;
  }

  FLAC__StreamDecoder* m_decoder = nullptr;
  std::vector<float> m_block;
  bool m_bAfterError = false;  // the next frame put out may be a damaged one's silence
};

class VorbisDecoder : public ResyncDecoder {
 public:
  VorbisDecoder(int channels, int64_t declaredFrames) : ResyncDecoder(channels, declaredFrames) {}
  ~VorbisDecoder() override {
    if (m_bOpen) ov_clear(&m_file);
  }
  VorbisDecoder(const VorbisDecoder&) = delete;
  VorbisDecoder& operator=(const VorbisDecoder&) = delete;

  // Takes `stream`, closing it in any case; false when it is no Ogg Vorbis stream. It is
  // read as a stream, from page to page: opened seekable, libvorbisfile would take the
  // length from the last good page it finds, and stop there.
  bool Open(FILE* stream) {
    NoteSkipped(SkippedOggBytes(stream));
    if (ov_open_callbacks(stream, &m_file, nullptr, 0, OV_CALLBACKS_STREAMONLY) != 0) {
      std::fclose(stream);
      return false;
    }
    m_bOpen = true;
    return true;
  }

 private:
  bool Decode() override {
    for (;;) {
      float** pcm = nullptr;
      int section = 0;
      const long got = ov_read_float(&m_file, &pcm, kVorbisReadFrames, &section);
      if (got == OV_HOLE) {
        NoteError(kHoleError);
        continue;
      }
      if (got <= 0) {
        if (got < 0) NoteError(kHoleError);
        return false;
      }
      const vorbis_info* info = ov_info(&m_file, section);
      if (info == nullptr || info->channels != channels()) {
        NoteError("a stream section with another channel count");
        continue;
      }
      m_block.resize(static_cast<size_t>(got) * static_cast<size_t>(channels()));
      for (long i = 0; i < got; ++i) {
        for (int channel = 0; channel < channels(); ++channel) {
          m_block[static_cast<size_t>(i * channels() + channel)] = pcm[channel][i];
        }
      }
      Deliver(ov_pcm_tell(&m_file) - got, m_block);
      return true;
    }
  }

  OggVorbis_File m_file{};
  bool m_bOpen = false;
  std::vector<float> m_block;
};

}  // namespace

std::unique_ptr<ResyncDecoder> ResyncDecoder::For(int format, const std::string& path, int fd,
                                                  int channels, int64_t declaredFrames) {
  const int container = format & SF_FORMAT_TYPEMASK;
  const int encoding = format & SF_FORMAT_SUBMASK;
  if (container == SF_FORMAT_FLAC) {
    FILE* stream = OpenStream(path, fd);
    if (stream == nullptr) return nullptr;
    auto decoder = std::make_unique<FlacDecoder>(channels, declaredFrames);
    return decoder->Open(stream) ? std::move(decoder) : nullptr;
  }
  if (container == SF_FORMAT_OGG && encoding == SF_FORMAT_VORBIS) {
    FILE* stream = OpenStream(path, fd);
    if (stream == nullptr) return nullptr;
    auto decoder = std::make_unique<VorbisDecoder>(channels, declaredFrames);
    return decoder->Open(stream) ? std::move(decoder) : nullptr;
  }
  return nullptr;
}

size_t ResyncDecoder::Read(float* out, size_t frames) {
  const auto width = static_cast<size_t>(m_nChannels);
  size_t done = 0;
  while (done < frames) {
    if (m_nSilenceDue > 0) {
      const size_t n = std::min(frames - done, static_cast<size_t>(m_nSilenceDue));
      std::fill_n(out + done * width, n * width, 0.0f);
      m_nSilenceDue -= static_cast<int64_t>(n);
      done += n;
    } else if (m_nPendingAt < m_pending.size()) {
      const size_t n = std::min(frames - done, (m_pending.size() - m_nPendingAt) / width);
      std::copy_n(m_pending.begin() + static_cast<std::ptrdiff_t>(m_nPendingAt), n * width,
                  out + done * width);
      m_nPendingAt += n * width;
      done += n;
    } else if (m_bEnded) {
      break;
    } else {
      m_pending.clear();
      m_nPendingAt = 0;
      if (!Decode()) m_bEnded = true;
    }
  }
  return done;
}

void ResyncDecoder::Deliver(int64_t first, const std::vector<float>& interleaved) {
  const auto width = static_cast<size_t>(m_nChannels);
  const auto frames = static_cast<int64_t>(interleaved.size() / width);
  const int64_t gap = first - m_nNext;
  const bool plausible = m_nDeclared > 0 ? first + frames <= m_nDeclared : gap <= kMostLostSpanFrames;
  size_t skip = 0;
  if (gap > 0 && plausible) {
    NoteLost(m_nNext, gap);
    m_nSilenceDue += gap;
    m_nNext = first + frames;
  } else if (gap < 0) {
    // Audio already delivered, from a position that went back: only what is new is kept.
    skip = static_cast<size_t>(std::min(-gap, frames)) * width;
    m_nNext = std::max(m_nNext, first + frames);
  } else {
    m_nNext += frames;
  }
  m_pending.insert(m_pending.end(), interleaved.begin() + static_cast<std::ptrdiff_t>(skip),
                   interleaved.end());
}

void ResyncDecoder::NoteError(const std::string& what) {
  if (m_damage.errors++ == 0) m_damage.firstError = what;
}

void ResyncDecoder::NoteLost(int64_t at, int64_t frames) {
  if (frames <= 0) return;
  if (m_damage.spans++ == 0) m_damage.firstLostAt = at;
  m_damage.lostFrames += frames;
}

}  // namespace zbhost
