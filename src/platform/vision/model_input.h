// Filling a model's input tensor from a picture through an affine map.
#pragma once

#include <opencv2/core.hpp>

namespace kov {

// Samples the BGR `picture` into a side x side RGB float tensor (row-major, 3 values per pixel)
// at `out`: tensor pixel (u, v) shows picture point modelToPicture * (u, v, 1); outside the picture
// is black. Values are pixel * scale + offset.
void fillModelInput(const cv::Mat& picture, const cv::Matx23d& modelToPicture, int side, float scale, float offset,
                    float* out);
// The same for a tensor of `size` pixels.
void fillModelInput(const cv::Mat& picture, const cv::Matx23d& modelToPicture, cv::Size size, float scale, float offset,
                    float* out);

// The map from a model input of `inputSide` pixels to the square of `side` picture pixels centred
// on `centre` and turned by `angle` radians (clockwise on screen, as y points down).
cv::Matx23d squareToPicture(cv::Point2d centre, double side, double angle, int inputSide);

cv::Point2d mapPoint(const cv::Matx23d& map, double x, double y);

}  // namespace kov
