// encoder_mode_quality: how close each encoder mode's decoded speech comes to the input. Each
// WAV file (16-bit mono) goes in 20 ms frames through the library's encoder module in each
// mode and its decoder module, made through the exported functions; prints one CSV row per file
// and mode: the SNR over the whole file and the segmental SNR over its 20 ms frames.
//   encoder_mode_quality SPEECH.wav...
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include <sndfile.h>

#include "Include/QV_Interface/zbav.h"
#include "exports/zbexports.h"
#include "speechmetrics/SnrMeter.h"

namespace {

constexpr int kFramesPerSecond = 50;  // 20 ms frames

struct Mode {
  const char* name;
  ZbEncoderMode value;
};
constexpr Mode kModes[] = {
    {"specified", ZB_ENCODER_SPECIFIED}, {"carried", ZB_ENCODER_CARRIED}, {"search", ZB_ENCODER_SEARCH}};

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

// `pcm` through an encoder in `mode` and a decoder, frame by frame.
std::vector<int16_t> CodeAndDecode(const std::vector<int16_t>& pcm, std::size_t frameSamples, ZbEncoderMode mode) {
  void* encoder = zbCreateInstance(ZB_NAME_ENCODER);
  void* decoder = zbCreateInstance(ZB_NAME_DECODER);
  auto* sink = new CollectingSink();
  static_cast<AvEncoderSourceFace*>(SourceFaceOf(encoder))->ReservedSetting(mode);
  SourceFaceOf(encoder)->AddOutput(SinkFaceOf(decoder));
  SourceFaceOf(decoder)->AddOutput(sink);
  AvFrameInfo info{};
  info.flags = AV_CLASS_MEDIA;
  for (std::size_t at = 0; at < pcm.size(); at += frameSamples) {
    ++info.seq;
    AvFrame frame{AV_TYPE_PCM, 0, AV_KIND_AUDIO, &info, static_cast<uint32_t>(frameSamples * sizeof(int16_t)),
                  reinterpret_cast<uint8_t*>(const_cast<int16_t*>(pcm.data() + at))};
    SinkFaceOf(encoder)->HandleFrame(nullptr, &frame);
  }
  zbDestroyInstance(encoder);
  zbDestroyInstance(decoder);
  std::vector<int16_t> decoded = std::move(sink->pcm);
  sink->DeletingDestructor(kDeleteFreesMemory);
  if (decoded.size() != pcm.size()) throw std::runtime_error("the decoder did not return every frame");
  return decoded;
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
  std::printf("file,rate,mode,snr_db,segmental_snr_db\n");
  try {
    for (int i = 1; i < argc; ++i) {
      int rate = 0;
      const std::vector<int16_t> pcm = ReadWav(argv[i], rate);
      const std::size_t frameSamples = static_cast<std::size_t>(rate / kFramesPerSecond);
      for (const Mode& mode : kModes) {
        const std::vector<int16_t> decoded = CodeAndDecode(pcm, frameSamples, mode.value);
        zbspeechmetrics::SnrMeter meter;
        for (std::size_t at = 0; at < pcm.size(); at += frameSamples) {
          meter.AddFrame(pcm.data() + at, decoded.data() + at, frameSamples);
        }
        std::printf("%s,%d,%s,%.2f,%.2f\n", argv[i], rate, mode.name, meter.SnrDb(), meter.SegmentalSnrDb());
      }
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "encoder_mode_quality: %s\n", error.what());
    status = 1;
  }
  child->SetMemAllocator(nullptr);
  zbDestroyInstance(child);
  zbUninitialize();
  return status;
}
