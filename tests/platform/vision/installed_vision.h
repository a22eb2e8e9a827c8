// The vision service with the installed models, loaded once per test program and shared by its tests.
#pragma once

#include "platform/vision/vision.h"

namespace kov::test {

VisionService& installedVision();

}  // namespace kov::test
