// Working out and writing the report.
#include "host/report/Report.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>

#include <fmt/format.h>

#include "host/io/OutputFile.h"

namespace zbhost {

namespace {

constexpr double kBitsPerByte = 8.0;
constexpr double kBitsPerKilobit = 1000.0;
constexpr double kPercent = 100.0;
constexpr double kDecibelsPerDecade = 10.0;
constexpr double kShortestInSeconds = 0.01;  // shorter durations are given in milliseconds
constexpr int kLabelWidth = 26;
constexpr int kColumnWidth = 22;
constexpr char kNotApplicable[] = "-";

std::string Db(double value) {
  if (std::isinf(value)) return value > 0 ? "identical (no error)" : "no signal left";
  if (std::isnan(value)) return "undefined: the input is silent";
  return fmt::format("{:.2f} dB", value);
}

// A figure rounded to 1/scale; null when it is missing (NaN) or infinite.
nlohmann::ordered_json JsonFigure(double value, double scale) {
  if (std::isfinite(value)) return std::round(value * scale) / scale;
  return nullptr;
}

nlohmann::ordered_json JsonDb(double value) { return JsonFigure(value, kPercent); }

constexpr double kStoiScale = 1000.0;  // STOI to three decimals
constexpr char kFigureGuide[] =
    "SNR: coding error; STOI: intelligibility; LSD: how close a fill's spectrum is";

std::string DbOrNone(double value) {
  return std::isfinite(value) ? fmt::format("{:.2f} dB", value) : std::string(kNotApplicable);
}

std::string StoiText(double value) {
  return std::isfinite(value) ? fmt::format("{:.3f}", value) : std::string(kNotApplicable);
}

nlohmann::ordered_json JsonSpeech(const SpeechFigures& f) {
  return {{"segmental_snr_db", JsonDb(f.segmentalSnrDb)},
          {"stoi", JsonFigure(f.stoi, kStoiScale)},
          {"lost_speech_frames", f.lostSpeechFrames},
          {"lost_speech_lsd_db", JsonDb(f.lostLsdDb)}};
}

nlohmann::ordered_json NullIfEmpty(const std::string& text) {
  return text.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(text);
}

nlohmann::ordered_json JsonLossPlan(const LossPlan& plan) {
  switch (plan.kind) {
    case LossPlan::Kind::None:
      return {{"model", "none"}};
    case LossPlan::Kind::Random:
      return {{"model", "random"}, {"percent", plan.percent}};
    case LossPlan::Kind::Gilbert:
      return {{"model", "gilbert"},
              {"enter_bad_percent", plan.gilbert.enterBad},
              {"leave_bad_percent", plan.gilbert.leaveBad},
              {"loss_bad_percent", plan.gilbert.lossBad},
              {"loss_good_percent", plan.gilbert.lossGood}};
    case LossPlan::Kind::List: {
      nlohmann::ordered_json data = nlohmann::ordered_json::array();
      nlohmann::ordered_json parity = nlohmann::ordered_json::array();
      for (const FrameRef& entry : plan.dropped) {
        (entry.first == AV_TYPE_ADPCM_PARITY ? parity : data).push_back(entry.second);
      }
      return {{"model", "list"},
              {"data_frames", data},
              {"parity_frames", parity},
              {"file", NullIfEmpty(plan.source)}};
    }
  }
  return nullptr;
}

std::string LinkLine(const LinkSettings& link) {
  std::string line = DescribeLossPlan(link.loss);
  if (link.duplicatePercent > 0) line += fmt::format(", {:g} % duplicated", link.duplicatePercent);
  if (link.reorderPercent > 0) line += fmt::format(", {:g} % reordered", link.reorderPercent);
  if (link.parityDelay > 0) {
    line += fmt::format(", parity {} late (+{} ms)", Plural(link.parityDelay, "frame"), link.parityDelay * kFrameMs);
  }
  return line;
}

std::string TimingLine(const Timing& t) {
  return fmt::format(
      "reading {}, resampling {}, library {}, figures {} (and {} alongside), writing {}, plot {}, "
      "in all {}",
      FormatDuration(t.reading), FormatDuration(t.resampling), FormatDuration(t.library),
      FormatDuration(t.figures), FormatDuration(t.figuresAlongside), FormatDuration(t.writing),
      FormatDuration(t.plot), FormatDuration(t.total));
}

using LineFn = std::function<void(const std::string&, const std::string&)>;

// Appends each line to `out`, its label padded to the value column.
LineFn LinesInto(std::string& out) {
  return [&out](const std::string& label, const std::string& value) {
    out += fmt::format("{:<{}}{}\n", label, kLabelWidth, value);
  };
}

// What each encoder mode does, for the report's heading.
std::string EncoderLine(ZbEncoderMode mode) {
  switch (mode) {
    case ZB_ENCODER_CARRIED:
      return "carried (the step index carried from block to block)";
    case ZB_ENCODER_SEARCH:
      return "search (carried, each block's codes searched for the least error)";
    case ZB_ENCODER_SEARCH_DEEP:
      return "search-deep (the search, keeping more candidates)";
    case ZB_ENCODER_SPECIFIED:
      break;
  }
  return "specified (every block starts at step index 0)";
}

// `encoder`: the run's one encoder mode, in the heading; false when columns differ in it.
void Heading(const RunDescription& run, const LineFn& line, bool encoder = true) {
  if (run.input.empty()) {
    line("input",
         fmt::format("built-in speech-like signal, {}", FormatDuration(run.InputSeconds())));
  } else {
    line("input", fmt::format("{}, {} ({}, {} Hz, {})",
                              run.input == kStdStreamName ? "standard input" : run.input,
                              FormatDuration(run.InputSeconds()), run.inputFormat, run.inputRate,
                              Plural(run.inputChannels, "channel")));
  }
  line("stream", fmt::format("{} Hz mono, {} of {} ms{}", run.layout.rate,
                             Plural(run.layout.frameCount, "frame"), kFrameMs,
                             run.stream.parity ? ", parity on" : ", parity off"));
  if (encoder) line("encoder", EncoderLine(run.stream.encoder));
  line("link", LinkLine(run.stream.link));
  if (run.stream.link.IsRandom()) {
    line("seed", fmt::format("{} (the same seed gives the same report)", run.stream.link.seed));
  }
  line("library", run.library);
}

nlohmann::ordered_json JsonHeading(const RunDescription& run) {
  nlohmann::ordered_json j;
  j["schema_version"] = kReportSchemaVersion;
  j["tool"] = {{"name", "zbhost"}, {"version", ZBHOST_VERSION}};
  // The library exports no version of its own: what zbhost knows is the one it was built against.
  j["library"] = {{"path", run.library}, {"built_against_version", ZBHOST_VERSION}};
  j["input"] = {{"path", NullIfEmpty(run.input)},
                {"format", run.input.empty() ? "built-in speech-like signal" : run.inputFormat},
                {"rate_hz", run.input.empty() ? run.layout.rate : run.inputRate},
                {"channels", run.input.empty() ? 1 : run.inputChannels},
                {"seconds", run.InputSeconds()}};
  j["output"] = run.output.empty() ? nlohmann::ordered_json(nullptr)
                                   : nlohmann::ordered_json{{"path", run.output},
                                                            {"format", run.outputFormat},
                                                            {"rate_hz", run.outputRate}};
  j["rate_hz"] = run.layout.rate;
  j["frame_ms"] = kFrameMs;
  j["frames"] = run.layout.frameCount;
  const LinkSettings& link = run.stream.link;
  j["link"] = {
      {"loss", JsonLossPlan(link.loss)},
      {"description", LinkLine(link)},
      {"duplicate_percent", link.duplicatePercent},
      {"reorder_percent", link.reorderPercent},
      {"parity_delay_frames", link.parityDelay},
      {"seed",
       link.IsRandom() ? nlohmann::ordered_json(link.seed) : nlohmann::ordered_json(nullptr)}};
  j["warnings"] = run.warnings;
  j["seconds"] = {{"reading", run.timing.reading},
                  {"resampling", run.timing.resampling},
                  {"library", run.timing.library},
                  {"figures", run.timing.figures},
                  {"figures_alongside", run.timing.figuresAlongside},
                  {"writing", run.timing.writing},
                  {"plot", run.timing.plot},
                  {"total", run.timing.total}};
  return j;
}

nlohmann::ordered_json JsonFigures(const StreamResult& result, const Figures& f) {
  const LinkCounters& link = result.link;
  const SinkCounters& sink = result.sink;
  nlohmann::ordered_json j;
  j["frames_sent"] = {{"data", link.sentData}, {"parity", link.sentParity}};
  j["dropped_by_link"] = {{"data", link.droppedData}, {"parity", link.droppedParity}};
  j["duplicated_by_link"] = link.duplicated;
  j["reordered_by_link"] = link.reordered;
  j["repaired_from_parity"] = result.repaired;
  j["rebuilt_ahead_of_late_data"] = result.rebuiltAhead;
  j["decoder_rebuilds"] = sink.rebuilt;  // frames played from a rebuild out of parity
  j["duplicates_dropped"] = f.duplicatesDropped;
  j["parity_not_needed"] = f.parityNotNeeded;
  j["lost_for_good"] = sink.lost;
  j["longest_lost_run"] = sink.longestLostRun;
  j["concealed"] = sink.concealed;
  j["late_frames"] = sink.late;  // data frames that came after their frame had played
  j["invalid"] = sink.invalid;
  j["residual_loss_percent"] = f.residualLossPercent;
  j["snr_vs_input_db"] = JsonDb(f.snrInputDb);
  j["snr_vs_lossless_db"] = JsonDb(f.snrLosslessDb);
  j["identical_to_lossless"] = f.identicalToLossless;
  j["speech"] = {{"vs_input", JsonSpeech(f.speechVsInput)},
                 {"vs_lossless", JsonSpeech(f.speechVsLossless)},
                 {"read", kFigureGuide}};
  j["bit_rate_kbps"] = {{"with_parity", f.kbpsWithParity}, {"without_parity", f.kbpsDataOnly}};
  j["speed_x_real_time"] = {{"end_to_end", f.speedEndToEnd}, {"library", f.speedLibrary}};
  return j;
}

nlohmann::ordered_json JsonFrameBuffers(const AllocatorCounters& allocator) {
  return {{"allocated", allocator.allocations},
          {"freed", allocator.frees},
          {"leaked", allocator.live},
          {"foreign_frees", allocator.foreignFrees},
          {"peak_live", allocator.peakLive}};
}

std::string BitRate(const Figures& f, bool parity) {
  return parity ? fmt::format("{:.1f} kbit/s with parity, {:.1f} kbit/s without", f.kbpsWithParity,
                              f.kbpsDataOnly)
                : fmt::format("{:.1f} kbit/s (no parity frames)", f.kbpsDataOnly);
}

std::string SnrVsLossless(const Figures& f) {
  return f.identicalToLossless ? std::string("identical to the lossless decode")
                               : Db(f.snrLosslessDb);
}

}  // namespace

void SnrSum::Add(const int16_t* reference, const int16_t* test, size_t count) {
  // Whole numbers below 2^53 add exactly, in any order: the sums of blocks are exact.
  int64_t blockSignal = 0;
  int64_t blockNoise = 0;
  for (size_t i = 0; i < count; ++i) {
    const int64_t x = reference[i];
    const int64_t d = x - test[i];
    blockSignal += x * x;
    blockNoise += d * d;
  }
  signal += static_cast<double>(blockSignal);
  noise += static_cast<double>(blockNoise);
}

double SnrSum::Db() const {
  if (noise == 0) return std::numeric_limits<double>::infinity();
  if (signal == 0) return -std::numeric_limits<double>::infinity();
  return kDecibelsPerDecade * std::log10(signal / noise);
}

double SnrDb(const std::vector<int16_t>& reference, const std::vector<int16_t>& test) {
  const size_t common = std::min(reference.size(), test.size());
  SnrSum sum;
  sum.Add(reference.data(), test.data(), common);
  // Past the shorter one, the other stands against silence.
  const std::vector<int16_t>& longer = reference.size() > test.size() ? reference : test;
  const std::vector<int16_t> silence(longer.size() - common, 0);
  if (&longer == &reference) {
    sum.Add(reference.data() + common, silence.data(), silence.size());
  } else {
    sum.Add(silence.data(), test.data() + common, silence.size());
  }
  return sum.Db();
}

std::string Plural(int64_t count, const char* word) {
  return fmt::format("{} {}{}", count, word, count == 1 ? "" : "s");
}

std::string FormatDuration(double seconds) {
  if (seconds < kShortestInSeconds) return fmt::format("{:.1f} ms", seconds * kMsPerSecond);
  return fmt::format("{:.2f} s", seconds);
}

Figures ComputeFigures(const StreamResult& result, double snrInputDb, double snrLosslessDb,
                       const FrameLayout& layout, double librarySeconds, double wallSeconds) {
  const LinkCounters& link = result.link;
  const SinkCounters& sink = result.sink;
  Figures f;
  // A data delivery that rendered nothing was a frame already rendered (a copy, or a late
  // frame rebuilt before it came); a parity delivery beyond the first of its number, too.
  f.duplicatesDropped = std::max<int64_t>(0, link.deliveredData - sink.received) +
                        (link.deliveredParity - result.parityDelivered);
  f.parityNotNeeded = result.parityDelivered - result.parityUsed;
  f.residualLossPercent = layout.frameCount > 0
                              ? kPercent * static_cast<double>(sink.lost) / layout.frameCount
                              : 0;
  f.snrInputDb = snrInputDb;
  f.snrLosslessDb = snrLosslessDb;
  f.identicalToLossless = snrLosslessDb == std::numeric_limits<double>::infinity();
  const double seconds = layout.Seconds();
  if (seconds > 0) {
    f.kbpsDataOnly = static_cast<double>(link.dataBytes) * kBitsPerByte / seconds / kBitsPerKilobit;
    f.kbpsWithParity = static_cast<double>(link.dataBytes + link.parityBytes) * kBitsPerByte /
                       seconds / kBitsPerKilobit;
  }
  f.speedLibrary = librarySeconds > 0 ? seconds / librarySeconds : 0;
  f.speedEndToEnd = wallSeconds > 0 ? seconds / wallSeconds : 0;
  return f;
}

std::string PlainReport(const RunDescription& run, const StreamResult& result, const Figures& f,
                        const AllocatorCounters& allocator) {
  const LinkCounters& link = result.link;
  const SinkCounters& sink = result.sink;
  std::string out;
  const LineFn line = LinesInto(out);
  Heading(run, line);
  out += "\n";
  line("frames sent", fmt::format("{} data, {} parity", link.sentData, link.sentParity));
  line("dropped by the link",
       fmt::format("{} data, {} parity", link.droppedData, link.droppedParity));
  if (link.duplicated > 0 || link.reordered > 0) {
    line("disturbed by the link",
         fmt::format("{} duplicated, {} reordered", link.duplicated, link.reordered));
  }
  if (run.stream.parity) line("repaired from parity", Plural(result.repaired, "frame"));
  if (result.rebuiltAhead > 0) {
    line("rebuilt before late data", Plural(result.rebuiltAhead, "frame"));
  }
  line("duplicates dropped", Plural(f.duplicatesDropped, "frame"));
  if (run.stream.parity) line("parity not needed", Plural(f.parityNotNeeded, "frame"));
  std::string lost = Plural(sink.lost, "frame");
  if (sink.lost > 0) {
    lost += fmt::format(", longest run {}", Plural(sink.longestLostRun, "frame"));
    lost += run.stream.conceal ? fmt::format(", {} concealed", sink.concealed)
                        : std::string(", filled with silence");
  }
  line("lost for good", lost);
  if (sink.late > 0) line("came late", Plural(sink.late, "data frame"));
  if (sink.invalid > 0) line("invalid", Plural(sink.invalid, "frame"));
  line("residual loss rate", fmt::format("{:.2f} %", f.residualLossPercent));
  line("SNR vs input", Db(f.snrInputDb));
  line("SNR vs lossless decode", SnrVsLossless(f));
  line("segmental SNR", fmt::format("{} vs input, {} vs lossless decode",
                                    DbOrNone(f.speechVsInput.segmentalSnrDb),
                                    DbOrNone(f.speechVsLossless.segmentalSnrDb)));
  line("STOI", fmt::format("{} vs input, {} vs lossless decode", StoiText(f.speechVsInput.stoi),
                           StoiText(f.speechVsLossless.stoi)));
  line("LSD of lost speech",
       f.speechVsLossless.lostSpeechFrames == 0
           ? std::string("no lost frame held speech")
           : fmt::format("{} vs input, {} vs lossless decode, over {}",
                         DbOrNone(f.speechVsInput.lostLsdDb), DbOrNone(f.speechVsLossless.lostLsdDb),
                         Plural(f.speechVsLossless.lostSpeechFrames, "frame")));
  line("which figure to read", kFigureGuide);
  line("bit rate", BitRate(f, run.stream.parity));
  line("speed", fmt::format("{:.0f} x real time end to end (reading to writing), "
                            "{:.0f} x for the library alone",
                            f.speedEndToEnd, f.speedLibrary));
  if (run.showTiming) line("time", TimingLine(run.timing));
  const int64_t leaked = allocator.live;
  line("frame buffers", fmt::format("{} taken from the host allocator, {}", allocator.allocations,
                                    leaked == 0 ? std::string("all returned")
                                                : fmt::format("{} never returned", leaked)));
  if (!run.output.empty()) {
    line("output", fmt::format("{} ({}, {} Hz)",
                               run.output == kStdStreamName ? "standard output" : run.output,
                               run.outputFormat, run.outputRate));
  }
  return out;
}

nlohmann::ordered_json JsonReport(const RunDescription& run, const StreamResult& result,
                                  const Figures& f, const AllocatorCounters& allocator) {
  nlohmann::ordered_json j = JsonHeading(run);
  j["parity"] = run.stream.parity;
  j["conceal"] = run.stream.conceal;
  j["encoder"] = NameOf(run.stream.encoder);
  j.update(JsonFigures(result, f));
  j["frame_buffers"] = JsonFrameBuffers(allocator);
  return j;
}

std::string PlainComparison(const RunDescription& run, const std::vector<LossyRun>& runs) {
  std::string out;
  const LineFn line = LinesInto(out);
  RunDescription heading = run;
  heading.stream.parity = runs.front().parity;
  const bool oneEncoder = std::all_of(runs.begin(), runs.end(), [&](const LossyRun& r) {
    return r.encoder == runs.front().encoder;
  });
  Heading(heading, line, oneEncoder);
  out += fmt::format("{:<{}}every column sees the same link decisions\n\n", "", kLabelWidth);
  auto row = [&](const std::string& label,
                 const std::function<std::string(const LossyRun&)>& cell) {
    std::string text = fmt::format("{:<{}}", label, kLabelWidth);
    for (const LossyRun& r : runs) text += fmt::format("{:<{}}", cell(r), kColumnWidth);
    while (!text.empty() && text.back() == ' ') text.pop_back();
    out += text + "\n";
  };
  row("", [](const LossyRun& r) { return r.label; });
  row("data frames dropped",
      [](const LossyRun& r) { return std::to_string(r.result.link.droppedData); });
  row("parity frames dropped", [](const LossyRun& r) {
    return r.parity ? std::to_string(r.result.link.droppedParity) : kNotApplicable;
  });
  const int32_t parityDelay = run.stream.link.parityDelay;
  row("parity delay", [&](const LossyRun& r) {
    return r.parity ? fmt::format("{} frames", parityDelay) : kNotApplicable;
  });
  row("duplicated by the link",
      [](const LossyRun& r) { return std::to_string(r.result.link.duplicated); });
  row("reordered by the link",
      [](const LossyRun& r) { return std::to_string(r.result.link.reordered); });
  row("repaired from parity", [](const LossyRun& r) {
    return r.parity ? std::to_string(r.result.repaired) : kNotApplicable;
  });
  row("rebuilt before late data", [](const LossyRun& r) {
    return r.parity ? std::to_string(r.result.rebuiltAhead) : kNotApplicable;
  });
  row("lost for good", [](const LossyRun& r) { return std::to_string(r.result.sink.lost); });
  row("concealed", [](const LossyRun& r) {
    return r.conceal ? std::to_string(r.result.sink.concealed) : kNotApplicable;
  });
  row("longest lost run",
      [](const LossyRun& r) { return Plural(r.result.sink.longestLostRun, "frame"); });
  row("residual loss rate",
      [](const LossyRun& r) { return fmt::format("{:.2f} %", r.figures.residualLossPercent); });
  row("SNR vs input", [](const LossyRun& r) { return Db(r.figures.snrInputDb); });
  row("SNR vs lossless decode", [](const LossyRun& r) {
    return r.figures.identicalToLossless ? std::string("identical") : Db(r.figures.snrLosslessDb);
  });
  row("segmental SNR vs input",
      [](const LossyRun& r) { return DbOrNone(r.figures.speechVsInput.segmentalSnrDb); });
  row("segmental SNR vs lossless",
      [](const LossyRun& r) { return DbOrNone(r.figures.speechVsLossless.segmentalSnrDb); });
  row("STOI vs input", [](const LossyRun& r) { return StoiText(r.figures.speechVsInput.stoi); });
  row("STOI vs lossless decode",
      [](const LossyRun& r) { return StoiText(r.figures.speechVsLossless.stoi); });
  row("LSD lost vs input",
      [](const LossyRun& r) { return DbOrNone(r.figures.speechVsInput.lostLsdDb); });
  row("LSD lost vs lossless",
      [](const LossyRun& r) { return DbOrNone(r.figures.speechVsLossless.lostLsdDb); });
  row("bit rate", [](const LossyRun& r) {
    return fmt::format("{:.1f} kbit/s",
                       r.parity ? r.figures.kbpsWithParity : r.figures.kbpsDataOnly);
  });
  out += fmt::format("{:<{}}{}\n", "which figure to read", kLabelWidth, kFigureGuide);
  bool first = true;
  for (const LossyRun& r : runs) {
    if (r.output.empty()) continue;
    out += fmt::format("{:<{}}{}: {}\n", first ? "audio written" : "", kLabelWidth, r.label,
                       r.output == kStdStreamName ? "standard output" : r.output);
    first = false;
  }
  if (run.showTiming) out += fmt::format("\n{:<{}}{}\n", "time", kLabelWidth, TimingLine(run.timing));
  return out;
}

nlohmann::ordered_json JsonComparison(const RunDescription& run, const std::vector<LossyRun>& runs,
                                      const AllocatorCounters& allocator) {
  nlohmann::ordered_json j = JsonHeading(run);
  nlohmann::ordered_json columns = nlohmann::ordered_json::array();
  for (const LossyRun& r : runs) {
    nlohmann::ordered_json column = {
        {"label", r.label}, {"parity", r.parity}, {"conceal", r.conceal},
        {"encoder", NameOf(r.encoder)},
        {"output", NullIfEmpty(r.output)}};
    column.update(JsonFigures(r.result, r.figures));
    columns.push_back(column);
  }
  j["compare"] = columns;
  // One allocator serves every column: its counts belong to the comparison as a whole.
  j["frame_buffers"] = JsonFrameBuffers(allocator);
  return j;
}

}  // namespace zbhost
