#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <iterator>
#include <string>
#include <thread>

#include "installed_vision.h"
#include "nv12_picture.h"
#include "platform/vision/characters.h"
#include "platform/vision/vision.h"
#include "support/fixtures.h"

namespace kov {
namespace {

using test::nv12Picture;
using test::Nv12Picture;
using test::samplePhoto;

const std::string kFont = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf";

std::string photo(int index) { return "-i " + samplePhoto(index); }

bool contains(const NormBox& box, double x, double y) {
  return box.x <= x && x <= box.maxX() && box.y <= y && y <= box.maxY();
}

double distance(const std::vector<float>& a, const std::vector<float>& b) {
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i) sum += (a[i] - b[i]) * (a[i] - b[i]);
  return std::sqrt(sum);
}

double length(const std::vector<float>& v) { return distance(v, std::vector<float>(v.size(), 0.0f)); }

// The centres of the three faces of sample photo 1, as fractions with the origin at the top-left.
const double kPhotoOneFaces[3][2] = {{0.25, 161.0 / 426}, {0.49, 193.0 / 426}, {0.81, 113.0 / 426}};

TEST(FaceLandmarks, FindsEveryPersonOfARealPhotoWithCoveringBoxesAndLips) {
  const Nv12Picture picture = nv12Picture(photo(1), "", 640, 426);
  auto requests = test::installedVision().forFrame(picture.frame());
  const std::vector<FaceObservation> faces = requests->faceLandmarks();
  ASSERT_EQ(faces.size(), 3u);
  for (const auto& centre : kPhotoOneFaces) {
    int covering = 0;
    for (const FaceObservation& face : faces) covering += contains(face.box, centre[0], centre[1]);
    EXPECT_EQ(covering, 1) << centre[0] << "," << centre[1];
  }
  for (const FaceObservation& face : faces) {
    EXPECT_GT(face.box.w, 0.08);
    EXPECT_LT(face.box.w, 0.2);
    EXPECT_GE(face.confidence, 0.5f);
    EXPECT_LT(face.confidence, 1.0f);
    ASSERT_TRUE(face.hasLandmarks);
    ASSERT_EQ(face.innerLips.size(), 20u);  // the inner-lip contour of the face mesh
    // The mouth lies in the lower half of the face box, around its middle.
    for (const PointF& p : face.innerLips) {
      EXPECT_GT(p.x, 0.05);
      EXPECT_LT(p.x, 0.95);
      EXPECT_GT(p.y, -0.1);
      EXPECT_LT(p.y, 0.45);
    }
  }
}

TEST(FaceLandmarks, FindsFacesOfAboutFortyPixelsAndNothingOnAPlainPicture) {
  // The photo shrunk to 360 px wide in a 640 px frame: its faces are about 41 px wide.
  const Nv12Picture small =
      nv12Picture(photo(1), "scale=360:-2,pad=640:426:140:(oh-ih)/2:color=0x303030", 640, 426);
  auto requests = test::installedVision().forFrame(small.frame());
  const auto faces = requests->faceLandmarks();
  EXPECT_GE(faces.size(), 2u);
  for (const FaceObservation& face : faces) {
    EXPECT_LT(face.box.w * 640, 56);
    EXPECT_GT(face.box.w * 640, 30);
  }

  const Nv12Picture plain = nv12Picture("-f lavfi -i testsrc2=s=640x360", "", 640, 360);
  EXPECT_TRUE(test::installedVision().forFrame(plain.frame())->faceLandmarks().empty());
}

// `faces` measures several frames at a time; each must come out as it does on its own.
TEST(FaceLandmarks, FramesMeasuredAtTheSameTimeGiveWhatEachGivesAlone) {
  std::vector<Nv12Picture> pictures;
  for (int index : {1, 2, 3, 6}) pictures.push_back(nv12Picture(photo(index), "", 640, 426));
  auto summary = [](const std::vector<FaceObservation>& faces) {
    std::vector<double> values;
    for (const FaceObservation& face : faces) {
      values.insert(values.end(), {face.box.x, face.box.y, face.box.w, face.box.h, face.confidence});
      for (const PointF& p : face.innerLips) values.insert(values.end(), {p.x, p.y});
    }
    return values;
  };
  std::vector<std::vector<double>> alone;
  for (const Nv12Picture& picture : pictures) alone.push_back(summary(test::installedVision().forFrame(picture.frame())->faceLandmarks()));

  for (int round = 0; round < 2; ++round) {
    std::vector<std::vector<double>> together(pictures.size());
    std::vector<std::thread> threads;
    for (size_t i = 0; i < pictures.size(); ++i) {
      threads.emplace_back([&, i] { together[i] = summary(test::installedVision().forFrame(pictures[i].frame())->faceLandmarks()); });
    }
    for (std::thread& thread : threads) thread.join();
    for (size_t i = 0; i < pictures.size(); ++i) {
      EXPECT_FALSE(alone[i].empty()) << i;
      EXPECT_EQ(together[i], alone[i]) << "picture " << i << ", round " << round;
    }
  }
}

TEST(FeaturePrint, UnitLengthVectorsThatKeepOnePersonCloseAndTellPeopleApart) {
  const Nv12Picture picture = nv12Picture(photo(1), "", 640, 426);
  const Nv12Picture blurred = nv12Picture(photo(1), "gblur=sigma=2", 640, 426);
  auto requests = test::installedVision().forFrame(picture.frame());
  auto blurredRequests = test::installedVision().forFrame(blurred.frame());
  const auto faces = requests->faceLandmarks();
  ASSERT_EQ(faces.size(), 3u);

  auto regionAround = [](const NormBox& face, double shift) {
    return NormBox{face.x - 0.5 * face.w + shift, std::max(0.0, face.y - 0.3 * face.h), 2 * face.w, 2.2 * face.h};
  };
  std::vector<std::vector<float>> people;
  for (const FaceObservation& face : faces) {
    const auto print = requests->featurePrint(regionAround(face.box, 0));
    ASSERT_TRUE(print);
    ASSERT_EQ(print->size(), 768u);
    EXPECT_NEAR(length(*print), 1.0, 1e-4);
    people.push_back(*print);

    const auto shifted = requests->featurePrint(regionAround(face.box, 0.1 * face.box.w));
    const auto soft = blurredRequests->featurePrint(regionAround(face.box, 0));
    ASSERT_TRUE(shifted && soft);
    double nearest = 1e9;
    for (size_t other = 0; other + 1 < people.size(); ++other) nearest = std::min(nearest, distance(*print, people[other]));
    EXPECT_LT(distance(*print, *shifted), nearest);
    EXPECT_LT(distance(*print, *soft), nearest);
  }
  EXPECT_FALSE(requests->featurePrint({2, 2, 0.1, 0.1}));
}

// The frame analysis reads the luma through the requests after the decoder has moved on.
TEST(FrameLuma, TheRequestsKeepTheFramesLumaAfterTheFrameIsGone) {
  Nv12Picture picture = nv12Picture(photo(1), "", 640, 426);
  const std::vector<std::uint8_t> luma(picture.bytes.begin(), picture.bytes.begin() + 640 * 426);
  auto requests = test::installedVision().forFrame(picture.frame());
  picture.bytes.assign(picture.bytes.size(), 0);
  picture.bytes.shrink_to_fit();
  const GreyView kept = requests->luma();
  ASSERT_EQ(kept.width, 640);
  ASSERT_EQ(kept.height, 426);
  int differing = 0;
  for (int y = 0; y < kept.height; ++y)
    for (int x = 0; x < kept.width; ++x) differing += kept.at(x, y) != luma[static_cast<size_t>(y) * 640 + x];
  EXPECT_EQ(differing, 0);

  // A frame whose pixels are owned is shared, not copied, and kept alive by the requests.
  Nv12Picture owned = nv12Picture(photo(1), "", 640, 426);
  auto bytes = std::make_shared<std::vector<std::uint8_t>>(std::move(owned.bytes));
  DecodedFrame frame = owned.frame();
  frame.planes[0] = bytes->data();
  frame.planes[1] = bytes->data() + 640 * 426;
  frame.pixelOwner = bytes;
  auto sharing = test::installedVision().forFrame(frame);
  const std::uint8_t* const first = bytes->data();
  frame = DecodedFrame{};
  bytes.reset();
  const GreyView shared = sharing->luma();
  EXPECT_EQ(shared.data, first);
  for (int y = 0; y < shared.height; ++y)
    for (int x = 0; x < shared.width; ++x) differing += shared.at(x, y) != luma[static_cast<size_t>(y) * 640 + x];
  EXPECT_EQ(differing, 0);
}

TEST(Saliency, APictureOnAPlainWallIsTheSalientRegion) {
  const Nv12Picture picture = nv12Picture("-f lavfi -i color=c=0x405060:s=640x360 " + photo(4),
                                          "[1]scale=120:120[p];[0][p]overlay=400:100", 640, 360);
  const auto objects = test::installedVision().forFrame(picture.frame())->salientObjects();
  ASSERT_FALSE(objects.empty());
  const SalientObject* best = &objects[0];
  for (const auto& object : objects) best = object.confidence > best->confidence ? &object : best;
  // The picture's centre is at (460, 160) pixels.
  EXPECT_TRUE(contains(best->box, 460.0 / 640, 160.0 / 360));
  EXPECT_LT(best->box.w, 0.4);
  EXPECT_GT(best->confidence, 0.2f);
  EXPECT_LE(best->confidence, 1.0f);

  const Nv12Picture flat = nv12Picture("-f lavfi -i color=c=0x405060:s=640x360", "", 640, 360);
  EXPECT_TRUE(test::installedVision().forFrame(flat.frame())->salientObjects().empty());
}

std::string caption(const std::string& text, const std::string& style, const std::string& y) {
  return "drawtext=fontfile=" + kFont + ":text='" + text + "':fontsize=26:fontcolor=white:" + style +
         ":x=(w-tw)/2:y=" + y;
}

const TextObservation* lineContaining(const std::vector<TextObservation>& lines, const std::string& words) {
  for (const auto& line : lines) {
    if (line.text.find(words) != std::string::npos) return &line;
  }
  return nullptr;
}

TEST(TextRecognition, ReadsCleanAndOutlinedCaptionsAndNothingOnAPhotoWithoutText) {
  const Nv12Picture boxed = nv12Picture(
      photo(3), "scale=640:360:force_original_aspect_ratio=increase,crop=640:360," +
                    caption("Meet the team at noon", "box=1:boxcolor=black:boxborderw=8", "40"), 640, 360);
  const auto boxedLines = test::installedVision().forFrame(boxed.frame())->recognizeText(0.012f);
  const TextObservation* clean = lineContaining(boxedLines, "Meet the team at noon");
  ASSERT_TRUE(clean) << (boxedLines.empty() ? "no lines" : boxedLines[0].text);
  EXPECT_GE(clean->confidence, 0.8f);
  EXPECT_TRUE(contains(clean->box, 0.5, 53.0 / 360));
  EXPECT_LT(clean->box.h, 0.15);

  const Nv12Picture outlined = nv12Picture(
      photo(2), "scale=640:360:force_original_aspect_ratio=increase,crop=640:360," +
                    caption("Hello from the river bank", "borderw=2:bordercolor=black", "h-50"), 640, 360);
  const auto outlinedLines = test::installedVision().forFrame(outlined.frame())->recognizeText(0.012f);
  const TextObservation* subtitle = lineContaining(outlinedLines, "river bank");
  ASSERT_TRUE(subtitle) << (outlinedLines.empty() ? "no lines" : outlinedLines[0].text);
  EXPECT_GE(subtitle->confidence, 0.8f);

  for (int index : {1, 4}) {
    const Nv12Picture plain = nv12Picture(photo(index), "", 640, 426);
    for (const auto& line : test::installedVision().forFrame(plain.frame())->recognizeText(0.012f)) {
      EXPECT_LT(line.confidence, 0.3f) << "photo " << index << " read as " << line.text;
    }
  }
}

size_t threadCount() {
  return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                                           std::filesystem::directory_iterator()));
}

