// Protocol scenarios for a seeded test and a fuzz target alike (no test framework): a
// stream of PCM frames through an encoder, a lossy link and a decoder, every choice taken
// from a Chooser. What the decoder renders is compared with DecoderModel, written from the
// decoder's rules apart from the module, and checked against invariants of its own.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "codec/AdpcmModuleLayout.h"
#include "modules/AdpcmDecoder.h"
#include "modules/AdpcmEncoder.h"
#include "tests/support/ModuleFrames.h"
#include "tests/support/RecordingSink.h"

namespace zbtest {

// Where a scenario's choices come from.
class Chooser {
 public:
  virtual ~Chooser() = default;
  // A value from 0 to n - 1; n is at least 1.
  virtual uint32_t Below(uint32_t n) = 0;
  bool Percent(uint32_t percent) { return Below(100) < percent; }
};

inline int32_t WrappingAdd(int32_t a, int64_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

// The decoder's rules: a history of the last ten numbers rendered, the last data frame and
// the last parity frame stored when they fit a slot; a data frame rebuilds its lost partner
// from a stored parity frame of its own number, then renders itself; a parity frame
// rebuilds its lost partner from the stored data frame of its own number, else rebuilds
// the data frame of its own number from its stored partner (which it then replaces) unless
// that partner was itself rebuilt and is shorter than the parity, else is stored. A rebuilt
// frame has the parity's length, partner bytes past their end counting as zero.
class DecoderModel {
 public:
  struct Rendered {
    int32_t seq;
    int32_t timestamp;
    std::vector<uint8_t> pcm;
  };

  void Handle(uint8_t type, int32_t seq, int32_t timestamp, uint8_t flags, const std::vector<uint8_t>& payload) {
    const int32_t s = (flags >> AV_FLAGS_DISTANCE_SHIFT) + 1;
    const int32_t n = seq;
    const int32_t p = WrappingAdd(n, -s);
    const int32_t rebuiltTimestamp = WrappingAdd(timestamp, -int64_t{kTimestampStepPerFrame} * s);
    const bool seenN = Seen(n);
    const bool seenP = Seen(p);
    const bool fits = payload.size() <= static_cast<size_t>(kDecoderSlotBytes);
    if (seenN && seenP) return;
    if (type == AV_TYPE_ADPCM) {
      if (!seenP && m_parity && m_parity->first == n) Render(p, rebuiltTimestamp, Xor(m_parity->second, payload));
      if (!seenN) {
        if (fits) m_data = StoredData{n, payload, false};
        Render(n, timestamp, payload);
      }
    } else if (type == AV_TYPE_ADPCM_PARITY && fits) {
      if (!seenP && m_data && m_data->seq == n) {
        Render(p, rebuiltTimestamp, Xor(payload, m_data->payload));
      } else if (!seenN && m_data && m_data->seq == p &&
                 !(m_data->rebuilt && payload.size() > m_data->payload.size())) {
        m_data = StoredData{n, Xor(payload, m_data->payload), true};
        Render(n, timestamp, m_data->payload);
      } else {
        m_parity = {n, payload};
      }
    }
  }
  const std::vector<Rendered>& rendered() const { return m_rendered; }

 private:
  bool Seen(int32_t seq) const { return std::find(m_history.begin(), m_history.end(), seq) != m_history.end(); }
  void Render(int32_t seq, int32_t timestamp, const std::vector<uint8_t>& adpcm) {
    m_history.push_back(seq);
    if (m_history.size() > static_cast<size_t>(kSeqHistoryLength)) m_history.pop_front();
    m_rendered.push_back({seq, timestamp, DecodedPcm(adpcm)});
  }

  struct StoredData {
    int32_t seq;
    std::vector<uint8_t> payload;
    bool rebuilt;
  };

  std::deque<int32_t> m_history;
  std::optional<StoredData> m_data;
  std::optional<std::pair<int32_t, std::vector<uint8_t>>> m_parity;  // number and payload
  std::vector<Rendered> m_rendered;
};

inline constexpr uint32_t kScenarioMaxPieces = 6;       // pieces per PCM frame: a slot's worth
inline constexpr uint32_t kScenarioMaxDistance = 8;     // partner distances 1 to 8
inline constexpr uint32_t kScenarioMaxLossPercent = 40;
inline constexpr uint32_t kScenarioMaxShufflePercent = 20;  // duplicates, adjacent swaps
inline constexpr uint32_t kScenarioReentryOdds = 4;     // one call back in 4, when enabled

// Runs one scenario, the encoder in `encoderMode` (a ZB_ENCODER_* value), and returns what
// went wrong, one line each. The host allocator must be installed; its balance is the
// caller's to check. Frames are numbered `distance` apart,
// which their flags name, and time-stamped 20 per number. With `reentry`, outputs may call
// back into the encoder with the next PCM frame while a data frame is delivered, and into
// the decoder with the next arrival while a PCM frame is delivered.
inline std::vector<std::string> RunProtocolScenario(Chooser& choose, uint32_t frameCount, bool reentry,
                                                    int32_t encoderMode = ZB_ENCODER_SPECIFIED) {
  std::vector<std::string> problems;
  auto fail = [&](const std::string& what) { problems.push_back(what); };

  const auto distance = static_cast<int32_t>(1 + choose.Below(kScenarioMaxDistance));
  const bool nearTheWrap = choose.Below(2) == 0;
  const int32_t firstSeq =
      nearTheWrap ? WrappingAdd(INT32_MAX, -int64_t{choose.Below(frameCount * kScenarioMaxDistance)})
                  : static_cast<int32_t>(choose.Below(1000));
  const auto firstTimestamp = static_cast<int32_t>(choose.Below(UINT32_MAX));
  const uint32_t lossPercent = 1 + choose.Below(kScenarioMaxLossPercent);
  const bool lossOnly = choose.Below(2) == 0;
  const uint32_t duplicatePercent = lossOnly ? 0 : choose.Below(kScenarioMaxShufflePercent);
  const uint32_t swapPercent = lossOnly ? 0 : choose.Below(kScenarioMaxShufflePercent);
  const bool sameLength = choose.Below(2) == 0;
  const uint32_t pieces = 1 + choose.Below(kScenarioMaxPieces);
  const bool encoderReentry = reentry && choose.Below(2) == 0;
  const bool decoderReentry = reentry && choose.Below(2) == 0;
  const uint32_t signal = choose.Below(1 << 16);
  const auto flags = static_cast<uint8_t>(AV_CLASS_MEDIA | (distance - 1) << AV_FLAGS_DISTANCE_SHIFT);

  std::vector<std::unique_ptr<PcmFrame>> pcm;
  for (uint32_t i = 0; i < frameCount; ++i) {
    const uint32_t framePieces = sameLength ? pieces : choose.Below(kScenarioMaxPieces + 1);
    const uint32_t remainderSamples = choose.Below(4) == 0 ? choose.Below(kAdpcmPcmBytesPerBlock / 2) : 0;
    const int64_t step = int64_t{i} * distance;
    pcm.push_back(std::make_unique<PcmFrame>(
        TestPcm(framePieces * kAdpcmPcmBytesPerBlock / 2 + remainderSamples, signal + i),
        WrappingAdd(firstSeq, step), WrappingAdd(firstTimestamp, step * kTimestampStepPerFrame), flags));
  }

  // Encoder to the wire.
  auto encoder = Make<AdpcmEncoder>();
  encoder->ReservedSetting(encoderMode);
  auto wire = Make<RecordingSink>();
  encoder->AddOutput(wire.get());
  size_t nextPcm = 0;
  auto encodeNext = [&] {
    PcmFrame& frame = *pcm[nextPcm++];
    if (!encoder->HandleFrame(nullptr, &frame.frame)) fail("the encoder refused frame " + std::to_string(frame.info.seq));
  };
  if (encoderReentry) {
    wire->onFrame = [&](const AvFrame& frame) {
      if (frame.type == AV_TYPE_ADPCM && nextPcm < pcm.size() && choose.Below(kScenarioReentryOdds) == 0) {
        encodeNext();
      }
    };
  }
  while (nextPcm < pcm.size()) encodeNext();
  encoder.reset();

  // Every parity frame is the XOR of the two data frames it names.
  std::map<int32_t, const Received*> sent;
  for (const Received& r : wire->received) {
    if (r.type == AV_TYPE_ADPCM && !sent.emplace(r.seq, &r).second) fail("data " + std::to_string(r.seq) + " sent twice");
  }
  if (sent.size() != frameCount) fail("the encoder sent " + std::to_string(sent.size()) + " data frames");
  for (const Received& r : wire->received) {
    if (r.type != AV_TYPE_ADPCM_PARITY) continue;
    const auto partner = sent.find(WrappingAdd(r.seq, -distance));
    const auto own = sent.find(r.seq);
    if (partner == sent.end() || own == sent.end()) {
      fail("parity " + std::to_string(r.seq) + " names a frame never sent");
    } else if (r.payload != Xor(partner->second->payload, own->second->payload)) {
      fail("parity " + std::to_string(r.seq) + " is not the XOR of the frames it names");
    }
  }

  // The link: losses, then adjacent swaps, then duplicates right behind the original.
  std::vector<const Received*> passed;
  std::set<std::pair<uint8_t, int32_t>> arrived;  // type and number
  for (const Received& r : wire->received) {
    if (choose.Percent(lossPercent)) continue;
    passed.push_back(&r);
    arrived.emplace(r.type, r.seq);
  }
  for (size_t i = 0; i + 1 < passed.size(); ++i) {
    if (choose.Percent(swapPercent)) {
      std::swap(passed[i], passed[i + 1]);
      ++i;  // a frame moves at most one place
    }
  }
  std::vector<const Received*> arrivals;
  for (const Received* r : passed) {
    arrivals.push_back(r);
    if (choose.Percent(duplicatePercent)) arrivals.push_back(r);
  }

  // The link to the decoder, and the model beside it.
  auto decoder = Make<AdpcmDecoder>();
  auto out = Make<RecordingSink>();
  decoder->AddOutput(out.get());
  DecoderModel model;
  size_t nextArrival = 0;
  auto deliverNext = [&] {
    const Received& r = *arrivals[nextArrival++];
    PcmFrame frame(r.payload, r.seq, r.timestamp, r.flags, r.kind, r.type);
    uint8_t noBytes = 0;
    if (r.payload.empty()) frame.frame.data = &noBytes;  // as the encoder sends it
    model.Handle(r.type, r.seq, r.timestamp, r.flags, r.payload);
    if (!decoder->HandleFrame(nullptr, &frame.frame)) fail("the decoder refused " + std::to_string(r.seq));
  };
  if (decoderReentry) {
    out->onFrame = [&](const AvFrame&) {
      if (nextArrival < arrivals.size() && choose.Below(kScenarioReentryOdds) == 0) deliverNext();
    };
  }
  while (nextArrival < arrivals.size()) deliverNext();
  decoder.reset();

  // A call back into the decoder interleaves its steps, which the model takes one at a time.
  if (!decoderReentry) {
    const auto& expected = model.rendered();
    if (out->received.size() != expected.size()) {
      fail("rendered " + std::to_string(out->received.size()) + " frames, the model " +
           std::to_string(expected.size()));
    }
    for (size_t i = 0; i < std::min(expected.size(), out->received.size()); ++i) {
      const Received& r = out->received[i];
      if (r.seq != expected[i].seq || r.timestamp != expected[i].timestamp || r.payload != expected[i].pcm) {
        fail("rendered frame " + std::to_string(i) + " (" + std::to_string(r.seq) + ") differs from the model's (" +
             std::to_string(expected[i].seq) + ")");
        break;
      }
    }
  }

  // Each rendered frame is a frame that was sent, rendered once, with its own timestamp,
  // bit for bit; only a frame rebuilt from its earlier partner may take that partner's
  // length instead of its own (nothing tells its own): cut to it, or filled with zero bytes.
  auto renderedAsSent = [&](const Received& r, const std::vector<uint8_t>& own) {
    if (r.payload == DecodedPcm(own)) return true;
    const auto partner = sent.find(WrappingAdd(r.seq, -distance));
    if (partner == sent.end()) return false;
    std::vector<uint8_t> fitted = own;
    fitted.resize(partner->second->payload.size());
    return r.payload == DecodedPcm(fitted);
  };
  std::set<int32_t> rendered;
  for (const Received& r : out->received) {
    const auto original = sent.find(r.seq);
    if (r.type != AV_TYPE_PCM || original == sent.end()) {
      fail("rendered " + std::to_string(r.seq) + ", which was never sent");
      continue;
    }
    if (!rendered.insert(r.seq).second) fail("rendered " + std::to_string(r.seq) + " twice");
    if (r.timestamp != original->second->timestamp) fail("rendered " + std::to_string(r.seq) + " with another timestamp");
    if (!renderedAsSent(r, original->second->payload)) fail("rendered " + std::to_string(r.seq) + " with other PCM");
  }

  // With losses alone, every lost data frame that one parity frame and its partner can
  // rebuild is rendered.
  if (lossOnly && !encoderReentry && !decoderReentry) {
    auto got = [&](uint8_t type, int32_t seq) { return arrived.count({type, seq}) != 0; };
    for (const auto& entry : sent) {
      const int32_t n = entry.first;
      if (got(AV_TYPE_ADPCM, n) || rendered.count(n) != 0) continue;
      const int32_t before = WrappingAdd(n, -distance);
      const int32_t after = WrappingAdd(n, distance);
      if ((got(AV_TYPE_ADPCM_PARITY, n) && got(AV_TYPE_ADPCM, before)) ||
          (got(AV_TYPE_ADPCM_PARITY, after) && got(AV_TYPE_ADPCM, after))) {
        fail("lost data " + std::to_string(n) + " could be rebuilt but was not rendered");
      }
    }
  }
  return problems;
}

}  // namespace zbtest
