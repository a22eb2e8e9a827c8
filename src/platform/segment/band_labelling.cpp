#include "platform/segment/band_labelling.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <opencv2/imgproc.hpp>
#include <optional>
#include <vector>

#include "platform/segment/colour_histogram.h"
#include "platform/segment/edge_band.h"

namespace kov {
namespace {

constexpr double kLeastSamples = 100;  // pixels of either side near the edge, below which the mask is kept

// The eight neighbours of a pixel.
struct Step {
  int dx, dy;
  float closeness;  // diagonal neighbours are further away
};
constexpr float kDiagonal = 0.70710678f;
constexpr std::array<Step, 8> kNeighbours = {{{-1, -1, kDiagonal}, {0, -1, 1}, {1, -1, kDiagonal}, {-1, 0, 1},
                                              {1, 0, 1}, {-1, 1, kDiagonal}, {0, 1, 1}, {1, 1, kDiagonal}}};

// The person's probability over the picture, padded by one pixel all round so that every pixel has
// eight places around it (those beyond the picture are read with no weight).
class ProbabilityPlane {
 public:
  ProbabilityPlane(int width, int height)
      : width_(width), height_(height), values_(static_cast<std::size_t>(width + 2) * (height + 2), 0.0f) {
    for (std::size_t k = 0; k < kNeighbours.size(); ++k)
      offsets_[k] = static_cast<std::ptrdiff_t>(kNeighbours[k].dy) * (width + 2) + kNeighbours[k].dx;
  }
  std::size_t place(int x, int y) const { return static_cast<std::size_t>(y + 1) * (width_ + 2) + x + 1; }
  float& operator[](std::size_t place) { return values_[place]; }
  // The pull of the neighbours at `place`: each neighbour's weight times +1 on the person's side, -1 on
  // the background's.
  float pull(std::size_t place, const std::array<float, 8>& weights) const {
    const float* centre = values_.data() + place;
    float sum = 0;
    for (std::size_t k = 0; k < weights.size(); ++k) sum += weights[k] * (2 * centre[offsets_[k]] - 1);
    return sum;
  }
  cv::Mat toMask() const {
    cv::Mat mask(height_, width_, CV_8UC1);
    for (int y = 0; y < height_; ++y) {
      std::uint8_t* row = mask.ptr<std::uint8_t>(y);
      const float* values = values_.data() + place(0, y);
      for (int x = 0; x < width_; ++x) row[x] = static_cast<std::uint8_t>(255 * values[x] + 0.5f);
    }
    return mask;
  }

 private:
  int width_, height_;
  std::vector<float> values_;
  std::array<std::ptrdiff_t, 8> offsets_{};
};

// Log-likelihood ratio person : background of each colour bin, from the colours of both sides near
// the edge; none when either side has too few pixels there.
std::optional<std::vector<float>> colourEvidence(const cv::Mat& picture, const cv::Mat& person, const cv::Mat& near,
                                                 float limit) {
  ColourHistogram inside(kColourBins, 0.0f), outside(kColourBins, 0.0f);
  for (int y = 0; y < picture.rows; ++y) {
    const std::uint8_t* colour = picture.ptr<std::uint8_t>(y);
    const std::uint8_t *isPerson = person.ptr<std::uint8_t>(y), *isNear = near.ptr<std::uint8_t>(y);
    for (int x = 0; x < picture.cols; ++x)
      if (isNear[x]) (isPerson[x] ? inside : outside)[static_cast<std::size_t>(colourBin(colour + 4 * x))] += 1;
  }
  if (total(inside) < kLeastSamples || total(outside) < kLeastSamples) return std::nullopt;
  inside = spreadOverNeighbours(inside);
  outside = spreadOverNeighbours(outside);
  const double insideTotal = total(inside), outsideTotal = total(outside);
  // One sample added to every bin, so that a colour seen on one side only gets a finite ratio.
  std::vector<float> evidence(kColourBins);
  for (std::size_t i = 0; i < evidence.size(); ++i) {
    const double ratio = std::log((inside[i] + 1) / (insideTotal + kColourBins)) -
                         std::log((outside[i] + 1) / (outsideTotal + kColourBins));
    evidence[i] = static_cast<float>(std::clamp(ratio, -static_cast<double>(limit), static_cast<double>(limit)));
  }
  return evidence;
}

float logOdds(std::uint8_t level) {
  const float p = std::clamp(static_cast<float>(level) / 255.0f, 0.02f, 0.98f);
  return std::log(p / (1 - p));
}

float logistic(float x) { return 1 / (1 + std::exp(-x)); }

int squaredDistance(const std::uint8_t* a, const std::uint8_t* b) {
  const int db = a[0] - b[0], dg = a[1] - b[1], dr = a[2] - b[2];
  return db * db + dg * dg + dr * dr;
}

// exp(-contrast * squared colour distance), looked up in steps of 4 squared levels (under 1 % apart
// at the default contrast) up to where it falls below 1e-4, and 0 beyond.
class Likeness {
 public:
  explicit Likeness(float contrast) {
    const int reach = contrast > 0 ? std::min(kMostSquared, static_cast<int>(9.3f / contrast)) : kMostSquared;
    values_.resize(static_cast<std::size_t>(reach / kStep + 1));
    for (std::size_t i = 0; i < values_.size(); ++i)
      values_[i] = std::exp(-contrast * static_cast<float>(static_cast<int>(i) * kStep + kStep / 2));
  }
  float operator()(int squaredDistance) const {
    const std::size_t i = static_cast<std::size_t>(squaredDistance / kStep);
    return i < values_.size() ? values_[i] : 0.0f;
  }

