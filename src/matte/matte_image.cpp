// `matte --image`: the person cut out of one picture into a PNG with transparency.
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

LoadedModels loadModels() {
  LoadedModels loaded;
  loaded.detector = createPersonDetector(loaded.detectorError);
  loaded.segmenter = createPersonSegmenter(loaded.segmenterError);
  return loaded;
}

// The models load on a thread of its own (the person detector's first, as it takes the longest)
// while the picture is read and the detector's input is made from it: the two take about as long.
// On the calling thread when no thread can be started (an address-space limit). A thread still
// loading is waited for when this goes out of scope.
class ModelLoading {
 public:
  ModelLoading() {
    try {
      loading_ = std::async(std::launch::async, loadModels);
    } catch (const std::system_error&) {
    }
  }

  // Before the process ends early: it must not end under a thread that is still loading.
  void settle() {
    if (loading_.valid()) loading_.wait();
  }

  LoadedModels result() { return loading_.valid() ? loading_.get() : loadModels(); }

 private:
  std::future<LoadedModels> loading_;
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
