// The shape of a recorded scroll: how many frames, how far, and where each frame stands.
// The clip holds the top of the page for its first 12 %, then eases in and out (quadratic) to the
// end of the travel, which the last frame reaches exactly.
#pragma once

#include <cstdint>
#include <string>

namespace kov {

// fps × seconds taken toward zero, never fewer than 2 frames.
int scrollFrameCount(double fps, double seconds);

// How far the scroll goes in CSS pixels: `distance` viewports, but never past the bottom of the
// page and never upwards.
double scrollTravel(double pageHeight, int viewportHeight, double distance);

// The eased progress (0..1) of frame `index` out of `frameCount` (at least 2).
double easedProgress(int index, int frameCount);

// The vertical scroll position of frame `index`, toward zero to whole pixels.
std::int64_t scrollPosition(int index, int frameCount, double travel);

// The page script that moves the view to `y`.
std::string scrollScript(std::int64_t y);

}  // namespace kov
