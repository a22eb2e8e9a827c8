#include "platform/segment/colour_correction.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "platform/segment/area_shrink.h"
#include "platform/segment/colour_histogram.h"
#include "platform/segment/edge_band.h"

namespace kov {
namespace {

constexpr std::uint8_t kSure = 230, kSureNot = 25;  // mask levels taken as sure person and sure background
constexpr double kLeastSamples = 100;               // on either side, below which nothing is corrected
constexpr double kLeastEvidence = 20;               // samples of a colour (and its neighbours) needed to judge it

}  // namespace

void correctEdgeByColour(GreyImage& mask, const BgraView& picture, ColourCorrectionSettings settings) {
  if (!picture.data || picture.width < 8 || picture.height < 8) return;
  const cv::Mat colours(picture.height, picture.width, CV_8UC4, const_cast<std::uint8_t*>(picture.data),
                        static_cast<std::size_t>(picture.stride));
  const cv::Size reduced(std::max(1, picture.width / settings.reduction), std::max(1, picture.height / settings.reduction));
  cv::Mat smallColours;
  shrinkByArea(colours, reduced, smallColours);
  correctEdgeByColour(mask, picture, smallColours, settings);
}

void correctEdgeByColour(GreyImage& mask, const BgraView& picture, const cv::Mat& smallColours,
                         ColourCorrectionSettings settings) {
  if (!picture.data || picture.width < 8 || picture.height < 8 || mask.width != picture.width ||
      mask.height != picture.height || smallColours.type() != CV_8UC4 || smallColours.cols < 2 || smallColours.rows < 2)
    return;
  cv::Mat values(mask.height, mask.width, CV_8UC1, mask.pixels.data());
  const cv::Size reduced = smallColours.size();
  cv::Mat smallMask;
  shrinkByArea(values, reduced, smallMask);

  // The band around the edge, and the sure samples just beyond it on either side (within three band
  // widths of it: the background right next to the person is what the edge is confused with).
  const EdgeBand edge = edgeBandOf(smallMask, settings.band, 3);
  const cv::Mat& band = edge.band;
  if (cv::countNonZero(band) == 0) return;
  const cv::Mat sure = edge.near & ~band & (smallMask >= kSure), sureNot = edge.near & ~band & (smallMask <= kSureNot);

  ColourHistogram inside(kColourBins, 0.0f), outside(kColourBins, 0.0f);
  for (int y = 0; y < reduced.height; ++y) {
    const std::uint8_t* row = smallColours.ptr<std::uint8_t>(y);
    const std::uint8_t *isSure = sure.ptr<std::uint8_t>(y), *isSureNot = sureNot.ptr<std::uint8_t>(y);
    for (int x = 0; x < reduced.width; ++x) {
      if (isSure[x]) inside[static_cast<std::size_t>(colourBin(row + 4 * x))] += 1;
      if (isSureNot[x]) outside[static_cast<std::size_t>(colourBin(row + 4 * x))] += 1;
    }
  }
  // Counted before the counts are spread over neighbouring colours, which multiplies them: a handful
  // of pixels would pass otherwise.
  if (total(inside) < kLeastSamples || total(outside) < kLeastSamples) return;
  inside = spreadOverNeighbours(inside);
  outside = spreadOverNeighbours(outside);
  const double insideTotal = total(inside), outsideTotal = total(outside);

  // Per colour: the pull towards person (+1) or background (-1), rising from 0 at the certainty to
  // full strength halfway to certain; 0 where the evidence is weak or mixed.
  std::array<float, kColourBins> pull{};
  const double c = settings.certainty;
  for (std::size_t i = 0; i < kColourBins; ++i) {
    if (inside[i] + outside[i] < kLeastEvidence) continue;
    const double pi = inside[i] / insideTotal, po = outside[i] / outsideTotal, p = pi / (pi + po);
    if (p >= c)
      pull[i] = static_cast<float>(std::min(1.0, 2 * (p - c) / (1 - c)));
    else if (p <= 1 - c)
      pull[i] = -static_cast<float>(std::min(1.0, 2 * (1 - c - p) / (1 - c)));
  }

  // The full-size columns under each reduced column (a centre-free mapping: column x of the picture
  // lies under reduced column x * reduced width / picture width), and per reduced row the band's
  // columns, so that only the band's pixels are visited at full size.
  std::vector<int> firstColumn(static_cast<std::size_t>(reduced.width) + 1);
  for (int c = 0; c <= reduced.width; ++c)
    firstColumn[static_cast<std::size_t>(c)] = static_cast<int>((static_cast<long>(c) * picture.width + reduced.width - 1) / reduced.width);
  std::vector<std::vector<int>> bandColumns(static_cast<std::size_t>(reduced.height));
  for (int y = 0; y < reduced.height; ++y) {
    const std::uint8_t* row = band.ptr<std::uint8_t>(y);
    for (int c = 0; c < reduced.width; ++c)
      if (row[c]) bandColumns[static_cast<std::size_t>(y)].push_back(c);
  }
  cv::parallel_for_(cv::Range(0, picture.height), [&](const cv::Range& rows) {
    for (int y = rows.start; y < rows.end; ++y) {
      const int reducedRow = std::min(reduced.height - 1, static_cast<int>(static_cast<long>(y) * reduced.height / picture.height));
      const std::uint8_t* colour = picture.data + static_cast<std::ptrdiff_t>(y) * picture.stride;
      std::uint8_t* alpha = values.ptr<std::uint8_t>(y);
      for (int c : bandColumns[static_cast<std::size_t>(reducedRow)])
        for (int x = firstColumn[static_cast<std::size_t>(c)]; x < firstColumn[static_cast<std::size_t>(c) + 1]; ++x) {
          const float w = pull[static_cast<std::size_t>(colourBin(colour + 4 * x))];
          if (w == 0) continue;
          const float a = alpha[x], target = w > 0 ? 255.0f : 0.0f;
          alpha[x] = static_cast<std::uint8_t>(std::lround(a + std::fabs(w) * (target - a)));
        }
    }
  });
}

}  // namespace kov
