// Finds text lines in a colour picture with a differentiable-binarisation detector (PP-OCRv4): the
// model gives every pixel a probability of lying inside a (shrunk) text line; the regions above a
// threshold are the lines, grown back by the amount the model was trained to shrink them.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "platform/neural/graph_runner.h"
#include "platform/neural/onnx_model.h"

namespace kov {

struct FoundLine {
  cv::Rect2d box;     // pixels of the picture searched, top-left origin
  float score = 0;    // mean probability over the line's region
};

// The lines of a probability map (values 0..1, CV_32F): connected regions above 0.3 whose mean
// probability is at least 0.6, each grown by its area x 1.5 / perimeter on every side, in pixels of
// the map, top to bottom.
std::vector<FoundLine> linesFromProbability(const cv::Mat& probability);

class TextLineFinder {
 public:
  // Parses the model once (the parsed graph is held for the finder's life) and plans it for pictures
  // of `expected` size searched at `searchWidth`, which also checks that it runs. Throws ModelError
  // naming `name` when it is damaged or not a text detector.
  TextLineFinder(std::span<const std::uint8_t> model, std::string name, cv::Size expected, int searchWidth,
                 std::shared_ptr<WorkerPool> workers = nullptr);
  ~TextLineFinder();

  // The lines of a BGR picture, searched at `searchWidth` pixels across (the height follows the
  // picture's shape; both are rounded to multiples of 32, which the model needs). A picture whose
  // search size differs from the last one's replans the model: the pictures of a run share one size.
  std::vector<FoundLine> find(const cv::Mat& bgr, int searchWidth);

  // The model's input size for a picture of `size` searched at `searchWidth`.
  static cv::Size searchSize(cv::Size size, int searchWidth);

 private:
  GraphRunner& runnerFor(cv::Size input);

  std::string name_;
  OnnxGraph graph_;
  std::shared_ptr<WorkerPool> workers_;
  // One plan at a time: its activations at a frame's size are tens of megabytes.
  cv::Size plannedSize_;
  std::unique_ptr<GraphRunner> runner_;
};

}  // namespace kov