// Reading text runs beside face detection, so the recogniser must not start worker threads of its
// own that keep the other core busy waiting for work.
TEST(TextRecognition, LeavesNoWorkerThreadsBehind) {
  const Nv12Picture boxed = nv12Picture(
      photo(3), "scale=640:360:force_original_aspect_ratio=increase,crop=640:360," +
                    caption("Meet the team at noon", "box=1:boxcolor=black:boxborderw=8", "40"), 640, 360);
  // A first reading starts whatever shared pools the libraries keep for the whole process.
  test::installedVision().forFrame(boxed.frame())->recognizeText(0.012f);
  size_t before = 0, after = 0, lines = 0;
  std::thread reader([&] {
    before = threadCount();
    lines = test::installedVision().forFrame(boxed.frame())->recognizeText(0.012f).size();
    after = threadCount();
  });
  reader.join();
  EXPECT_GT(lines, 0u);
  EXPECT_EQ(after, before);
}

TEST(VisionModels, AMissingModelFileIsNamedInOneLine) {
  std::string error;
  test::TempDir empty;
  VisionModels models = installedVisionModels();
  models.tessdata = empty.path();
  error.clear();
  EXPECT_FALSE(createVisionService(models, error));
  EXPECT_NE(error.find(empty.path() + "/eng.traineddata"), std::string::npos) << error;
  EXPECT_EQ(error.find('\n'), std::string::npos);
  // A run without text recognition neither loads nor needs the text model.
  models.loadText = false;
  auto withoutText = createVisionService(models, error);
  ASSERT_TRUE(withoutText) << error;
  const Nv12Picture words =
      nv12Picture("-f lavfi -i color=c=black:s=640x360", caption("Readable words", "box=1:boxcolor=black", "150"), 640, 360);
  EXPECT_TRUE(withoutText->forFrame(words.frame())->recognizeText(0.012f).empty());
  EXPECT_FALSE(test::installedVision().forFrame(words.frame())->recognizeText(0.012f).empty());

}

