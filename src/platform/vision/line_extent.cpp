#include "platform/vision/line_extent.h"

#include <algorithm>
#include <array>
#include <span>
#include <cmath>
#include <vector>

#include <opencv2/imgproc.hpp>

namespace kov {
namespace {

// The box's pixels fall into this many colours: the letters' and those of the picture behind them
// (with fewer, the letters' colour is a blend with the picture's nearest one and their cores drop
// out of it).
constexpr int kColours = 7;
// A pixel has one of those colours when it lies this near it (Euclidean, 0..255 per channel) and
// nearer than to the others: anti-aliased letter edges blend with the picture and drop out, the
// letters' cores stay.
constexpr double kNear = 48;
// A mark is of a letter's size when its height is between these shares of the box's height and it
// is at most kWidest heights wide. The detector's box is mostly 1.25 times the font size (capitals
// fill 0.6 of it, small letters 0.4), but around a line it found only in part it can be as tight as
// the capitals.
constexpr double kShortest = 0.25, kTallest = 1.1, kWidest = 1.5;
// Marks must lie within the row, allowing this share of its height above and below.
constexpr double kRowSlack = 0.25;
// The letters' colour is the one with the most letter-sized marks inside the box on one baseline
// (their bottoms this share of the box height apart at most), at least kFewestLetters of them.
constexpr double kBaselineTolerance = 0.08;
constexpr int kFewestLetters = 3;
// Marks continue the line when at most this many box heights from it: a word gap and a letter lost
// to a background of the letters' own colour.
constexpr double kLargestGap = 1.0;

struct Mark {
  int left, right;  // columns of the picture, right exclusive
  int bottom;       // row below the mark, in the band
};

// The kColours colours of the box's pixels, by k-means started from the darkest, middle and
// brightest thirds (a fixed start: the same box always gives the same colours).
std::vector<cv::Vec3f> boxColours(const cv::Mat& boxPixels) {
  cv::Mat samples = boxPixels.reshape(1, static_cast<int>(boxPixels.total()));
  samples.convertTo(samples, CV_32F);
  std::vector<std::pair<float, int>> brightness(static_cast<std::size_t>(samples.rows));
  for (int i = 0; i < samples.rows; ++i) {
    const float* p = samples.ptr<float>(i);
    brightness[static_cast<std::size_t>(i)] = {p[0] + p[1] + p[2], i};
  }
  std::sort(brightness.begin(), brightness.end());
  cv::Mat labels(samples.rows, 1, CV_32S);
  for (std::size_t rank = 0; rank < brightness.size(); ++rank)
    labels.at<int>(brightness[rank].second) = static_cast<int>(rank * kColours / brightness.size());
  cv::Mat centres;
  cv::kmeans(samples, kColours, labels, cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 8, 1.0), 1,
             cv::KMEANS_USE_INITIAL_LABELS, centres);
  std::vector<cv::Vec3f> colours(kColours);
  for (int c = 0; c < kColours; ++c) colours[static_cast<std::size_t>(c)] = centres.at<cv::Vec3f>(c);
  return colours;
}

// For each pixel of `band`, the index of the colour it has, or the number of colours for none.
cv::Mat colourIndices(const cv::Mat& band, std::span<const cv::Vec3f> colours, double near = kNear) {
  cv::Mat indices(band.size(), CV_8U);
  for (int y = 0; y < band.rows; ++y) {
    const cv::Vec3b* row = band.ptr<cv::Vec3b>(y);
    std::uint8_t* out = indices.ptr<std::uint8_t>(y);
    for (int x = 0; x < band.cols; ++x) {
      double nearest = near * near;
      std::size_t index = colours.size();
      for (std::size_t c = 0; c < colours.size(); ++c) {
        const cv::Vec3f d = cv::Vec3f(row[x]) - colours[c];
        const double distance = d.dot(d);
        if (distance < nearest) nearest = distance, index = c;
      }
      out[x] = static_cast<std::uint8_t>(index);
    }
  }
  return indices;
}

// The letter-sized marks of `mask` (a band of rows starting `lineTop` rows above the line's top)
// that lie within the line's rows; `kept`, when given, becomes the mask of their pixels.
std::vector<Mark> letterMarks(const cv::Mat& mask, int lineTop, int lineHeight, cv::Mat* kept = nullptr) {
  cv::Mat labels, stats, centroids;
  const int count = cv::connectedComponentsWithStats(mask, labels, stats, centroids, 8, CV_32S);
  std::vector<Mark> marks;
  std::vector<std::uint8_t> letter(static_cast<std::size_t>(count), 0);
  const double slack = kRowSlack * lineHeight;
  for (int i = 1; i < count; ++i) {
    const int x = stats.at<int>(i, cv::CC_STAT_LEFT), y = stats.at<int>(i, cv::CC_STAT_TOP) - lineTop;
    const int w = stats.at<int>(i, cv::CC_STAT_WIDTH), h = stats.at<int>(i, cv::CC_STAT_HEIGHT);
    if (y < -slack || y + h > lineHeight + slack) continue;
    if (h < kShortest * lineHeight || h > kTallest * lineHeight || w > kWidest * lineHeight) continue;
    marks.push_back({x, x + w, y + lineTop + h});
    letter[static_cast<std::size_t>(i)] = 1;
  }
  if (kept) {
    kept->create(mask.size(), CV_8U);
    for (int y = 0; y < mask.rows; ++y)
      for (int x = 0; x < mask.cols; ++x)
        kept->at<std::uint8_t>(y, x) = letter[static_cast<std::size_t>(labels.at<int>(y, x))] ? 255 : 0;
  }
  return marks;
}

// How many of the marks inside the line's columns stand on one baseline (most letters do; marks
// of the picture end at any height).
int lettersOnBaseline(const std::vector<Mark>& marks, const cv::Rect& line) {
  std::vector<int> bottoms;
  for (const Mark& m : marks)
    if (m.left >= line.x && m.right <= line.br().x) bottoms.push_back(m.bottom);
  const int tolerance = std::max(1, static_cast<int>(std::lround(kBaselineTolerance * line.height)));
  int most = 0;
  for (int baseline : bottoms)
    most = std::max(most, static_cast<int>(std::count_if(bottoms.begin(), bottoms.end(), [&](int b) {
                      return std::abs(b - baseline) <= tolerance;
                    })));
  return most;
}

// `box` widened to the left and right over the marks that continue it, a word gap at most apart
// (`height` is the line's height in whole pixels).
cv::Rect2d continuedOver(std::vector<Mark> letters, const cv::Rect2d& box, int height) {
  const double gap = kLargestGap * height;
  double left = box.x, right = box.br().x;
  std::sort(letters.begin(), letters.end(), [](const Mark& a, const Mark& b) { return a.left < b.left; });
  for (const Mark& mark : letters)
    if (mark.right > right && mark.left <= right + gap) right = mark.right;
  std::sort(letters.begin(), letters.end(), [](const Mark& a, const Mark& b) { return a.right > b.right; });
  for (const Mark& mark : letters)
    if (mark.left < left && mark.right >= left - gap) left = mark.left;
  return cv::Rect2d(left, box.y, right - left, box.height);
}

}  // namespace

