#include "platform/vision/text_recognizer.h"

#include <leptonica/allheaders.h>
#include <omp.h>
#include <tesseract/baseapi.h>

#include <algorithm>
#include <filesystem>
#include <future>
#include <mutex>

#include <opencv2/imgproc.hpp>

namespace kov {
namespace {

// Luma at or above this is taken as the body of light subtitle letters.
constexpr int kNearWhite = 200;
// Layout boxes taller than this share of the picture are picture regions, not lines.
constexpr double kTallestLine = 0.25;
// Reading a line box padded by this share of its height keeps letters at its edges whole.
constexpr double kLinePadding = 0.25;

struct PixelLine {
  cv::Rect box;  // pixels of the picture read
  std::string text;
  float confidence = 0;
};

std::string trimmed(const char* text) {
  std::string s = text ? text : "";
  const auto notSpace = [](unsigned char c) { return !std::isspace(c); };
  s.erase(s.begin(), std::find_if(s.begin(), s.end(), notSpace));
  s.erase(std::find_if(s.rbegin(), s.rend(), notSpace).base(), s.end());
  std::replace(s.begin(), s.end(), '\n', ' ');
  return s;
}

double overlapOfSmaller(const cv::Rect& a, const cv::Rect& b) {
  const double smaller = std::min(a.area(), b.area());
  return smaller > 0 ? (a & b).area() / smaller : 0.0;
}

// True when the text holds at least one letter or digit (any non-ASCII character counts as one):
// lines of only punctuation are picture texture read as text.
bool hasLetterOrDigit(const std::string& text) {
  return std::any_of(text.begin(), text.end(),
                     [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || (c & 0x80) != 0; });
}

// Layout often cuts one printed line into pieces (a capital apart from its word, words apart);
// pieces on the same row with a gap of at most a line height are joined.
bool sameRow(const cv::Rect& a, const cv::Rect& b) {
  const int overlap = std::min(a.y + a.height, b.y + b.height) - std::max(a.y, b.y);
  const int lower = std::min(a.height, b.height);
  if (overlap < lower / 2) return false;
  const int gap = std::max(a.x, b.x) - std::min(a.x + a.width, b.x + b.width);
  return gap <= std::max(a.height, b.height);
}

std::vector<cv::Rect> joinRowPieces(std::vector<cv::Rect> boxes) {
  for (bool joined = true; joined;) {
    joined = false;
    for (size_t i = 0; i < boxes.size() && !joined; ++i) {
      for (size_t k = i + 1; k < boxes.size() && !joined; ++k) {
        if (!sameRow(boxes[i], boxes[k])) continue;
        boxes[i] |= boxes[k];
        boxes.erase(boxes.begin() + static_cast<std::ptrdiff_t>(k));
        joined = true;
      }
    }
  }
  return boxes;
}

// The line picture with dark letters on a light ground, as the recogniser expects: when the
// pixels brighter than Otsu's level are the fewer, they are the letters and the picture is inverted.
cv::Mat darkLettersOnLight(const cv::Mat& line) {
  cv::Mat binary;
  cv::threshold(line, binary, 0, 255, cv::THRESH_BINARY | cv::THRESH_OTSU);
  if (cv::countNonZero(binary) * 2 >= static_cast<int>(binary.total())) return line;
  cv::Mat inverted;
  cv::bitwise_not(line, inverted);
  return inverted;
}

// True when the line picture (dark letters on light) holds at least two letter-sized marks standing
// on a common baseline and such marks make up at least half of the sizeable marks: printed text
// does, the texture of a picture region rarely does.
bool looksLikeALine(const cv::Mat& darkOnLight, int lineHeight) {
  cv::Mat ink;
  cv::threshold(darkOnLight, ink, 0, 255, cv::THRESH_BINARY_INV | cv::THRESH_OTSU);
  cv::Mat labels, stats, centroids;
  const int count = cv::connectedComponentsWithStats(ink, labels, stats, centroids, 8, CV_32S);
  std::vector<int> bottoms;
  int sizeable = 0;
  for (int i = 1; i < count; ++i) {
    const int height = stats.at<int>(i, cv::CC_STAT_HEIGHT);
    const int width = stats.at<int>(i, cv::CC_STAT_WIDTH);
    if (height < lineHeight * 3 / 10) continue;
    ++sizeable;
    if (height <= lineHeight * 12 / 10 && width <= 3 * lineHeight)
      bottoms.push_back(stats.at<int>(i, cv::CC_STAT_TOP) + height);
  }
  if (bottoms.size() < 2) return false;
  std::vector<int> sorted = bottoms;
  std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(sorted.size() / 2), sorted.end());
  const int baseline = sorted[sorted.size() / 2];
  const auto aligned = std::count_if(bottoms.begin(), bottoms.end(),
                                     [&](int bottom) { return std::abs(bottom - baseline) * 5 <= lineHeight; });
  return aligned >= 2 && aligned * 2 >= sizeable;
}

// One Tesseract instance: finds the lines of a picture and reads them one by one.
class LineReader {
 public:
  bool init(const std::string& tessdataFolder) {
    std::vector<std::string> names = {"debug_file"};
    std::vector<std::string> values = {"/dev/null"};
    if (api_.Init(tessdataFolder.c_str(), "eng", tesseract::OEM_LSTM_ONLY, nullptr, 0, &names, &values, false) != 0)
      return false;
    // Each line's polarity is settled before it is read (darkLettersOnLight), so the recogniser's
    // own retry of every doubtful line inverted, which doubles the time spent on picture texture,
    // is not needed.
    api_.SetVariable("tessedit_do_invert", "0");
    return true;
  }

