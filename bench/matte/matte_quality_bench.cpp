// Usage: matte_quality_bench PHOTO_FOLDER [POOR_MASK_FOLDER]
// Quality of the person masks, the model's mask stretched and blurred (the former way) beside the
// mask refined against the picture at full size (the way `matte` works now):
// - composites of people cut out of the sample photos (PHOTO_FOLDER/sample1.jpg .. sample6.jpg) on
//   flat, rendered and real backgrounds, whose true alpha is known exactly: alpha error within 15 px
//   of the true edge, IoU of the >= 128 mask, and the sharpness of the edge (10-90 % rise in px);
// - pictures without people (rendered scenes and person-free parts of the photos): foreground share;
// - a synthetic movie at 1280 x 720 of a cut-out group sliding over a real background at 300 px/s
//   (lag of the mask centre behind the truth, in frames) and the same group standing still with
//   sensor noise (flicker: mean change of the mask between frames, 0..255);
// - milliseconds per picture and frames per second of the mask computation alone.
// The cut-outs are the model's own >= 128 mask eroded by 6 px, so every true edge runs between
// person and new background; the truth then is exact by construction. The cut-outs follow the
// segmenter's accurate level as it is at the time, so figures compare the ways within one run; to
// compare two versions of that level, keep one version's cut-outs.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <numeric>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <random>
#include <string>
#include <vector>

#include "matte/matte_masks.h"
#include "platform/image/picture.h"
#include "platform/segment/person_segmenter.h"

