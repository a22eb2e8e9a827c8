// The line recogniser: greedy CTC decoding with the spaces the network only hints at, the
// alphabet file, the built-in network reading clean lines drawn here, and a model that is not a
// line recogniser.
#include <gtest/gtest.h>

#include <algorithm>

#include <opencv2/imgproc.hpp>

#include "platform/neural/model_error.h"
#include "platform/vision/characters.h"
#include "platform/vision/line_recognizer.h"
#include "platform/vision/text_models.h"

namespace kov {
namespace {

// Rows of probabilities over [blank, a, b, ",", " "], each row given as its winning class and that
// class's probability, the space class holding `space` unless it wins.
std::vector<float> steps(const std::vector<std::pair<int, float>>& winners, const std::vector<float>& space) {
  std::vector<float> rows;
  for (std::size_t t = 0; t < winners.size(); ++t) {
    std::vector<float> row(5, 0.0f);
    row[4] = space[t];
    row[static_cast<std::size_t>(winners[t].first)] = winners[t].second;
    rows.insert(rows.end(), row.begin(), row.end());
  }
  return rows;
}

TEST(LineRecognizer, CtcDecodingKeepsRepeatsApartOnlyAcrossABlank) {
  const std::vector<std::string> alphabet = {"a", "b", ",", " "};
  // a a _ a b b _ _ : "aab"; confidence the mean of the first step of each character.
  const auto rows = steps({{1, 0.9f}, {1, 0.8f}, {0, 1}, {1, 0.6f}, {2, 0.7f}, {2, 0.9f}, {0, 1}, {0, 1}},
                          std::vector<float>(8, 0.0f));
  const LineReading reading = decodeCtc(rows.data(), 8, 5, alphabet);
  EXPECT_EQ(reading.text, "aab");
  EXPECT_NEAR(reading.confidence, (0.9f + 0.6f + 0.7f) / 3, 1e-6f);
  EXPECT_NEAR(reading.weakest, 0.6f, 1e-6f);
  EXPECT_EQ(decodeCtc(rows.data(), 0, 5, alphabet).text, "");
}

TEST(LineRecognizer, AWordGapTheNetworkOnlyHintsAtBecomesASpace) {
  const std::vector<std::string> alphabet = {"a", "b", ",", " "};
  // a _ _ b: a space share of 0.03 in the gap makes "a b"; 0.003 (within a word) does not.
  const auto hinted = steps({{1, 0.9f}, {0, 0.95f}, {0, 0.95f}, {2, 0.9f}}, {0, 0.03f, 0.01f, 0});
  EXPECT_EQ(decodeCtc(hinted.data(), 4, 5, alphabet).text, "a b");
  const auto faint = steps({{1, 0.9f}, {0, 0.95f}, {2, 0.9f}}, {0, 0.003f, 0});
  EXPECT_EQ(decodeCtc(faint.data(), 3, 5, alphabet).text, "ab");
  // Not before a comma; a space the network gives itself stays single; none at either end.
  const auto comma = steps({{1, 0.9f}, {0, 0.9f}, {3, 0.9f}}, {0, 0.05f, 0});
  EXPECT_EQ(decodeCtc(comma.data(), 3, 5, alphabet).text, "a,");
  const auto spoken = steps({{4, 0.9f}, {1, 0.9f}, {4, 0.9f}, {0, 0.9f}, {2, 0.9f}, {4, 0.9f}}, {0, 0, 0, 0.5f, 0, 0});
  EXPECT_EQ(decodeCtc(spoken.data(), 6, 5, alphabet).text, "a b");
}

TEST(LineRecognizer, TheAlphabetFileEndsWithTheSpace) {
  EXPECT_EQ(alphabetFromText("a\nb\r\n,"), (std::vector<std::string>{"a", "b", ",", " "}));
  EXPECT_EQ(alphabetFromText("a\n"), (std::vector<std::string>{"a", " "}));  // a final newline ends the last line
  const std::vector<std::string> builtIn = alphabetFromText(textAlphabet());
  EXPECT_EQ(builtIn.size(), 6624u);
}

LineRecognizer& builtInRecognizer() {
  static LineRecognizer recognizer(
      std::vector<std::uint8_t>(textRecognitionModel().begin(), textRecognitionModel().end()), "text line recognition model",
      alphabetFromText(textAlphabet()));
  return recognizer;
}

cv::Mat drawn(const std::string& text, const cv::Scalar& ink, const cv::Scalar& ground, double scale) {
  int baseline = 0;
  const cv::Size size = cv::getTextSize(text, cv::FONT_HERSHEY_DUPLEX, scale, 2, &baseline);
  cv::Mat line(size.height + baseline + 12, size.width + 12, CV_8UC3, ground);
  cv::putText(line, text, {6, size.height + 6}, cv::FONT_HERSHEY_DUPLEX, scale, ink, 2, cv::LINE_AA);
  return line;
}

TEST(LineRecognizer, TheBuiltInNetworkReadsCleanLinesOfEitherPolarityAndSize) {
  LineRecognizer& recognizer = builtInRecognizer();
  for (double scale : {0.8, 1.6}) {
    SCOPED_TRACE(scale);
    const LineReading dark = recognizer.read(drawn("HELLO WORLD 2026", {0, 0, 0}, {255, 255, 255}, scale));
    EXPECT_EQ(dark.text, "HELLO WORLD 2026");
    EXPECT_GT(dark.confidence, 0.8f);
    EXPECT_LE(dark.confidence, 1.0f);
    EXPECT_EQ(recognizer.read(drawn("A/B testing", {255, 255, 255}, {40, 40, 40}, scale)).text, "A/B testing");
  }
  // A line far wider than the widest planned width is squeezed into it and still read.
  EXPECT_EQ(recognizer.read(drawn("Write to team@example.com about the kits, please", {0, 0, 0}, {255, 255, 255}, 1.0)).text,
            "Write to team@example.com about the kits, please");
  EXPECT_EQ(recognizer.read(cv::Mat()).text, "");
  const LineReading blank = recognizer.read(cv::Mat(40, 200, CV_8UC3, cv::Scalar(128, 128, 128)));
  EXPECT_EQ(blank.text, "");
  EXPECT_EQ(blank.confidence, 0.0f);
}

// Only the widths used last stay planned. Lines of more widths than that, read in turn and then
// again, read the same after their width was dropped and planned anew.
TEST(LineRecognizer, LinesReadTheSameWhenTheirWidthIsPlannedAgain) {
  LineRecognizer& recognizer = builtInRecognizer();
  const std::vector<std::string> texts = {"Hi 42",
                                          "Open at 9 today",
                                          "Meet me at 12:45 today",
                                          "Only $9.99 for two kits, see",
                                          "Write to team@example.com for the kits",
                                          "Doors open at 7:30 PM tonight, bring a friend or two"};
  std::vector<int> widths;
  std::vector<LineReading> first;
  for (const std::string& text : texts) {
    const cv::Mat line = drawn(text, {0, 0, 0}, {255, 255, 255}, 1.0);
    widths.push_back(LineRecognizer::plannedWidth(line.cols * 48 / line.rows));
    first.push_back(recognizer.read(line));
  }
  std::sort(widths.begin(), widths.end());
  EXPECT_GE(std::unique(widths.begin(), widths.end()) - widths.begin(), 5) << "the lines need five widths or more";
  for (std::size_t i = 0; i < texts.size(); ++i) {
    SCOPED_TRACE(texts[i]);
    const LineReading again = recognizer.read(drawn(texts[i], {0, 0, 0}, {255, 255, 255}, 1.0));
    EXPECT_EQ(again.text, first[i].text);
    EXPECT_EQ(again.confidence, first[i].confidence);
    EXPECT_LE(editDistance(again.text, texts[i]), 1u) << again.text;
  }
}

TEST(LineRecognizer, AModelThatIsNotALineRecogniserIsNamed) {
  const std::vector<std::uint8_t> model(textRecognitionModel().begin(), textRecognitionModel().end());
  try {
    // The right network with a shorter alphabet: its classifier does not fit.
    LineRecognizer wrong(model, "short alphabet", {"a", "b", " "});
    ADD_FAILURE() << "accepted a recogniser for another alphabet";
  } catch (const ModelError& e) {
    EXPECT_NE(std::string(e.what()).find("short alphabet: not a line recogniser"), std::string::npos) << e.what();
  }
  const std::span<const std::uint8_t> detector = textDetectionModel();
  EXPECT_THROW(LineRecognizer(std::vector<std::uint8_t>(detector.begin(), detector.end()), "detector",
                              alphabetFromText(textAlphabet())),
               ModelError);
  EXPECT_THROW(LineRecognizer(std::vector<std::uint8_t>(model.begin(), model.begin() + 1000), "cut", alphabetFromText(textAlphabet())),
               ModelError);
}

}  // namespace
}  // namespace kov
