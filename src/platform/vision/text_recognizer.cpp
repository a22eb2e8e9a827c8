#include "platform/vision/text_recognizer.h"

#include <leptonica/allheaders.h>
#include <omp.h>
#include <tesseract/baseapi.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>

#include <opencv2/imgproc.hpp>

#include "platform/neural/model_error.h"
#include "platform/vision/characters.h"
#include "platform/vision/line_extent.h"
#include "platform/vision/line_recognizer.h"
#include "platform/vision/text_detector.h"
#include "platform/vision/text_models.h"

namespace kov {
namespace {

// Lines are searched on the colour frame at this width (pixels; the height follows the frame).
// Narrower searches cost less but miss and misread lines: on burnt-in lines in photos the character
// error rate went from 22 % to 27 % at 512 and to 36 % at 480.
constexpr int kSearchWidth = 640;
// The detector is planned at load for frames of this shape (16:9, the common video shape); frames of
// another shape plan it again on the first of them.
const cv::Size kExpectedFrame(640, 360);
// A line is read with this share of its height around it, so that its letters stand clear of the
// crop's edges, which the picture behind the line touches.
constexpr double kCropMargin = 0.2;
// The recognition network reads a line with this share of its height around it: with less it
// tends to drop the spaces between words.
constexpr double kModelCropMargin = 0.15;
// A network reading with a character below this probability is doubtful; Tesseract's reading
// replaces it when Tesseract's confidence is at least kSureTesseract and above that probability.
constexpr float kDoubtful = 0.65f;
constexpr float kSureTesseract = 0.6f;
constexpr std::size_t kMostCorrections = 2;

std::string trimmed(const char* text) {
  std::string s = text ? text : "";
  const auto notSpace = [](unsigned char c) { return !std::isspace(c); };
  s.erase(s.begin(), std::find_if(s.begin(), s.end(), notSpace));
  s.erase(std::find_if(s.rbegin(), s.rend(), notSpace).base(), s.end());
  std::replace(s.begin(), s.end(), '\n', ' ');
  return s;
}

// Letters and digits of the text (a character outside ASCII counts as one).
int wordCharacterCount(const std::string& text) {
  return static_cast<int>(std::count_if(text.begin(), text.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return std::isalnum(u) || (u >= 0x80 && (u & 0xC0) != 0x80);
  }));
}

// True when the text holds at least two letters or digits: lone marks and punctuation are picture
// texture read as text.
bool hasWordCharacters(const std::string& text) { return wordCharacterCount(text) >= 2; }

// The line's letters in black on white for the recogniser: `lightLetters` says whether the letters
// are the pixels above Otsu's level of the crop or those below it. Marks on the crop's edge that are
// over half its height or wider than it is tall, and marks nearly as tall as the crop, are the picture
// behind the line, not letters, and are left out; a white margin of a quarter of the height goes
// around the line.
constexpr double kNearWhite = 200;
// How many more letter-sized marks the near-white reading must keep before it is preferred: a
// bright speck of the picture beside the line is not enough.
constexpr int kClearlyMoreLetters = 3;

struct LetterPicture {
  cv::Mat picture;
  int letters = 0;  // kept marks of a letter's size: a quarter to nine tenths of the crop's height
};

LetterPicture blackLettersOnWhite(const cv::Mat& line, bool lightLetters, double level = -1) {
  cv::Mat ink;
  const int polarity = lightLetters ? cv::THRESH_BINARY : cv::THRESH_BINARY_INV;
  if (level < 0) cv::threshold(line, ink, 0, 255, polarity | cv::THRESH_OTSU);
  else cv::threshold(line, ink, level, 255, polarity);
  cv::Mat labels, stats, centroids;
  const int count = cv::connectedComponentsWithStats(ink, labels, stats, centroids, 8, CV_32S);
  std::vector<std::uint8_t> keep(static_cast<std::size_t>(count), 0);
  int letterCount = 0;
  for (int i = 1; i < count; ++i) {
    const int x = stats.at<int>(i, cv::CC_STAT_LEFT), y = stats.at<int>(i, cv::CC_STAT_TOP);
    const int w = stats.at<int>(i, cv::CC_STAT_WIDTH), h = stats.at<int>(i, cv::CC_STAT_HEIGHT);
    const bool onEdge = x == 0 || y == 0 || x + w == line.cols || y + h == line.rows;
    const bool background = (onEdge && (h * 2 > line.rows || w > line.rows)) || h * 10 > line.rows * 9;
    keep[static_cast<std::size_t>(i)] = background ? 0 : 1;
    if (!background && h * 4 >= line.rows && w <= 2 * h) ++letterCount;
  }
  // The kept marks, grown by a pixel, keep their grey edges (the recogniser reads smoothed edges
  // better than hard ones); everything else becomes white.
  cv::Mat kept(line.size(), CV_8U);
  for (int y = 0; y < line.rows; ++y) {
    const int* label = labels.ptr<int>(y);
    std::uint8_t* out = kept.ptr<std::uint8_t>(y);
    for (int x = 0; x < line.cols; ++x) out[x] = keep[static_cast<std::size_t>(label[x])] ? 255 : 0;
  }
  cv::dilate(kept, kept, cv::Mat());
  cv::Mat letters;
  if (lightLetters) cv::bitwise_not(line, letters);
  else letters = line.clone();
  letters.setTo(255, kept == 0);
  const int margin = std::max(2, line.rows / 4);
  cv::copyMakeBorder(letters, letters, margin, margin, margin, margin, cv::BORDER_CONSTANT, cv::Scalar(255));
  return {letters, letterCount};
}

// The detector sometimes cuts one line at a wide word gap. Pieces side by side on one row (mostly
// overlapping vertically, at most a line height apart) are one line again.
constexpr double kSameRow = 0.6;
constexpr double kWordGap = 1.0;

bool sameRow(const cv::Rect2d& a, const cv::Rect2d& b) {
  const double overlap = std::min(a.br().y, b.br().y) - std::max(a.y, b.y);
  const double gap = std::max(a.x, b.x) - std::min(a.br().x, b.br().x);
  return overlap >= kSameRow * std::min(a.height, b.height) && gap <= kWordGap * std::max(a.height, b.height);
}

std::vector<FoundLine> joinedRowPieces(std::vector<FoundLine> lines) {
  for (bool joined = true; joined;) {
    joined = false;
    for (std::size_t i = 0; i < lines.size() && !joined; ++i)
      for (std::size_t j = i + 1; j < lines.size() && !joined; ++j)
        if (sameRow(lines[i].box, lines[j].box)) {
          lines[i].box |= lines[j].box;
          lines[i].score = std::max(lines[i].score, lines[j].score);
          lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(j));
          joined = true;
        }
  }
  return lines;
}

