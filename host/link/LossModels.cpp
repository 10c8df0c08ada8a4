// Loss models of the lossy link and the parser of their texts.
#include "host/link/LossModels.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "Include/QV_Interface/zbav_abi.h"
#include "host/base/HostError.h"
#include "host/io/FileName.h"

namespace zbhost {

namespace {

constexpr double kPercent = 100.0;
constexpr int kMantissaBits = 53;  // bits of a double's significand
constexpr int kHashBits = 64;
constexpr int kTypeBits = 8;  // a frame's key: its number above its type code
constexpr int64_t kMaxRangeFrames = int64_t{1} << 20;  // bounds the memory a list may take
constexpr size_t kMaxListFrames = size_t{1} << 22;     // and all its entries together
constexpr size_t kMaxListedBeyond = 5;  // entries a warning names before "..."
constexpr unsigned char kFirstPrintable = 0x20;  // below: control characters
constexpr size_t kListReadBytes = 1 << 16;  // a loss list file is read this much at a time

// A frame list is text: no NUL bytes, no control characters but tabs and line ends.
bool IsText(std::string_view content) {
  return std::none_of(content.begin(), content.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u < kFirstPrintable && c != '\t' && c != '\n' && c != '\r';
  });
}

std::string EntryName(const FrameRef& entry) {
  return fmt::format("{}{}", entry.first == AV_TYPE_ADPCM_PARITY ? 'p' : 'd', entry.second);
}

int32_t ParseSeq(const std::string& text, const std::string& entry) {
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (text.empty() || end != text.c_str() + text.size() || errno != 0 || value < 0 ||
      value > INT32_MAX || text[0] == '+' || text[0] == '-') {
    throw std::invalid_argument(fmt::format("bad frame list entry '{}'", entry));
  }
  return static_cast<int32_t>(value);
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream stream(text);
  while (std::getline(stream, part, separator)) parts.push_back(part);
  if (!text.empty() && text.back() == separator) parts.emplace_back();
  return parts;
}

// The whole of the loss list file `path`, read a block at a time so that an endless or
// binary source (/dev/zero, /dev/urandom) is refused at its first block or at the bound.
std::string ReadLossList(const std::string& path) {
  const std::string shown = DisplayName(path);
  std::error_code error;
  if (std::filesystem::is_directory(path, error)) {
    throw HostError(kExitInput, fmt::format("cannot read the loss list '{}': it is a directory", shown));
  }
  std::ifstream file(path, std::ios::binary);
  if (!file) throw HostError(kExitInput, fmt::format("cannot read the loss list '{}'", shown));
  std::string content;
  std::string block(kListReadBytes, '\0');
  while (file) {
    file.read(block.data(), static_cast<std::streamsize>(block.size()));
    const std::string_view got(block.data(), static_cast<size_t>(file.gcount()));
    if (!IsText(got)) {
      throw HostError(kExitInput, fmt::format("the loss list '{}' is not text: write entries such as "
                                              "d5, p7 or d10-12", shown));
    }
    if (content.size() + got.size() > kMaxLossListBytes) {
      throw HostError(kExitInput,
                      fmt::format("the loss list '{}' is larger than {} MiB: name ranges (d10-400) "
                                  "rather than every frame", shown, kMaxLossListBytes >> 20));
    }
    content += got;
  }
  if (file.bad()) throw HostError(kExitInput, fmt::format("cannot read the loss list '{}'", shown));
  return content;
}

class NoLoss : public LossModel {
 public:
  bool Drops(uint8_t, int32_t) override { return false; }
};

// SplitMix64's finaliser: every input bit moves every output bit.
uint64_t Mix(uint64_t x) {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

class RandomLoss : public LossModel {
 public:
  RandomLoss(double percent, uint64_t seed) : m_percent(percent), m_random(seed, kStreamLoss) {}
  bool Drops(uint8_t type, int32_t seq) override { return m_random.Chance(m_percent, {type, seq}); }

 private:
  double m_percent;
  SeededRandom m_random;
};

class GilbertLoss : public LossModel {
 public:
  GilbertLoss(const GilbertParams& params, uint64_t seed)
      : m_params(params), m_random(seed, kStreamLoss), m_state(seed, kStreamBurstState) {}
  // The state moves once per frame number, before that number's data and parity frames are
  // decided; frames come in rising order, a held-back one at most one number late.
  bool Drops(uint8_t type, int32_t seq) override {
    for (; m_nStateSeq < seq; ++m_nStateSeq) {
      const FrameRef step{0, m_nStateSeq + 1};
      m_bBad = m_bBad ? !m_state.Chance(m_params.leaveBad, step)
                      : m_state.Chance(m_params.enterBad, step);
    }
    return m_random.Chance(m_bBad ? m_params.lossBad : m_params.lossGood, {type, seq});
  }

 private:
  GilbertParams m_params;
  SeededRandom m_random;
  SeededRandom m_state;
  int32_t m_nStateSeq = -1;  // the frame number the state belongs to
  bool m_bBad = false;       // the chain starts in the good state
};

class ListLoss : public LossModel {
 public:
  explicit ListLoss(std::set<FrameRef> dropped) : m_dropped(std::move(dropped)) {}
  bool Drops(uint8_t type, int32_t seq) override { return m_dropped.count({type, seq}) != 0; }

 private:
  std::set<FrameRef> m_dropped;
};

}  // namespace

double ParsePercent(const std::string& text, const std::string& what) {
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || end != text.c_str() + text.size() || errno != 0 || !std::isfinite(value) ||
      value < 0 || value > kPercent) {
    throw std::invalid_argument(
        fmt::format("{} must be a percentage from 0 to 100, not '{}'", what, text));
  }
  return value;
}