namespace {

using kov::BgraImage;
using kov::GreyImage;

cv::Mat wrap(const BgraImage& image) {
  return cv::Mat(image.height, image.width, CV_8UC4, const_cast<std::uint8_t*>(image.pixels.data()));
}
cv::Mat wrap(const GreyImage& image) {
  return cv::Mat(image.height, image.width, CV_8UC1, const_cast<std::uint8_t*>(image.pixels.data()));
}

BgraImage toBgra(const cv::Mat& bgr) {
  BgraImage image = kov::blankBgraImage(bgr.cols, bgr.rows);
  cv::Mat target = wrap(image);
  cv::cvtColor(bgr, target, cv::COLOR_BGR2BGRA);
  return image;
}

double seconds(const std::function<void()>& work) {
  auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

double mean(const std::vector<double>& values) {
  return values.empty() ? 0 : std::accumulate(values.begin(), values.end(), 0.0) / static_cast<double>(values.size());
}

// ---- the two ways of making a picture's mask --------------------------------------------------

enum class Way { Stretched, Refined, Gated };
const char* kWayNames[] = {"stretched + blurred (before)", "refined at full size", "refined, person-gated (now)"};
constexpr Way kWays[] = {Way::Stretched, Way::Refined, Way::Gated};

class Matter {
 public:
  Matter(kov::PersonSegmenter& segmenter, kov::PersonDetector& gate)
      : segmenter_(segmenter), gate_(gate), refiner_(kov::pictureRefinement()) {}

  GreyImage picture(const BgraImage& picture, Way way) {
    if (way == Way::Refined) return *kov::pictureMask(segmenter_, refiner_, picture.view());
    if (way == Way::Gated) return *kov::pictureMask(segmenter_, refiner_, picture.view(), &gate_);
    GreyImage mask = *segmenter_.segment(picture.view(), kov::SegmentQuality::Accurate);
    GreyImage soft = kov::scaleMask(mask.view(), picture.width, picture.height);
    kov::blurMask(soft, 1.5);
    return soft;
  }

  // Masks of a movie's frames in order, as the mask movie gets them.
  std::vector<GreyImage> movie(const std::vector<BgraImage>& frames, Way way) {
    std::vector<GreyImage> masks;
    if (way != Way::Stretched) {
      kov::MovieMasks movie(segmenter_, way == Way::Gated ? &gate_ : nullptr);
      for (const BgraImage& frame : frames)
        if (auto done = movie.push(0, frame.view())) masks.push_back(std::move(*done->mask));
      if (auto done = movie.finish()) masks.push_back(std::move(*done->mask));
      return masks;
    }
    auto sequence = segmenter_.startSequence(kov::SegmentQuality::Balanced);
    for (const BgraImage& frame : frames) {
      auto mask = masks.empty() ? segmenter_.segment(frame.view(), kov::SegmentQuality::Accurate)
                                : sequence->next(frame.view());
      BgraImage drawn = kov::blankBgraImage(frame.width, frame.height);
      kov::drawMaskAsGrey(mask->view(), drawn);
      GreyImage grey{frame.width, frame.height, std::vector<std::uint8_t>(static_cast<std::size_t>(frame.width) * frame.height)};
      cv::Mat target = wrap(grey);
      cv::cvtColor(wrap(drawn), target, cv::COLOR_BGRA2GRAY);
      masks.push_back(std::move(grey));
    }
    return masks;
  }

  // The strongest person detection's score, 0 when there is none.
  float personScore(const BgraImage& picture) {
    auto people = gate_.detect(picture.view());
    return people.empty() ? 0.0f : people.front().score;
  }

 private:
  kov::PersonSegmenter& segmenter_;
  kov::PersonDetector& gate_;
  kov::MaskRefiner refiner_;
};

// ---- scenes -----------------------------------------------------------------------------------

struct CutOut {
  cv::Mat colour;  // BGR
  cv::Mat alpha;   // 8-bit, the exact alpha of the composite
};

CutOut cutOutOf(const cv::Mat& photo, kov::PersonSegmenter& segmenter) {
  BgraImage picture = toBgra(photo);
  GreyImage mask = *segmenter.segment(picture.view(), kov::SegmentQuality::Accurate);
  GreyImage full = kov::scaleMask(mask.view(), photo.cols, photo.rows);
  cv::Mat core;
  cv::threshold(wrap(full), core, 127, 255, cv::THRESH_BINARY);
  cv::erode(core, core, cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(13, 13)));
  cv::GaussianBlur(core, core, cv::Size(0, 0), 0.7);  // an anti-aliased edge, as a camera gives
  return {photo, core};
}

// The cut-out scaled by `scale`, standing on the bottom edge of the background, `left` px from its left.
std::pair<cv::Mat, cv::Mat> composite(const CutOut& person, const cv::Mat& background, double scale, int left) {
  cv::Mat colour, alpha;
  cv::resize(person.colour, colour, cv::Size(), scale, scale, cv::INTER_AREA);
  cv::resize(person.alpha, alpha, cv::Size(), scale, scale, cv::INTER_AREA);
  cv::Mat picture = background.clone();
  cv::Mat truth = cv::Mat::zeros(background.size(), CV_8UC1);
  cv::Rect place(left, background.rows - colour.rows, colour.cols, colour.rows);
  cv::Rect visible = place & cv::Rect(0, 0, background.cols, background.rows);
  for (int y = visible.y; y < visible.y + visible.height; ++y)
    for (int x = visible.x; x < visible.x + visible.width; ++x) {
      int a = alpha.at<std::uint8_t>(y - place.y, x - place.x);
      cv::Vec3b f = colour.at<cv::Vec3b>(y - place.y, x - place.x);
      cv::Vec3b& b = picture.at<cv::Vec3b>(y, x);
      for (int c = 0; c < 3; ++c) b[c] = static_cast<std::uint8_t>((f[c] * a + b[c] * (255 - a) + 127) / 255);
      truth.at<std::uint8_t>(y, x) = static_cast<std::uint8_t>(a);
    }
  return {picture, truth};
}

// A person-free part of a photo, mirrored outwards to fill the size (keeps the photo's sharpness).
cv::Mat realBackground(const cv::Mat& photo, cv::Rect part, cv::Size size) {
  cv::Mat filled;
  cv::copyMakeBorder(photo(part).clone(), filled, 0, std::max(0, size.height - part.height), 0,
                     std::max(0, size.width - part.width), cv::BORDER_REFLECT);
  return filled(cv::Rect(0, 0, size.width, size.height)).clone();
}

cv::Mat flat(cv::Size size, cv::Scalar colour) { return cv::Mat(size, CV_8UC3, colour); }

// Soft coloured noise at several scales, like foliage or stone.
cv::Mat texture(cv::Size size, unsigned seed) {
  cv::RNG rng(seed);
  cv::Mat sum = cv::Mat::zeros(size, CV_32FC3);
  for (int scale : {64, 16, 4}) {
    cv::Mat small(std::max(1, size.height / scale), std::max(1, size.width / scale), CV_32FC3);
    rng.fill(small, cv::RNG::UNIFORM, cv::Scalar::all(0), cv::Scalar::all(255.0 / 3));
    cv::Mat big;
    cv::resize(small, big, size, 0, 0, cv::INTER_CUBIC);
    sum += big;
  }
  cv::Mat out;
  sum.convertTo(out, CV_8UC3);
  return out;
}

// A room-like scene: a gradient wall, a floor, a table with legs, boxes, a lamp and picture frames.
cv::Mat furniture(cv::Size size) {
  cv::Mat scene(size, CV_8UC3);
  for (int y = 0; y < size.height; ++y)
    scene.row(y).setTo(cv::Scalar(150 + 60 * y / size.height, 170, 190 - 50 * y / size.height));
  int floorTop = size.height * 2 / 3;
  cv::rectangle(scene, cv::Rect(0, floorTop, size.width, size.height - floorTop), cv::Scalar(40, 80, 120), cv::FILLED);
  int w = size.width, h = size.height;
  cv::rectangle(scene, cv::Rect(w / 5, floorTop - h / 10, w / 3, h / 30), cv::Scalar(30, 50, 90), cv::FILLED);
  for (int leg : {w / 5 + 10, w / 5 + w / 3 - 30})
    cv::rectangle(scene, cv::Rect(leg, floorTop - h / 15, 20, h / 5), cv::Scalar(25, 45, 80), cv::FILLED);
  cv::rectangle(scene, cv::Rect(w * 3 / 5, floorTop - h / 4, w / 6, h / 3), cv::Scalar(90, 60, 160), cv::FILLED);
  cv::rectangle(scene, cv::Rect(w * 4 / 5, h / 8, w / 10, h / 7), cv::Scalar(30, 30, 30), 12);
  cv::circle(scene, cv::Point(w * 9 / 10, floorTop - h / 3), h / 12, cv::Scalar(120, 220, 250), cv::FILLED);
  cv::line(scene, cv::Point(w * 9 / 10, floorTop - h / 4), cv::Point(w * 9 / 10, floorTop + h / 8), cv::Scalar(60, 60, 60), 10);
  return scene;
}

// Bare tree branches against a pale sky.
cv::Mat branches(cv::Size size, unsigned seed) {
  cv::Mat scene(size, CV_8UC3, cv::Scalar(235, 215, 190));
  cv::RNG rng(seed);
  std::function<void(cv::Point2d, double, double, int)> grow = [&](cv::Point2d from, double angle, double length, int depth) {
    cv::Point2d to = from + cv::Point2d(std::cos(angle), -std::sin(angle)) * length;
    cv::line(scene, from, to, cv::Scalar(40, 50, 60), std::max(1, depth * 3), cv::LINE_AA);
    if (depth == 0) return;
    for (int i = 0; i < 2; ++i) grow(to, angle + rng.uniform(-0.7, 0.7), length * rng.uniform(0.6, 0.8), depth - 1);
  };
  for (int tree = 0; tree < 3; ++tree)
    grow(cv::Point2d(size.width * (0.2 + 0.3 * tree), size.height), CV_PI / 2, size.height * 0.3, 7);
  return scene;
}

struct RealPart {
  int photo;
  cv::Rect part;
};
// Person-free parts of the sample photos (stairs, dark room, window blinds, door and window).
const RealPart kRealParts[] = {
    {5, {0, 0, 440, 680}}, {1, {0, 0, 360, 800}}, {6, {0, 0, 160, 1280}}, {3, {0, 0, 360, 680}}};

// ---- measures ---------------------------------------------------------------------------------

struct EdgeScores {
  double bandError = 0;  // mean |alpha - truth| within 15 px of the true edge, 0..1
  double iou = 0;        // of the >= 128 masks
  double rise = 0;       // mean width in px over which the mask rises from 10 % to 90 % across the true edge
};

// Width of the 10-90 % rise along the truth's gradient direction at edge points, read from the mask.
double riseWidth(const cv::Mat& estimate, const cv::Mat& truth) {
  cv::Mat gx, gy;
  cv::Sobel(truth, gx, CV_32F, 1, 0);
  cv::Sobel(truth, gy, CV_32F, 0, 1);
  std::vector<double> widths;
  for (int y = 20; y < truth.rows - 20; y += 7)
    for (int x = 20; x < truth.cols - 20; x += 7) {
      int t = truth.at<std::uint8_t>(y, x);
      if (t < 100 || t > 155) continue;
      double dx = gx.at<float>(y, x), dy = gy.at<float>(y, x), norm = std::hypot(dx, dy);
      if (norm < 1) continue;
      dx /= norm, dy /= norm;  // points into the person
      double low = NAN, high = NAN;
      for (double s = -20; s <= 20; s += 0.5) {
        int px = static_cast<int>(std::lround(x + dx * s)), py = static_cast<int>(std::lround(y + dy * s));
        if (px < 0 || py < 0 || px >= truth.cols || py >= truth.rows) continue;
        int v = estimate.at<std::uint8_t>(py, px);
        if (std::isnan(low) && v >= 26) low = s;
        if (v >= 230) {
          high = s;
          break;
        }
      }
      if (!std::isnan(low) && !std::isnan(high)) widths.push_back(high - low);
    }
  return median(widths);
}

EdgeScores score(const cv::Mat& estimate, const cv::Mat& truth) {
  cv::Mat inside = truth >= 128, outside = truth < 128;
  cv::Mat toInside, toOutside;
  cv::distanceTransform(outside, toInside, cv::DIST_L2, 3);  // distance from background to the person
  cv::distanceTransform(inside, toOutside, cv::DIST_L2, 3);
  double error = 0;
  long band = 0, both = 0, either = 0;
  for (int y = 0; y < truth.rows; ++y)
    for (int x = 0; x < truth.cols; ++x) {
      int t = truth.at<std::uint8_t>(y, x), e = estimate.at<std::uint8_t>(y, x);
      both += t >= 128 && e >= 128;
      either += t >= 128 || e >= 128;
      if (toInside.at<float>(y, x) <= 15 && toOutside.at<float>(y, x) <= 15) {
        error += std::abs(t - e) / 255.0;
        ++band;
      }
    }
  return {band ? error / static_cast<double>(band) : 0, either ? static_cast<double>(both) / static_cast<double>(either) : 1,
          riseWidth(estimate, truth)};
}

double foregroundShare(const GreyImage& mask) {
  return static_cast<double>(std::count_if(mask.pixels.begin(), mask.pixels.end(), [](std::uint8_t v) { return v >= 128; })) /
         static_cast<double>(mask.pixels.size());
}

// Mean x of the mask's >= 128 pixels, or NaN without any.
double centreX(const cv::Mat& mask) {
  cv::Moments m = cv::moments(mask >= 128, true);
  return m.m00 > 0 ? m.m10 / m.m00 : NAN;
}

double meanChange(const GreyImage& a, const GreyImage& b) {
  double sum = 0;
  for (std::size_t i = 0; i < a.pixels.size(); ++i) sum += std::abs(a.pixels[i] - b.pixels[i]);
  return sum / static_cast<double>(a.pixels.size());
}

// ---- sections ---------------------------------------------------------------------------------

// Backgrounds of the composites by kind: flat colours, rendered scenes, person-free parts of photos.
enum Kind { Flat, Rendered, Real, kKinds };

// With a folder for them, the composites whose current masks fall below this IoU or above this
// edge error are written there (picture, truth, mask and the errors drawn over the picture) to be
// looked at.
constexpr double kPoorIou = 0.9, kPoorEdgeError = 0.15;
std::string gDumpFolder;

void writePoor(const std::string& name, const cv::Mat& picture, const cv::Mat& truth, const cv::Mat& mask) {
  cv::imwrite(gDumpFolder + "/" + name + "-picture.jpg", picture);
  cv::imwrite(gDumpFolder + "/" + name + "-truth.png", truth);
  cv::imwrite(gDumpFolder + "/" + name + "-mask.png", mask);
  // The picture dimmed, with what the mask adds in red and what it misses in blue.
  cv::Mat overlay = picture / 2;
  overlay.setTo(cv::Scalar(0, 0, 255), (mask >= 128) & (truth < 128));
  overlay.setTo(cv::Scalar(255, 0, 0), (mask < 128) & (truth >= 128));
  cv::resize(overlay, overlay, cv::Size(), 0.4, 0.4, cv::INTER_AREA);
  cv::imwrite(gDumpFolder + "/" + name + "-errors.png", overlay);
}

void compositesSection(Matter& matter, const std::vector<CutOut>& people, const std::vector<cv::Mat>& photos) {
  std::printf("%-30s %8s %8s %8s %8s %8s %8s %8s %8s\n", "people on known backgrounds", "edge err", "flat", "rendered",
              "real", "IoU mean", "worst", "rise px", "ms/pic");
  std::size_t composites = 0;
  std::vector<double> photoError(people.size(), 0), photoWorstIou(people.size(), 1);
  for (Way way : kWays) {
    std::vector<double> errors, byKind[kKinds], ious, rises, times;
    composites = 0;
    for (std::size_t i = 0; i < people.size(); ++i) {
      cv::Size size = people[i].colour.size();
      std::vector<std::pair<Kind, cv::Mat>> backgrounds = {{Flat, flat(size, {128, 128, 128})}, {Flat, flat(size, {60, 170, 60})},
                                                           {Rendered, texture(size, 11 + static_cast<unsigned>(i))},
                                                           {Rendered, furniture(size)}};
      // Not the stairs: the model takes their railing for a person (see the pictures without people).
      for (const RealPart& real : kRealParts)
        if (real.photo != static_cast<int>(i) + 1 && real.photo != 5)
          backgrounds.push_back({Real, realBackground(photos[static_cast<std::size_t>(real.photo - 1)], real.part, size)});
      for (std::size_t b = 0; b < backgrounds.size(); ++b) {
        int left = static_cast<int>(size.width * (0.05 + 0.1 * static_cast<double>(b % 3)));
        auto [picture, truth] = composite(people[i], backgrounds[b].second, 0.8, left);
        BgraImage bgra = toBgra(picture);
        GreyImage mask;
        times.push_back(seconds([&] { mask = matter.picture(bgra, way); }) * 1000);
        EdgeScores s = score(wrap(mask), truth);
        if (way == Way::Gated && !gDumpFolder.empty() && (s.iou < kPoorIou || s.bandError > kPoorEdgeError)) {
          std::string name = "sample" + std::to_string(i + 1) + "-bg" + std::to_string(b);
          std::printf("  poor: %s IoU %.3f edge err %.3f\n", name.c_str(), s.iou, s.bandError);
          writePoor(name, picture, truth, wrap(mask));
        }
        ++composites;
        if (way == Way::Gated) {
          photoError[i] += s.bandError / static_cast<double>(backgrounds.size());
          photoWorstIou[i] = std::min(photoWorstIou[i], s.iou);
        }
        errors.push_back(s.bandError);
        byKind[backgrounds[b].first].push_back(s.bandError);
        ious.push_back(s.iou);
        rises.push_back(s.rise);
      }
    }
    std::printf("%-30s %8.3f %8.3f %8.3f %8.3f %8.3f %8.3f %8.1f %8.0f\n", kWayNames[static_cast<int>(way)], mean(errors),
                mean(byKind[Flat]), mean(byKind[Rendered]), mean(byKind[Real]), mean(ious),
                *std::min_element(ious.begin(), ious.end()), median(rises), median(times));
  }
  std::printf("%-30s", "  now, by photo: edge err");
  for (double e : photoError) std::printf(" %6.3f", e);
  std::printf("\n%-30s", "                 worst IoU");
  for (double iou : photoWorstIou) std::printf(" %6.3f", iou);
  std::printf("\n(%zu composites of the six photos' people at 1920 px wide; edge err: mean |alpha - truth| within 15 px\n"
              " of the true edge, overall and by background; rise: median width of the 10-90 %% rise across the true\n"
              " edge; targets: edge err <= 0.09, IoU >= 0.95 mean / 0.85 worst)\n\n",
              composites);
}

// The person detector on the photos themselves (all with people), with its cost per picture.
void personScoresSection(Matter& matter, const std::vector<cv::Mat>& photos) {
  std::printf("%-30s %12s %12s\n", "person detector on the photos", "score", "ms");
  for (std::size_t i = 0; i < photos.size(); ++i) {
    BgraImage bgra = toBgra(photos[i]);
    float score = 0;
    std::vector<double> times;
    for (int run = 0; run < 5; ++run) times.push_back(seconds([&] { score = matter.personScore(bgra); }) * 1000);
    std::printf("sample%-24zu %12.3f %12.1f\n", i + 1, score, median(times));
  }
  std::printf("(the strongest detection's score; ms: median of 5 runs, picture to verdict)\n\n");
}

void emptyPicturesSection(Matter& matter, const std::vector<cv::Mat>& photos) {
  cv::Size size(1920, 1280);
  std::vector<std::pair<std::string, cv::Mat>> scenes = {
      {"flat grey", flat(size, {128, 128, 128})}, {"noise texture", texture(size, 3)},
      {"room with furniture", furniture(size)},   {"tree branches", branches(size, 5)}};
  for (const RealPart& real : kRealParts)
    scenes.push_back({"photo part " + std::to_string(real.photo), realBackground(photos[static_cast<std::size_t>(real.photo - 1)], real.part, size)});
  std::printf("%-30s", "foreground share, no people");
  for (Way way : kWays) std::printf(" %28s", kWayNames[static_cast<int>(way)]);
  std::printf(" %12s\n", "person score");
  for (auto& [name, scene] : scenes) {
    BgraImage bgra = toBgra(scene);
    std::printf("%-30s", name.c_str());
    for (Way way : kWays) std::printf(" %27.1f%%", 100 * foregroundShare(matter.picture(bgra, way)));
    std::printf(" %12.3f\n", matter.personScore(bgra));
  }
  std::printf("(target: at most 1 %%; the last column is the person detector's strongest score, a person above %.2f)\n\n",
              kov::kPersonScore);
}

void movieSection(Matter& matter, const CutOut& person, const std::vector<cv::Mat>& photos) {
  const cv::Size size(1280, 720);
  const int frameCount = 90;
  const double speed = 10;  // px per frame: 300 px/s at 30 fps
  cv::Mat background = realBackground(photos[0], kRealParts[1].part, size);
  double scale = 0.8 * size.height / person.colour.rows;
  std::vector<BgraImage> moving, still;
  std::vector<double> truthX;
  std::mt19937 rng(7);
  std::normal_distribution<float> noise(0.0f, 6.0f);
  for (int i = 0; i < frameCount; ++i) {
    auto [picture, truth] = composite(person, background, scale, static_cast<int>(std::lround(-200 + speed * i)));
    moving.push_back(toBgra(picture));
    truthX.push_back(centreX(truth));
    auto [standing, unused] = composite(person, background, scale, 200);
    BgraImage noisy = toBgra(standing);
    for (std::size_t p = 0; p < noisy.pixels.size(); ++p)
      if (p % 4 != 3) noisy.pixels[p] = static_cast<std::uint8_t>(std::clamp(noisy.pixels[p] + noise(rng), 0.0f, 255.0f));
    still.push_back(std::move(noisy));
  }
  std::printf("%-30s %10s %10s %10s %10s\n", "synthetic movie 1280x720", "lag mean", "lag worst", "flicker", "frames/s");
  for (Way way : kWays) {
    std::vector<GreyImage> masks;
    double elapsed = seconds([&] { masks = matter.movie(moving, way); });
    std::vector<double> lags;
    for (std::size_t i = 5; i < masks.size(); ++i) lags.push_back((truthX[i] - centreX(wrap(masks[i]))) / speed);
    double worst = 0;
    for (double lag : lags) worst = std::abs(lag) > std::abs(worst) ? lag : worst;
    std::vector<GreyImage> steady = matter.movie(still, way);
    std::vector<double> changes;
    for (std::size_t i = 1; i < steady.size(); ++i) changes.push_back(meanChange(steady[i - 1], steady[i]));
    std::printf("%-30s %10.2f %10.2f %10.3f %10.1f\n", kWayNames[static_cast<int>(way)], mean(lags), worst, mean(changes),
                static_cast<double>(masks.size()) / elapsed);
  }
  std::printf("(lag in frames of the mask centre behind the truth at 300 px/s, 30 fps; flicker: mean |change| 0..255\n"
              " between frames of a still group with sensor noise; frames/s of the masks alone, no decoding or encoding)\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: matte_quality_bench PHOTO_FOLDER [POOR_MASK_FOLDER]\n");
    return 1;
  }
  std::string error;
  auto segmenter = kov::createPersonSegmenter(error);
  if (!segmenter) {
    std::fputs(error.c_str(), stderr);
    return 1;
  }
  if (argc == 3) gDumpFolder = argv[2];
  std::vector<cv::Mat> photos;
  for (int i = 1; i <= 6; ++i) {
    std::string path = std::string(argv[1]) + "/sample" + std::to_string(i) + ".jpg";
    photos.push_back(cv::imread(path, cv::IMREAD_COLOR));
    if (photos.back().empty()) {
      std::fprintf(stderr, "cannot read %s\n", path.c_str());
      return 1;
    }
  }
  std::vector<CutOut> people;
  for (const cv::Mat& photo : photos) people.push_back(cutOutOf(photo, *segmenter));

  std::unique_ptr<kov::PersonDetector> gate = kov::createPersonDetector(error);
  if (!gate) {
    std::fputs(error.c_str(), stderr);
    return 1;
  }
  Matter matter(*segmenter, *gate);
  personScoresSection(matter, photos);
  compositesSection(matter, people, photos);
  emptyPicturesSection(matter, photos);
  movieSection(matter, people[1], photos);
  return 0;
}
