// Sampled frames measured several at a time give the same report, byte for byte, as frames measured
// one after another, on the real detectors.
#include <gtest/gtest.h>

#include <string>

#include "faces/faces_command.h"
#include "faces/report.h"
#include "media_range/video_range.h"
#include "support/fixtures.h"

namespace kov {
namespace {

// The report of the three-shot fixture video (faces, prints, a caption, cuts and a wall without
// people) with `framesInFlight` frames measured while the walk goes on.
std::string reportWith(VisionService& vision, std::size_t framesInFlight) {
  RangeOpening opening = openVideoRange(test::fixtureVideos() + "/three-shots.mp4", {});
  auto* range = std::get_if<OpenedRange>(&opening);
  if (range == nullptr) return "cannot open the video";
  AnalysisSettings settings;
  AnalysedRange analysed = analyseRange(*range->reader, range->start, 6, vision, settings, framesInFlight);
  if (range->reader->failure()) return "decoding failed: " + *range->reader->failure();
  FacesReport report;
  report.cuts = std::move(analysed.cuts);
  report.frames = std::move(analysed.frames);
  return encodeReport(report);
}

TEST(PipelinedAnalysis, SeveralFramesAtATimeReportExactlyWhatOneAtATimeDoes) {
  std::string error;
  auto vision = createVisionService(error);
  ASSERT_TRUE(vision) << error;
  const std::string oneAtATime = reportWith(*vision, 0);
  ASSERT_NE(oneAtATime.find("\"text\":[{"), std::string::npos) << "the caption is read";
  ASSERT_NE(oneAtATime.find("\"print\":["), std::string::npos) << "faces are printed";
  EXPECT_EQ(reportWith(*vision, 4), oneAtATime);
  EXPECT_EQ(reportWith(*vision, 2), oneAtATime);
}

}  // namespace
}  // namespace kov
