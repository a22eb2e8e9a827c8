// Every built-in model gives the same outputs whether the steps after its convolutions run on their
// own or are done by the convolutions as they store, and the merged plans have fewer steps.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "platform/neural/graph_runner.h"
#include "platform/neural/onnx_model.h"
#include "platform/neural/tflite_model.h"
#include "platform/segment/embedded_models.h"
#include "platform/vision/face_models.h"
#include "platform/vision/line_recognizer.h"
#include "platform/vision/text_models.h"

extern "C" {
extern const std::uint8_t kov_person_detection_begin[], kov_person_detection_end[];
}

namespace kov {
namespace {

struct BuiltIn {
  std::string name;
  std::function<Model()> read;
};

Model tfliteModel(std::span<const std::uint8_t> bytes, const std::string& name) {
  Model model = readModel(bytes, name);
  reduceBatchToOne(model);
  return model;
}

std::vector<BuiltIn> builtInModels() {
  return {
      {"face detection", [] { return tfliteModel(fullRangeFaceDetectionModel(), "face detection"); }},
      {"short range face detection", [] { return tfliteModel(shortRangeFaceDetectionModel(), "short range"); }},
      {"face mesh", [] { return tfliteModel(faceLandmarkModel(), "face mesh"); }},
      {"identity", [] { return tfliteModel(faceIdentityModel(), "identity"); }},
      {"pose detector",
       [] { return tfliteModel({kov_person_detection_begin, kov_person_detection_end}, "pose detector"); }},
      {"square segmenter", [] { return tfliteModel(squareSegmentationModel(), "square"); }},
      {"landscape segmenter", [] { return tfliteModel(landscapeSegmentationModel(), "landscape"); }},
      {"text detector", [] { return readOnnxModel(textDetectionModel(), "text", 96, 160); }},
      {"text line recogniser", [] {
         const LineRecognizer recogniser(textRecognitionModel(), "text recognition", alphabetFromText(textAlphabet()),
                                         std::make_shared<WorkerPool>(1));
         return recogniser.modelFor(160);
       }},
  };
}

void fillInputs(GraphRunner& runner) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> value(-1.0f, 1.0f);
  for (int i = 0; i < runner.inputCount(); ++i)
    for (std::size_t k = 0; k < runner.inputDims(i).size(); ++k) runner.input(i)[k] = value(rng);
}

// Outputs of one run, every output in turn.
std::vector<float> outputsOf(GraphRunner& runner) {
  fillInputs(runner);
  runner.run();
  std::vector<float> values;
  for (int i = 0; i < runner.outputCount(); ++i)
    values.insert(values.end(), runner.output(i), runner.output(i) + runner.outputDims(i).size());
  return values;
}

TEST(MergedStores, EveryBuiltInModelGivesTheSameOutputsBitForBitWithFewerSteps) {
  for (const BuiltIn& builtIn : builtInModels()) {
    SCOPED_TRACE(builtIn.name);
    const Model model = builtIn.read();
    for (ConvolutionKernels kernels : {ConvolutionKernels::Own, ConvolutionKernels::Fastest}) {
      GraphRunner separate(model, std::make_shared<WorkerPool>(1), kernels, StoreFusion::Separate);
      GraphRunner merged(model, std::make_shared<WorkerPool>(2), kernels, StoreFusion::Merged);
      const std::vector<float> plain = outputsOf(separate), fused = outputsOf(merged);
      ASSERT_EQ(plain.size(), fused.size());
      std::size_t differing = 0, finite = 0;
      for (std::size_t i = 0; i < plain.size(); ++i) {
        differing += std::memcmp(&plain[i], &fused[i], sizeof(float)) != 0;
        finite += std::isfinite(fused[i]);
      }
      EXPECT_EQ(differing, 0u) << "of " << plain.size();
      EXPECT_EQ(finite, fused.size());
      EXPECT_LE(merged.stepKinds().size(), separate.stepKinds().size());
      if (kernels == ConvolutionKernels::Own && builtIn.name != "text line recogniser") {
        EXPECT_LT(merged.stepKinds().size(), separate.stepKinds().size());
      }
    }
  }
}

}  // namespace
}  // namespace kov
