#include "faces/sampling.h"

#include "faces/scene_cuts.h"
#include "numeric/schedule.h"

namespace kov {

std::vector<double> sampleRange(VideoReader& reader, double start, double sampleFps,
                                const AnalyseSampledFrame& analyse) {
  CutDetector cuts;
  AnalysisSchedule schedule;
  double nextSample = 0;
  const double interval = 1.0 / sampleFps;
  while (const DecodedFrame* frame = reader.nextFrame()) {
    double t = frame->time - start;
    if (t < 0) continue;
    if (cuts.step(frame->luma(), t)) {
      // The first frame of a new shot is analysed and printed.
      nextSample = t;
      schedule.nextPrint = t;
    }
    if (!isDueAt(nextSample, t)) continue;
    nextSample = t + interval;
    analyse(*frame, t, schedule);
  }
  return cuts.cuts();
}

}  // namespace kov
