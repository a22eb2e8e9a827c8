// Header sizes and decoding of encoded pictures, as the web engine and the capture commands use them.
#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>

#include "platform/image/picture_codec.h"

namespace kov {
namespace {

std::string encoded(const cv::Mat& picture, const std::string& extension) {
  std::vector<std::uint8_t> bytes;
  EXPECT_TRUE(cv::imencode(extension, picture, bytes));
  return std::string(bytes.begin(), bytes.end());
}

TEST(EncodedPictures, HeaderSizesComeFromTheHeaderAloneAndRefuseWhatIsNotThatFormat) {
  cv::Mat picture(30, 50, CV_8UC3, cv::Scalar(20, 120, 220));
  std::string png = encoded(picture, ".png");
  std::string jpeg = encoded(picture, ".jpg");

  ASSERT_TRUE(pngSize(png));
  EXPECT_EQ(pngSize(png)->width, 50);
  EXPECT_EQ(pngSize(png)->height, 30);
  ASSERT_TRUE(jpegSize(jpeg));
  EXPECT_EQ(jpegSize(jpeg)->width, 50);
  EXPECT_EQ(jpegSize(jpeg)->height, 30);

  // A header is enough for the size; only the whole stream decodes.
  std::string cutShort = png.substr(0, png.size() - 20);
  EXPECT_TRUE(pngSize(cutShort));
  EXPECT_TRUE(pngDecodes(png));
  EXPECT_FALSE(pngDecodes(cutShort));

  for (const std::string& wrong : {std::string(), std::string("garbage"), jpeg, png.substr(0, 23)}) {
    EXPECT_FALSE(pngSize(wrong)) << wrong.size();
    EXPECT_FALSE(pngDecodes(wrong)) << wrong.size();
  }
  for (const std::string& wrong : {std::string(), std::string("garbage"), png}) EXPECT_FALSE(jpegSize(wrong));

  std::string zeroWidth = png;
  zeroWidth.replace(16, 4, std::string(4, '\0'));
  EXPECT_FALSE(pngSize(zeroWidth));
}

TEST(EncodedPictures, DecodesToBgraAndSaysWhyItCannot) {
  cv::Mat picture(4, 6, CV_8UC4, cv::Scalar(10, 20, 30, 255));
  picture.at<cv::Vec4b>(2, 3) = cv::Vec4b(40, 50, 60, 100);
  BgraImage decoded;
  EXPECT_FALSE(decodePng(encoded(picture, ".png"), decoded));
  ASSERT_EQ(decoded.width, 6);
  ASSERT_EQ(decoded.height, 4);
  ASSERT_EQ(decoded.pixels.size(), 6u * 4 * 4);
  const std::uint8_t* straight = &decoded.pixels[(2 * 6 + 3) * 4];
  EXPECT_EQ(std::vector<int>(straight, straight + 4), (std::vector<int>{40, 50, 60, 100}));

  cv::Mat grey(8, 16, CV_8UC3, cv::Scalar(128, 128, 128));
  BgraImage fromJpeg;
  EXPECT_FALSE(decodeJpeg(encoded(grey, ".jpg"), fromJpeg));
  ASSERT_EQ(fromJpeg.width, 16);
  ASSERT_EQ(fromJpeg.height, 8);
  EXPECT_NEAR(fromJpeg.pixels[0], 128, 2);
  EXPECT_EQ(fromJpeg.pixels[3], 255);

  BgraImage unused;
  std::optional<std::string> pngReason = decodePng("garbage", unused);
  ASSERT_TRUE(pngReason);
  EXPECT_FALSE(pngReason->empty());
  std::optional<std::string> jpegReason = decodeJpeg("garbage", unused);
  ASSERT_TRUE(jpegReason);
  EXPECT_FALSE(jpegReason->empty());
}

}  // namespace
}  // namespace kov
