// Brings a person mask made at a model's low resolution up to the picture's own resolution with its
// edges moved onto the edges in the picture: a colour-guided filter is fitted on a reduced copy of
// the picture (each neighbourhood's mask as a linear function of its colours), and those linear
// coefficients, stretched to full size, are applied to the full-size colours.
#pragma once

#include <array>
#include <optional>
#include <opencv2/core.hpp>
#include <vector>

#include "platform/pixels.h"
#include "platform/segment/box_means.h"

namespace kov {

// Chosen on composites of people over flat, rendered and real backgrounds (bench/matte): a wider
// neighbourhood snaps more of the model's edge, and steepening before and after the fit turns the
// model's soft ramp of 15-20 px into an edge of one or two pixels.
struct RefinerSettings {
  int reduction = 4;             // the filter is fitted on the picture reduced this many times,
  int minimumWorkingSide = 256;  // but not below this longest side (the models' own resolution)
  int radius = 8;                // neighbourhood radius in reduced pixels
  float epsilon = 1e-3f;         // regularisation: larger keeps the mask smoother where colours vary little
  float priorContrast = 3;       // the model's mask is steepened around 0.5 by this factor before fitting
  float outputContrast = 2;      // and the result after applying
};

// Keeps its working buffers between calls (a movie's frames reuse them).
class MaskRefiner {
 public:
  explicit MaskRefiner(RefinerSettings settings = {}) : settings_(settings) {}

  // `mask` covers the whole picture at any resolution; `out` becomes a mask of the picture's size
  // (all background when `mask` is empty).
  void refine(const GreyView& mask, const BgraView& picture, GreyImage& out);
  GreyImage refine(const GreyView& mask, const BgraView& picture);

  // Does the part of the fit that depends on the picture alone, so that it can run while the mask is
  // still being made; the next `refine` of the same picture (same pixels, size and stride) then does
  // only the mask's part. The result is the same either way.
  void preparePicture(const BgraView& picture);
  // Whether that part is done for `picture` and not yet used.
  bool isPreparedFor(const BgraView& picture) const;

  // The picture as the last fit saw it, reduced (BGRA); valid until the next call.
  const cv::Mat& reducedPicture() const { return guide_; }

 private:
  void reduce(const cv::Mat& picture, cv::Size size);
  void fitPicture(const BgraView& picture);
  void fitCoefficients(const GreyView& mask);
  void meanOver(const cv::Mat& plane, cv::Mat& means);
  void applyAtFullSize(const BgraView& picture, GreyImage& out);

  struct Place {
    int first, second;
    float weight;  // of the second
  };
  static Place sourcePlace(int target, int targetSize, int sourceSize);
  static void applyRow(const float* top, const float* bottom, float weight, const std::uint8_t* bgra, std::uint8_t* row,
                       int width);

  RefinerSettings settings_;
  cv::Mat guide_, prior_;                 // the reduced picture and the mask stretched over it
  std::array<cv::Mat, 2> halvings_;       // steps of the reduction
  std::vector<cv::Mat> channels_;         // the reduced picture's channels
  std::array<cv::Mat, 3> colours_;        // and in 0..1
  std::array<cv::Mat, 13> planes_;        // local means of colours, mask and their products
  std::array<cv::Mat, 4> coefficients_;   // per neighbourhood: mask = a . colour + b
  cv::Mat interleaved_;                   // the averaged coefficients, four to a pixel
  cv::Mat wide_;                          // and stretched to the picture's width
  std::optional<BgraView> preparedFor_;   // the picture whose part of the fit is done
  BoxMeans boxMeans_;
};

}  // namespace kov