struct Reading {
  std::string text;
  float confidence = 0;
  float weakest = 0;  // the least sure character's probability (the line network's readings)
};

// One Tesseract instance that reads single lines. Starting Tesseract costs a fifth of a second of
// CPU and tens of megabytes, and a run whose lines the network reads surely never needs it, so it
// starts when the first doubtful line is read.
class LineReader {
 public:
  explicit LineReader(std::string tessdataFolder) : tessdataFolder_(std::move(tessdataFolder)) {}

  // Reads a grey line picture in the polarity, light letters on a darker ground or dark letters on
  // a lighter one, that leaves more letter-sized marks; on a tie, the letters are the fewer pixels
  // on their side of Otsu's level. Throws TextModelUnreadable when Tesseract cannot load its model.
  Reading read(const cv::Mat& line) {
    start();

    // Libtesseract parallelises with OpenMP, and some of its loops ask for a fixed number of
    // threads, which overrides omp_set_num_threads; idle workers then spin and steal the other
    // core. No active parallel level at all keeps every such loop on the calling thread. The
    // setting belongs to the calling thread.
    omp_set_max_active_levels(0);
    LetterPicture light = blackLettersOnWhite(line, true), dark = blackLettersOnWhite(line, false);
    // White letters with a dark outline over a busy picture: Otsu's level falls between the outline
    // and the picture, so the letters merge with the bright parts of the picture. Only near-white
    // pixels then separate them cleanly.
    LetterPicture white = blackLettersOnWhite(line, true, kNearWhite);
    if (white.letters >= light.letters + kClearlyMoreLetters && white.letters > dark.letters) return readAsIs(white.picture);
    if (light.letters == dark.letters) {
      cv::Mat bright;
      cv::threshold(line, bright, 0, 255, cv::THRESH_BINARY | cv::THRESH_OTSU);
      const bool fewerBright = cv::countNonZero(bright) * 2 < static_cast<int>(bright.total());
      return readAsIs(fewerBright ? light.picture : dark.picture);
    }
    return readAsIs(light.letters > dark.letters ? light.picture : dark.picture);
  }

