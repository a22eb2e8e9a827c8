// Usage: faces_quality_bench PHOTO...
// The face detectors' quality on real photos and on variants made from them: recall and precision
// per variant, the mouth under roll, identity ROC AUC of prints pooled to the default 64 values,
// faces pasted into another person's surroundings, and the time of each model.
//
// The reference faces of a photo are those found on the upright photo at its own size (check them
// by eye once: the figures are only as good as that list). A variant's face counts as found when a
// detection's box holds the reference face's centre, carried through the variant's geometry, and
// has about its size.
#include <algorithm>
#include <chrono>
#include <functional>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "faces/measures.h"
#include "platform/vision/face_detector.h"
#include "platform/vision/face_identity.h"
#include "platform/vision/face_mesh.h"
#include "platform/vision/vision.h"

namespace {

using namespace kov;
using Clock = std::chrono::steady_clock;

struct Face {
  cv::Point2d centre;  // pixels of the picture it belongs to
  double height = 0;
  int person = 0;      // photo * 100 + index
};

struct Picture {
  cv::Mat bgr;
  std::vector<Face> faces;
};

struct Found {
  NormBox box;
  double mouth = 0;
  std::optional<std::vector<float>> print;
};

// The frame the tool would hand the detectors: BGRA, as the picture is.
std::vector<Found> analyse(VisionService& vision, const cv::Mat& bgr, bool prints) {
  cv::Mat bgra;
  cv::cvtColor(bgr, bgra, cv::COLOR_BGR2BGRA);
  DecodedFrame frame;
  frame.layout = PixelLayout::Bgra;
  frame.width = bgra.cols;
  frame.height = bgra.rows;
  frame.planes[0] = bgra.data;
  frame.strides[0] = static_cast<std::ptrdiff_t>(bgra.step);
  auto requests = vision.forFrame(frame);
  std::vector<Found> found;
  for (const FaceObservation& face : requests->faceLandmarks()) {
    Found f{face.box, mouthOpenness(face), std::nullopt};
    if (prints) f.print = facePrint(*requests, face.box, 64);
    found.push_back(std::move(f));
  }
  return found;
}

cv::Rect2d pixelRect(const NormBox& box, const cv::Mat& picture) {
  return {box.x * picture.cols, box.y * picture.rows, box.w * picture.cols, box.h * picture.rows};
}

// The detection that found `face`, or -1.
int matchOf(const Face& face, const std::vector<Found>& found, const cv::Mat& picture) {
  int best = -1;
  double bestDistance = 1e9;
  for (std::size_t i = 0; i < found.size(); ++i) {
    const cv::Rect2d r = pixelRect(found[i].box, picture);
    if (!r.contains(face.centre) || r.height < face.height * 0.4 || r.height > face.height * 2.5) continue;
    const cv::Point2d d = (r.tl() + r.br()) * 0.5 - face.centre;
    if (std::hypot(d.x, d.y) < bestDistance) {
      bestDistance = std::hypot(d.x, d.y);
      best = static_cast<int>(i);
    }
  }
  return best;
}

Picture rotated(const Picture& p, double degrees) {
  const cv::Point2f centre(p.bgr.cols / 2.0f, p.bgr.rows / 2.0f);
  cv::Mat m = cv::getRotationMatrix2D(centre, degrees, 1.0);
  const double c = std::abs(std::cos(degrees * CV_PI / 180)), s = std::abs(std::sin(degrees * CV_PI / 180));
  const int w = static_cast<int>(p.bgr.cols * c + p.bgr.rows * s), h = static_cast<int>(p.bgr.cols * s + p.bgr.rows * c);
  m.at<double>(0, 2) += w / 2.0 - centre.x;
  m.at<double>(1, 2) += h / 2.0 - centre.y;
  Picture out;
  cv::warpAffine(p.bgr, out.bgr, m, cv::Size(w, h), cv::INTER_LINEAR, cv::BORDER_REPLICATE);
  for (Face f : p.faces) {
    const cv::Point2d c0 = f.centre;
    f.centre = {m.at<double>(0, 0) * c0.x + m.at<double>(0, 1) * c0.y + m.at<double>(0, 2),
                m.at<double>(1, 0) * c0.x + m.at<double>(1, 1) * c0.y + m.at<double>(1, 2)};
    out.faces.push_back(f);
  }
  return out;
}

Picture scaled(const Picture& p, double factor) {
  Picture out;
  cv::resize(p.bgr, out.bgr, cv::Size(), factor, factor, factor < 1 ? cv::INTER_AREA : cv::INTER_LINEAR);
  for (Face f : p.faces) {
    f.centre *= factor;
    f.height *= factor;
    out.faces.push_back(f);
  }
  return out;
}

Picture filtered(const Picture& p, const std::string& kind) {
  Picture out;
  out.faces = p.faces;
  out.bgr = p.bgr.clone();  // never write into the photo itself
  if (kind == "dark") {
    p.bgr.convertTo(out.bgr, -1, 0.3, 0);
  } else if (kind == "jpeg20") {
    std::vector<std::uint8_t> bytes;
    cv::imencode(".jpg", p.bgr, bytes, {cv::IMWRITE_JPEG_QUALITY, 20});
    out.bgr = cv::imdecode(bytes, cv::IMREAD_COLOR);
  } else if (kind == "motion blur") {
    cv::Mat kernel = cv::Mat::zeros(1, 11, CV_32F) + 1.0f / 11;
    cv::filter2D(p.bgr, out.bgr, -1, kernel);
  }
  return out;
}

// The photo placed on a 1920x1080 grey frame so that its median face is `share` of the frame's
// height, then brought to the default decode width of 640.
Picture inFullHdFrame(const Picture& p, double share) {
  std::vector<double> heights;
  for (const Face& f : p.faces) heights.push_back(f.height);
  if (heights.empty()) return p;  // no reference face to scale by, and none to count
  std::nth_element(heights.begin(), heights.begin() + heights.size() / 2, heights.end());
  const double factor = share * 1080 / heights[heights.size() / 2];
  Picture small = scaled(p, factor);
  cv::Mat frame(1080, 1920, CV_8UC3, cv::Scalar(90, 100, 110));
  const cv::Rect target((1920 - std::min(small.bgr.cols, 1920)) / 2, (1080 - std::min(small.bgr.rows, 1080)) / 2,
                        std::min(small.bgr.cols, 1920), std::min(small.bgr.rows, 1080));
  small.bgr(cv::Rect(0, 0, target.width, target.height)).copyTo(frame(target));
  Picture out;
  out.bgr = frame;
  for (Face f : small.faces) {
    f.centre += cv::Point2d(target.x, target.y);
    if (target.contains(f.centre)) out.faces.push_back(f);
  }
  return scaled(out, 640.0 / 1920);
}

// The photo scaled so that its median face is `pixels` tall.
Picture withFacesOf(const Picture& p, double pixels) {
  std::vector<double> heights;
  for (const Face& f : p.faces) heights.push_back(f.height);
  std::nth_element(heights.begin(), heights.begin() + heights.size() / 2, heights.end());
  return scaled(p, pixels / heights[heights.size() / 2]);
}

struct Tally {
  int faces = 0, found = 0, detections = 0, matched = 0;
};

void count(Tally& t, const Picture& p, const std::vector<Found>& found) {
  std::vector<bool> used(found.size(), false);
  for (const Face& f : p.faces) {
    ++t.faces;
    const int m = matchOf(f, found, p.bgr);
    if (m >= 0) {
      ++t.found;
      used[static_cast<std::size_t>(m)] = true;
    }
  }
  t.detections += static_cast<int>(found.size());
  for (bool u : used) t.matched += u;
}

double distance(const std::vector<float>& a, const std::vector<float>& b) {
  double sum = 0;
  for (std::size_t i = 0; i < a.size(); ++i) sum += (a[i] - b[i]) * (a[i] - b[i]);
  return std::sqrt(sum);
}

// The share of (same, different) pairs where the same-person distance is the smaller.
double rocAuc(const std::vector<double>& same, const std::vector<double>& different) {
  double wins = 0;
  for (double s : same)
    for (double d : different) wins += s < d ? 1 : s == d ? 0.5 : 0;
  return same.empty() || different.empty() ? 0 : wins / (static_cast<double>(same.size()) * different.size());
}

double correlation(const std::vector<double>& a, const std::vector<double>& b) {
  const double n = static_cast<double>(a.size());
  double ma = 0, mb = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    ma += a[i] / n;
    mb += b[i] / n;
  }
  double sab = 0, saa = 0, sbb = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    sab += (a[i] - ma) * (b[i] - mb);
    saa += (a[i] - ma) * (a[i] - ma);
    sbb += (b[i] - mb) * (b[i] - mb);
  }
  return saa > 0 && sbb > 0 ? sab / std::sqrt(saa * sbb) : 0;
}

