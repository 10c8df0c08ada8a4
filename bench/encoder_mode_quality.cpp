// encoder_mode_quality: how close each encoder mode's decoded speech comes to the input, and
// what it costs, beside FFmpeg's IMA ADPCM encoder with its trellis at 0, 4 and 8, in the
// same run on the same input. Each WAV file (16-bit mono) goes in 20 ms frames through the
// library's encoder module in each mode and its decoder module, made through the exported
// functions; FFmpeg (its command line, found on PATH) codes the file into IMA ADPCM WAV
// blocks of 64 bytes (the nearest power of two to the modules' 84 it accepts) and decodes
// it again. Prints one row per file and coder: the SNR over the whole file, the segmental
// SNR over its 20 ms frames, and the time per second of audio (the library's modules in
// this process; FFmpeg's whole encoding process, as a user would run it) with the
// real-time factor it gives. Then, for the searching modes, whether FFmpeg's own decoder
// plays their blocks as this library's decoder does: the blocks written as an IMA ADPCM WAV
// of 84-byte blocks (161 samples each: the header's sample, which this library's format
// does not play, then the 160 coded ones), decoded by FFmpeg, each block's header sample
// dropped, and compared sample by sample.
//   encoder_mode_quality SPEECH.wav...
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <sndfile.h>

#include "Include/QV_Interface/zbav.h"
#include "exports/zbexports.h"
#include "exports/zbstream.h"
#include "speechmetrics/SnrMeter.h"

namespace {

constexpr int kFramesPerSecond = 50;  // 20 ms frames

struct Mode {
  const char* name;
  ZbEncoderMode value;
};
constexpr Mode kModes[] = {{"specified", ZB_ENCODER_SPECIFIED},
                           {"carried", ZB_ENCODER_CARRIED},
                           {"search", ZB_ENCODER_SEARCH},
                           {"search-deep", ZB_ENCODER_SEARCH_DEEP}};
constexpr int kFfmpegTrellis[] = {0, 4, 8};
constexpr int kFfmpegBlockBytes = 64;
// The modules' blocks: 4 header bytes, then 160 codes, as an IMA ADPCM WAV reader counts
// them with the header's sample first.
constexpr int kBlockBytes = ZB_ADPCM_BYTES_PER_BLOCK;
constexpr int kBlockSamples = 160;
constexpr int kWavBlockSamples = kBlockSamples + 1;

using Clock = std::chrono::steady_clock;

class MallocAllocator final : public IAvMemAlloc {
 public:
  void* Alloc(uint32_t size) override { return std::malloc(size != 0 ? size : 1); }
  void Free(void* ptr) override { std::free(ptr); }
};

// Appends every decoded frame to `pcm`.
class CollectingSink final : public AvSink {
 public:
  void* DeletingDestructor(unsigned int flags) override { return DestroyModule(this, flags); }
  bool AcceptsType(uint16_t type) override { return type == AV_TYPE_PCM; }
  bool HandleFrame(AvSourceFace*, AvFrame* frame) override {
    const auto* samples = reinterpret_cast<const int16_t*>(frame->data);
    pcm.insert(pcm.end(), samples, samples + frame->len / sizeof(int16_t));
    return true;
  }
  std::vector<int16_t> pcm;
};

// Appends the blocks of every data frame (not the parity frames) to `blocks`.
class BlockSink final : public AvSink {
 public:
  void* DeletingDestructor(unsigned int flags) override { return DestroyModule(this, flags); }
  bool AcceptsType(uint16_t type) override { return type == AV_TYPE_ADPCM || type == AV_TYPE_ADPCM_PARITY; }
  bool HandleFrame(AvSourceFace*, AvFrame* frame) override {
    if (frame->type == AV_TYPE_ADPCM) blocks.insert(blocks.end(), frame->data, frame->data + frame->len);
    return true;
  }
  std::vector<uint8_t> blocks;
};

// A coder's decoded output and its time.
struct Coded {
  std::vector<int16_t> decoded;
  std::vector<uint8_t> blocks;  // the modules' blocks; empty for FFmpeg
  double seconds;
};

// A folder of its own in the temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "encoder_mode_quality.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("no temporary folder");
    m_path = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string operator/(const std::string& name) const { return (m_path / name).string(); }

 private:
  std::filesystem::path m_path;
};

// Runs a shell command; throws when it fails.
void Run(const std::string& command) {
  if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

// FFmpeg's decoding of `path` as 16-bit mono PCM.
std::vector<int16_t> FfmpegDecode(const TempDir& dir, const std::string& path) {
  const std::string raw = dir / "decoded.raw";
  Run("ffmpeg -v error -y -i '" + path + "' -f s16le -acodec pcm_s16le -ac 1 '" + raw + "'");
  std::ifstream in(raw, std::ios::binary | std::ios::ate);
  std::vector<int16_t> pcm(static_cast<std::size_t>(in.tellg()) / sizeof(int16_t));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(pcm.data()), static_cast<std::streamsize>(pcm.size() * sizeof(int16_t)));
  return pcm;
}

