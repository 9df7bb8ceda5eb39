// The SVG plot of a decoded run: one step trace per channel against a labelled
// time axis, sized by the window's pixels rather than by the number of edges.
#pragma once

#include <string>

#include "tools/CaptureTrace.h"

namespace capture {

struct PlotOptions {
  double from = 0;    // seconds from the run's start
  double to = -1;     // seconds; < 0: the end of the run (a later time stops there too)
  int width = 1200;   // pixels of the drawing
  std::string title;  // shown above the traces; empty: none
};

// The channels as step traces against time, one row per channel with its name,
// and a labelled time axis (ticks at 1-2-5 steps with units s/ms/µs/ns chosen
// from the span). Edges that share a pixel column are drawn as one bar from
// low to high, so the output grows with the width, not with the edges.
// Returns false with `error` set (and `svg` empty) when the run has no samples,
// the window is empty or starts outside the run, or the width leaves no room.
bool RenderSvg(const Trace& trace, const PlotOptions& options, std::string& svg, std::string& error);

}  // namespace capture
