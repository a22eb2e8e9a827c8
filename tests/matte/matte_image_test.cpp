// `matte --image` from the command line: cut-outs of real photos, pictures without a person,
// stored forms of every kind, options and output paths.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <turbojpeg.h>
#include <unistd.h>

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

// The stairs left of sample 5's people, mirrored outwards to fill `size`.
cv::Mat mirroredStairs(cv::Size size) {
  cv::Mat part = cv::imread(test::samplePhoto(5))(cv::Rect(0, 0, 440, 680)).clone(), filled;
  cv::copyMakeBorder(part, filled, 0, std::max(0, size.height - part.rows), 0, std::max(0, size.width - part.cols),
                     cv::BORDER_REFLECT);
  return filled(cv::Rect(0, 0, size.width, size.height)).clone();
}

TEST(MatteImage, PeopleFreePartsOfPhotosThatLookLikeAPersonToTheSegmenterHaveNoBox) {
  // Stairs with a railing (sample 5's left side) come out of the segmenter as a person; a person
  // detector finds nobody there, so the whole picture is background.
  test::TempDir dir;
  cv::Mat stairs = mirroredStairs(cv::Size(960, 640));
  ASSERT_TRUE(cv::imwrite(dir.file("stairs.png"), stairs));
  test::RunResult run = runTool({"matte", "--image", dir.file("stairs.png"), "--out", dir.file("stairs-cut.png")});
  json report = successfulReport(run);
  EXPECT_FALSE(report.contains("box"));
  EXPECT_EQ(report["sampled"], json::array());
  cv::Mat cut = readOutput(dir.file("stairs-cut.png"));
  ASSERT_EQ(cut.size(), stairs.size());
  EXPECT_EQ(alphaShare(cut, {0, 0, cut.cols, cut.rows}, [](int a) { return a == 0; }), 1.0);

  // The same stairs with the people of sample 3 standing on them still give the people.
  cv::Mat people = cv::imread(test::samplePhoto(3)), small;
  cv::resize(people, small, cv::Size(300, people.rows * 300 / people.cols), 0, 0, cv::INTER_AREA);
  small.copyTo(stairs(cv::Rect(330, 640 - small.rows, small.cols, small.rows)));
  ASSERT_TRUE(cv::imwrite(dir.file("stairs-people.png"), stairs));
  json withPeople = successfulReport(
      runTool({"matte", "--image", dir.file("stairs-people.png"), "--out", dir.file("stairs-people-cut.png")}));
  ASSERT_TRUE(withPeople.contains("box"));
}

