// Models run on pictures of other sizes than their files declare: what cannot follow is refused
// with the model and the reason. (The face detector on pictures of any shape is tested with the
// face models.)
#include <gtest/gtest.h>

#include <string>

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

}  // namespace
}  // namespace kov
