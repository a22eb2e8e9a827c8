// Running a fully convolutional picture model on a picture of another size than the file declares.
#pragma once

#include "platform/neural/tflite_model.h"

namespace kov {

// Gives the model's picture input (the first graph input, [1, h, w, c]) `height` x `width` pixels
// and scales every shape that follows from it: each activation's rows and columns (but an extent
// of 1, a picture pooled over space), the cell count
// of activations flattened to [1, cells, c], and the target sizes of RESIZE operators. Every scaled
// extent must come out whole (the new size a multiple of the model's coarsest grid); otherwise, or
// when the input is not a picture, throws ModelError. GraphRunner then checks every operator's
// shapes as for any other model.
void resizePictureInput(Model& model, int height, int width);

}  // namespace kov
