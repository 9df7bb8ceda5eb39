// The SVG plot of a decoded run: the window in samples, the layout in pixels,
// one path per channel walked column by column, and the time axis.
#include "tools/CapturePlot.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <system_error>
#include <cstdint>
#include <string_view>

namespace capture {

namespace {

constexpr int kRowHeight = 40;    // one channel: its high and low level and a gap
constexpr int kLevelInset = 10;   // from the row's top to high, from its bottom to low
constexpr int kRightMargin = 24;  // room for the last tick label
constexpr int kAxisHeight = 48;   // tick marks, their labels and the axis label
constexpr int kMinPlotWidth = 50;
constexpr double kTickSpacing = 100;  // pixels between ticks wanted, at most

// The window in seconds and in (fractional) samples.
struct Window {
  double t0 = 0, t1 = 0;
  double s0 = 0, s1 = 0;
};

struct Layout {
  int left = 0;   // x of the window's start; the names end just before it
  int plotWidth = 0;
  int top = 0;    // y of the first row
  int width = 0, height = 0;
  int axisY = 0;  // y of the axis line
};

// The unit and spacing of the ticks; labels carry just the decimals the step needs.
struct Axis {
  double step = 1;  // seconds
  double unit = 1;  // seconds per unit shown
  const char* unitName = "s";
  int decimals = 0;
};

// Fixed decimals through to_chars: short, and the same in every locale. A value
// too long for that (only an absurd sample rate makes one) is written in full.
void AppendNumber(std::string& out, double value, int decimals = 2) {
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
  if (result.ec != std::errc()) result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

void AppendInt(std::string& out, long long value) {
  char buffer[24];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

// Channel names and titles come from users; control characters are not allowed
// in XML at all, so they become '?'.
void AppendEscaped(std::string& out, std::string_view text) {
  for (const char c : text) {
    switch (c) {
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '&': out += "&amp;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default:
        const auto u = static_cast<unsigned char>(c);
        out += (u < 0x20 && c != '\t' && c != '\n' && c != '\r') ? '?' : c;
    }
  }
}

std::string Seconds(double s) {
  std::string text;
  AppendNumber(text, s, 9);
  return text + " s";
}

bool CheckWindow(const Trace& trace, const PlotOptions& options, Window& window, std::string& error) {
  if (!(trace.sampleRate > 0) || !std::isfinite(trace.sampleRate) || trace.samples == 0) {
    error = "the run has no samples to plot";
    return false;
  }
  const double end = trace.Seconds(trace.samples);
  if (!(options.from >= 0) || options.from >= end) {
    error = "the window start " + Seconds(options.from) + " is outside the run (0 to " + Seconds(end) + ")";
    return false;
  }
  double to = end;
  if (!(options.to < 0)) {
    if (!(options.to > options.from)) {
      error = "the window is empty: its end " + Seconds(options.to) + " is not after its start " +
              Seconds(options.from);
      return false;
    }
    to = std::min(options.to, end);
  }
  window = {options.from, to, options.from * trace.sampleRate, to * trace.sampleRate};
  return true;
}

// The names' column is as wide as the longest name needs, within reason.
bool MakeLayout(const Trace& trace, const PlotOptions& options, Layout& layout, std::string& error) {
  std::size_t longest = 0;
  for (const Channel& channel : trace.channels) longest = std::max(longest, channel.name.size());
  const int nameWidth = static_cast<int>(std::min<std::size_t>(longest, 40)) * 7 + 16;
  layout.width = options.width;
  layout.left = std::clamp(nameWidth, 48, std::max(48, options.width / 3));
  layout.plotWidth = options.width - layout.left - kRightMargin;
  if (layout.plotWidth < kMinPlotWidth) {
    error = "a width of " + std::to_string(options.width) + " pixels leaves no room for the plot";
    return false;
  }
  layout.top = options.title.empty() ? 12 : 40;
  layout.axisY = layout.top + static_cast<int>(trace.channels.size()) * kRowHeight + 4;
  layout.height = layout.axisY + kAxisHeight;
  return true;
}

Axis ChooseAxis(double span, int plotWidth) {
  Axis axis;
  const double wanted = span * kTickSpacing / plotWidth;
  const double decade = std::pow(10.0, std::floor(std::log10(wanted)));
  axis.step = 10 * decade;
  for (const double m : {1.0, 2.0, 5.0}) {
    if (m * decade >= wanted) {
      axis.step = m * decade;
      break;
    }
  }
  if (span >= 1) {
    axis.unit = 1, axis.unitName = "s";
  } else if (span >= 1e-3) {
    axis.unit = 1e-3, axis.unitName = "ms";
  } else if (span >= 1e-6) {
    axis.unit = 1e-6, axis.unitName = "\u00b5s";
  } else {
    axis.unit = 1e-9, axis.unitName = "ns";
  }
  axis.decimals = std::max(0, static_cast<int>(std::ceil(-std::log10(axis.step / axis.unit) - 1e-9)));
  return axis;
}

// One channel's steps. The level at the window's start comes from a search, and
// only the edges inside the window are visited, one pixel column at a time: the
// edges of a column are counted by a search too, so a column with thousands of
// them costs one bar from low to high, not thousands of segments.
void AppendTrace(std::string& out, const Channel& channel, const Window& window, const Layout& layout, int rowTop) {
  const double yHigh = rowTop + kLevelInset, yLow = rowTop + kRowHeight - kLevelInset;
  const double pxPerSample = layout.plotWidth / (window.s1 - window.s0);
  const auto column = [&](std::uint64_t e) {
    return std::min(std::floor((static_cast<double>(e) - window.s0) * pxPerSample), layout.plotWidth - 1.0);
  };
  const auto first = static_cast<std::uint64_t>(std::floor(window.s0));
  bool level = channel.Level(first);
  auto it = std::upper_bound(channel.edges.begin(), channel.edges.end(), first);
  const auto last = std::upper_bound(it, channel.edges.end(), static_cast<std::uint64_t>(std::floor(window.s1)));

  out += "<path class=\"trace\" d=\"M";
  AppendInt(out, layout.left);
  out += ' ';
  AppendNumber(out, level ? yHigh : yLow);
  while (it != last) {
    const double c = column(*it);
    const auto next = std::partition_point(it, last, [&](std::uint64_t e) { return column(e) <= c; });
    out += " H";
    AppendNumber(out, layout.left + (static_cast<double>(*it) - window.s0) * pxPerSample);
    // Going to the other level already spans low to high; an even count returns.
    out += " V";
    AppendNumber(out, level ? yLow : yHigh);
    if ((next - it) % 2 == 0) {
      out += " V";
      AppendNumber(out, level ? yHigh : yLow);
    } else {
      level = !level;
    }
    it = next;
  }
  out += " H";
  AppendInt(out, layout.left + layout.plotWidth);
  out += "\"/>\n";
}

void AppendText(std::string& out, const char* cls, double x, double y, const char* anchor, std::string_view text) {
  out += "<text class=\"";
  out += cls;
  out += "\" x=\"";
  AppendNumber(out, x);
  out += "\" y=\"";
  AppendNumber(out, y);
  out += "\" text-anchor=\"";
  out += anchor;
  out += "\">";
  AppendEscaped(out, text);
  out += "</text>\n";
}

void AppendLine(std::string& out, double x1, double y1, double x2, double y2) {
  out += "<line x1=\"";
  AppendNumber(out, x1);
  out += "\" y1=\"";
  AppendNumber(out, y1);
  out += "\" x2=\"";
  AppendNumber(out, x2);
  out += "\" y2=\"";
  AppendNumber(out, y2);
  out += "\"/>\n";
}

// Ticks at whole multiples of the step inside the window, each with a faint
// grid line through the rows so edges can be read against it, and faint lines
// between the rows so one channel's low is not taken for the next one's high.
void AppendAxis(std::string& out, const Window& window, const Layout& layout, std::size_t rows) {
  const double span = window.t1 - window.t0;
  const Axis axis = ChooseAxis(span, layout.plotWidth);
  const double right = layout.left + layout.plotWidth;
  std::string grid = "<g class=\"grid\" stroke=\"#e0e0e0\">\n";
  std::string ticks = "<g class=\"ticks\" stroke=\"#000\">\n";
  std::string labels;
  AppendLine(ticks, layout.left, layout.axisY, right, layout.axisY);
  for (std::size_t row = 1; row < rows; ++row) {
    const double y = layout.top + static_cast<double>(row) * kRowHeight;
    AppendLine(grid, layout.left, y, right, y);
  }
  const auto firstTick = static_cast<long long>(std::ceil(window.t0 / axis.step - 1e-9));
  const auto lastTick = static_cast<long long>(std::floor(window.t1 / axis.step + 1e-9));
  for (long long i = firstTick; i <= lastTick; ++i) {
    const double t = static_cast<double>(i) * axis.step;
    const double x = layout.left + std::clamp((t - window.t0) / span, 0.0, 1.0) * layout.plotWidth;
    AppendLine(grid, x, layout.top, x, layout.axisY);
    AppendLine(ticks, x, layout.axisY, x, layout.axisY + 5);
    std::string label;
    AppendNumber(label, t / axis.unit, axis.decimals);
    AppendText(labels, "tick", x, layout.axisY + 18, "middle", label);
  }
  out += grid + "</g>\n" + ticks + "</g>\n" + labels;
  AppendText(out, "axis-label", layout.left + layout.plotWidth / 2.0, layout.axisY + 38, "middle",
             std::string("time (") + axis.unitName + ")");
}

}  // namespace

bool RenderSvg(const Trace& trace, const PlotOptions& options, std::string& svg, std::string& error) {
  svg.clear();
  Window window;
  Layout layout;
  if (!CheckWindow(trace, options, window, error) || !MakeLayout(trace, options, layout, error)) return false;

  svg += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" width=\"";
  AppendInt(svg, layout.width);
  svg += "\" height=\"";
  AppendInt(svg, layout.height);
  svg += "\" viewBox=\"0 0 ";
  AppendInt(svg, layout.width);
  svg += ' ';
  AppendInt(svg, layout.height);
  svg += "\" font-family=\"sans-serif\" font-size=\"12\">\n<rect width=\"100%\" height=\"100%\" fill=\"#fff\"/>\n";
  if (!options.title.empty()) {
    svg += "<g font-size=\"15\" font-weight=\"bold\">\n";
    AppendText(svg, "title", layout.left, 24, "start", options.title);
    svg += "</g>\n";
  }
  AppendAxis(svg, window, layout, trace.channels.size());

  svg += "<g class=\"channels\" fill=\"none\" stroke=\"#1f5fa8\" stroke-width=\"1.5\" stroke-linejoin=\"miter\">\n";
  for (std::size_t i = 0; i < trace.channels.size(); ++i) {
    const int rowTop = layout.top + static_cast<int>(i) * kRowHeight;
    AppendTrace(svg, trace.channels[i], window, layout, rowTop);
  }
  svg += "</g>\n<g class=\"names\" fill=\"#000\">\n";
  for (std::size_t i = 0; i < trace.channels.size(); ++i) {
    const int rowTop = layout.top + static_cast<int>(i) * kRowHeight;
    AppendText(svg, "name", layout.left - 8, rowTop + kRowHeight / 2.0 + 4, "end", trace.channels[i].name);
  }
  svg += "</g>\n</svg>\n";
  return true;
}

}  // namespace capture
