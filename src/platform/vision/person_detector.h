// Person detection with MediaPipe's pose detection model run by our own model runner. It finds
// whole or partly seen people (front, side or back) by the body, so it tells pictures with people
// from pictures of animals, statues, furniture or landscapes that a segmenter may still mark.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "platform/pixels.h"

namespace kov {

struct PersonDetection {
  cv::Rect2d box;   // pixels of the picture, origin top-left (the body's core, not its full extent)
  cv::Rect2d body;  // the square the whole body fits in, centred on the hips (may reach beyond the picture)
  float score = 0;  // 0..1
};

// The picture as the detector's model sees it: shrunk into the model's input square, centred on black
// bars. Making it needs no model, so it can be made while the model loads.
struct PersonDetectorInput {
  cv::Mat bgr;            // empty for an empty picture
  double scale = 1;       // input pixels per picture pixel
  cv::Point2d offset;     // where the picture's top-left corner sits in the input
};
PersonDetectorInput personDetectorInput(const BgraView& picture);

class PersonDetector {
 public:
  virtual ~PersonDetector() = default;
  // People in a picture, strongest first, down to a low score (0.1) so callers can choose their own
  // threshold. Several threads may detect at the same time.
  virtual std::vector<PersonDetection> detect(const BgraView& picture) = 0;
  // The same for a picture whose input was made ahead by `personDetectorInput`.
  virtual std::vector<PersonDetection> detect(const PersonDetectorInput& input) = 0;
};

// The score above which a detection counts as a person: the sample photos' people score 0.52 to 0.91
// (at 480 px and 1920 px wide), rendered scenes and person-free parts of the photos at most 0.23
// (bench/matte/matte_quality_bench prints them).
constexpr float kPersonScore = 0.4f;

// Loads the built-in model. On failure returns none and sets `error` to a one-line message.
std::unique_ptr<PersonDetector> createPersonDetector(std::string& error);

// Whether the picture shows a person scoring above kPersonScore.
bool showsPerson(PersonDetector& detector, const BgraView& picture);

// The body squares of the people scoring above kPersonScore, strongest first; none without people.
std::vector<cv::Rect2d> personRegions(PersonDetector& detector, const BgraView& picture);
std::vector<cv::Rect2d> personRegions(PersonDetector& detector, const PersonDetectorInput& input);

}  // namespace kov
