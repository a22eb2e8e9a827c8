// Models run on pictures of other sizes than their files declare: what cannot follow is refused
// with the model and the reason. (The face detector on pictures of any shape is tested with the
// face models.)
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/neural/graph_runner.h"
#include "platform/neural/input_size.h"
#include "platform/neural/model_error.h"
#include "platform/segment/embedded_models.h"

namespace kov {
namespace {

std::string resizeError(int height, int width, bool plan) {
  Model model = readModel(squareSegmentationModel(), "segmenter");
  try {
    resizePictureInput(model, height, width);
    if (plan) GraphRunner runner(model, std::make_shared<WorkerPool>(1));
  } catch (const ModelError& e) {
    return e.what();
  }
  return "";
}

TEST(InputSize, SizesOffTheModelsGridsOrWindowsAreRefusedWithTheReason) {
  // The declared 256 x 256 changes nothing.
  EXPECT_EQ(resizeError(256, 256, true), "");
  // 100 rows: the grids of a half, a quarter and an eighth are whole, that of a sixteenth is not.
  EXPECT_NE(resizeError(100, 256, false).find("segmenter: an extent of 32 does not scale from 256 to 100"),
            std::string::npos)
      << resizeError(100, 256, false);
  EXPECT_NE(resizeError(0, 256, false).find("segmenter: the input is not one picture"), std::string::npos);
  // The segmenter pools each map over a fixed window of its declared size, so a smaller picture
  // cannot run; the runner names the operator.
  EXPECT_NE(resizeError(128, 384, true).find("segmenter: operator 12 (AVERAGE_POOL_2D): has a window larger than its input"),
            std::string::npos)
      << resizeError(128, 384, true);
}

// A model that pads its input explicitly before each strided convolution (a fixed border of one
// pixel: 192 becomes 194) resizes too. Its PADs are folded into the convolutions as their padding,
// which stays a fixed border at any size.
TEST(InputSize, ExplicitPaddingKeepsItsBorderAtAnotherSize) {
  const std::string path = std::string(KOV_SOURCE_ROOT) + "/node_modules/@mediapipe/face_detection/face_detection_full_range_sparse.tflite";
  std::ifstream file(path, std::ios::binary);
  ASSERT_TRUE(file) << path;
  const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(file), {}};
  Model model = readModel(bytes, "padded detector");
  const auto firstPadded = [&]() -> const ModelOperator* {
    for (const ModelOperator& op : model.operators)
      if (op.padding == Padding::Explicit) return &op;
    return nullptr;
  };
  ASSERT_NE(firstPadded(), nullptr);
  EXPECT_EQ(firstPadded()->inputs[0], model.inputs[0]);  // the picture itself, no padded copy
  EXPECT_EQ(firstPadded()->padTop + firstPadded()->padBottom, 2);
  EXPECT_EQ(firstPadded()->padLeft + firstPadded()->padRight, 2);
  resizePictureInput(model, 224, 416);
  GraphRunner runner(model, std::make_shared<WorkerPool>(1));
  EXPECT_EQ(runner.inputDims(), (Dims{224, 416, 3}));
  // One box of 16 values and one score for each cell of the stride-4 grid.
  EXPECT_EQ(runner.outputDims(0), (Dims{1, 56 * 104, 16}));
  EXPECT_EQ(runner.outputDims(1), (Dims{1, 56 * 104, 1}));
}

}  // namespace
}  // namespace kov
