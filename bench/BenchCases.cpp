// The codec's benchmark cases and the summary table both benchmark programs print.
#include "bench/BenchCases.h"

#include <algorithm>
#include <cstddef>
#include <functional>
#include <memory>
#include <utility>

#include "codec/AdpcmBlock.h"
#include "codec/AdpcmModuleLayout.h"
#include "codec/AdpcmPaths.h"
#include "codec/AdpcmSearch.h"
#include "reference/AdpcmReference.h"
#include "reference/AdpcmSignals.h"

namespace zbbench {

namespace {

constexpr int32_t kSamplesPerBlock = kAdpcmPcmBytesPerBlock / 2;
constexpr uint32_t kSpeechSeed = 20240611;

// 60 s of speech-like signal, its blocks from the transcription and their decoded PCM, and
// its blocks from the transcription with the step index carried from block to block.
struct Signal {
  std::vector<uint8_t> pcm = adpcm_signals::Speech(kLongBlocks * kSamplesPerBlock, kSpeechSeed);
  std::vector<uint8_t> blocks = std::vector<uint8_t>(kLongBlocks * size_t{kAdpcmBlockBytes});
  std::vector<uint8_t> decoded = std::vector<uint8_t>(pcm.size());
  std::vector<uint8_t> carried = std::vector<uint8_t>(blocks.size());
};

// Out of line, so that the transcription is compiled once, the same for every case.
[[gnu::noinline]] void ReferenceEncode(const uint8_t* pcm, uint8_t* blocks, int32_t count) {
  for (int32_t b = 0; b < count; ++b) {
    AdpcmCodecState state{1, kAdpcmPcmBytesPerBlock, 0, {}};
    adpcm_reference::EncodeBlock(state, blocks + b * kAdpcmBlockBytes, pcm + b * kAdpcmPcmBytesPerBlock);
  }
}

[[gnu::noinline]] void ReferenceDecode(const uint8_t* blocks, uint8_t* pcm, int32_t count) {
  for (int32_t b = 0; b < count; ++b) {
    AdpcmCodecState state{1, 0, 0, {}};
    int32_t written = 0;
    adpcm_reference::DecodeBlock(state, pcm + b * kAdpcmPcmBytesPerBlock, written, blocks + b * kAdpcmBlockBytes,
                                 kAdpcmBlockBytes);
  }
}

std::shared_ptr<const Signal> MakeSignal() {
  auto signal = std::make_shared<Signal>();
  ReferenceEncode(signal->pcm.data(), signal->blocks.data(), kLongBlocks);
  ReferenceDecode(signal->blocks.data(), signal->decoded.data(), kLongBlocks);
  AdpcmCodecState state{1, kAdpcmPcmBytesPerBlock, 0, {}};
  for (int32_t b = 0; b < kLongBlocks; ++b) {
    adpcm_reference::EncodeBlockCarried(state, signal->carried.data() + b * kAdpcmBlockBytes,
                                        signal->pcm.data() + b * kAdpcmPcmBytesPerBlock);
  }
  return signal;
}

// The squared error of the signal's blocks decoded by the transcription.
int64_t DecodedError(const Signal& signal, const std::vector<uint8_t>& blocks) {
  std::vector<uint8_t> pcm(signal.pcm.size());
  ReferenceDecode(blocks.data(), pcm.data(), kLongBlocks);
  int64_t error = 0;
  for (size_t i = 0; i < pcm.size(); i += 2) {
    const int64_t e = adpcm_reference::LoadSample(&pcm[i]) - adpcm_reference::LoadSample(&signal.pcm[i]);
    error += e * e;
  }
  return error;
}

// Runs of `count` blocks go through the signal in turn, so that frames are taken from
// speech and pauses alike; the check runs through all of it once.
struct Cursor {
  explicit Cursor(int32_t blocks) : count(blocks) {}
  int32_t Next() {
    const int32_t block = first;
    first = first + 2 * count > kLongBlocks ? 0 : first + count;
    return block;
  }
  const int32_t count;
  int32_t first = 0;
};

// What an encode and a decode case share: the name, its baseline and sizes, and a check that
// runs the case through the whole signal and compares what it wrote with the signal's `expected`.
Case CoderCase(const std::string& operation, const std::string& path, const std::shared_ptr<const Signal>& signal,
               std::vector<uint8_t> Signal::*expected, const std::shared_ptr<const std::vector<uint8_t>>& out,
               int32_t count, std::function<void()> run) {
  const std::string reference = operation + "/reference/" + std::to_string(count);
  Case c;
  c.name = operation + "/" + path + "/" + std::to_string(count);
  c.baseline = c.name == reference ? std::string() : reference;
  c.frames = count / kFrameBlocks;
  c.samples = int64_t{count} * kSamplesPerBlock;
  c.run = std::move(run);
  c.check = [signal, expected, out, count, run = c.run] {
    for (int32_t i = 0; i < kLongBlocks / count; ++i) run();
    return *out == (*signal).*expected;
  };
  return c;
}

Case EncodeCase(const std::string& path, const std::shared_ptr<const Signal>& signal, int32_t count,
                AdpcmEncodeBlocksFn encode) {
  auto out = std::make_shared<std::vector<uint8_t>>(signal->blocks.size());
  auto cursor = std::make_shared<Cursor>(count);
  return CoderCase("Encode", path, signal, &Signal::blocks, out, count, [signal, out, cursor, encode] {
    const int32_t first = cursor->Next();
    const uint8_t* pcm = signal->pcm.data() + size_t{kAdpcmPcmBytesPerBlock} * first;
    uint8_t* blocks = out->data() + size_t{kAdpcmBlockBytes} * first;
    AdpcmCodecState state{1, kAdpcmPcmBytesPerBlock, 0, {}};
    if (encode != nullptr) {
      encode(state, blocks, pcm, cursor->count);
    } else {
      ReferenceEncode(pcm, blocks, cursor->count);
    }
  });
}

Case DecodeCase(const std::string& path, const std::shared_ptr<const Signal>& signal, int32_t count,
                AdpcmDecodeBlocksFn decode) {
  auto out = std::make_shared<std::vector<uint8_t>>(signal->decoded.size());
  auto cursor = std::make_shared<Cursor>(count);
  return CoderCase("Decode", path, signal, &Signal::decoded, out, count, [signal, out, cursor, decode] {
    const int32_t first = cursor->Next();
    const uint8_t* blocks = signal->blocks.data() + size_t{kAdpcmBlockBytes} * first;
    uint8_t* pcm = out->data() + size_t{kAdpcmPcmBytesPerBlock} * first;
    AdpcmCodecState state{1, 0, 0, {}};
    if (decode != nullptr) {
      decode(state, pcm, blocks, kAdpcmBlockBytes, cursor->count);
    } else {
      ReferenceDecode(blocks, pcm, cursor->count);
    }
  });
}

// The encoder modes on one 20 ms frame of `count` blocks (1: 8 kHz, 2: 16 kHz, 6: 48 kHz), the step
// index carried from frame to frame as the encoder module carries it, back to 0 at the
// signal's start; the specified mode is every other mode's baseline. The check runs the
// whole signal: the specified and carried modes against the transcription's blocks, the
// search against the carried transcription's error, which it must undercut.
Case ModeCase(const std::string& mode, const std::shared_ptr<const Signal>& signal, int32_t count,
              AdpcmEncodeBlocksFn encode) {
  auto out = std::make_shared<std::vector<uint8_t>>(signal->blocks.size());
  auto cursor = std::make_shared<Cursor>(count);
  auto state = std::make_shared<AdpcmCodecState>();
  const std::string specified = "EncodeMode/specified/" + std::to_string(count);
  Case c;
  c.name = "EncodeMode/" + mode + "/" + std::to_string(count);
  c.baseline = c.name == specified ? std::string() : specified;
  c.frames = 1;
  c.samples = int64_t{count} * kSamplesPerBlock;
  c.run = [signal, out, cursor, state, encode] {
    const int32_t first = cursor->Next();
    if (first == 0) *state = AdpcmCodecState{1, kAdpcmPcmBytesPerBlock, 0, {}};
    encode(*state, out->data() + size_t{kAdpcmBlockBytes} * first,
           signal->pcm.data() + size_t{kAdpcmPcmBytesPerBlock} * first, cursor->count);
  };
  c.check = [signal, out, count, mode, run = c.run] {
    for (int32_t i = 0; i < kLongBlocks / count; ++i) run();
    if (mode.rfind("search", 0) == 0) return DecodedError(*signal, *out) < DecodedError(*signal, signal->carried);
    return *out == (mode == "carried" ? signal->carried : signal->blocks);
  };
  return c;
}

}  // namespace

std::vector<Case> CodecCases() {
  const std::shared_ptr<const Signal> signal = MakeSignal();
  std::vector<Case> cases;
  for (int32_t count : {kLongBlocks, kFrameBlocks}) {
    cases.push_back(EncodeCase("reference", signal, count, nullptr));
    for (int32_t i = 0; i < AdpcmPathCount(); ++i) {
      cases.push_back(EncodeCase(AdpcmPathAt(i).name, signal, count, AdpcmPathAt(i).encode));
    }
    cases.push_back(EncodeCase("widest", signal, count, EncodeAdpcmBlocks));
  }
  for (int32_t count : {kLongBlocks, kFrameBlocks}) {
    cases.push_back(DecodeCase("reference", signal, count, nullptr));
    for (int32_t i = 0; i < AdpcmPathCount(); ++i) {
      if (AdpcmPathAt(i).decode != nullptr) {
        cases.push_back(DecodeCase(AdpcmPathAt(i).name, signal, count, AdpcmPathAt(i).decode));
      }
    }
    cases.push_back(DecodeCase("widest", signal, count, DecodeAdpcmBlocks));
  }
  for (int32_t count : {kFrameBlocks8k, kFrameBlocks, kFrameBlocks48k}) {
    cases.push_back(ModeCase("specified", signal, count, EncodeAdpcmBlocks));
    cases.push_back(ModeCase("carried", signal, count, EncodeAdpcmBlocksCarried));
    cases.push_back(ModeCase("search", signal, count, SearchAdpcmBlocks));
    // One frame size only: its time per sample is the same at every rate, and its check,
    // the whole signal searched, is the longest of all cases.
    if (count == kFrameBlocks8k) cases.push_back(ModeCase("search-deep", signal, count, SearchAdpcmBlocksDeep));
  }
  return cases;
}

void PrintSummary(const std::vector<Result>& results, std::FILE* out) {
  std::fprintf(out, "\n%-34s %14s %12s %14s %18s\n", "case (min of runs)", "ns per run", "ns/sample",
               "x transcription", "streams per core");
  for (const Result& r : results) {
    const Case& c = *r.bench;
    std::fprintf(out, "%-34s %14.0f", c.name.c_str(), r.nsPerRun);
    if (c.samples > 0) {
      std::fprintf(out, " %12.3f", r.nsPerRun / static_cast<double>(c.samples));
    } else {
      std::fprintf(out, " %12s", "");
    }
    double ratio = 0;
    for (const Result& base : results) {
      if (!c.baseline.empty() && base.bench->name == c.baseline) ratio = base.nsPerRun / r.nsPerRun;
    }
    if (ratio > 0) {
      std::fprintf(out, " %13.2fx", ratio);
    } else {
      std::fprintf(out, " %14s", "");
    }
    if (c.frames > 0) std::fprintf(out, " %18.0f", kFrameNs * static_cast<double>(c.frames) / r.nsPerRun);
    std::fprintf(out, "\n");
  }
  for (const Result& r : results) {
    if (r.bench->note) std::fprintf(out, "%s: %s\n", r.bench->name.c_str(), r.bench->note().c_str());
  }
}

}  // namespace zbbench
