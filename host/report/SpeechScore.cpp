// Feeding the speech meters frame by frame, STOI's on a thread of its own.
#include "host/report/SpeechScore.h"

namespace zbhost {

namespace {

constexpr size_t kBlockFrames = 50;  // frames handed to the STOI thread at once: 1 s
constexpr size_t kMaxBlocks = 16;    // blocks waiting for it at most: room for a chunk's scoring, bounded
constexpr double kNanosecondsPerSecond = 1e9;

}  // namespace

SpeechScore::SpeechScore(int32_t rate, int32_t frameSamples)
    : m_nFrameSamples(static_cast<size_t>(frameSamples)),
      m_input(frameSamples),
      m_lossless(frameSamples),
      m_stoi([this, rate] { ScoreStoi(rate); }) {}

SpeechScore::~SpeechScore() {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_bEnded = true;
    m_blocks.clear();
  }
  m_changed.notify_all();
  if (m_stoi.joinable()) m_stoi.join();
}

std::optional<double> SpeechScore::Add(const int16_t* input, const int16_t* lossless,
                                       const int16_t* decoded, size_t length, bool lost) {
  m_gathering.input.insert(m_gathering.input.end(), input, input + length);
  m_gathering.lossless.insert(m_gathering.lossless.end(), lossless, lossless + length);
  m_gathering.decoded.insert(m_gathering.decoded.end(), decoded, decoded + length);
  m_gathering.lengths.push_back(length);
  if (m_gathering.lengths.size() == kBlockFrames) HandOver();
  // A spectrum is taken of whole frames only: the last one, padded past the input, is not.
  const bool spectral = lost && length == m_nFrameSamples;
  AddTo(m_input, input, decoded, length, spectral);
  return AddTo(m_lossless, lossless, decoded, length, spectral);
}

std::optional<double> SpeechScore::AddTo(Meters& meters, const int16_t* reference,
                                         const int16_t* decoded, size_t length, bool spectral) {
  meters.snr.AddFrame(reference, decoded, length);
  return spectral ? meters.lsd.AddFrame(reference, decoded) : std::nullopt;
}

void SpeechScore::HandOver() {
  std::unique_lock<std::mutex> guard(m_lock);
  m_changed.wait(guard, [this] { return m_blocks.size() < kMaxBlocks || m_failure; });
  if (!m_failure) m_blocks.push_back(std::move(m_gathering));
  m_gathering = Block();
  guard.unlock();
  m_changed.notify_all();
}

void SpeechScore::FinishStoi() {
  if (!m_stoi.joinable()) return;
  if (!m_gathering.lengths.empty()) HandOver();
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_bEnded = true;
  }
  m_changed.notify_all();
  m_stoi.join();
  if (m_failure) std::rethrow_exception(m_failure);
}

SpeechFigures SpeechScore::Finish(Meters& meters, const double& stoi) {
  FinishStoi();
  SpeechFigures figures;
  figures.snrDb = meters.snr.SnrDb();
  figures.segmentalSnrDb = meters.snr.SegmentalSnrDb();
  figures.lostLsdDb = meters.lsd.MeanDb();
  figures.lostSpeechFrames = static_cast<int64_t>(meters.lsd.SpeechFrames());
  figures.stoi = stoi;
  return figures;
}

void SpeechScore::ScoreStoi(int32_t rate) {
  try {
    // Each signal is taken to STOI's rate once, the decoded one for both meters.
    zbspeechmetrics::StoiResampler input(rate);
    zbspeechmetrics::StoiResampler lossless(rate);
    zbspeechmetrics::StoiResampler decoded(rate);
    zbspeechmetrics::StoiMeter vsInput(zbspeechmetrics::kStoiRate);
    zbspeechmetrics::StoiMeter vsLossless(zbspeechmetrics::kStoiRate);
    for (;;) {
      Block block;
      {
        std::unique_lock<std::mutex> guard(m_lock);
        m_changed.wait(guard, [this] { return !m_blocks.empty() || m_bEnded; });
        if (m_blocks.empty()) break;
        block = std::move(m_blocks.front());
        m_blocks.pop_front();
      }
      m_changed.notify_all();
      size_t at = 0;
      for (size_t length : block.lengths) {
        const std::vector<float>& decodedAtStoiRate = decoded.Add(block.decoded.data() + at, length);
        vsInput.AddResampled(input.Add(block.input.data() + at, length), decodedAtStoiRate);
        vsLossless.AddResampled(lossless.Add(block.lossless.data() + at, length), decodedAtStoiRate);
        at += length;
      }
    }
    const std::vector<float>& decodedAtStoiRate = decoded.Flush();
    vsInput.AddResampled(input.Flush(), decodedAtStoiRate);
    vsLossless.AddResampled(lossless.Flush(), decodedAtStoiRate);
    m_stoiVsInput = vsInput.Finish();
    m_stoiVsLossless = vsLossless.Finish();
    timespec used{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used);
    m_stoiSeconds = static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) / kNanosecondsPerSecond;
  } catch (...) {
    {
      std::lock_guard<std::mutex> guard(m_lock);
      m_failure = std::current_exception();
    }
    m_changed.notify_all();
  }
}

}  // namespace zbhost
