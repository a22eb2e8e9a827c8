// Reads one text line with the PP-OCRv4 recognition network: the line's colour crop, 48 pixels
// high, gives per time step a probability for every character of the model's alphabet (plus a
// blank), which greedy CTC decoding turns into text.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <opencv2/core.hpp>

#include "platform/neural/graph_runner.h"
#include "platform/neural/onnx_model.h"

namespace kov {

struct LineReading {
  std::string text;
  float confidence = 0;  // mean of the winning probabilities of the characters read, 0..1
  float weakest = 0;     // the lowest of them
};

// Greedy CTC decoding of `steps` rows of `classes` probabilities: class 0 is the blank, class i
// the character alphabet[i - 1]; repeats of one class without a blank between are one character.
LineReading decodeCtc(const float* probabilities, int steps, int classes, const std::vector<std::string>& alphabet);

// The characters of a dictionary file, one a line, followed by the space the model also knows.
std::vector<std::string> alphabetFromText(std::string_view text);

class LineRecognizer {
 public:
  // Parses the model once (the parsed graph is held for the recogniser's life, each width read from
  // it when first needed) and checks its output against the alphabet.
  // Only the printable ASCII characters of the alphabet are read: the classifier is cut down to
  // them (and the blank), which makes it many times cheaper and keeps Chinese look-alikes of Latin
  // marks out of the readings.
  // Throws ModelError naming `name` when the model is damaged or does not fit.
  LineRecognizer(std::span<const std::uint8_t> model, std::string name, std::vector<std::string> alphabet,
                 std::shared_ptr<WorkerPool> workers = nullptr);
  ~LineRecognizer();

  // The text of a BGR line crop (the line fills the crop's height).
  LineReading read(const cv::Mat& bgrLine);

  // The widths (pixels at a height of 48) the network is planned for: a crop is scaled to 48
  // high, padded to the next of these, and squeezed into the widest when it is wider still. Only
  // the few widths used last stay planned.
  static int plannedWidth(int scaledWidth);

  // The graph as planned for a crop `width` pixels wide, its classifier cut down to the characters
  // read (for benchmarks and profiles of the network itself).
  Model modelFor(int width) const;

 private:
  GraphRunner& runnerFor(int width);
  void keepClasses(Model& model) const;

  std::string name_;
  OnnxGraph graph_;
  std::size_t fullAlphabetSize_;
  std::vector<std::string> alphabet_;  // the characters read: printable ASCII of the model's alphabet
  std::vector<int> classes_;           // the model's classes kept: the blank, then those of alphabet_
  std::shared_ptr<WorkerPool> workers_;
  struct Planned {
    int width;
    std::unique_ptr<GraphRunner> runner;
  };
  std::vector<Planned> runners_;  // most recently used first
};

}  // namespace kov
