// Rounding of reported measures.
#pragma once

namespace kov {

// Three-decimal rounding with halves away from zero.
double round3(double value);
float round3f(float value);

}  // namespace kov
