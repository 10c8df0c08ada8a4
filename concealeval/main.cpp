// conceal_eval: how well each fill stands in for lost frames. Given the lossless decode of
// a stream and one or more per-frame accounts of lossy runs (zbhost --frames CSV), fills the
// frames each run lost for good in every available way and prints, per run and fill, one
// CSV row: the SNR and segmental SNR against the lossless decode, the log-spectral distance
// on the lost frames that hold speech, and STOI against the lossless decode.
//   conceal_eval LOSSLESS.wav FRAMES.csv...
#include <cstdio>
#include <exception>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <sndfile.h>

#include "concealeval/Fills.h"
#include "exports/zbstream.h"
#include "speechmetrics/SnrMeter.h"
#include "speechmetrics/SpectralDistance.h"
#include "speechmetrics/Stoi.h"

namespace {

using zbconcealeval::Stream;

constexpr int kFramesPerSecond = 1000 / ZB_FRAME_MS;  // ms in a second over ms in a frame
constexpr char kLostOutcome[] = "lost";
constexpr int kOutcomeColumn = 4;

Stream ReadWav(const std::string& path) {
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (file == nullptr) throw std::runtime_error(path + ": " + sf_strerror(nullptr));
  if (info.channels != 1) {
    sf_close(file);
    throw std::runtime_error(path + ": not mono");
  }
  Stream s;
  s.sampleRate = info.samplerate;
  s.frameSamples = static_cast<std::size_t>(info.samplerate / kFramesPerSecond);
  s.pcm.resize(static_cast<std::size_t>(info.frames));
  const sf_count_t read = sf_read_short(file, s.pcm.data(), info.frames);
  sf_close(file);
  // Whole frames only, as they were streamed.
  s.pcm.resize(static_cast<std::size_t>(read) / s.frameSamples * s.frameSamples);
  return s;
}

// The frames whose result column says they were lost, from zbhost's --frames CSV.
std::vector<bool> ReadLost(const std::string& path, std::size_t frames) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error(path + ": cannot read");
  std::vector<bool> lost(frames, false);
  std::string line;
  std::getline(in, line);  // the header
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string field;
    std::vector<std::string> row;
    while (std::getline(fields, field, ',')) row.push_back(field);
    if (row.size() <= kOutcomeColumn) throw std::runtime_error(path + ": short row '" + line + "'");
    const std::size_t frame = std::stoul(row[0]);
    if (frame < frames && row[kOutcomeColumn] == kLostOutcome) lost[frame] = true;
  }
  return lost;
}

void Evaluate(const Stream& lossless, const std::string& framesPath) {
  const std::size_t frames = lossless.pcm.size() / lossless.frameSamples;
  const std::vector<bool> lost = ReadLost(framesPath, frames);
  for (const zbconcealeval::Fill fill : zbconcealeval::AvailableFills()) {
    const std::vector<int16_t> out = zbconcealeval::Apply(fill, lossless, lost);
    zbspeechmetrics::SnrMeter snr;
    zbspeechmetrics::SpectralDistance lsd(lossless.frameSamples);
    for (std::size_t f = 0; f < frames; ++f) {
      const int16_t* ref = &lossless.pcm[f * lossless.frameSamples];
      const int16_t* test = &out[f * lossless.frameSamples];
      snr.AddFrame(ref, test, lossless.frameSamples);
      if (lost[f]) lsd.AddFrame(ref, test);
    }
    const double stoi = zbspeechmetrics::Stoi(lossless.pcm.data(), out.data(), out.size(),
                                              lossless.sampleRate);
    std::printf("%s,%d,%s,%.3f,%.3f,%.3f,%.4f\n", framesPath.c_str(), lossless.sampleRate,
                zbconcealeval::FillName(fill), snr.SnrDb(), snr.SegmentalSnrDb(), lsd.MeanDb(),
                stoi);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: conceal_eval LOSSLESS.wav FRAMES.csv...\n");
    return 2;
  }
  try {
    const Stream lossless = ReadWav(argv[1]);
    std::printf("run,rate,fill,snr_db,segmental_snr_db,lsd_lost_speech_db,stoi\n");
    for (int i = 2; i < argc; ++i) Evaluate(lossless, argv[i]);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "conceal_eval: %s\n", error.what());
    return 1;
  }
  return 0;
}