template <typename Work>
double millisecondsMedian(Work work, int rounds = 7) {
  std::vector<double> times;
  for (int i = 0; i < rounds; ++i) {
    const auto begin = Clock::now();
    work();
    times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - begin).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: faces_quality_bench PHOTO...\n");
    return 1;
  }
  std::string error;
  auto vision = createVisionService(error);
  if (!vision) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }

  // Reference faces: found on the upright photo at its own size, 640 px wide at most.
  std::vector<Picture> photos;
  for (int i = 1; i < argc; ++i) {
    Picture p;
    p.bgr = cv::imread(argv[i], cv::IMREAD_COLOR);
    if (p.bgr.empty()) {
      std::fprintf(stderr, "cannot read %s\n", argv[i]);
      return 1;
    }
    if (p.bgr.cols > 960) cv::resize(p.bgr, p.bgr, cv::Size(), 960.0 / p.bgr.cols, 960.0 / p.bgr.cols, cv::INTER_AREA);
    int index = 0;
    for (const Found& f : analyse(*vision, p.bgr, false)) {
      const cv::Rect2d r = pixelRect(f.box, p.bgr);
      p.faces.push_back({(r.tl() + r.br()) * 0.5, r.height, i * 100 + index++});
    }
    std::printf("photo %d: %zu reference faces (%dx%d)\n", i, p.faces.size(), p.bgr.cols, p.bgr.rows);
    photos.push_back(std::move(p));
  }

  std::printf("\n%-34s %7s %7s %9s %10s\n", "variant", "faces", "found", "recall", "precision");
  std::vector<std::pair<std::string, std::function<Picture(const Picture&)>>> variants = {
      {"upright", [](const Picture& p) { return p; }},
      {"rolled +15", [](const Picture& p) { return rotated(p, 15); }},
      {"rolled -15", [](const Picture& p) { return rotated(p, -15); }},
      {"rolled +30", [](const Picture& p) { return rotated(p, 30); }},
      {"rolled -30", [](const Picture& p) { return rotated(p, -30); }},
      {"rolled +45", [](const Picture& p) { return rotated(p, 45); }},
      {"rolled -45", [](const Picture& p) { return rotated(p, -45); }},
      {"faces 40 px tall", [](const Picture& p) { return withFacesOf(p, 40); }},
      {"faces 30 px tall", [](const Picture& p) { return withFacesOf(p, 30); }},
      {"faces 20 px tall", [](const Picture& p) { return withFacesOf(p, 20); }},
      {"darkened to 30 %", [](const Picture& p) { return filtered(p, "dark"); }},
      {"JPEG quality 20", [](const Picture& p) { return filtered(p, "jpeg20"); }},
      {"motion blur 11 px", [](const Picture& p) { return filtered(p, "motion blur"); }},
      {"1080p frame, faces 8 %, at 640", [](const Picture& p) { return inFullHdFrame(p, 0.08); }},
      {"1080p frame, faces 6 %, at 640", [](const Picture& p) { return inFullHdFrame(p, 0.06); }},
      {"1080p frame, faces 4 %, at 640", [](const Picture& p) { return inFullHdFrame(p, 0.04); }},
  };
  Tally all;
  for (const auto& [name, make] : variants) {
    Tally t;
    for (const Picture& photo : photos) {
      const Picture v = make(photo);
      count(t, v, analyse(*vision, v.bgr, false));
    }
    if (name != "upright") {
      all.detections += t.detections;
      all.matched += t.matched;
    }
    std::printf("%-34s %7d %7d %9.2f %10.2f\n", name.c_str(), t.faces, t.found, t.faces ? double(t.found) / t.faces : 0,
                t.detections ? double(t.matched) / t.detections : 1.0);
  }
  std::printf("%-34s %7s %7s %9s %10.3f\n", "all variants", "", "", "", all.detections ? double(all.matched) / all.detections : 1.0);

  // Mouth under roll: the same faces rotated; the upright reading is the truth.
  std::printf("\nmouth under roll (upright reading as the truth)\n%-12s %7s %12s %12s\n", "roll", "faces", "mean |error|",
              "correlation");
  std::map<int, double> uprightMouth;
  for (const Picture& p : photos) {
    const auto found = analyse(*vision, p.bgr, false);
    for (const Face& f : p.faces) {
      const int m = matchOf(f, found, p.bgr);
      if (m >= 0) uprightMouth[f.person] = found[static_cast<std::size_t>(m)].mouth;
    }
  }
  for (double roll : {15.0, -15.0, 30.0, -30.0, 45.0, -45.0}) {
    std::vector<double> truth, measured;
    for (const Picture& photo : photos) {
      const Picture v = rotated(photo, roll);
      const auto found = analyse(*vision, v.bgr, false);
      for (const Face& f : v.faces) {
        const int m = matchOf(f, found, v.bgr);
        if (m < 0 || !uprightMouth.count(f.person)) continue;
        truth.push_back(uprightMouth[f.person]);
        measured.push_back(found[static_cast<std::size_t>(m)].mouth);
      }
    }
    double error = 0;
    for (std::size_t i = 0; i < truth.size(); ++i) error += std::abs(truth[i] - measured[i]) / truth.size();
    std::printf("%+-12.0f %7zu %12.3f %12.3f\n", roll, truth.size(), error, correlation(truth, measured));
  }

  // Identity: prints of every face in the upright photo and in variants (darkened, JPEG, blur,
  // rolled 15 degrees, smaller); same person = same reference face.
  struct Print {
    int person;
    int variant;
    std::vector<float> values;
  };
  std::vector<Print> prints;
  std::vector<std::function<Picture(const Picture&)>> printVariants = {
      [](const Picture& p) { return p; },
      [](const Picture& p) { return filtered(p, "dark"); },
      [](const Picture& p) { return filtered(p, "jpeg20"); },
      [](const Picture& p) { return filtered(p, "motion blur"); },
      [](const Picture& p) { return rotated(p, 15); },
      [](const Picture& p) { return scaled(p, 0.6); },
  };
  for (std::size_t k = 0; k < printVariants.size(); ++k)
    for (const Picture& photo : photos) {
      const Picture v = printVariants[k](photo);
      const auto found = analyse(*vision, v.bgr, true);
      for (const Face& f : v.faces) {
        const int m = matchOf(f, found, v.bgr);
        if (m >= 0 && found[static_cast<std::size_t>(m)].print)
          prints.push_back({f.person, static_cast<int>(k), *found[static_cast<std::size_t>(m)].print});
      }
    }
  std::vector<double> same, different;
  for (std::size_t i = 0; i < prints.size(); ++i)
    for (std::size_t j = i + 1; j < prints.size(); ++j) {
      if (prints[i].variant == prints[j].variant && prints[i].person != prints[j].person) continue;
      (prints[i].person == prints[j].person ? same : different).push_back(distance(prints[i].values, prints[j].values));
    }
  std::printf("\nidentity at print size 64: %zu prints, %zu same-person pairs (variants of one photo), %zu others\n",
              prints.size(), same.size(), different.size());
  std::printf("ROC AUC %.3f\n", rocAuc(same, different));
  const char* variantNames[] = {"upright", "darkened", "JPEG 20", "motion blur", "rolled 15", "scaled 0.6"};
  for (int k = 1; k < static_cast<int>(printVariants.size()); ++k) {
    std::vector<double> sameK, differentK;
    for (const Print& a : prints)
      for (const Print& b : prints) {
        if (a.variant != 0 || b.variant != k) continue;
        (a.person == b.person ? sameK : differentK).push_back(distance(a.values, b.values));
      }
    std::printf("  upright against %-12s ROC AUC %.3f (%zu same-person pairs)\n", variantNames[k], rocAuc(sameK, differentK),
                sameK.size());
  }

  // A face pasted over another person's face in that person's photo: is its print nearer its own
  // face's print (from its own photo) than the print of the face it covers?
  int pasted = 0, nearerOwn = 0;
  for (std::size_t a = 0; a < photos.size(); ++a)
    for (std::size_t b = 0; b < photos.size(); ++b) {
      if (a == b || photos[a].faces.empty() || photos[b].faces.empty()) continue;
      const auto foundA = analyse(*vision, photos[a].bgr, true);
      const auto foundB = analyse(*vision, photos[b].bgr, true);
      const Face& donor = photos[a].faces[0];
      const Face& host = photos[b].faces[0];
      const int ma = matchOf(donor, foundA, photos[a].bgr), mb = matchOf(host, foundB, photos[b].bgr);
      if (ma < 0 || mb < 0 || !foundA[static_cast<std::size_t>(ma)].print || !foundB[static_cast<std::size_t>(mb)].print)
        continue;
      const cv::Rect2d from = pixelRect(foundA[static_cast<std::size_t>(ma)].box, photos[a].bgr);
      const cv::Rect2d to = pixelRect(foundB[static_cast<std::size_t>(mb)].box, photos[b].bgr);
      cv::Mat patch;
      const cv::Rect source = cv::Rect(from) & cv::Rect(0, 0, photos[a].bgr.cols, photos[a].bgr.rows);
      const cv::Rect target = cv::Rect(to) & cv::Rect(0, 0, photos[b].bgr.cols, photos[b].bgr.rows);
      if (source.empty() || target.empty()) continue;
      cv::resize(photos[a].bgr(source), patch, target.size());
      Picture host2;
      host2.bgr = photos[b].bgr.clone();
      patch.copyTo(host2.bgr(target));
      const auto foundPasted = analyse(*vision, host2.bgr, true);
      const int mp = matchOf(host, foundPasted, host2.bgr);
      if (mp < 0 || !foundPasted[static_cast<std::size_t>(mp)].print) continue;
      ++pasted;
      const auto& p = *foundPasted[static_cast<std::size_t>(mp)].print;
      nearerOwn += distance(p, *foundA[static_cast<std::size_t>(ma)].print) < distance(p, *foundB[static_cast<std::size_t>(mb)].print);
    }
  std::printf("faces pasted over another person's face: %d of %d nearest their own face\n", nearerOwn, pasted);

  // Time of each model on one core (median of 7), on photo 1 at 640 px wide.
  cv::Mat frame;
  cv::resize(photos[0].bgr, frame, cv::Size(640, photos[0].bgr.rows * 640 / photos[0].bgr.cols), 0, 0, cv::INTER_AREA);
  auto full = createFaceDetector(FaceRange::Full);
  auto shortRange = createFaceDetector(FaceRange::Short);
  auto mesh = createFaceMeshModel();
  auto identity = createFaceIdentityModel();
  const auto detections = full->detect(frame);
  std::printf("\ntime per call, one thread, median of 7 (ms), on a %dx%d picture with %zu faces:\n", frame.cols, frame.rows,
              detections.size());
  std::printf("  full-range detection (upright pass, turned on a hint) %6.2f\n", millisecondsMedian([&] { full->detect(frame); }));
  std::printf("  short-range detection (same passes)                 %7.2f  finds %zu\n",
              millisecondsMedian([&] { shortRange->detect(frame); }), shortRange->detect(frame).size());
  if (!detections.empty()) {
    std::optional<FaceMesh> m;
    std::printf("  face mesh, one face                                %8.2f\n",
                millisecondsMedian([&] { m = mesh->landmarks(frame, detections[0]); }));
    if (m) std::printf("  identity, one face                                 %8.2f\n",
                       millisecondsMedian([&] { identity->embed(frame, alignmentPoints(*m)); }));
  }
  return 0;
}
