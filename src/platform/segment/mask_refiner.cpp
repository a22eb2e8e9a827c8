#include "platform/segment/mask_refiner.h"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>

#include "platform/segment/box_means.h"

namespace kov {
namespace {

// The planes whose local means the fit needs: the colours, the prior mask, the six distinct colour
// products and the three colour-times-mask products.
enum Channel { B, G, R, P, BB, BG, BR, GG, GR, RR, BP, GP, RP, kChannels };

cv::Mat wrap(const BgraView& picture) {
  return cv::Mat(picture.height, picture.width, CV_8UC4, const_cast<std::uint8_t*>(picture.data),
                 static_cast<std::size_t>(picture.stride));
}

cv::Mat wrap(const GreyView& mask) {
  return cv::Mat(mask.height, mask.width, CV_8UC1, const_cast<std::uint8_t*>(mask.data),
                 static_cast<std::size_t>(mask.stride));
}

cv::Size workingSize(int width, int height, const RefinerSettings& settings) {
  int longest = std::max(width, height);
  int side = std::min(longest, std::max(settings.minimumWorkingSide, longest / settings.reduction));
  double scale = static_cast<double>(side) / longest;
  return {std::max(1, static_cast<int>(std::lround(width * scale))),
          std::max(1, static_cast<int>(std::lround(height * scale)))};
}

// One row of the fit: per neighbourhood, from the local means of the colours, the mask and their
// products, solves (covariance + epsilon I) a = cross-covariance for the symmetric 3 x 3 colour
// covariance (through its adjugate; epsilon keeps the determinant away from zero) and gives
// b = mean mask - a . mean colour. The results are scaled to grey levels and steepened by `contrast`
// around the middle, with the rounding offset folded in: box averaging commutes with these steps.
// The planes are passed one by one: taken from arrays of pointers the loop does not vectorise.
void solveRow(const float* __restrict mb, const float* __restrict mg, const float* __restrict mr,
              const float* __restrict mp, const float* __restrict sbb, const float* __restrict sbg,
              const float* __restrict sbr, const float* __restrict sgg, const float* __restrict sgr,
              const float* __restrict srr, const float* __restrict sbp, const float* __restrict sgp,
              const float* __restrict srp, float* __restrict a0, float* __restrict a1, float* __restrict a2,
              float* __restrict a3, int width, float epsilon, float contrast) {
  for (int x = 0; x < width; ++x) {
    float bb = sbb[x] - mb[x] * mb[x] + epsilon, bg = sbg[x] - mb[x] * mg[x], br = sbr[x] - mb[x] * mr[x];
    float gg = sgg[x] - mg[x] * mg[x] + epsilon, gr = sgr[x] - mg[x] * mr[x];
    float rr = srr[x] - mr[x] * mr[x] + epsilon;
    float cb = sbp[x] - mb[x] * mp[x], cg = sgp[x] - mg[x] * mp[x], cr = srp[x] - mr[x] * mp[x];
    float i00 = gg * rr - gr * gr, i01 = br * gr - bg * rr, i02 = bg * gr - br * gg;
    float i11 = bb * rr - br * br, i12 = bg * br - bb * gr, i22 = bb * gg - bg * bg;
    float scale = contrast / (bb * i00 + bg * i01 + br * i02);
    float x0 = (i00 * cb + i01 * cg + i02 * cr) * scale;
    float x1 = (i01 * cb + i11 * cg + i12 * cr) * scale;
    float x2 = (i02 * cb + i12 * cg + i22 * cr) * scale;
    // Applied to colours in 0..255 the coefficients give grey levels directly.
    a0[x] = x0;
    a1[x] = x1;
    a2[x] = x2;
    a3[x] = (mp[x] * contrast - x0 * mb[x] - x1 * mg[x] - x2 * mr[x] - 0.5f * contrast) * 255.0f + 128.0f;
  }
}

}  // namespace

// Area averaging down to `size`: exact halvings first (a bilinear halving averages 2 x 2 pixels and is
// many times faster than a general area reduction), then one area step for what is left.
void MaskRefiner::reduce(const cv::Mat& picture, cv::Size size) {
  const cv::Mat* source = &picture;
  for (int i = 0; source->cols >= 2 * size.width && source->rows >= 2 * size.height; ++i) {
    cv::Mat& half = halvings_[static_cast<std::size_t>(i % 2)];
    cv::resize(*source, half, cv::Size(source->cols / 2, source->rows / 2), 0, 0, cv::INTER_LINEAR);
    source = &half;
  }
  cv::resize(*source, guide_, size, 0, 0, cv::INTER_AREA);
}

// The two neighbouring source positions of an output position under a centre-aligned stretch.
MaskRefiner::Place MaskRefiner::sourcePlace(int target, int targetSize, int sourceSize) {
  float at = (static_cast<float>(target) + 0.5f) * static_cast<float>(sourceSize) / static_cast<float>(targetSize) - 0.5f;
  at = std::clamp(at, 0.0f, static_cast<float>(sourceSize - 1));
  int first = std::min(static_cast<int>(at), sourceSize - 1);
  return {first, std::min(first + 1, sourceSize - 1), at - static_cast<float>(first)};
}

GreyImage MaskRefiner::refine(const GreyView& mask, const BgraView& picture) {
  GreyImage out;
  refine(mask, picture, out);
  return out;
}

bool MaskRefiner::isPreparedFor(const BgraView& picture) const {
  return preparedFor_ && preparedFor_->data == picture.data && preparedFor_->width == picture.width &&
         preparedFor_->height == picture.height && preparedFor_->stride == picture.stride;
}

void MaskRefiner::refine(const GreyView& mask, const BgraView& picture, GreyImage& out) {
  const bool prepared = isPreparedFor(picture);
  preparedFor_.reset();
  out.width = picture.width;
  out.height = picture.height;
  out.pixels.resize(static_cast<std::size_t>(picture.width) * picture.height);
  if (picture.width < 1 || picture.height < 1) return;
  if (!mask.data || mask.width < 1 || mask.height < 1) {  // nothing known: no person
    std::fill(out.pixels.begin(), out.pixels.end(), 0);
    return;
  }
  if (!prepared) fitPicture(picture);
  fitCoefficients(mask);
  applyAtFullSize(picture, out);
}

void MaskRefiner::preparePicture(const BgraView& picture) {
  preparedFor_.reset();
  if (!picture.data || picture.width < 1 || picture.height < 1) return;
  fitPicture(picture);
  preparedFor_ = picture;
}

// The picture's part of the fit: the reduced picture's colours (kept as they are for the products
// with the mask) and the local means of the colours and of their products.
void MaskRefiner::fitPicture(const BgraView& picture) {
  const cv::Size size = workingSize(picture.width, picture.height, settings_);
  reduce(wrap(picture), size);
  // Colours in 0..1.
  cv::split(guide_, channels_);
  for (int c = 0; c < 3; ++c) channels_[static_cast<std::size_t>(c)].convertTo(colours_[c], CV_32F, 1.0 / 255);
  const std::pair<Channel, Channel> factors[] = {{B, B}, {B, G}, {B, R}, {G, G}, {G, R}, {R, R}};
  for (int c = BB; c <= RR; ++c) {
    auto [first, second] = factors[c - BB];
    cv::multiply(colours_[first], colours_[second], planes_[c]);
  }
  for (int c = B; c <= R; ++c) meanOver(colours_[c], planes_[c]);
  for (int c = BB; c <= RR; ++c) meanOver(planes_[c], planes_[c]);
}

// The mask's part: the mask steepened around 0.5 by the prior contrast and clamped to 0..1, its
// products with the colours, their local means, and from all the means the coefficients.
void MaskRefiner::fitCoefficients(const GreyView& mask) {
  const cv::Size size = guide_.size();
  cv::resize(wrap(mask), prior_, size, 0, 0, cv::INTER_LINEAR);
  const double k = settings_.priorContrast;
  prior_.convertTo(planes_[P], CV_32F, k / 255, 0.5 - 0.5 * k);
  cv::max(planes_[P], 0.0, planes_[P]);
  cv::min(planes_[P], 1.0, planes_[P]);
  for (int c = BP; c <= RP; ++c) cv::multiply(colours_[c - BP], planes_[P], planes_[c]);
  meanOver(planes_[P], planes_[P]);
  for (int c = BP; c <= RP; ++c) meanOver(planes_[c], planes_[c]);

  for (cv::Mat& plane : coefficients_) plane.create(size, CV_32F);
  for (int y = 0; y < size.height; ++y) {
    const auto mean = [&](Channel c) { return planes_[c].ptr<float>(y); };
    const auto coefficient = [&](int c) { return coefficients_[static_cast<std::size_t>(c)].ptr<float>(y); };
    solveRow(mean(B), mean(G), mean(R), mean(P), mean(BB), mean(BG), mean(BR), mean(GG), mean(GR), mean(RR), mean(BP),
             mean(GP), mean(RP), coefficient(0), coefficient(1), coefficient(2), coefficient(3), size.width,
             settings_.epsilon, settings_.outputContrast);
  }
  for (cv::Mat& plane : coefficients_) meanOver(plane, plane);
  cv::merge(coefficients_.data(), coefficients_.size(), interleaved_);
}

void MaskRefiner::meanOver(const cv::Mat& plane, cv::Mat& means) { boxMeans_.compute(plane, settings_.radius, means); }

// The coefficients are stretched across to the picture's width once per coefficient row; each output
// row then blends its two stretched rows and applies them to its colours (both loops vectorise).
void MaskRefiner::applyAtFullSize(const BgraView& picture, GreyImage& out) {
  cv::resize(interleaved_, wide_, cv::Size(picture.width, interleaved_.rows), 0, 0, cv::INTER_LINEAR);
  const int workingHeight = wide_.rows;
  cv::parallel_for_(cv::Range(0, picture.height), [&](const cv::Range& rows) {
    for (int y = rows.start; y < rows.end; ++y) {
      Place v = sourcePlace(y, picture.height, workingHeight);
      applyRow(wide_.ptr<float>(v.first), wide_.ptr<float>(v.second), v.weight,
               picture.data + static_cast<std::ptrdiff_t>(y) * picture.stride,
               out.pixels.data() + static_cast<std::size_t>(y) * picture.width, picture.width);
    }
  });
}

// One output row between the stretched coefficient rows `top` and `bottom` (four to a pixel, already
// scaled to grey levels with the rounding offset folded in).
void MaskRefiner::applyRow(const float* __restrict top, const float* __restrict bottom, float weight,
                           const std::uint8_t* __restrict bgra, std::uint8_t* __restrict row, int width) {
  for (int x = 0; x < width; ++x) {
    const float* t = top + 4 * x;
    const float* b = bottom + 4 * x;
    const std::uint8_t* p = bgra + 4 * x;
    float value = (t[0] + weight * (b[0] - t[0])) * p[0] + (t[1] + weight * (b[1] - t[1])) * p[1] +
                  (t[2] + weight * (b[2] - t[2])) * p[2] + (t[3] + weight * (b[3] - t[3]));
    row[x] = static_cast<std::uint8_t>(static_cast<std::int32_t>(std::clamp(value, 0.0f, 255.0f)));
  }
}

}  // namespace kov
