// Working out and writing the report.
#include "host/Report.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <fmt/format.h>

namespace zbhost {

namespace {

constexpr double kBitsPerByte = 8.0;
constexpr double kBitsPerKilobit = 1000.0;
constexpr double kPercent = 100.0;
constexpr double kDecibelsPerDecade = 10.0;

std::string Db(double value) {
  if (std::isinf(value)) return value > 0 ? "identical (no error)" : "no signal left";
  return fmt::format("{:.2f} dB", value);
}

nlohmann::json JsonDb(double value) {
  if (std::isfinite(value)) return std::round(value * kPercent) / kPercent;
  return nullptr;
}

std::string Plural(int64_t count, const char* word) {
  return fmt::format("{} {}{}", count, word, count == 1 ? "" : "s");
}

}  // namespace

double SnrDb(const std::vector<int16_t>& reference, const std::vector<int16_t>& test) {
  double signal = 0;
  double noise = 0;
  const size_t count = std::max(reference.size(), test.size());
  for (size_t i = 0; i < count; ++i) {
    const double x = i < reference.size() ? reference[i] : 0;
    const double y = i < test.size() ? test[i] : 0;
    signal += x * x;
    noise += (x - y) * (x - y);
  }
  if (noise == 0) return std::numeric_limits<double>::infinity();
  if (signal == 0) return -std::numeric_limits<double>::infinity();
  return kDecibelsPerDecade * std::log10(signal / noise);
}

Figures ComputeFigures(const StreamResult& result, const std::vector<int16_t>& input,
                       const std::vector<int16_t>& lossless, const FrameLayout& layout,
                       const AllocatorCounters& allocator) {
  const LinkCounters& link = result.link;
  const SinkCounters& sink = result.sink;
  Figures f;
  f.sentData = link.sentData;
  f.sentParity = link.sentParity;
  f.droppedData = link.droppedData;
  f.droppedParity = link.droppedParity;
  f.duplicatedByLink = link.duplicated;
  f.reorderedByLink = link.reordered;
  f.repaired = sink.rebuilt;
  // A data delivery that rendered nothing was a frame already rendered (a copy, or a late
  // frame rebuilt before it came); a parity delivery beyond the first of its number, too.
  const int64_t distinctParity = static_cast<int64_t>(link.paritySeqsDelivered.size());
  f.duplicatesDropped = std::max<int64_t>(0, link.deliveredData - sink.received) +
                        (link.deliveredParity - distinctParity);
  int64_t parityUsed = 0;
  for (int32_t seq : sink.paritySeqsUsed) parityUsed += link.paritySeqsDelivered.count(seq);
  f.parityNotNeeded = distinctParity - parityUsed;
  f.lostForGood = sink.lostForGood;
  f.longestLostRun = sink.longestLostRun;
  f.concealed = sink.concealed;
  f.renderedAgain = sink.renderedAgain;
  f.unusable = sink.unusable;
  f.residualLossPercent =
      layout.frameCount > 0 ? kPercent * static_cast<double>(sink.lostForGood) / layout.frameCount : 0;
  f.snrInputDb = SnrDb(input, result.output);
  f.snrLosslessDb = SnrDb(lossless, result.output);
  f.identicalToLossless = lossless == result.output;
  const double seconds = layout.Seconds();
  if (seconds > 0) {
    f.kbpsDataOnly = static_cast<double>(link.dataBytes) * kBitsPerByte / seconds / kBitsPerKilobit;
    f.kbpsWithParity = static_cast<double>(link.dataBytes + link.parityBytes) * kBitsPerByte /
                       seconds / kBitsPerKilobit;
  }
  f.speedRealTime = result.processingSeconds > 0 ? seconds / result.processingSeconds : 0;
  f.allocator = allocator;
  return f;
}

std::string PlainReport(const RunDescription& run, const Figures& f) {
  std::string out;
  auto line = [&out](const std::string& label, const std::string& value) {
    out += fmt::format("{:<26}{}\n", label, value);
  };
  const std::string input = run.input.empty() ? "built-in speech-like signal" : run.input;
  line("input", fmt::format("{}, {:.2f} s{}", input, run.inputSeconds,
                            run.inputFormat.empty() ? "" : " (" + run.inputFormat + ")"));
  line("stream", fmt::format("{} Hz mono, {} frames of {} ms, parity {}", run.layout.rate,
                             run.layout.frameCount, kFrameMs, run.parity ? "on" : "off"));
  std::string link = run.link;
  if (run.duplicatePercent > 0) link += fmt::format(", {:g} % duplicated", run.duplicatePercent);
  if (run.reorderPercent > 0) link += fmt::format(", {:g} % reordered", run.reorderPercent);
  line("link", link);
  if (run.random) line("seed", fmt::format("{} (the same seed gives the same report)", run.seed));
  line("library", run.library);
  out += "\n";
  line("frames sent", fmt::format("{} data, {} parity", f.sentData, f.sentParity));
  line("dropped by the link", fmt::format("{} data, {} parity", f.droppedData, f.droppedParity));
  if (f.duplicatedByLink > 0 || f.reorderedByLink > 0) {
    line("disturbed by the link",
         fmt::format("{} duplicated, {} reordered", f.duplicatedByLink, f.reorderedByLink));
  }
  line("repaired from parity", Plural(f.repaired, "frame"));
  line("duplicates dropped", Plural(f.duplicatesDropped, "frame"));
  line("parity not needed", Plural(f.parityNotNeeded, "frame"));
  std::string lost = Plural(f.lostForGood, "frame");
  if (f.lostForGood > 0) {
    lost += fmt::format(", longest run {}", Plural(f.longestLostRun, "frame"));
    lost += run.conceal ? fmt::format(", {} concealed by repetition", f.concealed)
                        : std::string(", filled with silence");
  }
  line("lost for good", lost);
  if (f.renderedAgain > 0) line("rendered twice", Plural(f.renderedAgain, "frame"));
  if (f.unusable > 0) line("unusable renders", Plural(f.unusable, "frame"));
  line("residual loss rate", fmt::format("{:.2f} %", f.residualLossPercent));
  line("SNR vs input", Db(f.snrInputDb));
  line("SNR vs lossless decode",
       f.identicalToLossless ? std::string("identical to the lossless decode") : Db(f.snrLosslessDb));
  line("bit rate", fmt::format("{:.1f} kbit/s with parity, {:.1f} kbit/s without", f.kbpsWithParity,
                               f.kbpsDataOnly));
  line("speed", fmt::format("{:.0f} x real time", f.speedRealTime));
  const int64_t leaked = f.allocator.live;
  line("frame buffers", fmt::format("{} taken from the host allocator, {}", f.allocator.allocations,
                                    leaked == 0 ? std::string("all returned")
                                                : fmt::format("{} never returned", leaked)));
  if (!run.output.empty()) line("output", run.output);
  return out;
}

nlohmann::json JsonReport(const RunDescription& run, const Figures& f) {
  nlohmann::json j;
  j["input"] = run.input.empty() ? nlohmann::json(nullptr) : nlohmann::json(run.input);
  j["input_seconds"] = run.inputSeconds;
  j["library"] = run.library;
  j["output"] = run.output.empty() ? nlohmann::json(nullptr) : nlohmann::json(run.output);
  j["rate_hz"] = run.layout.rate;
  j["frame_ms"] = kFrameMs;
  j["frames"] = run.layout.frameCount;
  j["parity"] = run.parity;
  j["conceal"] = run.conceal;
  j["link"] = {{"loss", run.link},
               {"duplicate_percent", run.duplicatePercent},
               {"reorder_percent", run.reorderPercent}};
  j["seed"] = run.random ? nlohmann::json(run.seed) : nlohmann::json(nullptr);
  j["frames_sent"] = {{"data", f.sentData}, {"parity", f.sentParity}};
  j["dropped_by_link"] = {{"data", f.droppedData}, {"parity", f.droppedParity}};
  j["duplicated_by_link"] = f.duplicatedByLink;
  j["reordered_by_link"] = f.reorderedByLink;
  j["repaired_from_parity"] = f.repaired;
  j["duplicates_dropped"] = f.duplicatesDropped;
  j["parity_not_needed"] = f.parityNotNeeded;
  j["lost_for_good"] = f.lostForGood;
  j["longest_lost_run"] = f.longestLostRun;
  j["concealed"] = f.concealed;
  j["rendered_twice"] = f.renderedAgain;
  j["unusable_renders"] = f.unusable;
  j["residual_loss_percent"] = f.residualLossPercent;
  j["snr_vs_input_db"] = JsonDb(f.snrInputDb);
  j["snr_vs_lossless_db"] = JsonDb(f.snrLosslessDb);
  j["identical_to_lossless"] = f.identicalToLossless;
  j["bit_rate_kbps"] = {{"with_parity", f.kbpsWithParity}, {"without_parity", f.kbpsDataOnly}};
  j["speed_x_real_time"] = f.speedRealTime;
  j["frame_buffers"] = {{"allocated", f.allocator.allocations},
                        {"freed", f.allocator.frees},
                        {"leaked", f.allocator.live},
                        {"foreign_frees", f.allocator.foreignFrees},
                        {"peak_live", f.allocator.peakLive}};
  return j;
}

}  // namespace zbhost