 private:
  void start() {
    if (started_) return;
    std::vector<std::string> names = {"debug_file"};
    std::vector<std::string> values = {"/dev/null"};
    if (failed_ || api_.Init(tessdataFolder_.c_str(), "eng", tesseract::OEM_LSTM_ONLY, nullptr, 0, &names, &values, false) != 0) {
      failed_ = true;
      throw TextModelUnreadable("cannot read text recognition model " + tessdataFolder_ + "/eng.traineddata");
    }
    // Each line's polarity is settled before it is read, so the recogniser's own retry of every
    // doubtful line inverted is not needed.
    api_.SetVariable("tessedit_do_invert", "0");
    api_.SetPageSegMode(tesseract::PSM_SINGLE_LINE);
    started_ = true;
  }

  Reading readAsIs(const cv::Mat& picture) {
    Reading reading;
    api_.SetImage(picture.data, picture.cols, picture.rows, 1, static_cast<int>(picture.step));
    if (api_.Recognize(nullptr) != 0) return reading;
    std::unique_ptr<char[]> text(api_.GetUTF8Text());
    reading.text = trimmed(text.get());
    reading.confidence = std::clamp(api_.MeanTextConf(), 0, 100) / 100.0f;
    return reading;
  }

  std::string tessdataFolder_;
  bool started_ = false, failed_ = false;
  tesseract::TessBaseAPI api_;
};

// The detector finds the lines on the colour frame; the network reads each line from it, Tesseract
// from the grey picture enlarged two times (enlargedTwice), where small letters have enough pixels.
constexpr int kTesseractScale = 2;

// The line's crop, with kCropMargin around it, in the grey picture of `frame` size enlarged two times.
cv::Rect enlargedCrop(const cv::Rect2d& frameBox, cv::Size frame) {
  const double margin = frameBox.height * kCropMargin, scale = kTesseractScale;
  return cv::Rect(cv::Point(static_cast<int>(std::floor((frameBox.x - margin) * scale)),
                            static_cast<int>(std::floor((frameBox.y - margin) * scale))),
                  cv::Point(static_cast<int>(std::ceil((frameBox.br().x + margin) * scale)),
                            static_cast<int>(std::ceil((frameBox.br().y + margin) * scale)))) &
         cv::Rect(0, 0, frame.width * kTesseractScale, frame.height * kTesseractScale);
}

// A line widened along its row (widenedAlongRow) by at least kWiderBy line heights is read whole,
// kReadBeyond heights past the letters found on either side. The whole reading is kept when it is
// sure of every character, or else when it holds at least kFewestMoreCharacters more letters and
// digits than the part found first and is about as sure (kAsSure): a widening over marks of the
// picture adds doubtful characters, and one more character is as likely such a mark as a letter.
constexpr double kWiderBy = 0.5;
constexpr double kReadBeyond = 1.0;
constexpr float kAsSure = 0.05f;
constexpr int kFewestMoreCharacters = 2;

