// Keeping and drawing the run's picture.
#include "host/report/Plot.h"

#include <cairo-svg.h>
#include <cairo.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>
#include <stdexcept>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "host/base/HostError.h"

namespace zbhost {

namespace {

constexpr size_t kMaxBuckets = 4096;     // a track's resolution: about four per pixel column
constexpr size_t kMaxSnrBuckets = 2048;  // each holds a histogram: about two per pixel column
constexpr double kWidth = 1100;          // px, the whole picture
constexpr double kLeft = 70;             // px, room for the axis labels
constexpr double kRight = 20;
constexpr double kTop = 74;              // px, room for the title, the link and the legend
constexpr double kWaveHeight = 120;      // px, each waveform panel
constexpr double kLossHeight = 14;       // px, the loss-density strip
constexpr double kSnrHeight = 90;        // px, the SNR panel
constexpr double kGap = 24;              // px between panels
constexpr double kSmallGap = 4;          // px between a waveform and its loss strip
constexpr double kBottom = 40;           // px, room for the time axis
constexpr double kMinStroke = 1.0;       // px: a flat stretch of waveform still shows
constexpr double kSnrGridDb = 20;
constexpr double kFullScale = 32768.0;
constexpr double kPercent = 100.0;
constexpr double kAmplitudeTicks[] = {-1, -0.5, 0, 0.5, 1};
constexpr double kLegendStep = 130;      // px from one legend entry to the next
constexpr double kLegendBox = 12;        // px, a legend entry's swatch
constexpr double kTitleY = 22;           // px, baselines of the heading's three lines
constexpr double kLinkY = 40;
constexpr double kLegendY = 60;
constexpr double kLabelGap = 6;          // px between an axis label and its panel
constexpr double kFontSize = 12;         // px
constexpr double kTitleFontSize = 15;    // px
constexpr double kTickLength = 5;        // px, the time axis's ticks
constexpr double kTimeLabelDrop = 18;    // px from the axis down to a time label's baseline
constexpr double kLabelRise = 4;         // px from a label's baseline to the line it names
constexpr double kRepairedAlpha = 0.35;  // a repaired frame's shade: the waveform shows through
constexpr double kBandAlpha = 0.3;       // the SNR band from a column's worst frame to its median
constexpr double kSnrLineWidth = 1.2;    // px
constexpr double kSnrInset = 4;          // px between the SNR scale's ends and its panel's
constexpr int kMaxTimeTicks = 12;
constexpr double kSecondsPerMinute = 60;
constexpr double kMinutesAxisFrom = 120;  // s: longer spans are labelled in min:s
constexpr double kTimeSteps[] = {0.02, 0.05, 0.1, 0.2, 0.5, 1,   2,    5,    10,   15,  30,
                                 60,   120,  300, 600, 900, 1800, 3600, 7200, 14400};

struct Colour {
  double red, green, blue;
};
constexpr double kChannelMax = 255.0;
constexpr Colour Rgb(uint32_t rgb) {
  return {static_cast<double>((rgb >> 16) & 0xFF) / kChannelMax,
          static_cast<double>((rgb >> 8) & 0xFF) / kChannelMax,
          static_cast<double>(rgb & 0xFF) / kChannelMax};
}
constexpr Colour kWhite = Rgb(0xFFFFFF);
constexpr Colour kText = Rgb(0x222222);
constexpr Colour kAxis = Rgb(0x888888);
constexpr Colour kGrid = Rgb(0xDDDDDD);
constexpr Colour kWave = Rgb(0xA8BDD6);
constexpr Colour kRms = Rgb(0x1D3557);
constexpr Colour kSnr = Rgb(0x6A4C93);
constexpr Colour kDensity = Rgb(0xD62828);

// Per PlotKind: its colour, its legend, and whether it is drawn over the waveform (frames
// lost for good, so none can hide) or under it (repaired frames).
struct KindStyle {
  Colour colour;
  const char* legend;
  bool onTop;
};
constexpr KindStyle kKindStyles[kPlotKinds] = {{Rgb(0x2A9D8F), "rebuilt", false},
                                               {Rgb(0x999999), "only parity lost", false},
                                               {Rgb(0xF4A261), "concealed", true},
                                               {Rgb(0xD62828), "lost (silence)", true}};

struct Box {
  double x, y, width, height;
};

enum class Anchor { Start, Middle, End };

// cairo draws valid UTF-8 only, and a file name need not be: nlohmann's writer replaces
// each invalid sequence with U+FFFD, and its reader gives back the text it wrote.
std::string ValidUtf8(const std::string& text) {
  const nlohmann::json value = text;
  return nlohmann::json::parse(value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace))
      .get<std::string>();
}

// A cairo context with the few strokes the plot is made of.
class Canvas {
 public:
  explicit Canvas(cairo_t* cairo) : m_cairo(cairo) {
    cairo_select_font_face(m_cairo, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(m_cairo, kFontSize);
    cairo_set_line_width(m_cairo, 1);
  }
  cairo_t* get() const { return m_cairo; }

  void Paint(const Colour& colour, double alpha = 1) {
    cairo_set_source_rgba(m_cairo, colour.red, colour.green, colour.blue, alpha);
  }
  void Fill(const Box& box, const Colour& colour, double alpha = 1) {
    Paint(colour, alpha);
    cairo_rectangle(m_cairo, box.x, box.y, box.width, box.height);
    cairo_fill(m_cairo);
  }
  void Line(double x1, double y1, double x2, double y2, const Colour& colour) {
    Paint(colour);
    cairo_move_to(m_cairo, x1, y1);
    cairo_line_to(m_cairo, x2, y2);
    cairo_stroke(m_cairo);
  }
  void Text(double x, double y, const std::string& text, Anchor anchor = Anchor::Start,
            bool title = false) {
    const std::string valid = ValidUtf8(text);
    cairo_save(m_cairo);
    if (title) {
      cairo_select_font_face(m_cairo, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
      cairo_set_font_size(m_cairo, kTitleFontSize);
    }
    cairo_text_extents_t extents;
    cairo_text_extents(m_cairo, valid.c_str(), &extents);
    const double shift = anchor == Anchor::Start    ? 0
                         : anchor == Anchor::Middle ? extents.x_advance / 2
                                                    : extents.x_advance;
    Paint(kText);
    cairo_move_to(m_cairo, x - shift, y);
    cairo_show_text(m_cairo, valid.c_str());
    cairo_restore(m_cairo);
  }

 private:
  cairo_t* m_cairo;
};

// The buckets [first, last) of a track of `span` items a bucket that cover pixel column
// `pixel` of `pixels` spread over `items` items: at least one, so that no bucket falls
// between two columns.
std::pair<size_t, size_t> BucketsOf(int64_t span, size_t total, int pixel, int pixels, int64_t items) {
  const int64_t firstItem = pixel * items / pixels;
  const int64_t lastItem = (pixel + 1) * items / pixels;
  const size_t first = std::min(total - 1, static_cast<size_t>(firstItem / span));
  const size_t last =
      std::min(total, std::max(first + 1, static_cast<size_t>((lastItem + span - 1) / span)));
  return {first, last};
}

// Calls `draw(x, first, last)` for each pixel column of `box`: x its centre, [first, last)
// its buckets of `track`.
template <typename Draw>
void ForEachColumn(const Box& box, const Track& track, int64_t items, const Draw& draw) {
  const int pixels = static_cast<int>(box.width);
  const size_t total = track.buckets().size();
  if (items <= 0 || total == 0) return;
  for (int pixel = 0; pixel < pixels; ++pixel) {
    const auto [first, last] = BucketsOf(track.span(), total, pixel, pixels, items);
    draw(box.x + pixel + 0.5, first, last);
  }
}

// The envelope as one vertical stroke per pixel column from its lowest to its highest
// sample, and inside it a darker one of the column's RMS either way from the middle, so the
// shape of speech shows however long the input.
void Waveform(Canvas& canvas, const Envelope& envelope, const Box& box, int64_t samples) {
  cairo_t* cairo = canvas.get();
  const double mid = box.y + box.height / 2;
  const double scale = box.height / 2 / kFullScale;
  const Track& peaks = envelope.peaks();
  ForEachColumn(box, peaks, samples, [&](double x, size_t first, size_t last) {
    float low = std::numeric_limits<float>::max();
    float high = std::numeric_limits<float>::lowest();
    for (size_t i = first; i < last; ++i) {
      low = std::min(low, peaks.buckets()[i].low);
      high = std::max(high, peaks.buckets()[i].high);
    }
    cairo_move_to(cairo, x, mid - high * scale - kMinStroke / 2);
    cairo_line_to(cairo, x, mid - low * scale + kMinStroke / 2);
  });
  canvas.Paint(kWave);
  cairo_stroke(cairo);
  const Track& power = envelope.power();
  ForEachColumn(box, power, samples, [&](double x, size_t first, size_t last) {
    double sum = 0;
    double count = 0;
    for (size_t i = first; i < last; ++i) {
      sum += power.buckets()[i].sum;
      count += power.buckets()[i].count;
    }
    const double level = count > 0 ? std::sqrt(sum / count) * scale : 0;
    cairo_move_to(cairo, x, mid - level - kMinStroke / 2);
    cairo_line_to(cairo, x, mid + level + kMinStroke / 2);
  });
  canvas.Paint(kRms);
  cairo_stroke(cairo);
}

// Each pixel column shaded by the share of its frames of each kind drawn on this layer: a
// column of one frame as that frame, one of many as faintly as few of them were touched.
void KindShades(Canvas& canvas, const std::vector<PixelSummary>& pixels, const Box& box, bool onTop) {
  for (int kind = 0; kind < kPlotKinds; ++kind) {
    const KindStyle& style = kKindStyles[kind];
    if (style.onTop != onTop) continue;
    const double alpha = onTop ? 1 : kRepairedAlpha;
    for (size_t p = 0; p < pixels.size(); ++p) {
      const double share = pixels[p].share[static_cast<size_t>(kind)];
      if (share <= 0) continue;
      canvas.Fill({box.x + static_cast<double>(p), box.y, 1, box.height}, style.colour, alpha * share);
    }
  }
}

// The scale sits a little inside its panel, so a line along the top or foot stays clear of
// the frame.
double SnrY(const Box& box, double db) {
  const double clamped = std::clamp(db, SnrTrack::kBottomDb, SnrTrack::kTopDb);
  return box.y + kSnrInset +
         (box.height - 2 * kSnrInset) * (SnrTrack::kTopDb - clamped) / (SnrTrack::kTopDb - SnrTrack::kBottomDb);
}

// Per pixel column a light band from its worst frame's SNR up to its median frame's, and a
// line through the medians: one bad frame shows, and so does what most frames were. A column
// without a frame that has an SNR breaks the line.
void SnrPanel(Canvas& canvas, const std::vector<PixelSummary>& pixels, const Box& box) {
  for (double db = SnrTrack::kBottomDb; db <= SnrTrack::kTopDb; db += kSnrGridDb) {
    const double y = SnrY(box, db);
    canvas.Line(box.x, y, box.x + box.width, y, kGrid);
    canvas.Text(box.x - kLabelGap, y + kLabelRise, fmt::format("{:.0f} dB", db), Anchor::End);
  }
  cairo_t* cairo = canvas.get();
  for (size_t p = 0; p < pixels.size(); ++p) {
    if (!pixels[p].medianDb) continue;
    const double top = SnrY(box, *pixels[p].medianDb);
    const double bottom = SnrY(box, *pixels[p].worstDb);
    cairo_rectangle(cairo, box.x + static_cast<double>(p), top, 1, bottom - top);
  }
  canvas.Paint(kSnr, kBandAlpha);
  cairo_fill(cairo);
  bool drawing = false;
  for (size_t p = 0; p < pixels.size(); ++p) {
    if (!pixels[p].medianDb) {
      drawing = false;
      continue;
    }
    const double x = box.x + static_cast<double>(p) + 0.5;
    const double y = SnrY(box, *pixels[p].medianDb);
    if (drawing) {
      cairo_line_to(cairo, x, y);
    } else {
      cairo_move_to(cairo, x, y);
      // A lone column still shows as a dot.
      cairo_line_to(cairo, x + kMinStroke / 2, y);
    }
    drawing = true;
  }
  canvas.Paint(kSnr);
  cairo_save(cairo);
  cairo_set_line_width(cairo, kSnrLineWidth);
  cairo_stroke(cairo);
  cairo_restore(cairo);
}

// The share of frames lost for good in each pixel column, as a bar from the strip's foot,
// scaled to the densest column so that sparse losses in a long stream still read; the
// strip's label names that share.
void LossDensity(Canvas& canvas, const std::vector<PixelSummary>& pixels, const Box& box) {
  double densest = 0;
  for (const PixelSummary& pixel : pixels) densest = std::max(densest, pixel.lostShare);
  cairo_t* cairo = canvas.get();
  const double foot = box.y + box.height;
  for (size_t p = 0; p < pixels.size(); ++p) {
    if (pixels[p].lostShare <= 0) continue;
    const double height = std::max(kMinStroke, box.height * pixels[p].lostShare / densest);
    cairo_rectangle(cairo, box.x + static_cast<double>(p), foot - height, 1, height);
  }
  canvas.Paint(kDensity);
  cairo_fill(cairo);
  canvas.Text(box.x + box.width, foot + kSmallGap * 3,
              densest > 0 ? fmt::format("lost for good, up to {:.0f} % a column", densest * kPercent)
                          : std::string("none lost for good"),
              Anchor::End);
}

void Panel(Canvas& canvas, const Box& box, const std::string& label) {
  canvas.Paint(kAxis);
  cairo_rectangle(canvas.get(), box.x + 0.5, box.y + 0.5, box.width, box.height);
  cairo_stroke(canvas.get());
  if (!label.empty()) canvas.Text(box.x, box.y - kSmallGap, label);
}

void AmplitudeAxis(Canvas& canvas, const Box& box) {
  for (double tick : kAmplitudeTicks) {
    const double y = std::round(box.y + box.height / 2 * (1 - tick)) + 0.5;
    canvas.Line(box.x, y, box.x + box.width, y, kGrid);
    canvas.Text(box.x - kLabelGap, y + kLabelRise, fmt::format("{:g}", tick), Anchor::End);
  }
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

double PanelsHeight(size_t columns) {
  const double columnHeight = kGap + kWaveHeight + kSmallGap + kLossHeight + kGap + kSnrHeight;
  return kTop + kGap + kWaveHeight + columnHeight * static_cast<double>(columns) + kBottom;
}

void Heading(Canvas& canvas, const RunDescription& run, const PlotTrace& trace, double first,
             double seconds) {
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
  canvas.Text(kLeft, kTitleY, title, Anchor::Start, true);
  canvas.Text(kLeft, kLinkY, link);
  double x = kLeft;
  for (const KindStyle& style : kKindStyles) {
    canvas.Fill({x, kLegendY - kLegendBox + 2, kLegendBox, kLegendBox}, style.colour,
                style.onTop ? 1 : kRepairedAlpha);
    canvas.Text(x + kLegendBox + kSmallGap, kLegendY, style.legend);
    x += kLegendStep;
  }
}

// One run's panels below `top`: its decoded waveform shaded by what became of its frames,
// its loss strip and its SNR. Returns the foot of the last.
double RunPanels(Canvas& canvas, const PlotTrace& trace, const PlotColumn& column, double top,
                 int64_t samples) {
  const double width = kWidth - kLeft - kRight;
  const Box waveBox{kLeft, top + kGap, width, kWaveHeight};
  const Box lossBox{kLeft, waveBox.y + kWaveHeight + kSmallGap, width, kLossHeight};
  const Box snrBox{kLeft, lossBox.y + kLossHeight + kGap, width, kSnrHeight};
  const std::vector<PixelSummary> pixels =
      Summarise(column, trace.frames(), static_cast<int>(width));
  const std::string heading = trace.columns().size() > 1 ? column.label + ": " : std::string();
  // Repaired frames lie under the waveform, frames lost for good over it.
  KindShades(canvas, pixels, waveBox, false);
  Panel(canvas, waveBox, fmt::format("{}decoded: {} rebuilt, {} lost for good", heading,
                                     Plural(column.rebuilt, "frame"), Plural(column.unrecovered, "frame")));
  AmplitudeAxis(canvas, waveBox);
  Waveform(canvas, column.decoded, waveBox, samples);
  KindShades(canvas, pixels, waveBox, true);
  Panel(canvas, lossBox, "");
  canvas.Text(lossBox.x - kLabelGap, lossBox.y + kLossHeight - 2, "lost", Anchor::End);
  LossDensity(canvas, pixels, lossBox);
  const char* reference = trace.reference() == PlotReference::Input ? "the input" : "the lossless decode";
  const char* identical = trace.reference() == PlotReference::Input ? "" : ", top: identical";
  Panel(canvas, snrBox,
        fmt::format("{}SNR against {}, per column: line the median frame, shade down to the worst{}",
                    heading, reference, identical));
  SnrPanel(canvas, pixels, snrBox);
  return snrBox.y + kSnrHeight;
}

void TimeAxis(Canvas& canvas, double y, double first, double seconds) {
  const double width = kWidth - kLeft - kRight;
  const double pxPerSecond = seconds > 0 ? width / seconds : 0;
  const double step = TimeStep(seconds);
  const bool minutes = first + seconds > kMinutesAxisFrom;
  for (double tick = std::ceil(first / step) * step; tick <= first + seconds + 1e-9; tick += step) {
    const double x = std::round(kLeft + (tick - first) * pxPerSecond) + 0.5;
    canvas.Line(x, y, x, y + kTickLength, kAxis);
    canvas.Text(x, y + kTimeLabelDrop, TimeLabel(tick, minutes), Anchor::Middle);
  }
}

void Draw(cairo_t* cairo, const RunDescription& run, const PlotTrace& trace) {
  Canvas canvas(cairo);
  canvas.Fill({0, 0, kWidth, PanelsHeight(trace.columns().size())}, kWhite);
  const double first = FrameSeconds(std::max<int64_t>(0, trace.firstFrame()));
  const double seconds = FrameSeconds(trace.frames());
  const int64_t samples = trace.frames() * run.layout.frameSamples;
  Heading(canvas, run, trace, first, seconds);
  const Box inputBox{kLeft, kTop + kGap, kWidth - kLeft - kRight, kWaveHeight};
  Panel(canvas, inputBox, fmt::format("input ({} Hz)", run.layout.rate));
  AmplitudeAxis(canvas, inputBox);
  Waveform(canvas, trace.input(), inputBox, samples);
  double y = inputBox.y + kWaveHeight;
  for (const PlotColumn& column : trace.columns()) y = RunPanels(canvas, trace, column, y, samples);
  TimeAxis(canvas, y, first, seconds);
}

cairo_status_t AppendTo(void* closure, const unsigned char* data, unsigned int length) {
  static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
  return CAIRO_STATUS_SUCCESS;
}

using SurfacePtr = std::unique_ptr<cairo_surface_t, void (*)(cairo_surface_t*)>;
using CairoPtr = std::unique_ptr<cairo_t, void (*)(cairo_t*)>;

// The kind of a frame the link touched; nullopt for one it did not.
std::optional<PlotKind> KindOf(const FrameRow& row) {
  switch (row.outcome) {
    case FrameOutcome::Lost:
      return PlotKind::Unrecovered;
    case FrameOutcome::Concealed:
      return PlotKind::Concealed;
    case FrameOutcome::Rebuilt:
      return PlotKind::Rebuilt;
    case FrameOutcome::Received:
      break;
  }
  // Data that came late, after its frame was rebuilt from parity, counts as rebuilt.
  if (row.dataDropped) return PlotKind::Rebuilt;
  if (row.parityDropped) return PlotKind::ParityLost;
  return std::nullopt;
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

void Envelope::Add(const int16_t* samples, size_t count) {
  m_values.assign(samples, samples + count);
  m_peaks.Add(m_values.data(), count);
  for (float& value : m_values) value *= value;
  m_power.Add(m_values.data(), count);
}

void Track::Add(float value) { Add(&value, 1); }

void Track::Add(const float* values, size_t count) {
  while (count > 0) {
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
      m_buckets.push_back({values[0], values[0], 0, 0});
    }
    // The values that still fit the last bucket, in one run.
    Bucket& bucket = m_buckets.back();
    const auto run = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(count), m_nSpan - bucket.count));
    float low = bucket.low;
    float high = bucket.high;
    double sum = bucket.sum;
    for (size_t i = 0; i < run; ++i) {
      low = std::min(low, values[i]);
      high = std::max(high, values[i]);
      sum += values[i];
    }
    bucket = {low, high, sum, bucket.count + static_cast<uint32_t>(run)};
    values += run;
    count -= run;
  }
}

void SnrTrack::Add(std::optional<double> db) {
  if (m_buckets.empty() || m_buckets.back().frames == m_nSpan) {
    if (m_buckets.size() == kMaxSnrBuckets) {
      // Full: each pair becomes one bucket of twice the span.
      for (size_t i = 0; i < kMaxSnrBuckets / 2; ++i) {
        Bucket merged = m_buckets[2 * i];
        const Bucket& b = m_buckets[2 * i + 1];
        merged.worst = std::min(merged.worst, b.worst);
        merged.count += b.count;
        merged.frames += b.frames;
        for (size_t k = 0; k < merged.bins.size(); ++k) merged.bins[k] += b.bins[k];
        m_buckets[i] = merged;
      }
      m_buckets.resize(kMaxSnrBuckets / 2);
      m_nSpan *= 2;
    }
    m_buckets.emplace_back();
    m_buckets.back().worst = std::numeric_limits<float>::max();
  }
  Bucket& bucket = m_buckets.back();
  ++bucket.frames;
  if (!db) return;
  const double clamped = std::clamp(*db, kBottomDb, kTopDb);
  bucket.worst = std::min(bucket.worst, static_cast<float>(clamped));
  ++bucket.count;
  ++bucket.bins[static_cast<size_t>(clamped - kBottomDb)];
}

PlotTrace::PlotTrace(const std::vector<std::string>& labels, std::optional<PlotRange> range,
                     PlotReference reference)
    : m_range(range), m_reference(reference) {
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
  m_input.Add(view.input, view.length);
  for (size_t c = 0; c < m_columns.size(); ++c) {
    PlotColumn& column = m_columns[c];
    const FrameRow& row = rows[c];
    const int16_t* decoded = view.columns[c].frame.samples;
    column.decoded.Add(decoded, view.length);
    double db = row.snrDb;
    if (m_reference == PlotReference::Input) {
      SnrSum sum;
      sum.Add(view.input, decoded, view.length);
      db = sum.Db();
    }
    // -inf: the reference was silent, and the frame has no SNR to draw.
    column.snr.Add(std::isinf(db) && db < 0 ? std::nullopt : std::optional<double>(db));
    const std::optional<PlotKind> kind = KindOf(row);
    for (int k = 0; k < kPlotKinds; ++k) {
      column.kinds[static_cast<size_t>(k)].Add(kind && static_cast<int>(*kind) == k ? 1.0F : 0.0F);
    }
    const bool unrecovered =
        row.outcome == FrameOutcome::Lost || row.outcome == FrameOutcome::Concealed;
    column.lost.Add(unrecovered ? 1.0F : 0.0F);
    column.rebuilt += row.outcome == FrameOutcome::Rebuilt;
    column.unrecovered += unrecovered;
  }
}

std::vector<PixelSummary> Summarise(const PlotColumn& column, int64_t frames, int pixels) {
  std::vector<PixelSummary> out(static_cast<size_t>(std::max(0, pixels)));
  const std::vector<Track::Bucket>& lost = column.lost.buckets();
  const std::vector<SnrTrack::Bucket>& snr = column.snr.buckets();
  if (frames <= 0 || lost.empty() || snr.empty()) return out;
  for (int p = 0; p < pixels; ++p) {
    PixelSummary& pixel = out[static_cast<size_t>(p)];
    const auto [first, last] = BucketsOf(column.lost.span(), lost.size(), p, pixels, frames);
    for (size_t i = first; i < last; ++i) {
      pixel.frames += lost[i].count;
      pixel.lostShare += lost[i].sum;
      for (size_t k = 0; k < pixel.share.size(); ++k) pixel.share[k] += column.kinds[k].buckets()[i].sum;
    }
    pixel.lostShare /= pixel.frames;
    for (double& share : pixel.share) share /= pixel.frames;

    const auto [snrFirst, snrLast] = BucketsOf(column.snr.span(), snr.size(), p, pixels, frames);
    std::array<uint64_t, SnrTrack::kBins> bins{};
    uint64_t count = 0;
    float worst = std::numeric_limits<float>::max();
    for (size_t i = snrFirst; i < snrLast; ++i) {
      if (snr[i].count == 0) continue;
      count += snr[i].count;
      worst = std::min(worst, snr[i].worst);
      for (size_t k = 0; k < bins.size(); ++k) bins[k] += snr[i].bins[k];
    }
    if (count == 0) continue;
    pixel.worstDb = worst;
    // The lower median; a 1 dB bin stands for its middle, the top bin for the top.
    uint64_t seen = 0;
    for (size_t k = 0; k < bins.size(); ++k) {
      seen += bins[k];
      if (2 * seen < count + 1) continue;
      pixel.medianDb = k + 1 == bins.size() ? SnrTrack::kTopDb
                                            : SnrTrack::kBottomDb + static_cast<double>(k) + 0.5;
      break;
    }
    // The worst frame is never drawn above the median's bin.
    pixel.worstDb = std::min(*pixel.worstDb, *pixel.medianDb);
  }
  return out;
}

std::string DrawPlot(const RunDescription& run, const PlotTrace& trace, PlotFormat format,
                     const std::string& path) {
  const double height = PanelsHeight(trace.columns().size());
  std::string out;
  SurfacePtr surface(format == PlotFormat::Svg
                         ? cairo_svg_surface_create_for_stream(AppendTo, &out, kWidth, height)
                         : cairo_image_surface_create(CAIRO_FORMAT_RGB24, static_cast<int>(kWidth),
                                                      static_cast<int>(std::ceil(height))),
                     cairo_surface_destroy);
  if (format == PlotFormat::Svg) cairo_svg_surface_set_document_unit(surface.get(), CAIRO_SVG_UNIT_PX);
  cairo_status_t status = cairo_surface_status(surface.get());
  if (status == CAIRO_STATUS_SUCCESS) {
    CairoPtr cairo(cairo_create(surface.get()), cairo_destroy);
    Draw(cairo.get(), run, trace);
    status = cairo_status(cairo.get());
  }
  if (status == CAIRO_STATUS_SUCCESS && format == PlotFormat::Png) {
    status = cairo_surface_write_to_png_stream(surface.get(), AppendTo, &out);
  }
  // An SVG document is complete once its surface is finished.
  cairo_surface_finish(surface.get());
  if (status == CAIRO_STATUS_SUCCESS) status = cairo_surface_status(surface.get());
  if (status != CAIRO_STATUS_SUCCESS) {
    throw HostError(kExitOutput, fmt::format("cannot draw '{}': {}", path, cairo_status_to_string(status)));
  }
  return out;
}

}  // namespace zbhost
