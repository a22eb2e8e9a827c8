// Colour histograms of BGRA pixels over 16 levels per channel: the form in which the edge corrections
// compare the colours of a person with those of the background next to them.
#pragma once

#include <cstdint>
#include <vector>

namespace kov {

constexpr int kColourLevels = 16;  // per channel
constexpr int kColourBins = kColourLevels * kColourLevels * kColourLevels;

inline int colourBin(const std::uint8_t* bgra) {
  return ((bgra[0] >> 4) * kColourLevels + (bgra[1] >> 4)) * kColourLevels + (bgra[2] >> 4);
}

using ColourHistogram = std::vector<float>;  // kColourBins counts

// Each bin's count spread over its neighbours in colour (weighted by how many channels they share),
// so colours near a bin's border count for both sides of it.
ColourHistogram spreadOverNeighbours(const ColourHistogram& counts);

double total(const ColourHistogram& histogram);

}  // namespace kov
