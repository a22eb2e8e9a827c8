// `matte --image` from the command line: cut-outs of real photos, pictures without a person,
// stored forms of every kind, options and output paths.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <turbojpeg.h>

#include "support/fixtures.h"
#include "support/reports.h"
#include "support/tool_run.h"

namespace kov {
namespace {

using nlohmann::json;
using test::runTool;

const char* kUsage = "usage: kov-vision matte --image <in.png> --out <out.png>\n";

// Share of the area's pixels whose alpha passes `test`.
double alphaShare(const cv::Mat& rgba, cv::Rect area, const std::function<bool(int)>& test) {
  int count = 0;
  for (int y = area.y; y < area.y + area.height; ++y)
    for (int x = area.x; x < area.x + area.width; ++x) count += test(rgba.at<cv::Vec4b>(y, x)[3]);
  return static_cast<double>(count) / area.area();
}

cv::Mat readOutput(const std::string& path) {
  cv::Mat png = cv::imread(path, cv::IMREAD_UNCHANGED);
  EXPECT_EQ(png.type(), CV_8UC4) << path;
  return png;
}

using test::expectFailure;
using test::successfulReport;

TEST(MatteImage, CutsPeopleOutOfRealPhotos) {
  test::TempDir dir;
  for (int index : {1, 3, 5}) {
    // The photo at 800 wide on a 1600 x 1000 grey canvas: everything outside the photo is background.
    cv::Mat photo = cv::imread(test::samplePhoto(index));
    ASSERT_FALSE(photo.empty());
    cv::Mat small;
    cv::resize(photo, small, cv::Size(800, photo.rows * 800 / photo.cols), 0, 0, cv::INTER_AREA);
    cv::Mat canvas(1000, 1600, CV_8UC3, cv::Scalar(128, 128, 128));
    cv::Rect placed(400, (1000 - small.rows) / 2, small.cols, small.rows);
    small.copyTo(canvas(placed));
    std::string input = dir.file("canvas" + std::to_string(index) + ".png");
    ASSERT_TRUE(cv::imwrite(input, canvas));
    std::string output = dir.file("cut" + std::to_string(index) + ".png");

    json report = successfulReport(runTool({"matte", "--image", input, "--out", output}));
    EXPECT_EQ(report["width"], 1600);
    EXPECT_EQ(report["height"], 1000);
    EXPECT_EQ(report["fps"], 0);
    EXPECT_EQ(report["frames"], 1);
    EXPECT_EQ(report["out"], output);
    ASSERT_TRUE(report.contains("box"));
    ASSERT_EQ(report["sampled"].size(), 1u);
    EXPECT_EQ(report["sampled"][0]["t"], 0);
    EXPECT_EQ(report["sampled"][0]["box"], report["box"]);
    EXPECT_GE(report["box"]["x"].get<double>(), 0.2);  // inside the photo's columns (0.25 .. 0.75)
    EXPECT_LE(report["box"]["x"].get<double>() + report["box"]["w"].get<double>(), 0.8);

    cv::Mat cut = readOutput(output);
    ASSERT_EQ(cut.cols, 1600);
    ASSERT_EQ(cut.rows, 1000);
    auto transparent = [](int a) { return a < 128; };
    auto opaque = [](int a) { return a >= 128; };
    EXPECT_GT(alphaShare(cut, {0, 0, 380, 1000}, transparent), 0.97) << "left background of photo " << index;
    EXPECT_GT(alphaShare(cut, {1220, 0, 380, 1000}, transparent), 0.97) << "right background of photo " << index;
    cv::Rect middle(700, 500 - small.rows / 4, 200, small.rows / 2);
    EXPECT_GT(alphaShare(cut, middle, opaque), 0.6) << "people in photo " << index;
    // Colours are kept where the person is.
    for (int y = middle.y; y < middle.y + middle.height; y += 37)
      for (int x = middle.x; x < middle.x + middle.width; x += 29)
        if (cut.at<cv::Vec4b>(y, x)[3] == 255) {
          cv::Vec3b source = canvas.at<cv::Vec3b>(y, x);
          cv::Vec4b kept = cut.at<cv::Vec4b>(y, x);
          EXPECT_EQ(kept[0], source[0]);
          EXPECT_EQ(kept[2], source[2]);
        }
  }
}

TEST(MatteImage, APictureWithoutAPersonIsNearlyTransparentAndHasNoBox) {
  test::TempDir dir;
  cv::Mat scene(600, 900, CV_8UC3);
  for (int y = 0; y < scene.rows; ++y)
    for (int x = 0; x < scene.cols; ++x)
      scene.at<cv::Vec3b>(y, x) = cv::Vec3b(static_cast<uchar>(x / 4), 120, static_cast<uchar>(y / 3));
  ASSERT_TRUE(cv::imwrite(dir.file("scene.png"), scene));
  test::RunResult run = runTool({"matte", "--image", dir.file("scene.png"), "--out", dir.file("scene-cut.png")});
  json report = successfulReport(run);
  EXPECT_FALSE(report.contains("box"));
  EXPECT_EQ(report["sampled"], json::array());
  EXPECT_NE(run.out.find("\"sampled\":[]"), std::string::npos);
  cv::Mat cut = readOutput(dir.file("scene-cut.png"));
  EXPECT_GT(alphaShare(cut, {0, 0, 900, 600}, [](int a) { return a < 16; }), 0.99);
}

// The people of a sample photo as a hard mask: the tool's own cut-out of the photo, its opaque part
// shrunk by 6 px so that no pixel of the photo's background is left in it.
cv::Mat peopleOf(const cv::Mat& photo, test::TempDir& dir) {
  EXPECT_TRUE(cv::imwrite(dir.file("people.png"), photo));
  successfulReport(runTool({"matte", "--image", dir.file("people.png"), "--out", dir.file("people-cut.png")}));
  cv::Mat channels[4];
  cv::split(readOutput(dir.file("people-cut.png")), channels);
  cv::Mat core;
  cv::threshold(channels[3], core, 127, 255, cv::THRESH_BINARY);
  cv::erode(core, core, cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(13, 13)));
  return core;
}

// Median over sampled points of the true edge of the columns or rows the alpha needs to rise from
// 10 % to 90 %, walking across the edge.
double medianRise(const cv::Mat& alpha, const cv::Mat& truth) {
  cv::Mat gx, gy;
  cv::Sobel(truth, gx, CV_32F, 1, 0);
  cv::Sobel(truth, gy, CV_32F, 0, 1);
  std::vector<double> widths;
  for (int y = 20; y < truth.rows - 20; y += 5)
    for (int x = 20; x < truth.cols - 20; x += 5) {
      double dx = gx.at<float>(y, x), dy = gy.at<float>(y, x), norm = std::hypot(dx, dy);
      if (norm < 200) continue;
      dx /= norm, dy /= norm;  // into the person
      double low = NAN, high = NAN;
      for (double s = -20; s <= 20 && std::isnan(high); s += 0.5) {
        int a = alpha.at<std::uint8_t>(static_cast<int>(std::lround(y + dy * s)), static_cast<int>(std::lround(x + dx * s)));
        if (std::isnan(low) && a >= 26) low = s;
        if (a >= 230) high = s;
      }
      if (!std::isnan(low) && !std::isnan(high)) widths.push_back(high - low);
    }
  EXPECT_GT(widths.size(), 50u);
  std::sort(widths.begin(), widths.end());
  return widths.empty() ? 99 : widths[widths.size() / 2];
}

TEST(MatteImage, APersonsEdgeIsSharpAgainstAPlainBackground) {
  test::TempDir dir;
  for (int index : {3, 6}) {
    cv::Mat photo = cv::imread(test::samplePhoto(index));
    cv::resize(photo, photo, cv::Size(960, photo.rows * 960 / photo.cols), 0, 0, cv::INTER_AREA);
    cv::Mat truth = peopleOf(photo, dir);
    // The people over a flat green: the true alpha is exactly `truth`.
    cv::Mat composite(photo.size(), CV_8UC3, cv::Scalar(70, 160, 90));
    photo.copyTo(composite, truth);
    ASSERT_TRUE(cv::imwrite(dir.file("composite.png"), composite));
    json report = successfulReport(runTool({"matte", "--image", dir.file("composite.png"), "--out", dir.file("cut.png")}));
    ASSERT_TRUE(report.contains("box"));
    cv::Mat channels[4];
    cv::split(readOutput(dir.file("cut.png")), channels);
    const cv::Mat& alpha = channels[3];

    // The stretched model mask rose over about 15 px here; the refined one within a few.
    EXPECT_LE(medianRise(alpha, truth), 4.0) << "photo " << index;
    // Within 15 px of the true edge the alpha is close to the truth.
    cv::Mat inside, outside;
    cv::distanceTransform(truth, inside, cv::DIST_L2, 3);
    cv::distanceTransform(255 - truth, outside, cv::DIST_L2, 3);
    cv::Mat band = (inside <= 15) & (outside <= 15);
    cv::Mat error;
    cv::absdiff(alpha, truth, error);
    EXPECT_LT(cv::mean(error, band)[0] / 255, 0.09) << "photo " << index;
  }
}

void writeCmykJpeg(const std::string& path, const cv::Mat& bgr) {
  // Adobe CMYK stores inverted ink; with no black ink the stored values are the RGB values.
  std::vector<std::uint8_t> cmyk(static_cast<std::size_t>(bgr.total()) * 4);
  for (int i = 0; i < static_cast<int>(bgr.total()); ++i) {
    cv::Vec3b p = bgr.at<cv::Vec3b>(i / bgr.cols, i % bgr.cols);
    cmyk[static_cast<std::size_t>(i) * 4 + 0] = p[2];
    cmyk[static_cast<std::size_t>(i) * 4 + 1] = p[1];
    cmyk[static_cast<std::size_t>(i) * 4 + 2] = p[0];
    cmyk[static_cast<std::size_t>(i) * 4 + 3] = 255;
  }
  tjhandle handle = tjInitCompress();
  unsigned char* jpeg = nullptr;
  unsigned long size = 0;
  ASSERT_EQ(tjCompress2(handle, cmyk.data(), bgr.cols, 0, bgr.rows, TJPF_CMYK, &jpeg, &size, TJSAMP_444, 90, 0), 0);
  test::writeFile(path, std::string(reinterpret_cast<char*>(jpeg), size));
  tjFree(jpeg);
  tjDestroy(handle);
}

TEST(MatteImage, AcceptsEveryStoredFormAndSize) {
  test::TempDir dir;
  cv::Mat photo = cv::imread(test::samplePhoto(2));
  cv::Mat small;
  cv::resize(photo, small, cv::Size(640, photo.rows * 640 / photo.cols), 0, 0, cv::INTER_AREA);

  cv::Mat deep;
  small.convertTo(deep, CV_16UC3, 257.0);
  ASSERT_TRUE(cv::imwrite(dir.file("deep.png"), deep));
  cv::Mat grey;
  cv::cvtColor(small, grey, cv::COLOR_BGR2GRAY);
  ASSERT_TRUE(cv::imwrite(dir.file("grey.jpg"), grey));
  writeCmykJpeg(dir.file("cmyk.jpg"), small);
  for (const char* name : {"deep.png", "grey.jpg", "cmyk.jpg"}) {
    json report = successfulReport(runTool({"matte", "--image", dir.file(name), "--out", dir.file("out.png")}));
    EXPECT_EQ(report["width"], 640) << name;
    EXPECT_EQ(report["height"], small.rows) << name;
    EXPECT_TRUE(report.contains("box")) << name;
    cv::Mat cut = readOutput(dir.file("out.png"));
    EXPECT_GT(alphaShare(cut, {220, small.rows / 3, 200, small.rows / 3}, [](int a) { return a >= 128; }), 0.5) << name;
  }

  // A picture's own transparency stays: its transparent half is transparent in the cut-out too.
  cv::Mat withAlpha;
  cv::cvtColor(small, withAlpha, cv::COLOR_BGR2BGRA);
  for (int y = 0; y < withAlpha.rows; ++y)
    for (int x = 0; x < 320; ++x) withAlpha.at<cv::Vec4b>(y, x)[3] = 0;
  ASSERT_TRUE(cv::imwrite(dir.file("alpha.png"), withAlpha));
  successfulReport(runTool({"matte", "--image", dir.file("alpha.png"), "--out", dir.file("alpha-cut.png")}));
  cv::Mat alphaCut = readOutput(dir.file("alpha-cut.png"));
  EXPECT_EQ(alphaShare(alphaCut, {0, 0, 320, alphaCut.rows}, [](int a) { return a == 0; }), 1.0);

  // One pixel, and a large picture.
  cv::Mat dot(1, 1, CV_8UC3, cv::Scalar(10, 200, 30));
  ASSERT_TRUE(cv::imwrite(dir.file("dot.png"), dot));
  json one = successfulReport(runTool({"matte", "--image", dir.file("dot.png"), "--out", dir.file("dot-cut.png")}));
  EXPECT_EQ(one["width"], 1);
  EXPECT_EQ(one["height"], 1);
  EXPECT_EQ(readOutput(dir.file("dot-cut.png")).total(), 1u);
  cv::Mat large;
  cv::resize(photo, large, cv::Size(7000, 4666), 0, 0, cv::INTER_LINEAR);
  ASSERT_TRUE(cv::imwrite(dir.file("large.jpg"), large));
  json big = successfulReport(runTool({"matte", "--image", dir.file("large.jpg"), "--out", dir.file("large-cut.png")}));
  EXPECT_EQ(big["width"], 7000);
  EXPECT_EQ(big["height"], 4666);
  EXPECT_EQ(readOutput(dir.file("large-cut.png")).cols, 7000);

  // Files that are not pictures.
  test::writeFile(dir.file("notes.png"), "just some text\n");
  expectFailure(runTool({"matte", "--image", dir.file("notes.png"), "--out", dir.file("x.png")}),
                "cannot read " + dir.file("notes.png") + "\n");
  expectFailure(runTool({"matte", "--image", dir.file("missing.jpg"), "--out", dir.file("x.png")}),
                "cannot read " + dir.file("missing.jpg") + "\n");
  EXPECT_FALSE(std::filesystem::exists(dir.file("x.png")));
}

TEST(MatteImage, OptionsAndOutputPaths) {
  test::TempDir dir;
  cv::Mat photo = cv::imread(test::samplePhoto(4));
  cv::Mat small;
  cv::resize(photo, small, cv::Size(480, photo.rows * 480 / photo.cols), 0, 0, cv::INTER_AREA);
  std::string input = dir.file("in.jpg");
  ASSERT_TRUE(cv::imwrite(input, small));

  expectFailure(runTool({"matte", "--out", dir.file("o.png"), "--image"}), kUsage);
  expectFailure(runTool({"matte", "--image", input}), kUsage);
  expectFailure(runTool({"matte", "--image", input, "--out"}), kUsage);

  // Either order; only the first occurrence counts; the name's extension plays no part.
  json report = successfulReport(
      runTool({"matte", "--out", dir.file("first.jpg"), "--image", input, "--out", dir.file("second.png")}));
  EXPECT_EQ(report["out"], dir.file("first.jpg"));
  EXPECT_EQ(test::readFile(dir.file("first.jpg")).substr(1, 3), "PNG");
  EXPECT_FALSE(std::filesystem::exists(dir.file("second.png")));

  // A relative output is reported under the current directory, and an old file is replaced.
  std::filesystem::create_directory(dir.file("sub"));
  test::writeFile(dir.file("sub/rel.png"), "old content");
  report = successfulReport(runTool({"matte", "--image", "../in.jpg", "--out", "rel.png"}, dir.file("sub")));
  EXPECT_EQ(report["out"], dir.file("sub/rel.png"));
  EXPECT_EQ(test::readFile(dir.file("sub/rel.png")).substr(1, 3), "PNG");
  EXPECT_EQ(std::filesystem::directory_iterator(dir.file("sub")) != std::filesystem::directory_iterator(), true);
  int files = 0;
  for (auto& entry : std::filesystem::directory_iterator(dir.file("sub"))) files += entry.is_regular_file();
  EXPECT_EQ(files, 1) << "no temporary file is left behind";

  // Unwritable outputs: a missing folder, a folder, a read-only folder.
  expectFailure(runTool({"matte", "--image", input, "--out", dir.file("nowhere/o.png")}),
                "cannot write " + dir.file("nowhere/o.png") + "\n");
  expectFailure(runTool({"matte", "--image", input, "--out", dir.file("sub")}), "cannot write " + dir.file("sub") + "\n");
  EXPECT_TRUE(std::filesystem::is_directory(dir.file("sub")));
  if (geteuid() != 0) {
    std::filesystem::create_directory(dir.file("locked"));
    std::filesystem::permissions(dir.file("locked"), std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    expectFailure(runTool({"matte", "--image", input, "--out", dir.file("locked/o.png")}),
                  "cannot write " + dir.file("locked/o.png") + "\n");
    std::filesystem::permissions(dir.file("locked"), std::filesystem::perms::owner_all);
  }

  // A symbolic link is written through.
  test::writeFile(dir.file("target.png"), "old");
  std::filesystem::create_symlink(dir.file("target.png"), dir.file("link.png"));
  successfulReport(runTool({"matte", "--image", input, "--out", dir.file("link.png")}));
  EXPECT_TRUE(std::filesystem::is_symlink(dir.file("link.png")));
  EXPECT_EQ(test::readFile(dir.file("target.png")).substr(1, 3), "PNG");

  // A failed run leaves an existing output untouched.
  test::writeFile(dir.file("keep.png"), "keep me");
  test::writeFile(dir.file("bad.png"), "not a picture");
  expectFailure(runTool({"matte", "--image", dir.file("bad.png"), "--out", dir.file("keep.png")}),
                "cannot read " + dir.file("bad.png") + "\n");
  EXPECT_EQ(test::readFile(dir.file("keep.png")), "keep me");
}

}  // namespace
}  // namespace kov
