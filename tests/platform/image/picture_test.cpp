// Picture decoding as stored in 8-bit BGRA, mask scaling and blur, the cut-out and PNG encoding.
#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <turbojpeg.h>

#include "platform/image/picture.h"
#include "support/fixtures.h"

namespace kov {
namespace {

const std::uint8_t* pixelAt(const BgraImage& image, int x, int y) {
  return image.pixels.data() + (static_cast<std::size_t>(y) * image.width + x) * 4;
}

// Writes a CMYK JPEG (Adobe convention: inverted values) of one flat colour.
void writeCmykJpeg(const std::string& path, int width, int height, std::uint8_t c, std::uint8_t m, std::uint8_t y,
                   std::uint8_t k) {
  std::vector<std::uint8_t> cmyk(static_cast<std::size_t>(width) * height * 4);
  for (std::size_t i = 0; i < cmyk.size(); i += 4) {
    cmyk[i] = c;
    cmyk[i + 1] = m;
    cmyk[i + 2] = y;
    cmyk[i + 3] = k;
  }
  tjhandle handle = tjInitCompress();
  unsigned char* jpeg = nullptr;
  unsigned long size = 0;
  ASSERT_EQ(tjCompress2(handle, cmyk.data(), width, 0, height, TJPF_CMYK, &jpeg, &size, TJSAMP_444, 95, 0), 0)
      << tjGetErrorStr2(handle);
  test::writeFile(path, std::string(reinterpret_cast<char*>(jpeg), size));
  tjFree(jpeg);
  tjDestroy(handle);
}

TEST(Picture, DecodesEveryStoredFormIntoEightBitBgra) {
  test::TempDir dir;
  // 16-bit colour PNG: 65535 -> 255, 32896 -> 128.
  cv::Mat deep(4, 6, CV_16UC3, cv::Scalar(65535, 32896, 0));
  ASSERT_TRUE(cv::imwrite(dir.file("deep.png"), deep));
  auto p16 = readPicture(dir.file("deep.png"));
  ASSERT_TRUE(p16);
  EXPECT_EQ(p16->width, 6);
  EXPECT_EQ(p16->height, 4);
  EXPECT_EQ(std::vector<int>(pixelAt(*p16, 5, 3), pixelAt(*p16, 5, 3) + 4), (std::vector<int>{255, 128, 0, 255}));

  // PNG with alpha keeps its alpha; a 16-bit one too.
  cv::Mat alpha(3, 3, CV_8UC4, cv::Scalar(10, 20, 30, 0));
  alpha.at<cv::Vec4b>(1, 1) = cv::Vec4b(40, 50, 60, 200);
  ASSERT_TRUE(cv::imwrite(dir.file("alpha.png"), alpha));
  auto pa = readPicture(dir.file("alpha.png"));
  ASSERT_TRUE(pa);
  EXPECT_EQ(pixelAt(*pa, 0, 0)[3], 0);
  EXPECT_EQ(std::vector<int>(pixelAt(*pa, 1, 1), pixelAt(*pa, 1, 1) + 4), (std::vector<int>{40, 50, 60, 200}));
  cv::Mat alpha16(2, 2, CV_16UC4, cv::Scalar(0, 0, 65535, 32896));
  ASSERT_TRUE(cv::imwrite(dir.file("alpha16.png"), alpha16));
  auto pa16 = readPicture(dir.file("alpha16.png"));
  ASSERT_TRUE(pa16);
  EXPECT_EQ(std::vector<int>(pixelAt(*pa16, 1, 1), pixelAt(*pa16, 1, 1) + 4), (std::vector<int>{0, 0, 255, 128}));

  // Grey JPEG and grey-with-alpha PNG (made by ffmpeg) become colour.
  cv::Mat grey(8, 8, CV_8UC1, cv::Scalar(90));
  ASSERT_TRUE(cv::imwrite(dir.file("grey.jpg"), grey));
  auto pg = readPicture(dir.file("grey.jpg"));
  ASSERT_TRUE(pg);
  EXPECT_NEAR(pixelAt(*pg, 3, 3)[0], 90, 2);
  EXPECT_EQ(pixelAt(*pg, 3, 3)[0], pixelAt(*pg, 3, 3)[2]);
  EXPECT_EQ(pixelAt(*pg, 3, 3)[3], 255);
  test::ffmpeg("-f lavfi -i color=c=0x808080@0.5:s=4x4,format=ya8 -frames:v 1 " + dir.file("ya.png"));
  auto pya = readPicture(dir.file("ya.png"));
  ASSERT_TRUE(pya);
  EXPECT_NEAR(pixelAt(*pya, 2, 2)[1], 128, 2);
  EXPECT_NEAR(pixelAt(*pya, 2, 2)[3], 128, 2);

  // A palette PNG (made by ffmpeg, which quantises the colour) decodes as OpenCV decodes it.
  test::ffmpeg("-f lavfi -i color=c=0x3366cc:s=8x8 -vf scale=5:3 -frames:v 1 -pix_fmt pal8 " + dir.file("palette.png"));
  auto pp = readPicture(dir.file("palette.png"));
  cv::Mat reference = cv::imread(dir.file("palette.png"), cv::IMREAD_UNCHANGED);
  ASSERT_TRUE(pp);
  ASSERT_EQ(pp->width, 5);
  ASSERT_EQ(reference.cols, 5);
  for (int c = 0; c < 3; ++c) EXPECT_EQ(pixelAt(*pp, 4, 2)[c], reference.ptr<std::uint8_t>(2)[4 * reference.channels() + c]);
  EXPECT_EQ(pixelAt(*pp, 4, 2)[3], 255);

  // CMYK JPEG: pure inverted-cyan ink decodes as a cyan-ish colour, not garbage.
  writeCmykJpeg(dir.file("cmyk.jpg"), 16, 16, 0, 255, 255, 255);
  auto pc = readPicture(dir.file("cmyk.jpg"));
  ASSERT_TRUE(pc);
  const std::uint8_t* cyan = pixelAt(*pc, 8, 8);
  EXPECT_LT(cyan[2], 60) << "red of a cyan picture";
  EXPECT_GT(cyan[1], 180) << "green of a cyan picture";
  EXPECT_GT(cyan[0], 180) << "blue of a cyan picture";

  // Files that are not pictures, or are missing.
  test::writeFile(dir.file("text.png"), "not a picture");
  EXPECT_FALSE(readPicture(dir.file("text.png")));
  test::writeFile(dir.file("empty.jpg"), "");
  EXPECT_FALSE(readPicture(dir.file("empty.jpg")));
  EXPECT_FALSE(readPicture(dir.file("missing.png")));
  EXPECT_FALSE(readPicture(dir.path()));
}

TEST(Picture, OrientationTagsAreNotApplied) {
  test::TempDir dir;
  // A 40 x 20 JPEG tagged "rotate 90": decoded as stored, it stays 40 x 20.
  cv::Mat wide(20, 40, CV_8UC3, cv::Scalar(0, 0, 255));
  std::vector<std::uint8_t> jpeg;
  ASSERT_TRUE(cv::imencode(".jpg", wide, jpeg));
  // APP1 Exif segment with one IFD entry: Orientation (0x0112) = 6.
  const std::uint8_t exif[] = {0xFF, 0xE1, 0x00, 0x22, 'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 0x2A, 0x00, 0x08, 0x00,
                               0x00, 0x00, 0x01, 0x00, 0x12, 0x01, 0x03, 0x00, 0x01, 0x00, 0x00, 0x00, 0x06, 0x00,
                               0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  jpeg.insert(jpeg.begin() + 2, exif, exif + sizeof exif);
  test::writeFile(dir.file("rotated.jpg"), std::string(jpeg.begin(), jpeg.end()));
  cv::Mat applied = cv::imread(dir.file("rotated.jpg"));
  ASSERT_EQ(applied.cols, 20) << "the test file's tag is not understood by the decoder";
  auto p = readPicture(dir.file("rotated.jpg"));
  ASSERT_TRUE(p);
  EXPECT_EQ(p->width, 40);
  EXPECT_EQ(p->height, 20);
}

TEST(Picture, MaskScalingBlurCutOutAndPng) {
  // A 4 x 2 mask: left half person. Stretched to 40 x 30 independently in x and y.
  GreyImage mask{4, 2, {255, 255, 0, 0, 255, 255, 0, 0}};
  GreyImage scaled = scaleMask(mask.view(), 40, 30);
  ASSERT_EQ(scaled.width, 40);
  ASSERT_EQ(scaled.height, 30);
  EXPECT_EQ(scaled.pixels[15 * 40 + 5], 255);
  EXPECT_EQ(scaled.pixels[15 * 40 + 35], 0);
  EXPECT_NEAR(scaled.pixels[15 * 40 + 19], 140, 2);  // source x 1.45: 55 % of the person pixel

  // Blur: a hard edge becomes a ramp of a few pixels; the border rows stay solid.
  blurMask(scaled, 1.5);
  EXPECT_EQ(scaled.pixels[0], 255);
  EXPECT_EQ(scaled.pixels[29 * 40 + 39], 0);
  int rampStart = 0, rampEnd = 0;
  for (int x = 0; x < 40; ++x) {
    std::uint8_t v = scaled.pixels[static_cast<std::size_t>(15 * 40 + x)];
    if (v < 250 && !rampStart) rampStart = x;
    if (v > 5) rampEnd = x;
  }
  EXPECT_GE(rampEnd - rampStart, 4);
  EXPECT_LE(rampEnd - rampStart, 12);

  // Cut-out: colours kept, alpha = source alpha x mask; what ends fully transparent is transparent black.
  BgraImage picture{40, 30, std::vector<std::uint8_t>(40 * 30 * 4, 200)};
  for (std::size_t i = 3; i < picture.pixels.size(); i += 4) picture.pixels[i] = 255;
  picture.pixels[3] = 128;  // a half-transparent source pixel at (0, 0)
  BgraImage cut = cutOut(picture.view(), scaled.view());
  EXPECT_EQ(pixelAt(cut, 0, 0)[3], 128);
  EXPECT_EQ(pixelAt(cut, 1, 0)[3], 255);
  EXPECT_EQ(std::vector<int>(pixelAt(cut, 39, 29), pixelAt(cut, 39, 29) + 4), (std::vector<int>{0, 0, 0, 0}));
  const std::uint8_t* edge = pixelAt(cut, rampStart + 1, 15);  // partly transparent: colour kept
  EXPECT_GT(edge[3], 0);
  EXPECT_LT(edge[3], 255);
  EXPECT_EQ(edge[0], 200);

  // PNG: RGBA, 8 bits, marked sRGB, and decodes back to the same pixels.
  std::string png = encodePng(cut.view());
  ASSERT_GT(png.size(), 33u);
  EXPECT_EQ(png.substr(1, 3), "PNG");
  EXPECT_EQ(static_cast<int>(png[24]), 8);  // bit depth
  EXPECT_EQ(static_cast<int>(png[25]), 6);  // colour type RGBA
  EXPECT_EQ(png.substr(37, 4), "sRGB");
  std::vector<std::uint8_t> bytes(png.begin(), png.end());
  cv::Mat back = cv::imdecode(bytes, cv::IMREAD_UNCHANGED);
  ASSERT_EQ(back.type(), CV_8UC4);
  EXPECT_EQ(0, std::memcmp(back.data, cut.pixels.data(), cut.pixels.size()));

  // Drawing a mask into a movie frame: grey in the colour channels, opaque.
  BgraImage frame{8, 4, std::vector<std::uint8_t>(8 * 4 * 4, 7)};
  drawMaskAsGrey(mask.view(), frame);
  EXPECT_EQ(std::vector<int>(pixelAt(frame, 0, 0), pixelAt(frame, 0, 0) + 4), (std::vector<int>{255, 255, 255, 255}));
  EXPECT_EQ(std::vector<int>(pixelAt(frame, 7, 3), pixelAt(frame, 7, 3) + 4), (std::vector<int>{0, 0, 0, 255}));
}

// Every pair of source alpha and mask value: row a, column m of a 256 x 256 picture.
TEST(Picture, CutOutAlphaIsTheRoundedProductForEveryPair) {
  BgraImage picture = blankBgraImage(256, 256);
  GreyImage mask{256, 256, std::vector<std::uint8_t>(256 * 256)};
  for (int a = 0; a < 256; ++a)
    for (int m = 0; m < 256; ++m) {
      std::uint8_t* p = picture.pixels.data() + (static_cast<std::size_t>(a) * 256 + m) * 4;
      p[0] = 10, p[1] = 20, p[2] = 30, p[3] = static_cast<std::uint8_t>(a);
      mask.pixels[static_cast<std::size_t>(a) * 256 + m] = static_cast<std::uint8_t>(m);
    }
  BgraImage cut = cutOut(picture.view(), mask.view());
  int wrong = 0;
  for (int a = 0; a < 256; ++a)
    for (int m = 0; m < 256; ++m) {
      const std::uint8_t* p = pixelAt(cut, m, a);
      const int alpha = (a * m + 127) / 255;
      const std::vector<int> expected = alpha ? std::vector<int>{10, 20, 30, alpha} : std::vector<int>{0, 0, 0, 0};
      wrong += std::vector<int>(p, p + 4) != expected;
    }
  EXPECT_EQ(wrong, 0);
}

// The cut-out PNG made row by row holds exactly the cut-out's pixels, also for a picture large
// enough to be filtered in two halves at once (the halves meet in the middle row), with a row
// stride wider than the picture and a mask of every level.
TEST(Picture, CutOutPngHoldsExactlyTheCutOut) {
  for (cv::Size size : {cv::Size(37, 5), cv::Size(700, 501)}) {
    const int stride = size.width * 4 + 12;
    std::vector<std::uint8_t> memory(static_cast<std::size_t>(stride) * size.height);
    cv::Mat pixels(size, CV_8UC4, memory.data(), static_cast<std::size_t>(stride));
    cv::randu(pixels, cv::Scalar::all(0), cv::Scalar::all(256));
    pixels.col(0).setTo(cv::Scalar(1, 2, 3, 255));
    GreyImage mask{size.width, size.height, std::vector<std::uint8_t>(static_cast<std::size_t>(size.area()))};
    for (int y = 0; y < size.height; ++y)
      for (int x = 0; x < size.width; ++x)
        mask.pixels[static_cast<std::size_t>(y) * size.width + x] = static_cast<std::uint8_t>((x * 7 + y * 3) % 256);
    const BgraView picture{memory.data(), size.width, size.height, stride};

    const BgraImage cut = cutOut(picture, mask.view());
    const std::string png = encodeCutOutPng(picture, mask.view());
    ASSERT_EQ(pngSize(png).value().width, size.width);
    EXPECT_EQ(png.substr(37, 4), "sRGB");
    std::vector<std::uint8_t> bytes(png.begin(), png.end());
    cv::Mat back = cv::imdecode(bytes, cv::IMREAD_UNCHANGED);
    ASSERT_EQ(back.type(), CV_8UC4) << size;
    ASSERT_EQ(back.size(), size);
    EXPECT_EQ(0, std::memcmp(back.data, cut.pixels.data(), cut.pixels.size())) << size;
    // The same PNG as the held cut-out gives.
    EXPECT_EQ(png, encodePng(cut.view())) << size;
  }
  // A mask of another size than the picture is refused rather than read out of bounds.
  BgraImage picture = blankBgraImage(8, 8);
  GreyImage small{4, 4, std::vector<std::uint8_t>(16, 255)};
  EXPECT_TRUE(encodeCutOutPng(picture.view(), small.view()).empty());
  EXPECT_TRUE(encodePng(0, 5, [](int, std::uint8_t*) {}).empty());
}

}  // namespace
}  // namespace kov
