// The text detector misses the ends of a line whose letters cross a busy part of the picture (a
// coloured line over a patterned shirt, say): its box then holds only the middle of the line. The
// letters beyond the box still have the colour of those inside it, and that is what finds them.
#pragma once

#include <opencv2/core.hpp>

namespace kov {

// `box` (pixels of `bgr`) widened to the left and right over the marks of letter size and of the
// letters' colour that continue the line along its row, a word gap at most apart; `box` itself when
// its letters have no colour of their own or nothing continues the line.
cv::Rect2d widenedAlongRow(const cv::Mat& bgr, const cv::Rect2d& box);

}  // namespace kov