SeededRandom::SeededRandom(uint64_t seed, uint32_t stream) : m_key(Mix(Mix(seed) ^ stream)) {}

double SeededRandom::Uniform(const FrameRef& frame) const {
  const uint64_t key = (static_cast<uint64_t>(static_cast<uint32_t>(frame.second)) << kTypeBits) |
                       frame.first;
  // The top 53 bits make an exactly representable fraction, the same on every platform.
  return std::ldexp(static_cast<double>(Mix(m_key ^ Mix(key)) >> (kHashBits - kMantissaBits)),
                    -kMantissaBits);
}

bool SeededRandom::Chance(double percent, const FrameRef& frame) const {
  return Uniform(frame) * kPercent < percent;
}

void ParseFrameList(const std::string& text, std::set<FrameRef>& dropped) {
  std::string cleaned;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    cleaned += line.substr(0, line.find('#'));
    cleaned += ' ';
  }
  for (char& c : cleaned) {
    if (c == ',' || c == '\t' || c == '\r') c = ' ';
  }
  std::istringstream entries(cleaned);
  std::string entry;
  while (entries >> entry) {
    uint8_t type = AV_TYPE_ADPCM;
    std::string range = entry;
    if (range[0] == 'd' || range[0] == 'D' || range[0] == 'p' || range[0] == 'P') {
      type = (range[0] == 'p' || range[0] == 'P') ? AV_TYPE_ADPCM_PARITY : AV_TYPE_ADPCM;
      range.erase(0, 1);
    }
    const size_t dash = range.find('-');
    const int32_t first = ParseSeq(range.substr(0, dash), entry);
    const int32_t last = dash == std::string::npos ? first : ParseSeq(range.substr(dash + 1), entry);
    if (last < first) throw std::invalid_argument(fmt::format("empty range in '{}'", entry));
    if (int64_t{last} - first >= kMaxRangeFrames) {
      throw std::invalid_argument(fmt::format("range too long in '{}'", entry));
    }
    for (int64_t seq = first; seq <= last; ++seq) dropped.insert({type, static_cast<int32_t>(seq)});
    if (dropped.size() > kMaxListFrames) {
      throw std::invalid_argument(fmt::format("the frame list names more than {} frames", kMaxListFrames));
    }
  }
}