bool readsMore(const Reading& wider, const Reading& first) {
  return wordCharacterCount(wider.text) >= wordCharacterCount(first.text) + kFewestMoreCharacters &&
         wider.confidence >= first.confidence - kAsSure;
}

// A widened line can take in another piece of its row that the detector found apart; the piece's
// own reading is then a repeat of part of the line and is left out.
constexpr double kCovered = 0.8;

bool coveredAlongRow(const NormBox& piece, const NormBox& line) {
  const double across = std::min(piece.x + piece.w, line.x + line.w) - std::max(piece.x, line.x);
  const double down = std::min(piece.y + piece.h, line.y + line.h) - std::max(piece.y, line.y);
  return across >= kCovered * piece.w && down >= kSameRow * std::min(piece.h, line.h);
}

std::vector<TextObservation> withoutRepeatedPieces(std::vector<TextObservation> lines) {
  std::vector<TextObservation> kept;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    bool repeat = false;
    for (std::size_t j = 0; j < lines.size() && !repeat; ++j)
      repeat = j != i && lines[j].box.w > lines[i].box.w && coveredAlongRow(lines[i].box, lines[j].box);
    if (!repeat) kept.push_back(std::move(lines[i]));
  }
  return kept;
}

// Letters are of a vivid colour when their strongest and weakest channels are at least kVivid apart.
// Their distance to that colour is read with kFarFromLetters and beyond as white: the anti-aliased
// edges of small letters, blended with the picture, stay dark enough to keep the strokes whole. The
// row is read kReadAlongRow line heights past the letters found on either side, and a line read so
// spans the letter-sized marks within kNearLetters of the colour that continue it.
constexpr float kVivid = 80;
constexpr double kFarFromLetters = 100;
constexpr double kReadAlongRow = 6;
constexpr double kNearLetters = 70;

bool vivid(const cv::Vec3f& colour) {
  return std::max({colour[0], colour[1], colour[2]}) - std::min({colour[0], colour[1], colour[2]}) >= kVivid;
}

class DetectingRecognizer : public TextRecognizer {
 public:
  DetectingRecognizer(std::unique_ptr<TextLineFinder> finder, std::unique_ptr<LineRecognizer> lineModel,
                      std::string tessdataFolder)
      : finder_(std::move(finder)), lineModel_(std::move(lineModel)), reader_(std::move(tessdataFolder)) {}

  // One frame at a time; other frames' calls wait their turn.
  std::vector<TextObservation> recognize(const FrameImages& images, float minimumTextHeight) override {
    std::vector<TextObservation> result;
    if (images.bgr.empty() || images.grey.size() != images.bgr.size()) return result;
    std::lock_guard lock(mutex_);
    for (const FoundLine& line : joinedRowPieces(finder_->find(images.bgr, kSearchWidth))) {
      cv::Rect2d frameBox = line.box & cv::Rect2d(0, 0, images.bgr.cols, images.bgr.rows);
      if (frameBox.height < minimumTextHeight * images.bgr.rows || frameBox.width < frameBox.height) continue;
      Reading reading;
      const LettersAlongRow letters = lettersAlongRow(images.bgr, frameBox);
      const cv::Rect2d widened = letters.extent;
      if (widened.width >= frameBox.width + kWiderBy * frameBox.height) {
        // The letters' colour fades where the picture behind them has it too: the network reads a
        // little beyond the letters found.
        const double beyond = kReadBeyond * frameBox.height;
        const cv::Rect2d padded = cv::Rect2d(widened.x - beyond, widened.y, widened.width + 2 * beyond, widened.height) &
                                  cv::Rect2d(0, 0, images.bgr.cols, images.bgr.rows);
        Reading wider = readLine(images, padded);
        // A whole reading sure of every character is kept without reading the part found first
        // (a line costs nearly as much to read as the detector's search of the whole frame).
        Reading first = wider.weakest >= kDoubtful ? Reading{} : readLine(images, frameBox);
        if (wider.weakest >= kDoubtful || readsMore(wider, first)) reading = std::move(wider), frameBox = widened;
        else reading = std::move(first);
      } else {
        reading = readLine(images, frameBox);
      }
      if (letters.colour && vivid(*letters.colour) && reading.weakest < kDoubtful)
        readAgainByColour(images.bgr, widened, *letters.colour, reading, frameBox);
      if (!hasWordCharacters(reading.text)) continue;
      TextObservation observation;
      observation.box = normalisedBox(frameBox, images.bgr.cols, images.bgr.rows);
      observation.hasCandidate = true;
      observation.text = std::move(reading.text);
      observation.confidence = reading.confidence;
      result.push_back(std::move(observation));
    }
    return withoutRepeatedPieces(std::move(result));
  }