LettersAlongRow lettersAlongRow(const cv::Mat& bgr, const cv::Rect2d& box) {
  if (bgr.empty() || bgr.type() != CV_8UC3) return {box, std::nullopt};
  const cv::Rect frame(0, 0, bgr.cols, bgr.rows);
  const cv::Rect line = cv::Rect(cv::Point(static_cast<int>(std::floor(box.x)), static_cast<int>(std::floor(box.y))),
                                 cv::Point(static_cast<int>(std::ceil(box.br().x)), static_cast<int>(std::ceil(box.br().y)))) &
                        frame;
  const int height = line.height;
  if (height < 6 || line.width < height) return {box, std::nullopt};
  const auto colours = boxColours(bgr(line).clone());
  // The band reaches half a line height above and below the line, so that marks of the picture
  // crossing the line's rows are seen whole (and too tall for letters).
  const int bandTop = std::max(0, line.y - height / 2), bandBottom = std::min(bgr.rows, line.br().y + height / 2);

  const cv::Mat band = bgr(cv::Range(bandTop, bandBottom), cv::Range::all());
  const cv::Mat indices = colourIndices(band, colours);
  int letterColour = -1, mostInside = 0;
  for (int c = 0; c < kColours; ++c) {
    const int inside = lettersOnBaseline(letterMarks(indices == c, line.y - bandTop, height), line);
    if (inside > mostInside) mostInside = inside, letterColour = c;
  }
  if (mostInside < kFewestLetters) return {box, std::nullopt};
  // The colour found is the mean of the letters and of the picture's pixels nearest to them; the
  // mean of the letter-sized marks inside the box is the letters' own.
  cv::Mat kept;
  letterMarks(indices == letterColour, line.y - bandTop, height, &kept);
  const cv::Rect lineInBand(line.x, line.y - bandTop, line.width, line.height);
  const cv::Scalar own = cv::mean(band(lineInBand), kept(lineInBand));
  const std::array<cv::Vec3f, 1> letterOnly = {cv::Vec3f(static_cast<float>(own[0]), static_cast<float>(own[1]), static_cast<float>(own[2]))};
  std::vector<Mark> letters = letterMarks(colourIndices(band, letterOnly) == 0, line.y - bandTop, height);
  if (lettersOnBaseline(letters, line) < kFewestLetters) return {box, std::nullopt};
  LettersAlongRow found{box, letterOnly[0]};

  found.extent = continuedOver(letters, box, height);
  return found;
}