  // The lines at least `shortest` pixels tall that read as text.
  std::vector<PixelLine> readLines(const cv::Mat& picture, int shortest) {
    // Libtesseract parallelises with OpenMP, and some of its loops ask for a fixed number of
    // threads, which overrides omp_set_num_threads; idle workers then spin and steal the other
    // core. No active parallel level at all keeps every such loop on the calling thread. The
    // setting belongs to the calling thread.
    omp_set_max_active_levels(0);
    std::vector<PixelLine> lines;
    for (const cv::Rect& box : joinRowPieces(layoutLines(picture, shortest))) {
      PixelLine line = readLine(picture, box);
      if (hasLetterOrDigit(line.text)) lines.push_back(std::move(line));
    }
    return lines;
  }

 private:
  std::vector<cv::Rect> layoutLines(const cv::Mat& picture, int shortest) {
    std::vector<cv::Rect> boxes;
    api_.SetPageSegMode(tesseract::PSM_AUTO);
    api_.SetImage(picture.data, picture.cols, picture.rows, 1, static_cast<int>(picture.step));
    std::unique_ptr<tesseract::PageIterator> it(api_.AnalyseLayout());
    if (!it) return boxes;
    do {
      int left = 0, top = 0, right = 0, bottom = 0;
      if (!it->BoundingBox(tesseract::RIL_TEXTLINE, &left, &top, &right, &bottom)) continue;
      const cv::Rect box(left, top, right - left, bottom - top);
      if (box.height < shortest || box.height > kTallestLine * picture.rows) continue;
      boxes.push_back(box);
    } while (it->Next(tesseract::RIL_TEXTLINE));
    return boxes;
  }