TEST(MatteImage, WhatLooksLikeAPersonAwayFromThePeopleFoundIsDropped) {
  // The people of sample 3 at the left end of a long picture of stairs: the segmenter marks the
  // stairs as well, but only the people and what is close to them are kept.
  test::TempDir dir;
  cv::Mat scene = mirroredStairs(cv::Size(2400, 800));
  cv::Mat people = cv::imread(test::samplePhoto(3)), small;
  cv::resize(people, small, cv::Size(700, people.rows * 700 / people.cols), 0, 0, cv::INTER_AREA);
  small.copyTo(scene(cv::Rect(0, 800 - small.rows, small.cols, small.rows)));
  ASSERT_TRUE(cv::imwrite(dir.file("beside.png"), scene));
  json report = successfulReport(runTool({"matte", "--image", dir.file("beside.png"), "--out", dir.file("beside-cut.png")}));
  ASSERT_TRUE(report.contains("box"));
  EXPECT_LT(report["box"]["x"].get<double>() + report["box"]["w"].get<double>(), 0.5);
  cv::Mat cut = readOutput(dir.file("beside-cut.png"));
  ASSERT_EQ(cut.size(), scene.size());
  EXPECT_GT(alphaShare(cut, {1200, 0, 1200, 800}, [](int a) { return a == 0; }), 0.999) << "stairs";
  EXPECT_GT(alphaShare(cut, {150, 800 - small.rows / 2, 400, small.rows / 2}, [](int a) { return a >= 128; }), 0.6)
      << "people";
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

// A small photo of a person, as a JPEG in `dir`.
std::string smallPhoto(const test::TempDir& dir) {
  cv::Mat photo = cv::imread(test::samplePhoto(4));
  cv::Mat small;
  cv::resize(photo, small, cv::Size(320, photo.rows * 320 / photo.cols), 0, 0, cv::INTER_AREA);
  std::string path = dir.file("person.jpg");
  EXPECT_TRUE(cv::imwrite(path, small));
  return path;
}

// What stands at a path: its inode and type, to see that a refused output was not touched.
std::pair<ino_t, mode_t> identity(const std::string& path) {
  struct stat info {};
  lstat(path.c_str(), &info);
  return {info.st_ino, info.st_mode};
}

TEST(MatteImage, OnlyARegularFileOrNothingAtTheOutputIsReplacedAndNeverTheInput) {
  test::TempDir dir;
  std::string input = smallPhoto(dir);
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
  bool madeDevice = mknod(dir.file("device").c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0;
  std::filesystem::create_directory(dir.file("folder"));
  std::filesystem::create_symlink("folder", dir.file("to-folder"));
  std::filesystem::create_symlink("fifo", dir.file("to-fifo"));
  std::vector<std::string> refused = {"fifo", "folder", "to-folder", "to-fifo"};
  if (madeDevice) refused.push_back("device");
  for (const std::string& name : refused) {
    auto before = identity(dir.file(name));
    expectFailure(runTool({"matte", "--image", input, "--out", dir.file(name)}), "cannot write " + dir.file(name) + "\n");
    EXPECT_EQ(identity(dir.file(name)), before) << name;
  }
  // An empty --out names the current folder, which stays.
  expectFailure(runTool({"matte", "--image", input, "--out", ""}, dir.file("folder")), "cannot write " + dir.file("folder") + "/\n");
  EXPECT_TRUE(std::filesystem::is_directory(dir.file("folder")));

  // The input itself, directly, through a link or a hard link, is never the output.
  std::string original = test::readFile(input);
  std::filesystem::create_symlink(input, dir.file("link.jpg"));
  std::filesystem::create_hard_link(input, dir.file("hard.jpg"));
  for (std::string out : {input, dir.file("link.jpg"), dir.file("hard.jpg")})
    expectFailure(runTool({"matte", "--image", input, "--out", out}), "cannot write " + out + ": it is the picture being read\n");
  EXPECT_EQ(test::readFile(input), original);
  EXPECT_TRUE(std::filesystem::is_symlink(dir.file("link.jpg")));

  // Whatever was refused, nothing was left beside it.
  int temporaries = 0;
  for (auto& entry : std::filesystem::directory_iterator(dir.path()))
    temporaries += entry.path().filename().string().find(".partial-") != std::string::npos;
  EXPECT_EQ(temporaries, 0);
}

// The bytes of a PNG chunk with its CRC.
std::string pngChunk(const std::string& type, const std::string& data) {
  std::string body = type + data;
  std::uint32_t crc = 0xffffffffu;
  for (unsigned char c : body) {
    crc ^= c;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
  }
  crc ^= 0xffffffffu;
  auto be32 = [](std::uint32_t v) {
    return std::string{static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
  };
  return be32(static_cast<std::uint32_t>(data.size())) + body + be32(crc);
}

// Runs the tool with its address space limited, as a small container would.
test::RunResult runLimited(const std::string& limit, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"prlimit", "--as=" + limit, test::toolPath()};
  argv.insert(argv.end(), args.begin(), args.end());
  return test::runProgram(argv);
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;  // its shadow memory does not fit under an address-space limit
#else
constexpr bool kAddressSanitizer = false;
#endif

TEST(MatteImage, PicturesThatAreNotRegularFilesOrWouldNotFitAreRefusedWithOneLine) {
  test::TempDir dir;
  std::string output = dir.file("cut.png");
  // A FIFO or a device as the picture: refused at once, no wait for a writer.
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
  for (std::string input : {dir.file("fifo"), std::string("/dev/zero"), dir.path()}) {
    auto run = test::runProgram({"timeout", "20", test::toolPath(), "matte", "--image", input, "--out", output});
    expectFailure(run, "cannot read " + input + "\n");
  }

  // 65 bytes declaring 1048576 x 1024 pixels (4 GB decoded).
  std::string header = {0, 0x10, 0, 0, 0, 0, 0x04, 0, 8, 2, 0, 0, 0};
  test::writeFile(dir.file("huge.png"), "\x89PNG\r\n\x1a\n" + pngChunk("IHDR", header) +
                                            pngChunk("IDAT", std::string("\x78\x9c\x03\x00\x00\x00\x00\x01", 8)) +
                                            pngChunk("IEND", ""));
  // A JPEG whose data ends before its first scan, its header claiming 16384 x 16384 pixels.
  std::vector<unsigned char> jpeg;
  cv::imencode(".jpg", cv::Mat(16, 16, CV_8UC3, cv::Scalar(40, 80, 120)), jpeg);
  std::string bytes(jpeg.begin(), jpeg.end());
  std::size_t frame = bytes.find("\xff\xc0"), scan = bytes.find("\xff\xda");
  ASSERT_NE(frame, std::string::npos);
  ASSERT_NE(scan, std::string::npos);
  bytes.replace(frame + 5, 4, std::string("\x40\x00\x40\x00", 4));
  test::writeFile(dir.file("truncated.jpg"), bytes.substr(0, scan));
  for (std::string name : {"huge.png", "truncated.jpg"}) {
    auto run = kAddressSanitizer ? runTool({"matte", "--image", dir.file(name), "--out", output})
                                 : runLimited("1000000000", {"matte", "--image", dir.file(name), "--out", output});
    expectFailure(run, "cannot read " + dir.file(name) + "\n");
  }
  EXPECT_FALSE(std::filesystem::exists(output));

  // A picture within the size limit that does not fit in the memory there is: one line, status 1.
  if (kAddressSanitizer) GTEST_SKIP() << "no address-space limit under AddressSanitizer";
  ASSERT_TRUE(cv::imwrite(dir.file("large.png"), cv::Mat(9000, 9000, CV_8UC3, cv::Scalar(0, 0, 0))));
  test::writeFile(output, "old");
  for (std::string limit : {"400000000", "700000000"}) {
    expectFailure(runLimited(limit, {"matte", "--image", dir.file("large.png"), "--out", output}), "out of memory\n");
    EXPECT_EQ(test::readFile(output), "old");
  }
}

}  // namespace
}  // namespace kov