cv::Rect2d widenedAlongRow(const cv::Mat& bgr, const cv::Rect2d& box) { return lettersAlongRow(bgr, box).extent; }

cv::Mat nearnessTo(const cv::Mat& bgr, const cv::Vec3f& colour, double far) {
  cv::Mat picture(bgr.size(), CV_8UC3);
  const double scale = 255.0 / far;
  for (int y = 0; y < bgr.rows; ++y) {
    const cv::Vec3b* in = bgr.ptr<cv::Vec3b>(y);
    cv::Vec3b* out = picture.ptr<cv::Vec3b>(y);
    for (int x = 0; x < bgr.cols; ++x) {
      const cv::Vec3f d = cv::Vec3f(in[x]) - colour;
      const auto grey = cv::saturate_cast<std::uint8_t>(std::sqrt(d.dot(d)) * scale);
      out[x] = cv::Vec3b(grey, grey, grey);
    }
  }
  return picture;
}

cv::Rect2d widenedByColour(const cv::Mat& bgr, const cv::Rect2d& box, const cv::Vec3f& colour, double near) {
  const cv::Rect line = cv::Rect(cv::Point(static_cast<int>(std::floor(box.x)), static_cast<int>(std::floor(box.y))),
                                 cv::Point(static_cast<int>(std::ceil(box.br().x)), static_cast<int>(std::ceil(box.br().y)))) &
                        cv::Rect(0, 0, bgr.cols, bgr.rows);
  if (line.height < 2 || line.width < 1 || bgr.type() != CV_8UC3) return box;
  const int bandTop = std::max(0, line.y - line.height / 2), bandBottom = std::min(bgr.rows, line.br().y + line.height / 2);
  const cv::Mat band = bgr(cv::Range(bandTop, bandBottom), cv::Range::all());
  const std::array<cv::Vec3f, 1> letterOnly = {colour};
  return continuedOver(letterMarks(colourIndices(band, letterOnly, near) == 0, line.y - bandTop, line.height), box, line.height);
}

}  // namespace kov
