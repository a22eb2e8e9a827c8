// Text lines of a picture through Tesseract: a page-layout pass finds the lines, each line is then
// read on its own. The same is done, at the same time, on a mask of near-white pixels, which reads
// subtitles outlined over busy pictures that the grey picture leaves unreadable.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/vision/frame_images.h"
#include "platform/vision/vision.h"

namespace kov {

class TextRecognizer {
 public:
  virtual ~TextRecognizer() = default;
  // Lines at least `minimumTextHeight` (fraction of the frame height) tall, top to bottom. Calls
  // from several threads read one frame after another.
  virtual std::vector<TextObservation> recognize(const FrameImages& images, float minimumTextHeight) = 0;
};

// Loads the English model from `tessdataFolder`; none with a one-line `error` naming the file
// when it is missing or unusable.
std::unique_ptr<TextRecognizer> loadTextRecognizer(const std::string& tessdataFolder, std::string& error);

}  // namespace kov
