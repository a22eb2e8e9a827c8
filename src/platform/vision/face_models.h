// The face models, built into the executable from their npm packages.
#pragma once

#include <cstdint>
#include <span>

namespace kov {

std::span<const std::uint8_t> shortRangeFaceDetectionModel();  // input 128 x 128
std::span<const std::uint8_t> fullRangeFaceDetectionModel();   // input 192 x 192
std::span<const std::uint8_t> faceLandmarkModel();             // input 192 x 192, 468 points
std::span<const std::uint8_t> faceIdentityModel();             // input 112 x 112, 192 values

}  // namespace kov