LossPlan ParseLossPlan(const std::string& text) {
  LossPlan plan;
  const size_t colon = text.find(':');
  const std::string name = text.substr(0, colon);
  const std::string args = colon == std::string::npos ? std::string() : text.substr(colon + 1);
  if (name == "none" && colon == std::string::npos) return plan;
  if (name == "random" && colon != std::string::npos) {
    plan.kind = LossPlan::Kind::Random;
    plan.percent = ParsePercent(args, "the random loss rate");
    return plan;
  }
  if ((name == "gilbert" || name == "burst") && colon != std::string::npos) {
    const std::vector<std::string> parts = Split(args, ',');
    constexpr size_t kMinParts = 2;
    constexpr size_t kMaxParts = 4;
    if (parts.size() < kMinParts || parts.size() > kMaxParts) {
      throw std::invalid_argument(
          fmt::format("the bursty model takes 2 to 4 percentages: ENTER,LEAVE[,LOSS_BAD[,LOSS_GOOD]],"
                      " not '{}'", args));
    }
    plan.kind = LossPlan::Kind::Gilbert;
    plan.gilbert.enterBad = ParsePercent(parts[0], "the chance to enter the bad state");
    plan.gilbert.leaveBad = ParsePercent(parts[1], "the chance to leave the bad state");
    if (parts.size() > 2) plan.gilbert.lossBad = ParsePercent(parts[2], "the loss in the bad state");
    if (parts.size() > 3) plan.gilbert.lossGood = ParsePercent(parts[3], "the loss in the good state");
    return plan;
  }
  if (name == "list" && colon != std::string::npos) {
    plan.kind = LossPlan::Kind::List;
    ParseFrameList(args, plan.dropped);
    return plan;
  }
  if (name == "file" && colon != std::string::npos && !args.empty()) {
    plan.kind = LossPlan::Kind::List;
    plan.source = DisplayName(args);
    ParseFrameList(ReadLossList(args), plan.dropped);
    return plan;
  }
  throw std::invalid_argument(fmt::format(
      "unknown loss model '{}': use none, random:PCT, gilbert:ENTER,LEAVE[,LOSS_BAD[,LOSS_GOOD]],"
      " list:ENTRIES or file:PATH", text));
}

std::string DescribeLossPlan(const LossPlan& plan) {
  switch (plan.kind) {
    case LossPlan::Kind::None:
      return "no loss";
    case LossPlan::Kind::Random:
      return fmt::format("random loss {:g} %", plan.percent);
    case LossPlan::Kind::Gilbert:
      return fmt::format(
          "bursty loss (Gilbert-Elliott: enter bad {:g} %, leave bad {:g} %, loss {:g} % bad, "
          "{:g} % good)",
          plan.gilbert.enterBad, plan.gilbert.leaveBad, plan.gilbert.lossBad,
          plan.gilbert.lossGood);
    case LossPlan::Kind::List:
      return fmt::format("explicit list of {} dropped frames{}", plan.dropped.size(),
                         plan.source.empty() ? std::string() : " from " + plan.source);
  }
  return {};
}

std::string DescribeEntriesBeyond(const LossPlan& plan, int32_t frameCount) {
  std::vector<FrameRef> beyond;
  for (const FrameRef& entry : plan.dropped) {
    // Parity frame n pairs data frames n-1 and n, so there is no parity frame 0.
    const bool parityZero = entry.first == AV_TYPE_ADPCM_PARITY && entry.second == 0;
    if (entry.second >= frameCount || parityZero) beyond.push_back(entry);
  }
  if (beyond.empty()) return {};
  std::string names;
  for (size_t i = 0; i < beyond.size() && i < kMaxListedBeyond; ++i) {
    names += (i == 0 ? "" : ", ") + EntryName(beyond[i]);
  }
  if (beyond.size() > kMaxListedBeyond) names += ", ...";
  return fmt::format("the loss list names {} frame{} the stream never sends ({}); it has data frames "
                     "0 to {} and parity frames 1 to {}",
                     beyond.size(), beyond.size() == 1 ? "" : "s", names, frameCount - 1, frameCount - 1);
}

std::unique_ptr<LossModel> MakeLossModel(const LossPlan& plan, uint64_t seed) {
  switch (plan.kind) {
    case LossPlan::Kind::Random:
      return std::make_unique<RandomLoss>(plan.percent, seed);
    case LossPlan::Kind::Gilbert:
      return std::make_unique<GilbertLoss>(plan.gilbert, seed);
    case LossPlan::Kind::List:
      return std::make_unique<ListLoss>(plan.dropped);
    case LossPlan::Kind::None:
      break;
  }
  return std::make_unique<NoLoss>();
}

}  // namespace zbhost