// FFmpeg's encoder with `trellis` on `wav`, timed as a whole process, and its decoding.
Coded FfmpegCode(const TempDir& dir, const std::string& wav, int trellis) {
  const std::string adpcm = dir / "ffmpeg.wav";
  const Clock::time_point start = Clock::now();
  Run("ffmpeg -v error -y -i '" + wav + "' -c:a adpcm_ima_wav -block_size " + std::to_string(kFfmpegBlockBytes) +
      " -trellis " + std::to_string(trellis) + " '" + adpcm + "'");
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return Coded{FfmpegDecode(dir, adpcm), {}, seconds};
}

void PutLe(std::ofstream& out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.put(static_cast<char>(value >> (8 * i)));
}

// The modules' blocks as an IMA ADPCM WAV file (format 0x11) of 84-byte blocks.
void WriteImaWav(const std::string& path, const std::vector<uint8_t>& blocks, int rate) {
  constexpr uint32_t kFmtBytes = 20;
  constexpr uint16_t kImaAdpcm = 0x11;
  constexpr uint16_t kBitsPerCode = 4;
  constexpr uint16_t kExtraBytes = 2;
  const auto dataBytes = static_cast<uint32_t>(blocks.size());
  std::ofstream out(path, std::ios::binary);
  out.write("RIFF", 4);
  PutLe(out, 4 + (8 + kFmtBytes) + (8 + dataBytes), 4);
  out.write("WAVEfmt ", 8);
  PutLe(out, kFmtBytes, 4);
  PutLe(out, kImaAdpcm, 2);
  PutLe(out, 1, 2);  // mono
  PutLe(out, static_cast<uint32_t>(rate), 4);
  PutLe(out, static_cast<uint32_t>(static_cast<int64_t>(rate) * kBlockBytes / kWavBlockSamples), 4);
  PutLe(out, kBlockBytes, 2);
  PutLe(out, kBitsPerCode, 2);
  PutLe(out, kExtraBytes, 2);
  PutLe(out, kWavBlockSamples, 2);
  out.write("data", 4);
  PutLe(out, dataBytes, 4);
  out.write(reinterpret_cast<const char*>(blocks.data()), static_cast<std::streamsize>(dataBytes));
  if (!out) throw std::runtime_error(path + ": not written");
}

// FFmpeg's decoding of the modules' blocks, each block's header sample dropped: the
// samples this library's decoder plays.
std::vector<int16_t> FfmpegPlays(const TempDir& dir, const std::vector<uint8_t>& blocks, int rate) {
  const std::string wav = dir / "ours.wav";
  WriteImaWav(wav, blocks, rate);
  const std::vector<int16_t> decoded = FfmpegDecode(dir, wav);
  std::vector<int16_t> played;
  for (std::size_t at = 0; at + kWavBlockSamples <= decoded.size(); at += kWavBlockSamples) {
    played.insert(played.end(), decoded.begin() + static_cast<std::ptrdiff_t>(at + 1),
                  decoded.begin() + static_cast<std::ptrdiff_t>(at + kWavBlockSamples));
  }
  return played;
}

// The SNR and segmental SNR of `test` against `pcm`, over 20 ms frames.
zbspeechmetrics::SnrMeter Measure(const std::vector<int16_t>& pcm, const std::vector<int16_t>& test,
                                  std::size_t frameSamples) {
  if (test.size() < pcm.size()) throw std::runtime_error("a decoding is shorter than its input");
  zbspeechmetrics::SnrMeter meter;
  for (std::size_t at = 0; at < pcm.size(); at += frameSamples) {
    meter.AddFrame(pcm.data() + at, test.data() + at, frameSamples);
  }
  return meter;
}

// The whole frames of a mono 16-bit WAV file, and its rate.
std::vector<int16_t> ReadWav(const std::string& path, int& rate) {
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (file == nullptr) throw std::runtime_error(path + ": " + sf_strerror(nullptr));
  std::vector<int16_t> pcm(static_cast<std::size_t>(info.frames));
  const sf_count_t read = info.channels == 1 ? sf_read_short(file, pcm.data(), info.frames) : 0;
  sf_close(file);
  if (info.channels != 1) throw std::runtime_error(path + ": not mono");
  rate = info.samplerate;
  const std::size_t frameSamples = static_cast<std::size_t>(rate / kFramesPerSecond);
  pcm.resize(static_cast<std::size_t>(read) / frameSamples * frameSamples);
  return pcm;
}

