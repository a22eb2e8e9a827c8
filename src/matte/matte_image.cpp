// `matte --image`: the person cut out of one picture into a PNG with transparency.
#include <atomic>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

#include "cli/options.h"
#include "cli/output.h"
#include "matte/matte_command.h"
#include "matte/matte_masks.h"
#include "matte/matte_report.h"
#include "platform/files/output_file.h"
#include "platform/image/picture.h"
#include "platform/segment/person_segmenter.h"

namespace kov {
namespace {

constexpr const char* kImageUsage = "usage: kov-vision matte --image <in.png> --out <out.png>\n";

struct LoadedModels {
  std::unique_ptr<PersonDetector> detector;
  std::string detectorError;  // why there is none
  std::unique_ptr<PersonSegmenter> segmenter;
  std::string segmenterError;
};

// The person detector's model, the longest to load, loads on a thread of its own while the picture
// is read and the detector's input is made from it; the segmentation models load on whichever side is
// free first. On the calling thread when no thread can be started (an address-space limit). A thread
// still loading is waited for when this goes out of scope.
class ModelLoading {
 public:
  ModelLoading() {
    try {
      loading_ = std::async(std::launch::async, [this] { loadOnThread(); });
    } catch (const std::system_error&) {
    }
  }

  // Before the process ends early: it must not end under a thread that is still loading.
  void settle() {
    if (loading_.valid()) loading_.wait();
  }

  LoadedModels result() {
    LoadedModels loaded;
    if (!loading_.valid()) {
      loaded.detector = createPersonDetector(loaded.detectorError);
      loaded.segmenter = createPersonSegmenter(loaded.segmenterError);
      return loaded;
    }
    const bool segmenterHere = claimSegmenter();
    if (segmenterHere) loaded.segmenter = createPersonSegmenter(loaded.segmenterError);
    loading_.get();
    loaded.detector = std::move(detector_);
    loaded.detectorError = std::move(detectorError_);
    if (!segmenterHere) {
      loaded.segmenter = std::move(segmenter_);
      loaded.segmenterError = std::move(segmenterError_);
    }
    return loaded;
  }

 private:
  void loadOnThread() {
    detector_ = createPersonDetector(detectorError_);
    if (claimSegmenter()) segmenter_ = createPersonSegmenter(segmenterError_);
  }

  bool claimSegmenter() { return !segmenterClaimed_.exchange(true); }

  std::atomic<bool> segmenterClaimed_{false};
  std::unique_ptr<PersonDetector> detector_;
  std::string detectorError_;
  std::unique_ptr<PersonSegmenter> segmenter_;
  std::string segmenterError_;
  std::future<void> loading_;  // last, so it is destroyed (waiting for the thread) before what the thread fills
};

std::string requiredPath(const char* option, const Args& args) {
  std::optional<std::string> value = textOption(option, args);
  if (!value) fail(kImageUsage);
  return absolutePath(*value);
}

}  // namespace

void matteImage(const Args& args) {
  const std::string input = requiredPath("--image", args);
  const std::string output = requiredPath("--out", args);

  ModelLoading modelLoading;
  auto failLoaded = [&modelLoading](const std::string& message) {
    modelLoading.settle();
    fail(message);
  };

  std::optional<BgraImage> picture = readPicture(input);
  if (!picture) failLoaded("cannot read " + visiblePath(input) + "\n");
  // Checked before the work, so that a wrong --out fails at once; the file is made at the end.
  if (!outputTarget(output).error.empty()) failLoaded("cannot write " + visiblePath(output) + "\n");
  if (sameFile(output, input)) failLoaded("cannot write " + visiblePath(output) + ": it is the picture being read\n");

  // The detector's input is made while its model may still be loading.
  const PersonDetectorInput gateInput = personDetectorInput(picture->view());
  LoadedModels models = modelLoading.result();
  if (!models.segmenter) fail(models.segmenterError);
  if (!models.detector) fail(models.detectorError);
  MaskRefiner refiner(pictureRefinement());
  std::optional<GreyImage> mask =
      pictureMask(*models.segmenter, refiner, picture->view(), models.detector.get(), &gateInput);
  if (!mask) fail("no person found in " + visiblePath(input) + "\n");

  std::string png = encodeCutOutPng(picture->view(), mask->view());
  if (png.empty()) fail("cannot encode " + visiblePath(output) + "\n");
  if (replaceFile(output, png)) fail("cannot write " + visiblePath(output) + "\n");

  MatteReport report;
  report.width = picture->width;
  report.height = picture->height;
  report.fps = 0;
  report.frames = 1;
  report.box = maskBox(mask->view());
  if (report.box) report.sampled.push_back({0, report.box});
  report.out = output;
  finishWithReport(encodeReport(report));
}

}  // namespace kov
