// Keeping and drawing the run's picture.
#include "host/report/Plot.h"

#include <cairo.h>
#include <librsvg/rsvg.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>
#include <stdexcept>

#include <fmt/format.h>

#include "host/app/HostError.h"

namespace zbhost {

namespace {

constexpr size_t kMaxBuckets = 4096;  // a track's resolution: about four per pixel column
constexpr double kWidth = 1100;       // px, the whole picture
constexpr double kLeft = 70;          // px, room for the axis labels
constexpr double kRight = 20;
constexpr double kTop = 74;           // px, room for the title, the link and the legend
constexpr double kWaveHeight = 120;   // px, each waveform panel
constexpr double kLossHeight = 14;    // px, the loss-density strip
constexpr double kSnrHeight = 90;     // px, the SNR panel
constexpr double kGap = 24;           // px between panels
constexpr double kSmallGap = 4;       // px between a waveform and its loss strip
constexpr double kBottom = 40;        // px, room for the time axis
constexpr double kMinMarkWidth = 1.0;  // px, so a frame stays visible on long inputs
constexpr double kSnrTopDb = 60;       // identical frames sit on top
constexpr double kSnrBottomDb = -20;   // concealment can make a frame worse than silence
constexpr double kSnrGridDb = 20;
constexpr double kFullScale = 32768.0;
constexpr double kPercent = 100.0;
constexpr double kAmplitudeTicks[] = {-1, -0.5, 0, 0.5, 1};
constexpr double kLegendStep = 120;  // px from one legend entry to the next
constexpr int kMaxTimeTicks = 12;
constexpr double kSecondsPerMinute = 60;
constexpr double kMinutesAxisFrom = 120;  // s: longer spans are labelled in min:s
constexpr double kTimeSteps[] = {0.02, 0.05, 0.1, 0.2, 0.5, 1,   2,    5,    10,   15,  30,
                                 60,   120,  300, 600, 900, 1800, 3600, 7200, 14400};

constexpr char kStyle[] =
    "text{font-family:sans-serif;font-size:12px;fill:#222}"
    ".title{font-size:15px;font-weight:bold}"
    ".axis{stroke:#888;stroke-width:1;fill:none}"
    ".grid{stroke:#ddd;stroke-width:1}"
    ".wave{stroke:#a8bdd6;stroke-width:1;fill:none}.rms{stroke:#1d3557;stroke-width:1;fill:none}"
    ".snr{stroke:#6a4c93;stroke-width:1.2;fill:none}"
    ".density{stroke:#d62828;stroke-width:1;fill:none}"
    ".mark{fill-opacity:0.35}.mark.unrecovered,.mark.concealed{fill-opacity:1}"
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
const char* MarkClass(const PlotMark& mark) {
  if (mark.outcome == FrameOutcome::Lost) return "unrecovered";
  if (mark.outcome == FrameOutcome::Received) return mark.dataDropped ? "rebuilt" : "parity-lost";
  return OutcomeName(mark.outcome);
}

bool OnTop(const PlotMark& mark) {
  return mark.outcome == FrameOutcome::Lost || mark.outcome == FrameOutcome::Concealed;
}

std::string MarkTitle(const PlotMark& mark) {
  return fmt::format("frame {} at {:.2f} s: data {}, parity {}, {}", mark.frame,
                     FrameSeconds(mark.frame), mark.dataDropped ? "dropped" : "arrived",
                     mark.parityDropped ? "dropped" : "arrived or not sent",
                     OutcomeName(mark.outcome));
}

// Calls `draw(x, first, last)` for each pixel column of `box`: x its centre, [first, last)
// the buckets of `track` that `items` items cover there, at least one, so that no bucket
// falls between two columns.
template <typename Draw>
void ForEachColumn(const Box& box, const Track& track, int64_t items, const Draw& draw) {
  const int columns = static_cast<int>(box.width);
  const size_t total = track.buckets().size();
  if (items <= 0 || total == 0) return;
  for (int column = 0; column < columns; ++column) {
    const int64_t firstItem = column * items / columns;
    const int64_t lastItem = (column + 1) * items / columns;
    const size_t first = std::min(total - 1, static_cast<size_t>(firstItem / track.span()));
    const size_t last = std::min(
        total, std::max(first + 1, static_cast<size_t>((lastItem + track.span() - 1) / track.span())));
    draw(box.x + column + 0.5, first, last);
  }
}

// The envelope as one vertical stroke per pixel column from its lowest to its highest
// sample, and inside it a darker one of the column's RMS either way from the middle, so the
// shape of speech shows however long the input.
std::string Waveform(const Envelope& envelope, const Box& box, int64_t samples) {
  const Track& track = envelope.peaks;
  const double mid = box.y + box.height / 2;
  const double scale = box.height / 2 / kFullScale;
  std::string rms;
  ForEachColumn(box, envelope.power, samples, [&](double x, size_t first, size_t last) {
    double power = 0;
    double count = 0;
    for (size_t i = first; i < last; ++i) {
      power += envelope.power.buckets()[i].sum;
      count += envelope.power.buckets()[i].count;
    }
    const double level = count > 0 ? std::sqrt(power / count) * scale : 0;
    rms += fmt::format("M{:.1f} {:.1f}V{:.1f}", x, mid - level, mid + level + kMinMarkWidth / 2);
  });
  std::string path;
  ForEachColumn(box, track, samples, [&](double x, size_t first, size_t last) {
    float low = std::numeric_limits<float>::max();
    float high = std::numeric_limits<float>::lowest();
    for (size_t i = first; i < last; ++i) {
      low = std::min(low, track.buckets()[i].low);
      high = std::max(high, track.buckets()[i].high);
    }
    path += fmt::format("M{:.1f} {:.1f}V{:.1f}", x, mid - high * scale,
                        mid - low * scale + kMinMarkWidth / 2);
  });
  return fmt::format("<path class=\"wave\" d=\"{}\"/>\n<path class=\"rms\" d=\"{}\"/>\n", path, rms);
}

double SnrY(const Box& box, double db) {
  const double clamped = std::clamp(db, kSnrBottomDb, kSnrTopDb);
  return box.y + box.height * (kSnrTopDb - clamped) / (kSnrTopDb - kSnrBottomDb);
}

// The lowest frame SNR in each pixel column, so one bad frame is never averaged away.
std::string SnrLine(const Track& track, const Box& box, int64_t frames) {
  std::string points;
  ForEachColumn(box, track, frames, [&](double x, size_t first, size_t last) {
    float worst = std::numeric_limits<float>::max();
    for (size_t i = first; i < last; ++i) worst = std::min(worst, track.buckets()[i].low);
    points += fmt::format("{:.1f},{:.1f} ", x, SnrY(box, worst));
  });
  return fmt::format("<polyline class=\"snr\" points=\"{}\"/>\n", points);
}

// The share of frames lost for good in each pixel column, as a bar from the strip's foot,
// scaled to the densest column so that sparse losses in a long stream still read; the
// strip's label names that share.
std::string LossDensity(const Track& track, const Box& box, int64_t frames) {
  std::vector<std::pair<double, double>> columns;  // x, share
  double densest = 0;
  ForEachColumn(box, track, frames, [&](double x, size_t first, size_t last) {
    double lost = 0;
    double count = 0;
    for (size_t i = first; i < last; ++i) {
      lost += track.buckets()[i].sum;
      count += track.buckets()[i].count;
    }
    if (lost <= 0 || count <= 0) return;
    columns.emplace_back(x, lost / count);
    densest = std::max(densest, lost / count);
  });
  std::string path;
  for (const auto& [x, share] : columns) {
    const double height = std::max(kMinMarkWidth, box.height * share / densest);
    path += fmt::format("M{:.1f} {:.1f}V{:.1f}", x, box.y + box.height, box.y + box.height - height);
  }
  return fmt::format(
      "<path class=\"density\" d=\"{}\"/>\n"
      "<text x=\"{:.1f}\" y=\"{:.1f}\" text-anchor=\"end\">lost for good, up to {:.0f} % a "
      "column</text>\n",
      path, box.x + box.width, box.y + box.height + kSmallGap * 3, densest * kPercent);
}

std::string Panel(const Box& box, const std::string& label) {
  return fmt::format(
      "<rect class=\"axis\" x=\"{:.1f}\" y=\"{:.1f}\" width=\"{:.1f}\" height=\"{:.1f}\"/>\n"
      "<text x=\"{:.1f}\" y=\"{:.1f}\">{}</text>\n",
      box.x, box.y, box.width, box.height, box.x, box.y - 4, Escape(label));
}

std::string AmplitudeAxis(const Box& box) {
  std::string svg;
  for (double tick : kAmplitudeTicks) {
    const double y = box.y + box.height / 2 * (1 - tick);
    svg += fmt::format(
        "<line class=\"grid\" x1=\"{:.1f}\" y1=\"{:.1f}\" x2=\"{:.1f}\" y2=\"{:.1f}\"/>"
        "<text x=\"{:.1f}\" y=\"{:.1f}\" text-anchor=\"end\">{:g}</text>\n",
        box.x, y, box.x + box.width, y, box.x - 6, y + 4, tick);
  }
  return svg;
}

double TimeStep(double seconds) {
  for (double step : kTimeSteps) {
    if (seconds / step <= kMaxTimeTicks) return step;
  }
  return kTimeSteps[std::size(kTimeSteps) - 1];
}

std::string TimeLabel(double seconds, bool minutes) {
  if (!minutes) return fmt::format("{:g} s", seconds);
  const auto whole = static_cast<int64_t>(std::llround(seconds));
  return fmt::format("{}:{:02}", whole / static_cast<int64_t>(kSecondsPerMinute),
                     whole % static_cast<int64_t>(kSecondsPerMinute));
}

// Seconds, M:SS or H:MM:SS; the last field may have a fraction.
double ParseTime(const std::string& text) {
  constexpr size_t kMostFields = 3;
  const std::invalid_argument bad(fmt::format("--plot-range: '{}' is not a time", text));
  double total = 0;
  size_t fields = 0;
  size_t from = 0;
  for (;;) {
    const size_t colon = text.find(':', from);
    const std::string field = text.substr(from, colon == std::string::npos ? colon : colon - from);
    char* end = nullptr;
    const double value = std::strtod(field.c_str(), &end);
    // After the first field, each counts less than sixty of its unit.
    if (field.empty() || *end != '\0' || !std::isfinite(value) || value < 0 ||
        (fields > 0 && value >= kSecondsPerMinute) || ++fields > kMostFields) {
      throw bad;
    }
    total = total * kSecondsPerMinute + value;
    if (colon == std::string::npos) return total;
    from = colon + 1;
  }
}

}  // namespace

PlotRange ParsePlotRange(const std::string& text) {
  const size_t dash = text.find('-');
  if (dash == std::string::npos) {
    throw std::invalid_argument(
        fmt::format("--plot-range takes START-END (seconds, M:SS or H:MM:SS), not '{}'", text));
  }
  const PlotRange range{ParseTime(text.substr(0, dash)), ParseTime(text.substr(dash + 1))};
  if (range.end <= range.start) {
    throw std::invalid_argument(fmt::format("--plot-range: '{}' ends before it starts", text));
  }
  return range;
}

PlotFormat PlotFormatFor(const std::string& path) {
  // .PNG as well as .png.
  std::string name = path;
  std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
  auto endsWith = [&name](const std::string& suffix) {
    return name.size() > suffix.size() &&
           name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
  };
  if (endsWith(".svg")) return PlotFormat::Svg;
  if (endsWith(".png")) return PlotFormat::Png;
  throw HostError(kExitOutput,
                  fmt::format("cannot write '{}': the plot is drawn as .svg or .png", path));
}

void Envelope::Add(int16_t sample) {
  peaks.Add(sample);
  power.Add(static_cast<float>(sample) * static_cast<float>(sample));
}

void Track::Add(float value) {
  if (m_buckets.empty() || m_buckets.back().count == m_nSpan) {
    if (m_buckets.size() == kMaxBuckets) {
      // Full: each pair becomes one bucket of twice the span.
      for (size_t i = 0; i < kMaxBuckets / 2; ++i) {
        const Bucket& a = m_buckets[2 * i];
        const Bucket& b = m_buckets[2 * i + 1];
        m_buckets[i] = {std::min(a.low, b.low), std::max(a.high, b.high), a.sum + b.sum,
                        a.count + b.count};
      }
      m_buckets.resize(kMaxBuckets / 2);
      m_nSpan *= 2;
    }
    m_buckets.push_back({value, value, 0, 0});
  }
  Bucket& bucket = m_buckets.back();
  bucket.low = std::min(bucket.low, value);
  bucket.high = std::max(bucket.high, value);
  bucket.sum += value;
  ++bucket.count;
}

PlotTrace::PlotTrace(const std::vector<std::string>& labels, std::optional<PlotRange> range)
    : m_range(range) {
  for (const std::string& label : labels) {
    m_columns.emplace_back();
    m_columns.back().label = label;
  }
}

void PlotTrace::Add(const FrameView& view, const std::vector<FrameRow>& rows) {
  const double start = FrameSeconds(view.index);
  if (m_range && (start < m_range->start - FrameSeconds(1) || start >= m_range->end)) return;
  if (m_nFirst < 0) m_nFirst = view.index;
  ++m_nFrames;
  for (size_t i = 0; i < view.length; ++i) m_input.Add(view.input[i]);
  for (size_t c = 0; c < m_columns.size(); ++c) {
    PlotColumn& column = m_columns[c];
    const FrameRow& row = rows[c];
    for (size_t i = 0; i < view.length; ++i) column.decoded.Add(view.columns[c].frame.samples[i]);
    column.snr.Add(static_cast<float>(std::isinf(row.snrDb) && row.snrDb > 0 ? kSnrTopDb : row.snrDb));
    const bool unrecovered =
        row.outcome == FrameOutcome::Lost || row.outcome == FrameOutcome::Concealed;
    column.lost.Add(unrecovered ? 1.0F : 0.0F);
    column.rebuilt += row.outcome == FrameOutcome::Rebuilt;
    column.unrecovered += unrecovered;
    if (IsAffected(row)) {
      column.marks.push_back({row.frame, row.outcome, row.dataDropped, row.parityDropped});
    }
  }
}

std::string PlotSvg(const RunDescription& run, const PlotTrace& trace) {
  const double plotWidth = kWidth - kLeft - kRight;
  const Box inputBox{kLeft, kTop + kGap, plotWidth, kWaveHeight};
  const double columnHeight = kGap + kWaveHeight + kSmallGap + kLossHeight + kGap + kSnrHeight;
  const double height = inputBox.y + kWaveHeight +
                        columnHeight * static_cast<double>(trace.columns().size()) + kBottom;
  const double first = FrameSeconds(std::max<int64_t>(0, trace.firstFrame()));
  const double seconds = FrameSeconds(trace.frames());
  const double pxPerSecond = seconds > 0 ? plotWidth / seconds : 0;
  const int64_t samples = trace.frames() * run.layout.frameSamples;

  const PlotColumn* asked = trace.columns().empty() ? nullptr : &trace.columns().front();
  std::string title = fmt::format("{}, parity {}", run.input.empty() ? "built-in signal" : run.input,
                                  run.stream.parity ? "on" : "off");
  if (asked != nullptr && trace.columns().size() == 1) {
    title += fmt::format(": {} rebuilt, {} lost for good", Plural(asked->rebuilt, "frame"),
                         Plural(asked->unrecovered, "frame"));
  }
  std::string link = DescribeLossPlan(run.stream.link.loss);
  if (run.stream.link.IsRandom()) link += fmt::format(", seed {}", run.stream.link.seed);
  if (trace.range()) link += fmt::format(", {:.2f} s to {:.2f} s", first, first + seconds);

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

  svg += Panel(inputBox, fmt::format("input ({} Hz)", run.layout.rate));
  svg += AmplitudeAxis(inputBox);
  svg += Waveform(trace.input(), inputBox, samples);

  double y = inputBox.y + kWaveHeight;
  for (const PlotColumn& column : trace.columns()) {
    const Box waveBox{kLeft, y + kGap, plotWidth, kWaveHeight};
    const Box lossBox{kLeft, waveBox.y + kWaveHeight + kSmallGap, plotWidth, kLossHeight};
    const Box snrBox{kLeft, lossBox.y + kLossHeight + kGap, plotWidth, kSnrHeight};
    y = snrBox.y + kSnrHeight;
    // Marks of repaired frames lie under the waveform; frames lost for good are drawn over
    // it, opaque and at least a pixel wide, so none can vanish. The loss strip and the SNR
    // below stay clear of them.
    auto marks = [&](bool onTop) {
      std::string out;
      for (const PlotMark& mark : column.marks) {
        if (OnTop(mark) != onTop) continue;
        const double x = waveBox.x + (FrameSeconds(mark.frame) - first) * pxPerSecond;
        const double width = std::max(kMinMarkWidth, FrameSeconds(1) * pxPerSecond);
        out += fmt::format(
            "<rect class=\"mark {}\" x=\"{:.2f}\" y=\"{:.1f}\" width=\"{:.2f}\" height=\"{:.1f}\">"
            "<title>{}</title></rect>\n",
            MarkClass(mark), x, waveBox.y, width, kWaveHeight,
            Escape(MarkTitle(mark)));
      }
      return out;
    };
    const std::string heading = trace.columns().size() > 1 ? column.label + ": " : std::string();
    svg += marks(false);
    svg += Panel(waveBox, fmt::format("{}decoded: {} rebuilt, {} lost for good", heading,
                                      Plural(column.rebuilt, "frame"),
                                      Plural(column.unrecovered, "frame")));
    svg += AmplitudeAxis(waveBox);
    svg += Waveform(column.decoded, waveBox, samples);
    svg += Panel(lossBox, "");
    svg += fmt::format("<text x=\"{:.1f}\" y=\"{:.1f}\" text-anchor=\"end\">lost</text>\n",
                       lossBox.x - 6, lossBox.y + kLossHeight - 2);
    svg += LossDensity(column.lost, lossBox, trace.frames());
    svg += Panel(snrBox, heading + "SNR against the lossless decode, per frame (top: identical)");
    for (double db = kSnrBottomDb; db <= kSnrTopDb; db += kSnrGridDb) {
      const double lineY = SnrY(snrBox, db);
      svg += fmt::format(
          "<line class=\"grid\" x1=\"{:.1f}\" y1=\"{:.1f}\" x2=\"{:.1f}\" y2=\"{:.1f}\"/>"
          "<text x=\"{:.1f}\" y=\"{:.1f}\" text-anchor=\"end\">{:.0f} dB</text>\n",
          snrBox.x, lineY, snrBox.x + plotWidth, lineY, snrBox.x - 6, lineY + 4, db);
    }
    svg += SnrLine(column.snr, snrBox, trace.frames());
    svg += marks(true);
  }

  const double step = TimeStep(seconds);
  const bool minutes = first + seconds > kMinutesAxisFrom;
  for (double tick = std::ceil(first / step) * step; tick <= first + seconds + 1e-9; tick += step) {
    const double x = kLeft + (tick - first) * pxPerSecond;
    svg += fmt::format(
        "<line class=\"axis\" x1=\"{0:.1f}\" y1=\"{1:.1f}\" x2=\"{0:.1f}\" y2=\"{2:.1f}\"/>"
        "<text x=\"{0:.1f}\" y=\"{3:.1f}\" text-anchor=\"middle\">{4}</text>\n",
        x, y, y + 5, y + 18, TimeLabel(tick, minutes));
  }
  svg += "</svg>\n";
  return svg;
}

std::string PlotPng(const std::string& svg, const std::string& path) {
  auto fail = [&path](const std::string& reason) {
    return HostError(kExitOutput, fmt::format("cannot draw '{}': {}", path, reason));
  };
  GError* error = nullptr;
  std::unique_ptr<RsvgHandle, void (*)(gpointer)> handle(
      rsvg_handle_new_from_data(reinterpret_cast<const guint8*>(svg.data()), svg.size(), &error),
      g_object_unref);
  if (!handle) {
    const std::string reason = error != nullptr ? error->message : "librsvg refused the picture";
    g_clear_error(&error);
    throw fail(reason);
  }
  gdouble width = 0;
  gdouble height = 0;
  rsvg_handle_get_intrinsic_size_in_pixels(handle.get(), &width, &height);
  std::unique_ptr<cairo_surface_t, void (*)(cairo_surface_t*)> surface(
      cairo_image_surface_create(CAIRO_FORMAT_RGB24, static_cast<int>(std::ceil(width)),
                                 static_cast<int>(std::ceil(height))),
      cairo_surface_destroy);
  std::unique_ptr<cairo_t, void (*)(cairo_t*)> cairo(cairo_create(surface.get()), cairo_destroy);
  const RsvgRectangle viewport{0, 0, width, height};
  if (!rsvg_handle_render_document(handle.get(), cairo.get(), &viewport, &error)) {
    const std::string reason = error != nullptr ? error->message : "rendering failed";
    g_clear_error(&error);
    throw fail(reason);
  }
  std::string png;
  const cairo_status_t status = cairo_surface_write_to_png_stream(
      surface.get(),
      [](void* closure, const unsigned char* data, unsigned int length) {
        static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
        return CAIRO_STATUS_SUCCESS;
      },
      &png);
  if (status != CAIRO_STATUS_SUCCESS) throw fail(cairo_status_to_string(status));
  return png;
}

}  // namespace zbhost
