// The plot read back: the trace paths' corners against the edge times, the
// tick labels against the window, the size of a dense trace, escaping, the
// windows refused, and a real SVG renderer that must accept the output.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <set>

#include "tests/support/TempDir.h"
#include "tools/CapturePlot.h"

namespace {

using capture::PlotOptions;
using capture::RenderSvg;
using capture::Trace;

// A path of M/H/V commands as its start, its end and its vertical moves.
struct Path {
  double x0 = 0, y0 = 0, xEnd = 0;
  struct Move {
    double x, from, to;
  };
  std::vector<Move> verticals;
};

std::vector<Path> Paths(const std::string& svg) {
  std::vector<Path> paths;
  const std::string key = "class=\"trace\" d=\"";
  for (auto at = svg.find(key); at != std::string::npos; at = svg.find(key, at + 1)) {
    Path p;
    double x = 0, y = 0;
    const std::size_t start = at + key.size();
    const std::string d = svg.substr(start, svg.find('"', start) - start);
    for (const char* s = d.c_str(); *s;) {
      const char command = *s++;
      char* end = nullptr;
      const double v = std::strtod(s, &end);
      s = end;
      if (command == 'M') x = p.x0 = v, y = p.y0 = std::strtod(s, &end), s = end;
      if (command == 'H') x = v;
      if (command == 'V') p.verticals.push_back({x, y, v}), y = v;
      while (*s == ' ') ++s;
    }
    p.xEnd = x;
    paths.push_back(p);
  }
  return paths;
}

struct Tick {
  double x;
  double value;
};

// Each tick label: class="tick" x="X" ...>VALUE<
std::vector<Tick> Ticks(const std::string& svg) {
  std::vector<Tick> ticks;
  const std::string key = "class=\"tick\" x=\"";
  for (size_t at = svg.find(key); at != std::string::npos; at = svg.find(key, at + 1)) {
    const size_t x = at + key.size();
    const size_t text = svg.find('>', x);
    if (text == std::string::npos) break;
    ticks.push_back({std::stod(svg.substr(x)), std::stod(svg.substr(text + 1))});
  }
  return ticks;
}

Trace OneChannel(double rate, std::uint64_t samples, bool initial, std::vector<std::uint64_t> edges) {
  return {rate, samples, {{"D0", initial, std::move(edges)}}};
}

std::string Render(const Trace& trace, const PlotOptions& options) {
  std::string svg, error;
  EXPECT_TRUE(RenderSvg(trace, options, svg, error)) << error;
  return svg;
}

TEST(CapturePlot, TransitionsSitWhereTheEdgeTimesAre) {
  const Trace trace = OneChannel(1000, 1000, false, {100, 250, 600});
  struct Case {
    double from, to;
    std::vector<std::uint64_t> shown;
  };
  for (const Case& c : {Case{0, -1, {100, 250, 600}}, Case{0.2, 0.7, {250, 600}}}) {
    const Path p = Paths(Render(trace, {c.from, c.to, 1200, ""})).at(0);
    ASSERT_EQ(p.verticals.size(), c.shown.size());
    for (std::size_t i = 0; i < c.shown.size(); ++i) {
      const double expected = p.x0 + (c.shown[i] / 1000.0 - c.from) / ((c.to < 0 ? 1 : c.to) - c.from) * (p.xEnd - p.x0);
      EXPECT_NEAR(p.verticals[i].x, expected, 0.01) << "edge " << c.shown[i];
      if (i > 0) {
        EXPECT_EQ(p.verticals[i].to, p.verticals[i - 1].from) << "levels alternate";
      }
    }
    EXPECT_LT(p.verticals.back().to, p.verticals.back().from) << "the last edge, at 600, goes high";
  }
}

TEST(CapturePlot, LevelAtTheWindowStartComesFromTheEdgesBefore) {
  const Trace trace = OneChannel(1000, 1000, false, {100, 300});
  const Path high = Paths(Render(trace, {0.15, 0.35, 800, ""})).at(0);
  ASSERT_EQ(high.verticals.size(), 1u);
  EXPECT_GT(high.verticals[0].to, high.y0) << "starts high, falls at 300";

  const Path low = Paths(Render(trace, {0.05, 0.15, 800, ""})).at(0);
  ASSERT_EQ(low.verticals.size(), 1u);
  EXPECT_LT(low.verticals[0].to, low.y0) << "starts low, rises at 100";

  const Path onEdge = Paths(Render(trace, {0.1, 0.2, 800, ""})).at(0);
  EXPECT_TRUE(onEdge.verticals.empty());
  EXPECT_EQ(onEdge.y0, high.y0) << "the edge at the window's first sample applies to it";
}

TEST(CapturePlot, TicksAreRoundValuesInsideTheWindow) {
  struct Case {
    double rate;
    std::uint64_t samples;
    double from, to;
    const char* unit;
    double scale;
  };
  for (const Case& c : {Case{1e6, 1000000, 0.0123, 0.0567, "ms", 1e-3}, Case{1e9, 1000, 0, -1, "\u00b5s", 1e-6},
                        Case{1e9, 400, 1.3e-7, -1, "ns", 1e-9}, Case{1000, 5000, 1.5, -1, "s", 1}}) {
    const std::string svg = Render(OneChannel(c.rate, c.samples, false, {}), {c.from, c.to, 1000, ""});
    const double to = c.to < 0 ? c.samples / c.rate : c.to;
    EXPECT_NE(svg.find(std::string("time (") + c.unit + ")"), std::string::npos) << c.unit;
    const Path p = Paths(svg).at(0);
    const std::vector<Tick> ticks = Ticks(svg);
    ASSERT_GE(ticks.size(), 3u) << c.unit;
    const double step = ticks[1].value - ticks[0].value;
    const double mantissa = step / std::pow(10, std::floor(std::log10(step) + 1e-9));
    EXPECT_TRUE(std::fabs(mantissa - 1) < 1e-6 || std::fabs(mantissa - 2) < 1e-6 || std::fabs(mantissa - 5) < 1e-6)
        << "step " << step << " " << c.unit;
    for (const Tick& t : ticks) {
      EXPECT_NEAR(t.value / step, std::round(t.value / step), 1e-6) << t.value;
      EXPECT_GE(t.value * c.scale, c.from - 1e-12);
      EXPECT_LE(t.value * c.scale, to + 1e-12);
      EXPECT_NEAR(t.x, p.x0 + (t.value * c.scale - c.from) / (to - c.from) * (p.xEnd - p.x0), 0.05) << t.value;
    }
  }
}

TEST(CapturePlot, DenseEdgesCollapseToOneBarPerColumn) {
  // 999 999 edges, one per sample, in the first half; then it stays high.
  std::vector<std::uint64_t> edges(999999);
  for (std::size_t i = 0; i < edges.size(); ++i) edges[i] = i + 1;
  const std::string svg = Render(OneChannel(1e6, 2000000, false, std::move(edges)), {0, -1, 1200, ""});
  ASSERT_LT(svg.size(), 100000u);
  const Path p = Paths(svg).at(0);
  const double width = p.xEnd - p.x0;
  EXPECT_LE(p.verticals.size(), width + 2) << "at most two moves per column of the dense half";
  std::set<int> columns;
  for (const Path::Move& m : p.verticals) columns.insert(static_cast<int>(m.x - p.x0));
  EXPECT_EQ(columns.size(), static_cast<std::size_t>(width / 2)) << "every column of the dense half has its bar";
  EXPECT_LT(p.verticals.back().to, p.y0) << "an odd number of edges leaves it high";
  EXPECT_LT(p.verticals.back().x, p.x0 + width / 2 + 1);
}

TEST(CapturePlot, NamesAndTitleAreEscaped) {
  Trace trace = OneChannel(1000, 1000, false, {10});
  trace.channels[0].name = "a<b&\"c\"";
  const std::string svg = Render(trace, {0, -1, 600, "R&D <run 'x'>"});
  EXPECT_NE(svg.find(">a&lt;b&amp;&quot;c&quot;<"), std::string::npos);
  EXPECT_NE(svg.find(">R&amp;D &lt;run &apos;x&apos;&gt;<"), std::string::npos);
  EXPECT_EQ(svg.find("a<b"), std::string::npos);
}

TEST(CapturePlot, RefusesEmptyWindowsAndWindowsOutsideTheRun) {
  const Trace trace = OneChannel(1000, 1000, false, {100});
  struct Case {
    Trace trace;
    PlotOptions options;
  };
  for (const Case& c : {Case{trace, {-0.1, -1, 1200, ""}}, Case{trace, {1.0, -1, 1200, ""}},
                        Case{trace, {0.5, 0.5, 1200, ""}}, Case{trace, {0.5, 0.2, 1200, ""}},
                        Case{trace, {0, -1, 60, ""}}, Case{OneChannel(0, 1000, false, {}), {}},
                        Case{OneChannel(1000, 0, false, {}), {}}}) {
    std::string svg = "stale", error;
    EXPECT_FALSE(RenderSvg(c.trace, c.options, svg, error)) << c.options.from << " " << c.options.to;
    EXPECT_FALSE(error.empty());
    EXPECT_TRUE(svg.empty());
  }
  // An end past the run's stops at the run's end: the edge at 0.8 s sits at
  // 60% of the window 0.5 s to 1 s.
  const std::string svg = Render(OneChannel(1000, 1000, false, {800}), {0.5, 7, 1200, ""});
  const Path p = Paths(svg).at(0);
  ASSERT_EQ(p.verticals.size(), 1u);
  EXPECT_NEAR(p.verticals[0].x, p.x0 + 0.6 * (p.xEnd - p.x0), 0.01);
  const std::vector<Tick> ticks = Ticks(svg);
  ASSERT_FALSE(ticks.empty());
  EXPECT_LE(ticks.back().value, 1000.0) << "ms, up to the run's end";
}

TEST(CapturePlot, RsvgConvertRendersItToPng) {
  if (std::system("command -v rsvg-convert >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "rsvg-convert is not on PATH (Debian: apt-get install librsvg2-bin)";
  Trace trace = OneChannel(1e6, 100000, false, {1000, 20000, 20500, 70000});
  std::vector<std::uint64_t> dense;
  for (std::uint64_t e = 30000; e < 60000; e += 3) dense.push_back(e);
  trace.channels.push_back({"clk <&\"x\">", true, dense});
  const testsupport::TempDir dir;
  ASSERT_FALSE(dir.Path().empty());
  {
    std::ofstream(dir.File("plot.svg")) << Render(trace, {0, -1, 900, "Run & <check>"});
  }
  const int status = std::system(("rsvg-convert -o '" + dir.File("plot.png") + "' '" + dir.File("plot.svg") + "'").c_str());
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  std::ifstream png(dir.File("plot.png"), std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(png)), std::istreambuf_iterator<char>());
  EXPECT_EQ(bytes.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
  EXPECT_GT(bytes.size(), 2000u);
}

}  // namespace
