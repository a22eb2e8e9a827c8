#include "platform/vision/face_models.h"

extern "C" {
extern const std::uint8_t kov_face_detection_short_begin[], kov_face_detection_short_end[];
extern const std::uint8_t kov_face_detection_full_begin[], kov_face_detection_full_end[];
extern const std::uint8_t kov_face_landmark_begin[], kov_face_landmark_end[];
extern const std::uint8_t kov_face_identity_begin[], kov_face_identity_end[];
}

namespace kov {

std::span<const std::uint8_t> shortRangeFaceDetectionModel() {
  return {kov_face_detection_short_begin, kov_face_detection_short_end};
}

std::span<const std::uint8_t> fullRangeFaceDetectionModel() {
  return {kov_face_detection_full_begin, kov_face_detection_full_end};
}

std::span<const std::uint8_t> faceLandmarkModel() { return {kov_face_landmark_begin, kov_face_landmark_end}; }

std::span<const std::uint8_t> faceIdentityModel() { return {kov_face_identity_begin, kov_face_identity_end}; }

}  // namespace kov
