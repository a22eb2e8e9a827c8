#include "numeric/rounding.h"

#include <cmath>

namespace kov {

double round3(double value) { return std::round(value * 1000.0) / 1000.0; }

float round3f(float value) { return std::round(value * 1000.0f) / 1000.0f; }

}  // namespace kov
