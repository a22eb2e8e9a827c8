#include "platform/segment/colour_histogram.h"

namespace kov {

ColourHistogram spreadOverNeighbours(const ColourHistogram& counts) {
  constexpr int L = kColourLevels;
  ColourHistogram out(kColourBins, 0.0f);
  for (int b = 0; b < L; ++b)
    for (int g = 0; g < L; ++g)
      for (int r = 0; r < L; ++r) {
        float sum = 0;
        for (int db = -1; db <= 1; ++db)
          for (int dg = -1; dg <= 1; ++dg)
            for (int dr = -1; dr <= 1; ++dr) {
              const int nb = b + db, ng = g + dg, nr = r + dr;
              if (nb < 0 || ng < 0 || nr < 0 || nb >= L || ng >= L || nr >= L) continue;
              sum += counts[static_cast<std::size_t>((nb * L + ng) * L + nr)] *
                     static_cast<float>((db == 0) + (dg == 0) + (dr == 0) + 1);
            }
        out[static_cast<std::size_t>((b * L + g) * L + r)] = sum;
      }
  return out;
}

double total(const ColourHistogram& histogram) {
  double sum = 0;
  for (float v : histogram) sum += v;
  return sum;
}

}  // namespace kov