 private:
  static constexpr int kStep = 4, kMostSquared = 3 * 255 * 255;
  std::vector<float> values_;
};

// The pixels of the band: where each is, the evidence of its colour and of the mask (as log-odds of
// person), and how strongly each of its neighbours pulls it (by the likeness of their colours).
struct BandPixels {
  std::vector<std::size_t> places;
  std::vector<float> evidence;
  std::vector<std::array<float, 8>> pulls;
};

BandPixels bandPixels(const cv::Mat& picture, const cv::Mat& mask, const cv::Mat& band, const std::vector<float>& colourEvidence,
                      const ProbabilityPlane& plane, const BandLabelSettings& settings) {
  BandPixels pixels;
  std::vector<cv::Point> points;
  for (int y = 0; y < mask.rows; ++y) {
    const std::uint8_t* inBand = band.ptr<std::uint8_t>(y);
    for (int x = 0; x < mask.cols; ++x)
      if (inBand[x]) points.emplace_back(x, y);
  }
  pixels.places.resize(points.size());
  pixels.evidence.resize(points.size());
  pixels.pulls.resize(points.size());
  const Likeness likeness(settings.contrast);
  cv::parallel_for_(cv::Range(0, static_cast<int>(points.size())), [&](const cv::Range& range) {
    for (int i = range.start; i < range.end; ++i) {
      const auto at = static_cast<std::size_t>(i);
      const int x = points[at].x, y = points[at].y;
      const std::uint8_t* colour = picture.ptr<std::uint8_t>(y) + 4 * x;
      pixels.places[at] = plane.place(x, y);
      pixels.evidence[at] = colourEvidence[static_cast<std::size_t>(colourBin(colour))] +
                            settings.maskWeight * logOdds(mask.at<std::uint8_t>(y, x));
      std::array<float, 8>& pull = pixels.pulls[at];
      pull.fill(0.0f);
      for (std::size_t k = 0; k < kNeighbours.size(); ++k) {
        const int nx = x + kNeighbours[k].dx, ny = y + kNeighbours[k].dy;
        if (nx < 0 || ny < 0 || nx >= mask.cols || ny >= mask.rows) continue;
        pull[k] = settings.neighbourWeight * kNeighbours[k].closeness *
                  likeness(squaredDistance(colour, picture.ptr<std::uint8_t>(ny) + 4 * nx));
      }
    }
  });
  return pixels;
}

}  // namespace

cv::Mat labelEdgeBandByColour(const cv::Mat& picture, const cv::Mat& mask, BandLabelSettings settings) {
  if (picture.type() != CV_8UC4 || mask.type() != CV_8UC1 || picture.size() != mask.size() || mask.rows < 2 ||
      mask.cols < 2 || settings.band < 1)
    return mask.clone();
  const EdgeBand edge = edgeBandOf(mask, settings.band, settings.reach);
  if (cv::countNonZero(edge.band) == 0) return mask.clone();
  const std::optional<std::vector<float>> evidence = colourEvidence(picture, edge.person, edge.near, settings.evidenceLimit);
  if (!evidence) return mask.clone();

  // Outside the band the mask's side holds; in it each pixel starts from its own evidence, and then
  // each round takes the probability its evidence and its neighbours' last probabilities give.
  ProbabilityPlane probability(mask.cols, mask.rows);
  for (int y = 0; y < mask.rows; ++y) {
    const std::uint8_t* row = edge.inside.ptr<std::uint8_t>(y);
    for (int x = 0; x < mask.cols; ++x)
      if (row[x]) probability[probability.place(x, y)] = 1;
  }
  const BandPixels pixels = bandPixels(picture, mask, edge.band, *evidence, probability, settings);
  const std::size_t count = pixels.places.size();
  for (std::size_t i = 0; i < count; ++i) probability[pixels.places[i]] = logistic(pixels.evidence[i]);
  std::vector<float> next(count);
  for (int round = 0; round < settings.rounds; ++round) {
    cv::parallel_for_(cv::Range(0, static_cast<int>(count)), [&](const cv::Range& range) {
      for (auto i = static_cast<std::size_t>(range.start); i < static_cast<std::size_t>(range.end); ++i)
        next[i] = logistic(pixels.evidence[i] + probability.pull(pixels.places[i], pixels.pulls[i]));
    });
    for (std::size_t i = 0; i < count; ++i) probability[pixels.places[i]] = next[i];
  }
  return probability.toMask();
}

}  // namespace kov
