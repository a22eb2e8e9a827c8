// The text detector misses the ends of a line whose letters cross a busy part of the picture (a
// coloured line over a patterned shirt, say): its box then holds only the middle of the line. The
// letters beyond the box still have the colour of those inside it, and that is what finds them.
#pragma once

#include <optional>

#include <opencv2/core.hpp>

namespace kov {

// `box` (pixels of `bgr`) widened to the left and right over the marks of letter size and of the
// letters' colour that continue the line along its row, a word gap at most apart; `box` itself when
// its letters have no colour of their own or nothing continues the line.
cv::Rect2d widenedAlongRow(const cv::Mat& bgr, const cv::Rect2d& box);

struct LettersAlongRow {
  cv::Rect2d extent;                 // the box widened as widenedAlongRow does
  std::optional<cv::Vec3f> colour;   // the letters' own colour (B, G, R), when they have one
};
LettersAlongRow lettersAlongRow(const cv::Mat& bgr, const cv::Rect2d& box);

// `bgr` as a grey picture (three equal channels) of each pixel's distance to `colour`: pixels of
// that colour black, those `far` or farther (Euclidean, 0..255 per channel) white. Letters of one
// colour stand out dark from a picture behind them of any brightness, stripes of black and white
// alike.
cv::Mat nearnessTo(const cv::Mat& bgr, const cv::Vec3f& colour, double far);

// `box` widened as widenedAlongRow does, over the marks of letter size whose pixels lie within
// `near` of `colour`.
cv::Rect2d widenedByColour(const cv::Mat& bgr, const cv::Rect2d& box, const cv::Vec3f& colour, double near);

}  // namespace kov
