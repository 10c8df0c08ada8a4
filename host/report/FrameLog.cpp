// Building and writing the per-frame account.
#include "host/report/FrameLog.h"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "host/report/Report.h"

namespace zbhost {

namespace {

std::string FateName(const std::map<int32_t, LinkFate>& fates, int32_t frame) {
  const auto found = fates.find(frame);
  if (found == fates.end()) return "not sent";
  const LinkFate& fate = found->second;
  if (fate.dropped) return "dropped";
  const bool duplicated = fate.deliveries > 1;
  if (fate.reordered) return duplicated ? "reordered+duplicated" : "reordered";
  return duplicated ? "duplicated" : "delivered";
}

bool Dropped(const std::map<int32_t, LinkFate>& fates, int32_t frame) {
  const auto found = fates.find(frame);
  return found != fates.end() && found->second.dropped;
}

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

std::vector<FrameRow> FrameRows(const StreamResult& result, const std::vector<int16_t>& lossless,
                                const FrameLayout& layout) {
  std::vector<FrameRow> rows;
  rows.reserve(static_cast<size_t>(layout.frameCount));
  for (int32_t frame = 0; frame < layout.frameCount; ++frame) {
    FrameRow row;
    row.frame = frame;
    row.startSeconds = FrameSeconds(frame);
    row.data = FateName(result.link.dataFates, frame);
    row.parity = FateName(result.link.parityFates, frame);
    row.dataDropped = Dropped(result.link.dataFates, frame);
    row.parityDropped = Dropped(result.link.parityFates, frame);
    row.outcome = result.outcomes[static_cast<size_t>(frame)];
    // The last frame may be short: the decode is trimmed to the input's length.
    const size_t first = static_cast<size_t>(frame) * layout.frameSamples;
    const size_t last = std::min(first + layout.frameSamples, result.output.size());
    row.snrDb =
        SnrDb(std::vector<int16_t>(lossless.begin() + first, lossless.begin() + last),
              std::vector<int16_t>(result.output.begin() + first, result.output.begin() + last));
    rows.push_back(row);
  }
  return rows;
}

const char* OutcomeName(FrameOutcome outcome) {
  switch (outcome) {
    case FrameOutcome::Received:
      return "received";
    case FrameOutcome::Rebuilt:
      return "rebuilt";
    case FrameOutcome::Concealed:
      return "concealed";
    case FrameOutcome::Lost:
      break;
  }
  return "lost";
}

bool IsAffected(const FrameRow& row) {
  return row.dataDropped || row.parityDropped || row.outcome == FrameOutcome::Lost ||
         row.outcome == FrameOutcome::Concealed;
}

bool WantsJsonLines(const std::string& path) {
  return EndsWith(path, ".jsonl") || EndsWith(path, ".ndjson");
}

std::string FramesCsv(const std::vector<FrameRow>& rows) {
  std::string out = "frame,start_s,data,parity,result,snr_vs_lossless_db\n";
  for (const FrameRow& row : rows) {
    // "inf": the frame equals the lossless decode; "-inf": the lossless frame is silent.
    const std::string snr =
        std::isinf(row.snrDb) ? (row.snrDb > 0 ? "inf" : "-inf") : fmt::format("{:.2f}", row.snrDb);
    out += fmt::format("{},{:.2f},{},{},{},{}\n", row.frame, row.startSeconds, row.data, row.parity,
                       OutcomeName(row.outcome), snr);
  }
  return out;
}

std::string FramesJsonLines(const std::vector<FrameRow>& rows) {
  std::string out;
  for (const FrameRow& row : rows) {
    nlohmann::json line = {
        {"frame", row.frame},
        {"start_s", row.startSeconds},
        {"data", row.data},
        {"parity", row.parity},
        {"result", OutcomeName(row.outcome)},
        {"identical_to_lossless", std::isinf(row.snrDb) && row.snrDb > 0},
        {"snr_vs_lossless_db",
         std::isfinite(row.snrDb) ? nlohmann::json(row.snrDb) : nlohmann::json(nullptr)}};
    out += line.dump() + "\n";
  }
  return out;
}

}  // namespace zbhost
