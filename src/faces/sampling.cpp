#include "faces/sampling.h"

#include "faces/scene_cuts.h"

namespace kov {

std::vector<double> sampleRange(VideoReader& reader, double start, double sampleFps, double& nextPrint,
                                const std::function<void(const DecodedFrame&, double t)>& analyse) {
  CutDetector cuts;
  double nextSample = 0;
  const double interval = 1.0 / sampleFps;
  while (const DecodedFrame* frame = reader.nextFrame()) {
    double t = frame->time - start;
    if (t < 0) continue;
    cuts.step(frame->luma(), t, nextSample, nextPrint);
    if (nextSample > t + kDueTolerance) continue;
    nextSample = t + interval;
    analyse(*frame, t);
  }
  return cuts.cuts();
}

}  // namespace kov
