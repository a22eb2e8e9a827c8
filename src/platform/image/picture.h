// Pictures for the matte command: scaling and softening masks, cutting a picture out through a mask
// and drawing a mask into a movie frame. Reading and writing picture files is in picture_codec.h.
#pragma once

#include <string>

#include "platform/image/picture_codec.h"
#include "platform/pixels.h"

namespace kov {

// The mask stretched to width x height (bilinear; the two axes scale independently).
GreyImage scaleMask(const GreyView& mask, int width, int height);

// Gaussian blur with the given standard deviation in pixels; edge pixels are repeated outwards, so a
// mask that reaches the border stays solid there.
void blurMask(GreyImage& mask, double sigma);

// The picture over full transparency through a mask of the same size: colours kept, alpha multiplied
// by mask / 255; pixels that end fully transparent are transparent black.
BgraImage cutOut(const BgraView& picture, const GreyView& mask);

// The PNG of that cut-out (as `encodePng` writes it), made row by row without holding the cut-out;
// empty when encoding fails.
std::string encodeCutOutPng(const BgraView& picture, const GreyView& mask);

// Draws the mask stretched over the whole frame as grey (blue = green = red = mask, alpha opaque).
void drawMaskAsGrey(const GreyView& mask, BgraImage& frame);

}  // namespace kov
