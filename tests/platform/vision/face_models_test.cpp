// The face models on real photos and on variants made from them: detection of rolled, small and
// darkened faces, the mouth measured in the face's upright frame, and identity prints. Also the
// detector's anchors and the merging of overlapping detections.
#include <gtest/gtest.h>

#include <cmath>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "platform/vision/face_detector.h"
#include "platform/vision/face_identity.h"
#include "platform/vision/face_landmarker.h"
#include "platform/vision/face_mesh.h"
#include "support/fixtures.h"

namespace kov {
namespace {

cv::Mat photo(int index, int width = 640) {
  cv::Mat picture = cv::imread(test::samplePhoto(index), cv::IMREAD_COLOR);
  EXPECT_FALSE(picture.empty()) << test::samplePhoto(index);
  cv::resize(picture, picture, cv::Size(width, picture.rows * width / picture.cols), 0, 0, cv::INTER_AREA);
  return picture;
}

// The picture turned by `degrees` (counter-clockwise on screen) about its centre on a canvas that
// holds all of it; `map` takes picture points to the turned one.
cv::Mat turned(const cv::Mat& picture, double degrees, cv::Mat& map) {
  const cv::Point2f centre(picture.cols / 2.0f, picture.rows / 2.0f);
  map = cv::getRotationMatrix2D(centre, degrees, 1.0);
  const double c = std::abs(std::cos(degrees * CV_PI / 180)), s = std::abs(std::sin(degrees * CV_PI / 180));
  const int w = static_cast<int>(picture.cols * c + picture.rows * s), h = static_cast<int>(picture.cols * s + picture.rows * c);
  map.at<double>(0, 2) += w / 2.0 - centre.x;
  map.at<double>(1, 2) += h / 2.0 - centre.y;
  cv::Mat out;
  cv::warpAffine(picture, out, map, cv::Size(w, h), cv::INTER_LINEAR, cv::BORDER_REPLICATE);
  return out;
}

cv::Point2d apply(const cv::Mat& map, cv::Point2d p) {
  return {map.at<double>(0, 0) * p.x + map.at<double>(0, 1) * p.y + map.at<double>(0, 2),
          map.at<double>(1, 0) * p.x + map.at<double>(1, 1) * p.y + map.at<double>(1, 2)};
}

cv::Point2d centreOf(const cv::Rect2d& box) { return (box.tl() + box.br()) * 0.5; }

// The detection whose box holds `point`, or none.
const FaceDetection* detectionAt(const std::vector<FaceDetection>& found, cv::Point2d point) {
  for (const FaceDetection& d : found)
    if (d.box.contains(point)) return &d;
  return nullptr;
}

FaceDetector& detector() {
  static std::unique_ptr<FaceDetector> made = createFaceDetector(FaceRange::Full);
  return *made;
}

FaceMeshModel& meshModel() {
  static std::unique_ptr<FaceMeshModel> made = createFaceMeshModel();
  return *made;
}

double mouthRatio(const std::vector<cv::Point2d>& lips) {
  double x0 = 1e9, x1 = -1e9, y0 = 1e9, y1 = -1e9;
  for (const cv::Point2d& p : lips) {
    x0 = std::min(x0, p.x), x1 = std::max(x1, p.x), y0 = std::min(y0, p.y), y1 = std::max(y1, p.y);
  }
  return (y1 - y0) / (x1 - x0);
}

TEST(FaceDetector, AnchorsFollowTheModelsOutputsAndOverlappingDetectionsMerge) {
  const auto shortAnchors = faceAnchors(128, {8, 16}, {2, 6});
  ASSERT_EQ(shortAnchors.size(), 896u);  // 16x16 cells with 2 anchors, 8x8 with 6
  EXPECT_FLOAT_EQ(shortAnchors[0].x, 0.5f / 16);
  EXPECT_FLOAT_EQ(shortAnchors[1].x, 0.5f / 16);
  EXPECT_FLOAT_EQ(shortAnchors[2].x, 1.5f / 16);
  EXPECT_FLOAT_EQ(shortAnchors[512].y, 0.5f / 8);
  EXPECT_FLOAT_EQ(shortAnchors[895].x, 7.5f / 8);
  EXPECT_EQ(faceAnchors(192, {4}, {1}).size(), 2304u);

  float regression[16] = {12.8f, -6.4f, 32, 64};
  for (int k = 0; k < kFaceKeypoints; ++k) regression[4 + 2 * k] = static_cast<float>(k);
  const FaceDetection decoded = decodeFaceAnchor(regression, {0.5f, 0.25f}, 128, 0.9f);
  EXPECT_NEAR(centreOf(decoded.box).x, 0.6, 1e-6);
  EXPECT_NEAR(centreOf(decoded.box).y, 0.2, 1e-6);
  EXPECT_NEAR(decoded.box.width, 0.25, 1e-6);
  EXPECT_NEAR(decoded.box.height, 0.5, 1e-6);
  EXPECT_NEAR(decoded.keypoints[kLeftEar].x, 0.5 + 5 / 128.0, 1e-6);

  // Two overlapping detections become their score-weighted mean; a separate one stays apart.
  FaceDetection strong, weak, apart;
  strong.box = {0, 0, 10, 10};
  strong.score = 0.9f;
  weak.box = {2, 0, 10, 10};
  weak.score = 0.3f;
  apart.box = {50, 50, 10, 10};
  apart.score = 0.6f;
  const auto merged = weightedNonMaxSuppression({weak, apart, strong}, 0.3);
  ASSERT_EQ(merged.size(), 2u);
  EXPECT_FLOAT_EQ(merged[0].score, 0.9f);
  EXPECT_NEAR(merged[0].box.x, 0.5, 1e-6);  // scores are single precision
  EXPECT_NEAR(merged[0].box.width, 10, 1e-6);
  EXPECT_EQ(merged[1].box, apart.box);
}

TEST(FaceDetector, FindsTheFacesOfARealPhotoRolledSmallAndDarkAndNothingOnAWall) {
  const cv::Mat upright = photo(1);
  const auto reference = detector().detect(upright);
  ASSERT_EQ(reference.size(), 3u);
  for (const FaceDetection& d : reference) {
    EXPECT_GT(d.score, 0.6f);
    EXPECT_LE(d.score, 1.0f);
    // The eyes lie above the mouth, inside the box.
    EXPECT_LT(d.keypoints[kRightEye].y, d.keypoints[kMouthCentre].y);
    EXPECT_LT(d.keypoints[kRightEye].x, d.keypoints[kLeftEye].x);
    EXPECT_TRUE(d.box.contains(d.keypoints[kNoseTip]));
  }
  for (double degrees : {-45.0, -30.0, 30.0, 45.0}) {
    cv::Mat map;
    const cv::Mat rolled = turned(upright, degrees, map);
    const auto found = detector().detect(rolled);
    int kept = 0;
    for (const FaceDetection& face : reference) kept += detectionAt(found, apply(map, centreOf(face.box))) != nullptr;
    EXPECT_GE(kept, 3) << degrees << " degrees";
    EXPECT_EQ(found.size(), 3u) << degrees << " degrees";
  }
  // Faces about 30 px tall, and the photo darkened to a third.
  cv::Mat small, dark;
  const double factor = 30.0 / reference[0].box.height;
  cv::resize(upright, small, cv::Size(), factor, factor, cv::INTER_AREA);
  EXPECT_EQ(detector().detect(small).size(), 3u);
  upright.convertTo(dark, -1, 0.33, 0);
  EXPECT_EQ(detector().detect(dark).size(), 3u);

  cv::Mat wall(360, 640, CV_8UC3, cv::Scalar(120, 140, 150));
  cv::rectangle(wall, cv::Rect(200, 100, 120, 150), cv::Scalar(40, 60, 200), cv::FILLED);
  EXPECT_TRUE(detector().detect(wall).empty());
}

// The upright pass sees a whole picture of any shape at once; a strip longer than four times its
// height is seen letterboxed.
TEST(FaceDetector, FindsTheFacesOfAPhotoPlacedInWideTallAndStripPictures) {
  const cv::Mat upright = photo(1, 320);
  const auto reference = detector().detect(upright);
  ASSERT_EQ(reference.size(), 3u);
  struct Canvas {
    cv::Size size;
    cv::Point at;
  } canvases[] = {{{568, 320}, {240, 50}}, {{320, 568}, {0, 300}}, {{1200, 240}, {700, 10}}};
  for (const Canvas& c : canvases) {
    cv::Mat picture(c.size, CV_8UC3, cv::Scalar(110, 100, 90));
    const cv::Rect place = cv::Rect(c.at, upright.size()) & cv::Rect(cv::Point(0, 0), c.size);
    upright(cv::Rect(cv::Point(0, 0), place.size())).copyTo(picture(place));
    const auto found = detector().detect(picture);
    EXPECT_EQ(found.size(), 3u) << c.size;
    for (const FaceDetection& face : reference)
      EXPECT_NE(detectionAt(found, centreOf(face.box) + cv::Point2d(c.at)), nullptr) << c.size << " " << centreOf(face.box);
  }
}

TEST(FaceMesh, TheMouthIsMeasuredInTheUprightFaceAtAnyRoll) {
  // Photo 3: the left woman's lips are closed, the others smile with parted lips.
  const cv::Mat upright = photo(3);
  const auto faces = detector().detect(upright);
  ASSERT_EQ(faces.size(), 3u);
  struct Mouth {
    cv::Point2d centre;
    double ratio;
    double roll;
  };
  std::vector<Mouth> mouths;
  for (const FaceDetection& face : faces) {
    const auto mesh = meshModel().landmarks(upright, face);
    ASSERT_TRUE(mesh);
    EXPECT_GT(mesh->presence, 0.5f);
    ASSERT_EQ(mesh->points.size(), static_cast<std::size_t>(kFaceMeshPoints));
    EXPECT_NEAR(faceRoll(*mesh), 0, 0.35);
    mouths.push_back({centreOf(face.box), mouthRatio(uprightInnerLips(*mesh)), faceRoll(*mesh)});
  }
  std::sort(mouths.begin(), mouths.end(), [](const Mouth& a, const Mouth& b) { return a.centre.x < b.centre.x; });
  EXPECT_LT(mouths[0].ratio, 0.125);
  EXPECT_GT(mouths[1].ratio, mouths[0].ratio + 0.03);
  EXPECT_GT(mouths[2].ratio, mouths[0].ratio + 0.03);

  for (double degrees : {-30.0, 30.0}) {
    cv::Mat map;
    const cv::Mat rolled = turned(upright, degrees, map);
    const auto found = detector().detect(rolled);
    for (const Mouth& mouth : mouths) {
      const FaceDetection* face = detectionAt(found, apply(map, mouth.centre));
      ASSERT_TRUE(face) << degrees;
      const auto mesh = meshModel().landmarks(rolled, *face);
      ASSERT_TRUE(mesh);
      // The picture turned counter-clockwise on screen rolls the face the other way.
      EXPECT_NEAR(faceRoll(*mesh), mouth.roll - degrees * CV_PI / 180, 0.08) << degrees;
      EXPECT_NEAR(mouthRatio(uprightInnerLips(*mesh)), mouth.ratio, 0.04) << degrees;
      // Without turning the lips back the rolled mouth reads far more open.
      if (mouth.ratio < 0.125) {
        std::vector<cv::Point2d> asSeen;
        for (int i : {78, 191, 80, 81, 82, 13, 312, 311, 310, 415, 308, 324, 318, 402, 317, 14, 87, 178, 88, 95})
          asSeen.push_back(mesh->points[static_cast<std::size_t>(i)]);
        EXPECT_GT(mouthRatio(asSeen), 0.3) << degrees;
      }
    }
  }
}

TEST(FacePrint, ThePersonNotTheSurroundingsAndTheSamePersonCloserThanOthers) {
  std::string error;
  auto landmarker = loadFaceLandmarker(error);
  ASSERT_TRUE(landmarker) << error;
  auto printsOf = [&](const cv::Mat& bgr) {
    FrameImages images;
    images.bgr = bgr;
    std::vector<std::pair<cv::Point2d, std::vector<float>>> prints;
    for (const LandmarkedFace& face : landmarker->detect(images)) {
      const auto print = landmarker->print(images, face);
      EXPECT_TRUE(print);
      if (!print) continue;
      EXPECT_EQ(print->size(), static_cast<std::size_t>(kFeaturePrintLength));
      const NormBox& b = face.observation.box;
      prints.emplace_back(cv::Point2d(b.midX() * bgr.cols, b.midY() * bgr.rows), *print);
    }
    return prints;
  };
  auto distance = [](const std::vector<float>& a, const std::vector<float>& b) {
    double sum = 0;
    for (std::size_t i = 0; i < a.size(); ++i) sum += (a[i] - b[i]) * (a[i] - b[i]);
    return std::sqrt(sum);
  };
  // Photos 1 and 6: seven people. Each person's print from a darkened, JPEG-20 copy is nearer
  // that person's print than anyone else's.
  std::vector<std::pair<cv::Point2d, std::vector<float>>> people, others;
  for (int index : {1, 6}) {
    const cv::Mat original = photo(index);
    cv::Mat dark;
    original.convertTo(dark, -1, 0.4, 0);
    std::vector<std::uint8_t> bytes;
    cv::imencode(".jpg", dark, bytes, {cv::IMWRITE_JPEG_QUALITY, 20});
    const auto upright = printsOf(original);
    const auto variant = printsOf(cv::imdecode(bytes, cv::IMREAD_COLOR));
    ASSERT_EQ(upright.size(), variant.size()) << "photo " << index;
    for (const auto& [centre, print] : variant) {
      std::size_t nearest = 0;
      for (std::size_t i = 1; i < upright.size(); ++i)
        if (distance(print, upright[i].second) < distance(print, upright[nearest].second)) nearest = i;
      EXPECT_LT(cv::norm(upright[nearest].first - centre), 20) << "photo " << index;
    }
    people.insert(people.end(), upright.begin(), upright.end());
  }
  ASSERT_EQ(people.size(), 7u);

  // Photo 1's first face pasted over photo 6's first face stays nearest its own face.
  const cv::Mat donor = photo(1), host = photo(6);
  const auto donorFaces = detector().detect(donor), hostFaces = detector().detect(host);
  ASSERT_FALSE(donorFaces.empty());
  ASSERT_FALSE(hostFaces.empty());
  const cv::Rect from = cv::Rect(donorFaces[0].box) & cv::Rect(0, 0, donor.cols, donor.rows);
  const cv::Rect to = cv::Rect(hostFaces[0].box) & cv::Rect(0, 0, host.cols, host.rows);
  cv::Mat pasted = host.clone(), patch;
  cv::resize(donor(from), patch, to.size());
  patch.copyTo(pasted(to));
  const auto pastedPrints = printsOf(pasted);
  const auto own = printsOf(donor), covered = printsOf(host);
  auto at = [](const auto& prints, cv::Point2d centre) -> const std::vector<float>* {
    for (const auto& [c, p] : prints)
      if (cv::norm(c - centre) < 25) return &p;
    return nullptr;
  };
  const auto* pastedPrint = at(pastedPrints, centreOf(hostFaces[0].box));
  const auto* ownPrint = at(own, centreOf(donorFaces[0].box));
  const auto* coveredPrint = at(covered, centreOf(hostFaces[0].box));
  ASSERT_TRUE(pastedPrint && ownPrint && coveredPrint);
  EXPECT_LT(distance(*pastedPrint, *ownPrint), distance(*pastedPrint, *coveredPrint));
}

}  // namespace
}  // namespace kov
