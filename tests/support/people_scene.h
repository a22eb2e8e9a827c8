// A real photo's people set on a plain background, with the exact truth of where they are, for the
// tests of mask edges.
#pragma once

#include <memory>

#include <opencv2/core.hpp>

#include "platform/image/picture.h"
#include "platform/segment/person_segmenter.h"

namespace kov::test {

struct PeopleScene {
  BgraImage picture;  // the sample photo's size
  cv::Mat truth;      // 255 on the people
};

// The built-in person segmenter; none, with a test failure recorded, when it cannot load.
std::unique_ptr<PersonSegmenter> segmenter();

// The people of the second sample photo, cut out along the segmenter's own mask (eroded a little, so
// no background of the photo stays), on `background` (BGRA). Empty when the photo or the model is
// missing (a test failure is recorded).
PeopleScene peopleOnPlainBackground(const cv::Scalar& background);

// The same people at three quarters of their size, standing at the bottom in the middle of a
// person-free part of sample photo `photo` (a rectangle of its pixels) mirrored outwards to the
// people's photo's size: real texture and colours all along their edge.
PeopleScene peopleOnPartOfPhoto(int photo, const cv::Rect& part);

// A grey mask holding `values` (8-bit, one channel).
GreyImage maskOf(const cv::Mat& values);

// The pixels on the people (`person`) or off them whose mask value is at least 128 (`marked`) or below.
int countWhere(const GreyImage& mask, const cv::Mat& truth, bool person, bool marked);

}  // namespace kov::test
