// Loss models of the lossy link: which frames the network drops. A model is chosen by a
// short text ("none", "random:5", "gilbert:2,30", "list:d5,p5,d9-10", "file:PATH") and
// driven by a seed, so the same text and seed drop the same frames on every run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <utility>

namespace zbhost {

// The largest loss list file read (bytes): hours of frames named one by one.
inline constexpr size_t kMaxLossListBytes = size_t{16} << 20;

// A frame named by its type code (data or parity) and its sequence number.
using FrameRef = std::pair<uint8_t, int32_t>;

// Draws of one numbered stream of a seed, each one fixed by the frame it decides about and
// by nothing else: a frame's fate does not depend on which other frames were sent (parity on
// or off) or in what order, so every --compare column and a run of its own with the same seed
// see the same decisions. Separate streams keep the loss pattern unchanged when, say,
// duplication is switched on as well.
class SeededRandom {
 public:
  SeededRandom(uint64_t seed, uint32_t stream);
  double Uniform(const FrameRef& frame) const;                // in [0, 1)
  bool Chance(double percent, const FrameRef& frame) const;   // true with chance percent / 100

 private:
  uint64_t m_key;
};

// Seed streams of the link's random decisions.
enum SeedStream : uint32_t {
  kStreamLoss = 1,
  kStreamDuplicate = 2,
  kStreamReorder = 3,
  kStreamBurstState = 4,  // the bursty model's state changes, one per frame number
};

// Two-state bursty loss: per frame the state may change, then the frame is lost with the
// state's loss probability. All figures in percent.
struct GilbertParams {
  double enterBad = 0;    // chance per frame to go from the good to the bad state
  double leaveBad = 0;    // chance per frame to go from the bad back to the good state
  double lossBad = 100;   // loss chance in the bad state
  double lossGood = 0;    // loss chance in the good state
};

struct LossPlan {
  enum class Kind { None, Random, Gilbert, List };
  Kind kind = Kind::None;
  double percent = 0;          // Random
  GilbertParams gilbert;       // Gilbert
  std::set<FrameRef> dropped;  // List
  std::string source;          // List: the file it was read from, if any

  bool IsRandom() const { return kind == Kind::Random || kind == Kind::Gilbert; }
};

// Parses a percentage from 0 to 100; throws std::invalid_argument naming `what`.
double ParsePercent(const std::string& text, const std::string& what);

// Parses a model text; throws std::invalid_argument with a message naming the fault,
// and HostError (input) when a list file cannot be read.
LossPlan ParseLossPlan(const std::string& text);

// Parses list entries ("d5", "p7", "12", "d3-6"; commas, blanks or new lines between,
// "#" to the end of a line is a comment) into `dropped`.
void ParseFrameList(const std::string& text, std::set<FrameRef>& dropped);

// One line describing the model for the report.
std::string DescribeLossPlan(const LossPlan& plan);

// A warning naming the list entries of frames a stream of `frameCount` frames never sends;
// empty when there are none.
std::string DescribeEntriesBeyond(const LossPlan& plan, int32_t frameCount);

class LossModel {
 public:
  virtual ~LossModel() = default;
  // Decides the fate of the next frame the link carries: true drops it.
  virtual bool Drops(uint8_t type, int32_t seq) = 0;
};

std::unique_ptr<LossModel> MakeLossModel(const LossPlan& plan, uint64_t seed);

}  // namespace zbhost