// `pcm` through an encoder in `mode` and a decoder, frame by frame, timed.
Coded CodeAndDecode(const std::vector<int16_t>& pcm, std::size_t frameSamples, ZbEncoderMode mode) {
  void* encoder = zbCreateInstance(ZB_NAME_ENCODER);
  void* decoder = zbCreateInstance(ZB_NAME_DECODER);
  auto* sink = new CollectingSink();
  auto* tap = new BlockSink();
  static_cast<AvEncoderSourceFace*>(SourceFaceOf(encoder))->ReservedSetting(mode);
  SourceFaceOf(encoder)->AddOutput(SinkFaceOf(decoder));
  SourceFaceOf(encoder)->AddOutput(tap);
  SourceFaceOf(decoder)->AddOutput(sink);
  const Clock::time_point start = Clock::now();
  AvFrameInfo info{};
  info.flags = AV_CLASS_MEDIA;
  for (std::size_t at = 0; at < pcm.size(); at += frameSamples) {
    ++info.seq;
    AvFrame frame{AV_TYPE_PCM, 0, AV_KIND_AUDIO, &info, static_cast<uint32_t>(frameSamples * sizeof(int16_t)),
                  reinterpret_cast<uint8_t*>(const_cast<int16_t*>(pcm.data() + at))};
    SinkFaceOf(encoder)->HandleFrame(nullptr, &frame);
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  zbDestroyInstance(encoder);
  zbDestroyInstance(decoder);
  Coded coded{std::move(sink->pcm), std::move(tap->blocks), seconds};
  sink->DeletingDestructor(kDeleteFreesMemory);
  tap->DeletingDestructor(kDeleteFreesMemory);
  if (coded.decoded.size() != pcm.size()) throw std::runtime_error("the decoder did not return every frame");
  return coded;
}

void PrintRow(const std::string& file, int rate, const std::string& coder, const zbspeechmetrics::SnrMeter& meter,
              double seconds, double audioSeconds) {
  std::printf("| %s | %d | %s | %.2f | %.2f | %.2f | %.0f |\n", file.c_str(), rate, coder.c_str(), meter.SnrDb(),
              meter.SegmentalSnrDb(), 1000 * seconds / audioSeconds, audioSeconds / seconds);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: encoder_mode_quality SPEECH.wav...\n");
    return 2;
  }
  MallocAllocator allocator;
  if (!zbInitialize()) return 1;
  auto* child = static_cast<IZBAvChildModule*>(zbCreateInstance(ZB_NAME_CHILD_MODULE));
  child->SetMemAllocator(&allocator);
  int status = 0;
  try {
    const TempDir dir;
    std::printf("| file | rate | coder | SNR dB | segmental SNR dB | ms per s of audio | x real time |\n");
    std::printf("|---|---|---|---|---|---|---|\n");
    std::vector<std::string> interop;
    for (int i = 1; i < argc; ++i) {
      int rate = 0;
      const std::vector<int16_t> pcm = ReadWav(argv[i], rate);
      const std::size_t frameSamples = static_cast<std::size_t>(rate / kFramesPerSecond);
      const double audioSeconds = static_cast<double>(pcm.size()) / rate;
      const std::string file = std::filesystem::path(argv[i]).filename().string();
      for (const Mode& mode : kModes) {
        const Coded coded = CodeAndDecode(pcm, frameSamples, mode.value);
        const zbspeechmetrics::SnrMeter meter = Measure(pcm, coded.decoded, frameSamples);
        PrintRow(file, rate, mode.name, meter, coded.seconds, audioSeconds);
        if (mode.value != ZB_ENCODER_SEARCH && mode.value != ZB_ENCODER_SEARCH_DEEP) continue;
        const std::vector<int16_t> played = FfmpegPlays(dir, coded.blocks, rate);
        std::size_t differing = 0;
        for (std::size_t k = 0; k < pcm.size() && k < played.size(); ++k) differing += played[k] != coded.decoded[k];
        char line[256];
        std::snprintf(line, sizeof line, "%s, %s: FFmpeg decodes to %.2f dB, this library to %.2f dB; %zu of %zu samples differ",
                      file.c_str(), mode.name, Measure(pcm, played, frameSamples).SnrDb(), meter.SnrDb(), differing,
                      pcm.size());
        interop.emplace_back(line);
        if (differing != 0 || played.size() < pcm.size()) status = 1;
      }
      for (int trellis : kFfmpegTrellis) {
        const Coded coded = FfmpegCode(dir, argv[i], trellis);
        PrintRow(file, rate, "FFmpeg trellis " + std::to_string(trellis), Measure(pcm, coded.decoded, frameSamples),
                 coded.seconds, audioSeconds);
      }
    }
    std::printf("\n");
    for (const std::string& line : interop) std::printf("%s\n", line.c_str());
  } catch (const std::exception& error) {
    std::fprintf(stderr, "encoder_mode_quality: %s\n", error.what());
    status = 1;
  }
  child->SetMemAllocator(nullptr);
  zbDestroyInstance(child);
  zbUninitialize();
  return status;
}