 private:
  // The network reads the line's colour crop. Tesseract reads it as well when one character read is
  // below kDoubtful: its reading is taken as a correction when it is sure enough, surer than that
  // character and differs by at most kMostCorrections edits. On busy pictures Tesseract reads
  // noise with middling confidence, which a bound on confidence alone lets through.
  Reading readLine(const FrameImages& images, const cv::Rect2d& frameBox) {
    const cv::Rect tesseractCrop = enlargedCrop(frameBox, images.grey.size());
    if (tesseractCrop.empty()) return {};
    const double margin = frameBox.height * kModelCropMargin;
    const cv::Rect box = cv::Rect(cv::Point(static_cast<int>(std::floor(frameBox.x - margin)),
                                            static_cast<int>(std::floor(frameBox.y - margin))),
                                  cv::Point(static_cast<int>(std::ceil(frameBox.br().x + margin)),
                                            static_cast<int>(std::ceil(frameBox.br().y + margin)))) &
                         cv::Rect(0, 0, images.bgr.cols, images.bgr.rows);
    if (box.empty()) return {};
    const LineReading line = lineModel_->read(images.bgr(box));
    // A reading without characters has nothing to correct: the region is a mark of the picture, and
    // what Tesseract might make of it could only be invented (or the start of Tesseract, for runs
    // whose only finds are such marks, wasted).
    if (!line.text.empty() && line.weakest < kDoubtful) {
      Reading second = reader_.read(enlargedTwice(images.grey, tesseractCrop));
      if (second.confidence >= kSureTesseract && second.confidence > line.weakest &&
          editDistance(second.text, line.text) <= kMostCorrections)
        return second;
    }
    return {line.text, line.confidence, line.weakest};
  }

  // Doubtful readings of letters of a vivid colour are read once more, from the picture of each pixel's distance to
  // their colour along their row: there the picture behind them drops out whatever its brightness
  // (black and white stripes, pale skin), and letters that the detector and the widening missed are
  // read too. That reading replaces `reading` when it reads more by the widening's rule, or as many
  // letters and digits with more confidence or a surer weakest character.
  void readAgainByColour(const cv::Mat& bgr, const cv::Rect2d& letters, const cv::Vec3f& colour, Reading& reading,
                         cv::Rect2d& box) {
    const double along = kReadAlongRow * box.height;
    const cv::Rect2d row = cv::Rect2d(letters.x - along, letters.y, letters.width + 2 * along, letters.height) &
                           cv::Rect2d(0, 0, bgr.cols, bgr.rows);
    const double margin = row.height * kModelCropMargin;
    const cv::Rect crop = cv::Rect(cv::Point(static_cast<int>(std::floor(row.x - margin)), static_cast<int>(std::floor(row.y - margin))),
                                   cv::Point(static_cast<int>(std::ceil(row.br().x + margin)),
                                             static_cast<int>(std::ceil(row.br().y + margin)))) &
                          cv::Rect(0, 0, bgr.cols, bgr.rows);
    if (crop.empty()) return;
    const LineReading line = lineModel_->read(nearnessTo(bgr(crop), colour, kFarFromLetters));
    Reading near{line.text, line.confidence, line.weakest};
    const bool asLong = wordCharacterCount(near.text) >= wordCharacterCount(reading.text);
    if (!readsMore(near, reading) && !(asLong && (near.confidence > reading.confidence || near.weakest > reading.weakest)))
      return;
    reading = std::move(near);
    box = widenedByColour(bgr, letters, colour, kNearLetters);
  }

