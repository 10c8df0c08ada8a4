// Drawing the run as SVG.
#include "host/report/Plot.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <fmt/format.h>

namespace zbhost {

namespace {

constexpr double kWidth = 1100;  // px, the whole picture
constexpr double kLeft = 70;     // px, room for the axis labels
constexpr double kRight = 20;
constexpr double kTop = 74;            // px, room for the title, the link and the legend
constexpr double kWaveHeight = 130;    // px, each waveform panel
constexpr double kSnrHeight = 110;     // px, the SNR panel
constexpr double kGap = 26;            // px between panels
constexpr double kBottom = 40;         // px, room for the time axis
constexpr double kMinMarkWidth = 1.0;  // px, so a frame stays visible on long inputs
constexpr double kSnrTopDb = 60;  // the SNR panel spans 0 to 60 dB; identical frames sit on top
constexpr double kSnrGridDb = 20;
constexpr double kFullScale = 32768.0;
constexpr double kLegendStep = 120;  // px from one legend entry to the next
constexpr int kMaxTimeTicks = 12;
constexpr double kTimeSteps[] = {0.02, 0.05, 0.1, 0.2, 0.5, 1,   2,   5,
                                 10,   15,   30,  60,  120, 300, 600, 1800};

constexpr char kStyle[] =
    "text{font-family:sans-serif;font-size:12px;fill:#222}"
    ".title{font-size:15px;font-weight:bold}"
    ".axis{stroke:#888;stroke-width:1;fill:none}"
    ".grid{stroke:#ddd;stroke-width:1}"
    ".wave{stroke:#1d3557;stroke-width:1;fill:none}"
    ".snr{stroke:#6a4c93;stroke-width:1.2;fill:none}"
    ".mark{fill-opacity:0.35}"
    ".rebuilt{fill:#2a9d8f}.unrecovered{fill:#d62828}.concealed{fill:#f4a261}.parity-lost{fill:#"
    "999}";

struct Box {
  double x, y, width, height;
};

std::string Escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// A rebuilt or concealed frame's class is its outcome's name.
const char* MarkClass(const FrameRow& row) {
  if (row.outcome == FrameOutcome::Lost) return "unrecovered";
  if (row.outcome == FrameOutcome::Received) return row.dataDropped ? "rebuilt" : "parity-lost";
  return OutcomeName(row.outcome);
}

std::string MarkTitle(const FrameRow& row) {
  return fmt::format("frame {} at {:.2f} s: data {}, parity {}, {}", row.frame, row.startSeconds,
                     row.data, row.parity, OutcomeName(row.outcome));
}

// Calls `draw(x, first, last)` for each pixel column of `box`: x its centre, [first, last)
// the items of `total` it covers, at least one, so that no item falls between two columns.
template <typename Draw>
void ForEachColumn(const Box& box, size_t total, const Draw& draw) {
  const int columns = static_cast<int>(box.width);
  for (int column = 0; column < columns && total > 0; ++column) {
    const size_t first = static_cast<size_t>(column) * total / static_cast<size_t>(columns);
    const size_t last =
        std::max(first + 1, static_cast<size_t>(column + 1) * total / static_cast<size_t>(columns));
    draw(box.x + column + 0.5, first, last);
  }
}

// The waveform as one vertical stroke per pixel column from its lowest to its highest sample.
std::string Waveform(const std::vector<int16_t>& samples, const Box& box, size_t total) {
  std::string path;
  ForEachColumn(box, total, [&](double x, size_t first, size_t last) {
    int low = std::numeric_limits<int>::max();
    int high = std::numeric_limits<int>::min();
    for (size_t i = first; i < last && i < samples.size(); ++i) {
      low = std::min<int>(low, samples[i]);
      high = std::max<int>(high, samples[i]);
    }
    if (low > high) return;
    const double mid = box.y + box.height / 2;
    const double scale = box.height / 2 / kFullScale;
    path += fmt::format("M{:.1f} {:.1f}V{:.1f}", x, mid - high * scale,
                        mid - low * scale + kMinMarkWidth / 2);
  });
  return fmt::format("<path class=\"wave\" d=\"{}\"/>\n", path);
}

// The lowest frame SNR in each pixel column, so one bad frame is never averaged away.
std::string SnrLine(const std::vector<FrameRow>& rows, const Box& box) {
  std::string points;
  ForEachColumn(box, rows.size(), [&](double x, size_t first, size_t last) {
    double worst = std::numeric_limits<double>::infinity();
    for (size_t i = first; i < last && i < rows.size(); ++i) worst = std::min(worst, rows[i].snrDb);
    const double db = std::clamp(worst, 0.0, kSnrTopDb);
    points += fmt::format("{:.1f},{:.1f} ", x, box.y + box.height * (1 - db / kSnrTopDb));
  });
  return fmt::format("<polyline class=\"snr\" points=\"{}\"/>\n", points);
}

std::string Panel(const Box& box, const std::string& label) {
  return fmt::format(
      "<rect class=\"axis\" x=\"{:.1f}\" y=\"{:.1f}\" width=\"{:.1f}\" height=\"{:.1f}\"/>\n"
      "<text x=\"{:.1f}\" y=\"{:.1f}\">{}</text>\n",
      box.x, box.y, box.width, box.height, box.x, box.y - 4, Escape(label));
}

double TimeStep(double seconds) {
  for (double step : kTimeSteps) {
    if (seconds / step <= kMaxTimeTicks) return step;
  }
  return kTimeSteps[std::size(kTimeSteps) - 1];
}

}  // namespace

std::string PlotSvg(const RunDescription& run, const std::vector<int16_t>& input,
                    const std::vector<int16_t>& decoded, const std::vector<FrameRow>& rows) {
  const double plotWidth = kWidth - kLeft - kRight;
  const Box inputBox{kLeft, kTop + kGap, plotWidth, kWaveHeight};
  const Box decodedBox{kLeft, inputBox.y + kWaveHeight + kGap, plotWidth, kWaveHeight};
  const Box snrBox{kLeft, decodedBox.y + kWaveHeight + kGap, plotWidth, kSnrHeight};
  const double height = snrBox.y + kSnrHeight + kBottom;
  const double seconds = run.layout.Seconds();
  const double pxPerSecond = seconds > 0 ? plotWidth / seconds : 0;

  int64_t rebuilt = 0;
  int64_t unrecovered = 0;
  for (const FrameRow& row : rows) {
    rebuilt += row.outcome == FrameOutcome::Rebuilt;
    unrecovered += row.outcome == FrameOutcome::Lost || row.outcome == FrameOutcome::Concealed;
  }
  const std::string title =
      fmt::format("{}, parity {}: {} rebuilt, {} lost for good",
                  run.input.empty() ? "built-in signal" : run.input,
                  run.stream.parity ? "on" : "off",
                  Plural(rebuilt, "frame"), Plural(unrecovered, "frame"));
  std::string link = DescribeLossPlan(run.stream.link.loss);
  if (run.stream.link.IsRandom()) link += fmt::format(", seed {}", run.stream.link.seed);

  std::string svg = fmt::format(
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"{0:.0f}\" height=\"{1:.0f}\" "
      "viewBox=\"0 0 {0:.0f} {1:.0f}\">\n<style>{2}</style>\n"
      "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
      "<text class=\"title\" x=\"{3:.0f}\" y=\"22\">{4}</text>\n"
      "<text x=\"{3:.0f}\" y=\"40\">{5}</text>\n",
      kWidth, height, kStyle, kLeft, Escape(title), Escape(link));
  double legendX = kLeft;
  for (const char* kind : {"rebuilt", "unrecovered", "concealed", "parity-lost"}) {
    svg += fmt::format(
        "<rect class=\"{0}\" x=\"{1:.0f}\" y=\"50\" width=\"12\" height=\"12\"/>"
        "<text x=\"{2:.0f}\" y=\"60\">{0}</text>\n",
        kind, legendX, legendX + 16);
    legendX += kLegendStep;
  }

  // Marks first, so the waveforms are drawn over them.
  for (const FrameRow& row : rows) {
    if (!IsAffected(row)) continue;
    const double x = inputBox.x + row.startSeconds * pxPerSecond;
    const double width = std::max(kMinMarkWidth, FrameSeconds(1) * pxPerSecond);
    svg += fmt::format(
        "<rect class=\"mark {}\" x=\"{:.2f}\" y=\"{:.1f}\" width=\"{:.2f}\" height=\"{:.1f}\">"
        "<title>{}</title></rect>\n",
        MarkClass(row), x, inputBox.y, width, snrBox.y + kSnrHeight - inputBox.y,
        Escape(MarkTitle(row)));
  }

  const size_t samples = static_cast<size_t>(run.layout.frameCount) * run.layout.frameSamples;
  svg += Panel(inputBox, fmt::format("input ({} Hz)", run.layout.rate));
  svg += Waveform(input, inputBox, samples);
  svg += Panel(decodedBox, "decoded");
  svg += Waveform(decoded, decodedBox, samples);
  svg += Panel(snrBox, "SNR against the lossless decode, per frame (top: identical)");
  for (double db = 0; db <= kSnrTopDb; db += kSnrGridDb) {
    const double y = snrBox.y + kSnrHeight * (1 - db / kSnrTopDb);
    svg += fmt::format(
        "<line class=\"grid\" x1=\"{:.1f}\" y1=\"{:.1f}\" x2=\"{:.1f}\" y2=\"{:.1f}\"/>"
        "<text x=\"{:.1f}\" y=\"{:.1f}\" text-anchor=\"end\">{:.0f} dB</text>\n",
        snrBox.x, y, snrBox.x + plotWidth, y, snrBox.x - 6, y + 4, db);
  }
  svg += SnrLine(rows, snrBox);

  const double step = TimeStep(seconds);
  for (int tick = 0; tick * step <= seconds + 1e-9; ++tick) {
    const double x = kLeft + tick * step * pxPerSecond;
    svg += fmt::format(
        "<line class=\"axis\" x1=\"{0:.1f}\" y1=\"{1:.1f}\" x2=\"{0:.1f}\" y2=\"{2:.1f}\"/>"
        "<text x=\"{0:.1f}\" y=\"{3:.1f}\" text-anchor=\"middle\">{4:g} s</text>\n",
        x, snrBox.y + kSnrHeight, snrBox.y + kSnrHeight + 5, snrBox.y + kSnrHeight + 18,
        tick * step);
  }
  svg += "</svg>\n";
  return svg;
}

}  // namespace zbhost