  PixelLine readLine(const cv::Mat& picture, const cv::Rect& box) {
    PixelLine line;
    line.box = box;
    if (box.width < box.height) return line;
    const int pad = static_cast<int>(box.height * kLinePadding);
    const cv::Rect padded =
        (box + cv::Size(2 * pad, 2 * pad) - cv::Point(pad, pad)) & cv::Rect(0, 0, picture.cols, picture.rows);
    const cv::Mat crop = darkLettersOnLight(picture(padded).clone());
    if (!looksLikeALine(crop, box.height)) return line;
    api_.SetPageSegMode(tesseract::PSM_SINGLE_LINE);
    api_.SetImage(crop.data, crop.cols, crop.rows, 1, static_cast<int>(crop.step));
    if (api_.Recognize(nullptr) != 0) return line;
    std::unique_ptr<char[]> text(api_.GetUTF8Text());
    line.text = trimmed(text.get());
    line.confidence = std::clamp(api_.MeanTextConf(), 0, 100) / 100.0f;
    return line;
  }

  tesseract::TessBaseAPI api_;
};

// The grey picture and the near-white mask are read at the same time, each by its own instance.
class TesseractRecognizer : public TextRecognizer {
 public:
  bool init(const std::string& tessdataFolder) { return greyReader_.init(tessdataFolder) && lightReader_.init(tessdataFolder); }

  // The two instances read one frame at a time; other frames' calls wait their turn.
  std::vector<TextObservation> recognize(const FrameImages& images, float minimumTextHeight) override {
    std::vector<TextObservation> result;
    if (images.greyDouble.empty()) return result;
    std::lock_guard lock(mutex_);
    const cv::Mat& picture = images.greyDouble;
    const int shortest = std::max(1, static_cast<int>(std::ceil(minimumTextHeight * picture.rows)));
    cv::Mat lightLetters;
    cv::threshold(picture, lightLetters, kNearWhite - 1, 255, cv::THRESH_BINARY_INV);
    auto light = std::async(std::launch::async, [&] { return lightReader_.readLines(lightLetters, shortest); });
    std::vector<PixelLine> lines = greyReader_.readLines(picture, shortest);
    mergeLines(lines, light.get());
    std::sort(lines.begin(), lines.end(), [](const PixelLine& a, const PixelLine& b) {
      return a.box.y != b.box.y ? a.box.y < b.box.y : a.box.x < b.box.x;
    });
    const double scale = static_cast<double>(picture.cols) / images.grey.cols;
    for (const PixelLine& line : lines) {
      TextObservation observation;
      observation.box = normalisedBox(cv::Rect2d(line.box.x / scale, line.box.y / scale, line.box.width / scale,
                                                 line.box.height / scale),
                                      images.grey.cols, images.grey.rows);
      observation.hasCandidate = true;
      observation.text = line.text;
      observation.confidence = line.confidence;
      result.push_back(std::move(observation));
    }
    return result;
  }

 private:
  // A line of the mask replaces an overlapping one that it reads with more confidence, and
  // is added when it overlaps none.
  static void mergeLines(std::vector<PixelLine>& lines, std::vector<PixelLine> more) {
    for (PixelLine& extra : more) {
      auto same = std::find_if(lines.begin(), lines.end(),
                               [&](const PixelLine& line) { return overlapOfSmaller(line.box, extra.box) > 0.5; });
      if (same == lines.end()) {
        lines.push_back(std::move(extra));
      } else if (extra.confidence > same->confidence) {
        *same = std::move(extra);
      }
    }
  }

  LineReader greyReader_;
  LineReader lightReader_;
  std::mutex mutex_;
};

}  // namespace

std::unique_ptr<TextRecognizer> loadTextRecognizer(const std::string& tessdataFolder, std::string& error) {
  const std::string model = tessdataFolder + "/eng.traineddata";
  std::error_code ec;
  if (!std::filesystem::is_regular_file(model, ec)) {
    error = "missing text recognition model " + model;
    return nullptr;
  }
  setMsgSeverity(L_SEVERITY_NONE);
  auto recognizer = std::make_unique<TesseractRecognizer>();
  if (!recognizer->init(tessdataFolder)) {
    error = "cannot read text recognition model " + model;
    return nullptr;
  }
  return recognizer;
}

}  // namespace kov