  std::unique_ptr<TextLineFinder> finder_;
  std::unique_ptr<LineRecognizer> lineModel_;
  LineReader reader_;
  std::mutex mutex_;
};

// Tesseract's model file is a table of contents (a count, then the byte offset of each part or -1
// for a missing one) followed by the parts. Reading the table is enough to turn away a file cut
// short, another kind of file, or one without the line recogniser's parts, before a run starts.
constexpr std::int32_t kMostParts = 64;
constexpr int kLineNetworkPart = 17, kLineCharactersPart = 21, kLineCodesPart = 22;

bool holdsLineModel(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return false;
  const std::int64_t size = in.tellg();
  std::int32_t count = 0;
  in.seekg(0);
  if (!in.read(reinterpret_cast<char*>(&count), sizeof count) || count <= kLineCodesPart || count > kMostParts) return false;
  std::vector<std::int64_t> offsets(static_cast<std::size_t>(count));
  if (!in.read(reinterpret_cast<char*>(offsets.data()), static_cast<std::streamsize>(offsets.size() * sizeof(std::int64_t))))
    return false;
  const std::int64_t tableEnd = static_cast<std::int64_t>(sizeof count + offsets.size() * sizeof(std::int64_t));
  std::int64_t previous = tableEnd;
  for (std::int64_t offset : offsets) {
    if (offset == -1) continue;
    if (offset < previous || offset >= size) return false;
    previous = offset;
  }
  for (int part : {kLineNetworkPart, kLineCharactersPart, kLineCodesPart})
    if (offsets[static_cast<std::size_t>(part)] == -1) return false;
  return true;
}

std::vector<std::uint8_t> fileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ModelError("cannot open " + path);
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw ModelError("cannot read " + path);
  return bytes;
}

}  // namespace

std::unique_ptr<TextRecognizer> loadTextRecognizer(const std::string& tessdataFolder, const std::string& detectorFile,
                                                   std::string& error) {
  const std::string model = tessdataFolder + "/eng.traineddata";
  std::error_code ec;
  if (!std::filesystem::is_regular_file(model, ec)) {
    error = "missing text recognition model " + model;
    return nullptr;
  }
  if (!holdsLineModel(model)) {
    error = "cannot read text recognition model " + model;
    return nullptr;
  }
  std::unique_ptr<TextLineFinder> finder;
  std::unique_ptr<LineRecognizer> lineModel;
  try {
    if (detectorFile.empty()) {
      finder = std::make_unique<TextLineFinder>(textDetectionModel(), "text detection model", kExpectedFrame, kSearchWidth);
    } else {
      finder = std::make_unique<TextLineFinder>(fileBytes(detectorFile), detectorFile, kExpectedFrame, kSearchWidth);
    }
  } catch (const ModelError& e) {
    error = std::string("cannot use text detection model: ") + e.what();
    return nullptr;
  }
  try {
    const auto builtIn = textRecognitionModel();
    lineModel = std::make_unique<LineRecognizer>(builtIn, "text line recognition model", alphabetFromText(textAlphabet()));
  } catch (const ModelError& e) {
    error = std::string("cannot use text line recognition model: ") + e.what();
    return nullptr;
  }
  setMsgSeverity(L_SEVERITY_NONE);
  return std::make_unique<DetectingRecognizer>(std::move(finder), std::move(lineModel), tessdataFolder);
}

}  // namespace kov
