// Building and writing the per-frame account.
#include "host/report/FrameLog.h"

#include <algorithm>
#include <cctype>
#include <cmath>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "host/report/Report.h"

namespace zbhost {

namespace {

constexpr size_t kDrainBytes = 1 << 16;  // rows gather up to this before a write

const char* FateName(const LinkFate& fate, bool sent) {
  if (!sent) return "not sent";
  if (fate.dropped) return "dropped";
  const bool duplicated = fate.deliveries > 1;
  if (fate.reordered) return duplicated ? "reordered+duplicated" : "reordered";
  return duplicated ? "duplicated" : "delivered";
}

// Whether `text` ends in `suffix`, in either case (.JSON as well as .json).
bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         std::equal(suffix.begin(), suffix.end(), text.end() - static_cast<std::ptrdiff_t>(suffix.size()),
                    [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) ==
                                                std::tolower(static_cast<unsigned char>(b)); });
}

}  // namespace

FrameRow MakeFrameRow(int32_t index, const ChainFrame& frame, const int16_t* lossless, size_t length) {
  FrameRow row;
  row.frame = index;
  row.startSeconds = FrameSeconds(index);
  row.data = FateName(frame.fate.data, frame.fate.dataSent);
  row.parity = FateName(frame.fate.parity, frame.fate.paritySent);
  row.dataDropped = frame.fate.data.dropped;
  row.parityDropped = frame.fate.parity.dropped;
  row.outcome = frame.frame.outcome;
  SnrSum sum;
  sum.Add(lossless, frame.frame.samples, length);
  row.snrDb = sum.Db();
  return row;
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

FrameTableFormat FrameTableFormatFor(const std::string& path) {
  if (EndsWith(path, ".jsonl") || EndsWith(path, ".ndjson")) return FrameTableFormat::JsonLines;
  if (EndsWith(path, ".json")) return FrameTableFormat::Json;
  return FrameTableFormat::Csv;
}

FrameTable::FrameTable(OutputFile& target, FrameTableFormat format, std::optional<uint64_t> seed)
    : m_target(target), m_format(format), m_seed(seed) {
  if (m_format == FrameTableFormat::Csv) {
    m_buffer = "frame,start_s,data,parity,result,snr_vs_lossless_db,lsd_vs_lossless_db,seed\n";
  } else if (m_format == FrameTableFormat::Json) {
    m_buffer = "[";
  }
}

void FrameTable::Add(const FrameRow& row) {
  if (m_format == FrameTableFormat::Csv) {
    // "inf": the frame equals the lossless decode; "-inf": the lossless frame is silent.
    const std::string snr = std::isinf(row.snrDb) ? (row.snrDb > 0 ? "inf" : "-inf")
                                                  : fmt::format("{:.2f}", row.snrDb);
    // An empty LSD: the frame was not lost, or held no speech.
    const std::string lsd = row.lsdDb ? fmt::format("{:.2f}", *row.lsdDb) : std::string();
    const std::string seed = m_seed ? std::to_string(*m_seed) : std::string();
    m_buffer += fmt::format("{},{:.2f},{},{},{},{},{},{}\n", row.frame, row.startSeconds, row.data,
                            row.parity, OutcomeName(row.outcome), snr, lsd, seed);
  } else {
    const nlohmann::json line = {
        {"frame", row.frame},
        {"start_s", row.startSeconds},
        {"data", row.data},
        {"parity", row.parity},
        {"result", OutcomeName(row.outcome)},
        {"identical_to_lossless", std::isinf(row.snrDb) && row.snrDb > 0},
        {"snr_vs_lossless_db",
         std::isfinite(row.snrDb) ? nlohmann::json(row.snrDb) : nlohmann::json(nullptr)},
        {"lsd_vs_lossless_db", row.lsdDb ? nlohmann::json(*row.lsdDb) : nlohmann::json(nullptr)},
        {"seed", m_seed ? nlohmann::json(*m_seed) : nlohmann::json(nullptr)}};
    if (m_format == FrameTableFormat::Json) m_buffer += m_bFirst ? "\n" : ",\n";
    m_buffer += line.dump();
    if (m_format == FrameTableFormat::JsonLines) m_buffer += "\n";
  }
  m_bFirst = false;
  Drain(false);
}

void FrameTable::Finish() {
  if (m_format == FrameTableFormat::Json) m_buffer += "\n]\n";
  Drain(true);
}

void FrameTable::Drain(bool always) {
  if (!always && m_buffer.size() < kDrainBytes) return;
  m_target.Write(m_buffer);
  m_buffer.clear();
}

}  // namespace zbhost
