// The person's box in a mask and the report that both forms of `matte` write.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/pixels.h"

namespace kov {

// Fractions of the picture, top-left origin, each rounded to three decimals.
struct MatteBox {
  double x = 0;
  double y = 0;
  double w = 0;
  double h = 0;
};

struct MatteFrameBox {
  double t = 0;  // seconds from the start of the range, rounded to three decimals
  std::optional<MatteBox> box;
};

struct MatteReport {
  std::int64_t width = 0;
  std::int64_t height = 0;
  double fps = 0;
  std::int64_t frames = 0;
  std::optional<MatteBox> box;
  std::vector<MatteFrameBox> sampled;
  std::string out;
};

// The box of the mask's foreground (bytes of 128 or more), looking at even rows and even columns
// only. No value for a mask without data, without rows, or without foreground at those positions.
std::optional<MatteBox> maskBox(const GreyView& mask);

// The smallest box holding both; the sums are not rounded again.
MatteBox unionOf(const MatteBox& a, const MatteBox& b);

// The compact JSON document, or an empty text when a value is not finite.
std::string encodeReport(const MatteReport& report);

}  // namespace kov
