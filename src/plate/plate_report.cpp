#include "plate/plate_report.h"

#include <algorithm>
#include <cmath>

#include "cli/json.h"

namespace kov {

std::string encodeReport(const PlateReport& report) {
  return encodeObject({{"frames", report.frames},
                       {"width", report.width},
                       {"height", report.height},
                       {"fps", report.fps},
                       {"out", report.out}});
}

std::int64_t plateFrameCount(double seconds, std::int64_t fps) {
  return std::max<std::int64_t>(1, std::llround(seconds * static_cast<double>(fps)));
}

double plateFrameTime(std::int64_t index, std::int64_t fps) {
  return static_cast<double>(index) / static_cast<double>(fps);
}

}  // namespace kov
