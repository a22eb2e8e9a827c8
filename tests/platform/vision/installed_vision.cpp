#include "installed_vision.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace kov::test {

// The service lives until the process ends and is never destroyed. Tesseract keeps its dictionaries in
// a cache of its own, a static made when Tesseract first starts, which is after this service was
// made; statics go in reverse order, so the cache would go first and the service's dictionaries,
// released into a cache that is gone, would never be freed.
VisionService& installedVision() {
  static VisionService* service = [] {
    std::string error;
    auto made = createVisionService(error);
    EXPECT_TRUE(made) << error;
    return made.release();
  }();
  return *service;
}

}  // namespace kov::test
