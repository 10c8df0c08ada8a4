// speech_score: how close a received speech file comes to what was sent. Both WAV files are
// 16-bit mono at one rate; the received one is first shifted by the lag, within kMaxLagMs either
// way, that correlates best with the sent one over their first kLagSearchSeconds (a codec's
// delay), then both are scored over the sent one's length (the received one cut or padded with
// silence). Prints one JSON object: the lag in samples, STOI (intelligibility) and the
// segmental SNR over 20 ms frames (coding error).
//   speech_score SENT.wav RECEIVED.wav
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include <sndfile.h>

#include "speechmetrics/SnrMeter.h"
#include "speechmetrics/Stoi.h"

namespace {

constexpr int kFramesPerSecond = 50;  // 20 ms frames for the segmental SNR
constexpr int kMaxLagMs = 20;
constexpr int kMsPerSecond = 1000;
constexpr int kLagSearchSeconds = 10;  // the lag is found over the signals' start

std::vector<int16_t> ReadWav(const std::string& path, int& rate) {
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (file == nullptr) throw std::runtime_error(path + ": " + sf_strerror(nullptr));
  std::vector<int16_t> pcm(static_cast<std::size_t>(info.frames));
  const sf_count_t read = info.channels == 1 ? sf_read_short(file, pcm.data(), info.frames) : 0;
  sf_close(file);
  if (info.channels != 1) throw std::runtime_error(path + ": not mono");
  pcm.resize(static_cast<std::size_t>(read));
  rate = info.samplerate;
  return pcm;
}

// The received sample that lines up with sent sample i, or 0 outside the received signal.
int16_t At(const std::vector<int16_t>& received, std::ptrdiff_t i, int lag) {
  const std::ptrdiff_t j = i + lag;
  return j >= 0 && j < static_cast<std::ptrdiff_t>(received.size()) ? received[static_cast<std::size_t>(j)] : 0;
}

// The lag of `received` behind `sent` that maximises their correlation.
int BestLag(const std::vector<int16_t>& sent, const std::vector<int16_t>& received, int rate) {
  const int maxLag = rate * kMaxLagMs / kMsPerSecond;
  const auto searched = static_cast<std::size_t>(rate) * kLagSearchSeconds;
  int best = 0;
  double bestScore = -1.0;
  for (int lag = -maxLag; lag <= maxLag; ++lag) {
    double score = 0;
    for (std::size_t i = 0; i < std::min(sent.size(), searched); ++i) {
      score += static_cast<double>(sent[i]) * At(received, static_cast<std::ptrdiff_t>(i), lag);
    }
    if (score > bestScore) {
      bestScore = score;
      best = lag;
    }
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: speech_score SENT.wav RECEIVED.wav\n");
    return 2;
  }
  try {
    int rate = 0;
    int receivedRate = 0;
    const std::vector<int16_t> sent = ReadWav(argv[1], rate);
    const std::vector<int16_t> received = ReadWav(argv[2], receivedRate);
    if (rate != receivedRate) throw std::runtime_error("the files' rates differ");
    const int lag = BestLag(sent, received, rate);
    std::vector<int16_t> aligned(sent.size());
    for (std::size_t i = 0; i < sent.size(); ++i) aligned[i] = At(received, static_cast<std::ptrdiff_t>(i), lag);

    zbspeechmetrics::StoiMeter stoi(rate);
    stoi.Add(sent.data(), aligned.data(), sent.size());
    zbspeechmetrics::SnrMeter snr;
    const std::size_t frame = static_cast<std::size_t>(rate / kFramesPerSecond);
    for (std::size_t at = 0; at + frame <= sent.size(); at += frame) snr.AddFrame(&sent[at], &aligned[at], frame);
    std::printf("{\"lag\": %d, \"stoi\": %.4f, \"segsnr_db\": %.2f}\n", lag, stoi.Finish(), snr.SegmentalSnrDb());
    return 0;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "speech_score: %s\n", error.what());
    return 1;
  }
}
