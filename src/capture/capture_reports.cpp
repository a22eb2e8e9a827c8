#include "capture/capture_reports.h"

#include "cli/json.h"

namespace kov {

std::string encodeReport(const SnapReport& report) {
  return encodeObject({{"width", report.width}, {"height", report.height}, {"out", report.out}});
}

std::string encodeReport(const ScrollReport& report) {
  return encodeObject({{"width", report.width},
                       {"height", report.height},
                       {"frames", report.frames},
                       {"out", report.out},
                       {"page_height", report.pageHeight},
                       {"title", report.title}});
}

}  // namespace kov