// The number of edits decides whether Tesseract may correct the network's reading of a line.
TEST(Characters, EditsBetweenReadingsCountInsertionsDeletionsAndReplacements) {
  EXPECT_EQ(editDistance("", ""), 0u);
  EXPECT_EQ(editDistance("", "abc"), 3u);
  EXPECT_EQ(editDistance("abc", ""), 3u);
  EXPECT_EQ(editDistance("kitten", "sitting"), 3u);
  EXPECT_EQ(editDistance("A/B testing", "A/B  testing"), 1u);
  EXPECT_EQ(editDistance("12:45", "12.45"), 1u);
}

TEST(Characters, CutsAfterWholeUserPerceivedCharacters) {
  EXPECT_EQ(firstCharacters("short", 80), "short");
  EXPECT_EQ(firstCharacters("abcdef", 3), "abc");
  // A family emoji (a ZWJ sequence of 7 code points) and a flag count once each.
  const std::string family = "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7";
  const std::string flag = "\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7";
  EXPECT_EQ(firstCharacters(family + flag + "xyz", 2), family + flag);
  // e followed by a combining acute accent and a combining dot below is one character.
  const std::string accented = "e\xCC\x81\xCC\xA3";
  EXPECT_EQ(firstCharacters(accented + accented + "z", 2), accented + accented);
  std::string longLine;
  for (int i = 0; i < 120; ++i) longLine += (i % 10 == 0) ? std::string("\xF0\x9F\x98\x80") : std::string("a");
  const std::string cut = firstCharacters(longLine, 80);
  EXPECT_EQ(cut, longLine.substr(0, 72 + 8 * 4));
  EXPECT_EQ(firstCharacters("", 80), "");
  EXPECT_EQ(firstCharacters("abc", 0), "");
}

}  // namespace
}  // namespace kov
