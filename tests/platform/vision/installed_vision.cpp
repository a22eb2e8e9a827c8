#include "installed_vision.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace kov::test {

VisionService& installedVision() {
  static std::unique_ptr<VisionService> service = [] {
    std::string error;
    auto made = createVisionService(error);
    EXPECT_TRUE(made) << error;
    return made;
  }();
  return *service;
}

}  // namespace kov::test
