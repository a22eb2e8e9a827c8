// Decoding on a thread of its own, a few frames ahead of the caller, so that decoding overlaps
// with whatever the caller does with each frame.
#pragma once

#include <memory>

#include "platform/media/video_reader.h"

namespace kov {

// Wraps the started reader `inner`: its frames are decoded on a background thread into up to
// `depth` buffered copies. Frames, their order and the failure are exactly the inner reader's; each
// frame owns its copy (`pixelOwner`), so it can be kept after the next frame without another copy.
std::unique_ptr<VideoReader> readAhead(std::unique_ptr<VideoReader> inner, int depth);

}  // namespace kov
