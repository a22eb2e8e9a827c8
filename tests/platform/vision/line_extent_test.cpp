// Widening a line found only in part along its row, over letters of its own colour: coloured lines
// burnt into real photos, cut short here the way the detector cuts them.
#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "nv12_picture.h"
#include "platform/vision/frame_images.h"
#include "platform/vision/line_extent.h"
#include "support/fixtures.h"

namespace kov {
namespace {

const std::string kSans = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

// `text` burnt at `fontSize` pixels into a 1080p frame (photo `photo`, or black when 0) in
// `colour`, centred at 78 % of the height, as the 640 x 360 colour picture the text reader gets.
cv::Mat burntLine(int photo, const std::string& text, const std::string& colour, int fontSize, const std::string& font = kSans) {
  const std::string input = photo ? "-i " + test::samplePhoto(photo) : "-f lavfi -i color=black:size=1920x1080";
  const test::Nv12Picture picture =
      test::nv12Picture(input, "scale=1920:1080:force_original_aspect_ratio=increase,crop=1920:1080,drawtext=fontfile=" + font +
                                   ":text='" + text + "':fontsize=" + std::to_string(fontSize) + ":fontcolor=" + colour +
                                   ":x=(w-tw)/2:y=h*0.78",
                        640, 360);
  return makeFrameImages(picture.frame()).bgr.clone();
}

// The letters' own extent: the bright pixels of the line burnt on black.
cv::Rect letterExtent(const std::string& text, int fontSize, const std::string& font = kSans) {
  cv::Mat grey;
  cv::cvtColor(burntLine(0, text, "white", fontSize, font), grey, cv::COLOR_BGR2GRAY);
  return cv::boundingRect(grey > 100);
}

// A box as the detector draws it around the letters from `from` to `to` (shares of their width):
// a quarter of their height above and below.
cv::Rect2d detectorBox(const cv::Rect& letters, double from, double to) {
  const double margin = 0.25 * letters.height;
  return {letters.x + from * letters.width, letters.y - margin, (to - from) * letters.width, letters.height + 2 * margin};
}

struct Case {
  int photo;
  const char* text;
};
// Lines whose letters cross both busy and plain parts of the photos.
const Case kCases[] = {{4, "HELLO WORLD 2026"}, {3, "Write to team@example.com"}, {1, "Meet me at 12 45 today"},
                       {5, "Doors open at 7 30 PM"}};

TEST(LineExtent, ALineFoundOnlyInTheMiddleIsWidenedToItsLetters) {
  int whole = 0;
  for (const Case& c : kCases) {
    for (int fontSize : {43, 65}) {
      SCOPED_TRACE(std::string(c.text) + " at " + std::to_string(fontSize) + " px, photo " + std::to_string(c.photo));
      const cv::Rect letters = letterExtent(c.text, fontSize);
      ASSERT_GT(letters.width, 100);
      const cv::Mat picture = burntLine(c.photo, c.text, "0xffc020", fontSize);
      const cv::Rect2d cut = detectorBox(letters, 0.35, 0.65);
      const cv::Rect2d widened = widenedAlongRow(picture, cut);
      const double height = cut.height;
      // The rows stay; the columns never shrink, and never run a word gap or more past the letters.
      EXPECT_EQ(widened.y, cut.y);
      EXPECT_EQ(widened.height, cut.height);
      EXPECT_LE(widened.x, cut.x);
      EXPECT_GE(widened.br().x, cut.br().x);
      EXPECT_GE(widened.x, letters.x - 0.5 * height);
      EXPECT_LE(widened.br().x, letters.br().x + 0.5 * height);
      const bool reachesBothEnds = widened.x <= letters.x + height && widened.br().x >= letters.br().x - height;
      whole += reachesBothEnds ? 1 : 0;
    }
  }
  // Letters lost in a patch of the picture of their own colour can end the widening early.
  EXPECT_GE(whole, 6) << whole << " of 8 lines widened to both ends";
}

TEST(LineExtent, AWholeLineOrAPlainPatchOfAPhotoStaysAsItIs) {
  const cv::Rect letters = letterExtent("HELLO WORLD 2026", 43);
  const cv::Rect2d whole = detectorBox(letters, 0, 1);
  const cv::Mat onBlack = burntLine(0, "HELLO WORLD 2026", "0xffc020", 43);
  const cv::Rect2d kept = widenedAlongRow(onBlack, whole);
  EXPECT_NEAR(kept.x, whole.x, 1.0);
  EXPECT_NEAR(kept.br().x, whole.br().x, 1.0);
  // A box without letters in it has no letters' colour to follow.
  const cv::Mat plain(360, 640, CV_8UC3, cv::Scalar(40, 90, 160));
  EXPECT_EQ(widenedAlongRow(plain, cv::Rect2d(200, 270, 120, 18)), cv::Rect2d(200, 270, 120, 18));
  EXPECT_EQ(widenedAlongRow(cv::Mat(), cv::Rect2d(200, 270, 120, 18)), cv::Rect2d(200, 270, 120, 18));
}

// A coloured line whose end crosses black and white stripes (photo 6): by their distance to the
// letters' colour, the letters are dark and both kinds of stripe light, and the line widened over
// marks near that colour reaches its last letter.
TEST(LineExtent, LettersStandOutByTheirDistanceToTheirColour) {
  const std::string serif = "/usr/share/fonts/truetype/dejavu/DejaVuSerif.ttf", text = "A/B testing, round 3";
  const cv::Rect letters = letterExtent(text, 43, serif);
  const cv::Mat picture = burntLine(6, text, "0xffc020", 43, serif);
  const cv::Rect2d row = detectorBox(letters, 0, 1);
  const LettersAlongRow found = lettersAlongRow(picture, detectorBox(letters, 0, 0.55));
  ASSERT_TRUE(found.colour.has_value());
  const cv::Vec3f colour = *found.colour;
  // The colour found is the letters' (0xffc020 as B, G, R), blended a little with the photo.
  EXPECT_NEAR(colour[0], 0x20, 80);
  EXPECT_NEAR(colour[1], 0xc0, 40);
  EXPECT_NEAR(colour[2], 0xff, 40);

  cv::Mat grey;
  cv::cvtColor(nearnessTo(picture, colour, 100), grey, cv::COLOR_BGR2GRAY);
  cv::Mat white;
  cv::cvtColor(burntLine(0, text, "white", 43, serif), white, cv::COLOR_BGR2GRAY);
  // The letters' cores (bright when burnt white on black) against the rest of the row; the stripes
  // lie in the right part of the row.
  const cv::Rect rowPixels = cv::Rect(row) & cv::Rect(0, 0, picture.cols, picture.rows);
  const cv::Mat cores = white(rowPixels) > 200, rest = white(rowPixels) < 20;
  const double letterGrey = cv::mean(grey(rowPixels), cores)[0], restGrey = cv::mean(grey(rowPixels), rest)[0];
  EXPECT_LT(letterGrey, 90);
  EXPECT_GT(restGrey, 180);
  const cv::Rect right(rowPixels.x + rowPixels.width * 3 / 5, rowPixels.y, rowPixels.width * 2 / 5, rowPixels.height);
  EXPECT_GT(cv::mean(grey(right), white(right) < 20)[0], 180) << "the stripes behind the line's end";

  // Widened over the marks near that colour from its first part, the line reaches its last letter
  // and stops there.
  const cv::Rect2d widened = widenedByColour(picture, detectorBox(letters, 0, 0.55), colour, 70);
  EXPECT_NEAR(widened.x, row.x, 1.0);
  EXPECT_NEAR(widened.br().x, letters.br().x, 0.5 * row.height);
  EXPECT_EQ(widened.y, row.y);
  // Nothing of the colour on a plain picture of another colour.
  const cv::Mat plain(360, 640, CV_8UC3, cv::Scalar(40, 90, 160));
  EXPECT_EQ(widenedByColour(plain, row, colour, 50), row);
}

}  // namespace
}  // namespace kov
