#include "platform/vision/line_recognizer.h"

#include <algorithm>
#include <cmath>
#include <malloc.h>

#include <opencv2/imgproc.hpp>

#include "platform/neural/model_error.h"

namespace kov {
namespace {

constexpr int kHeight = 48;
// Planned widths are multiples of this, up to kWidest; each one planned costs a model read and
// its weights, so there are few of them. The network takes any multiple of 8, but steps of 32 or 64
// gave no less CPU per text frame (the extra widths cost more to plan than the narrower padding
// saves) and readings differ a little, as the padding takes part in the sequence steps.
constexpr int kWidthStep = 128;
constexpr int kWidest = 1280;
// Each planned width holds its own weights and activations: 12 MB at 256 to 25 MB at 1280. The
// widths used least recently are dropped beyond this many; the lines of a video's captions come
// back at the same few widths, and a frame rarely holds lines of more widths than this.
constexpr std::size_t kMostPlans = 4;
// A gap between two characters whose space probability reaches this is a word gap (within words
// the space stays below about 0.005).
constexpr float kSpaceHint = 0.01f;

// Marks that English writes without a space before them, and marks without one after them: a faint
// space hint next to them is the gap of the glyph itself.
bool noSpaceBefore(const std::string& character) {
  return character.size() == 1 && std::string_view(",.:;!?)@/").find(character[0]) != std::string_view::npos;
}
bool noSpaceAfter(char character) { return std::string_view("@/($").find(character) != std::string_view::npos; }

}  // namespace

LineReading decodeCtc(const float* probabilities, int steps, int classes, const std::vector<std::string>& alphabet) {
  LineReading reading;
  const int space = alphabet.empty() || alphabet.back() != " " ? -1 : static_cast<int>(alphabet.size());
  double sum = 0;
  float weakest = 1;
  int count = 0, previous = 0;
  float spaceSince = 0;  // the highest space probability since the last character
  for (int t = 0; t < steps; ++t) {
    const float* row = probabilities + static_cast<std::size_t>(t) * static_cast<std::size_t>(classes);
    const int best = static_cast<int>(std::max_element(row, row + classes) - row);
    if (space > 0 && space < classes) spaceSince = std::max(spaceSince, row[space]);
    if (best != 0 && best != previous && static_cast<std::size_t>(best) <= alphabet.size()) {
      // The network often leaves a word gap blank while still giving the space a clear share.
      const std::string& character = alphabet[static_cast<std::size_t>(best - 1)];
      if (best != space && count > 0 && spaceSince >= kSpaceHint && reading.text.back() != ' ' &&
          !noSpaceBefore(character) && !noSpaceAfter(reading.text.back()))
        reading.text += ' ';
      reading.text += character;
      sum += row[best];
      weakest = std::min(weakest, row[best]);
      ++count;
      spaceSince = 0;
    }
    previous = best;
  }
  while (!reading.text.empty() && reading.text.back() == ' ') reading.text.pop_back();
  while (!reading.text.empty() && reading.text.front() == ' ') reading.text.erase(reading.text.begin());
  reading.confidence = count > 0 ? static_cast<float>(sum / count) : 0.0f;
  reading.weakest = count > 0 ? weakest : 0.0f;
  return reading;
}

std::vector<std::string> alphabetFromText(std::string_view text) {
  std::vector<std::string> alphabet;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    alphabet.emplace_back(line);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  alphabet.emplace_back(" ");
  return alphabet;
}

LineRecognizer::LineRecognizer(std::span<const std::uint8_t> model, std::string name, std::vector<std::string> alphabet,
                               std::shared_ptr<WorkerPool> workers)
    : name_(std::move(name)), graph_(model, name_), fullAlphabetSize_(alphabet.size()), workers_(std::move(workers)) {
  if (!workers_) workers_ = std::make_shared<WorkerPool>(inferenceThreads());
  classes_.push_back(0);
  for (std::size_t i = 0; i < alphabet.size(); ++i) {
    const std::string& character = alphabet[i];
    if (character.size() == 1 && character[0] >= 0x20 && character[0] <= 0x7e) {
      classes_.push_back(static_cast<int>(i + 1));
      alphabet_.push_back(character);
    }
  }
  GraphRunner& probe = runnerFor(kWidthStep);
  const Dims in = probe.inputDims(), out = probe.outputDims();
  if (probe.inputCount() != 1 || probe.outputCount() != 1 || in.c != 3 || out.h != 1 || out.w < 1 ||
      static_cast<std::size_t>(out.c) != classes_.size())
    throw ModelError(name_ + ": not a line recogniser (one colour line in, per time step a probability for each character and a blank out)");
}

// The model ends in a classifier (a 1x1 convolution with a class per output channel) and a softmax
// over the classes; both are cut down to `classes`.
void LineRecognizer::keepClasses(Model& model) const {
  const auto notRecogniser = [&] {
    return ModelError(name_ + ": not a line recogniser for " + std::to_string(fullAlphabetSize_) +
                      " characters (its last steps are not a classifier over them and a blank, then a softmax)");
  };
  if (model.outputs.size() != 1 || model.operators.size() < 2) throw notRecogniser();
  ModelOperator& softmax = model.operators.back();
  ModelOperator& classifier = model.operators[model.operators.size() - 2];
  const std::size_t total = fullAlphabetSize_ + 1;
  if (softmax.kind != OpKind::Softmax || softmax.outputs[0] != model.outputs[0] || classifier.kind != OpKind::Conv ||
      softmax.inputs.size() != 1 || softmax.inputs[0] != classifier.outputs[0] || classifier.inputs.size() < 3 ||
      classifier.inputs[2] < 0 || static_cast<std::size_t>(softmax.inner) != total)
    throw notRecogniser();
  ModelTensor& weights = model.tensors[static_cast<std::size_t>(classifier.inputs[1])];
  ModelTensor& bias = model.tensors[static_cast<std::size_t>(classifier.inputs[2])];
  if (weights.shape.size() != 4 || static_cast<std::size_t>(weights.shape[0]) != total || weights.shape[1] != 1 ||
      weights.shape[2] != 1 || bias.floats.size() != total)
    throw notRecogniser();
  const std::size_t depth = static_cast<std::size_t>(weights.shape[3]);
  std::vector<float> keptWeights, keptBias;
  for (int c : classes_) {
    const auto row = weights.floats.begin() + static_cast<std::ptrdiff_t>(static_cast<std::size_t>(c) * depth);
    keptWeights.insert(keptWeights.end(), row, row + static_cast<std::ptrdiff_t>(depth));
    keptBias.push_back(bias.floats[static_cast<std::size_t>(c)]);
  }
  const int kept = static_cast<int>(classes_.size());
  weights.floats = std::move(keptWeights);
  weights.shape[0] = kept;
  bias.floats = std::move(keptBias);
  bias.shape = {kept};
  for (int tensor : {classifier.outputs[0], softmax.outputs[0]})
    model.tensors[static_cast<std::size_t>(tensor)].shape.back() = kept;
  softmax.inner = kept;
}

LineRecognizer::~LineRecognizer() = default;

int LineRecognizer::plannedWidth(int scaledWidth) {
  const int steps = (std::max(scaledWidth, 1) + kWidthStep - 1) / kWidthStep;
  return std::min(steps * kWidthStep, kWidest);
}

Model LineRecognizer::modelFor(int width) const {
  Model model = graph_.read(kHeight, width);
  keepClasses(model);
  return model;
}

GraphRunner& LineRecognizer::runnerFor(int width) {
  const auto used = std::find_if(runners_.begin(), runners_.end(), [&](const Planned& p) { return p.width == width; });
  if (used != runners_.end()) {
    std::rotate(runners_.begin(), used, used + 1);
    return *runners_.front().runner;
  }
  if (runners_.size() >= kMostPlans) runners_.pop_back();
  Model model = modelFor(width);
  runners_.insert(runners_.begin(), {width, std::make_unique<GraphRunner>(model, workers_)});
  model = Model();
  // The model read for planning is garbage now: megabytes the allocator would otherwise keep.
  malloc_trim(0);
  return *runners_.front().runner;
}

LineReading LineRecognizer::read(const cv::Mat& bgrLine) {
  if (bgrLine.empty() || bgrLine.type() != CV_8UC3) return {};
  const int scaled = std::max(1, static_cast<int>(std::lround(static_cast<double>(bgrLine.cols) * kHeight / bgrLine.rows)));
  const int planned = plannedWidth(scaled);
  const int width = std::min(scaled, planned);
  GraphRunner& runner = runnerFor(planned);
  cv::Mat resized;
  cv::resize(bgrLine, resized, cv::Size(width, kHeight), 0, 0, width < bgrLine.cols ? cv::INTER_AREA : cv::INTER_LINEAR);
  // The network was trained on values (v / 255 - 0.5) / 0.5 in B, G, R order, with zeros (mid grey)
  // to the right of a line narrower than its batch.
  float* input = runner.input();
  std::fill(input, input + runner.inputDims().size(), 0.0f);
  for (int y = 0; y < kHeight; ++y) {
    const std::uint8_t* row = resized.ptr<std::uint8_t>(y);
    float* out = input + static_cast<std::size_t>(y) * planned * 3;
    for (int x = 0; x < width * 3; ++x) out[x] = row[x] / 127.5f - 1.0f;
  }
  const float* probabilities = runner.run();
  const Dims out = runner.outputDims();
  return decodeCtc(probabilities, out.w, out.c, alphabet_);
}

}  // namespace kov
