// Text lines of a picture: a neural detector finds the lines on the colour picture, a recognition
// network reads each line's colour crop, and Tesseract corrects readings the network doubts.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/vision/frame_images.h"
#include "platform/vision/vision.h"

namespace kov {

// Tesseract's model, checked only roughly when loading, turned out unreadable when a line first
// needed it; the message names the file. Unlike other failures of a reading, this ends the run.
class TextModelUnreadable : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TextRecognizer {
 public:
  virtual ~TextRecognizer() = default;
  // Lines at least `minimumTextHeight` (fraction of the frame height) tall, top to bottom. Calls
  // from several threads read one frame after another. Throws TextModelUnreadable.
  virtual std::vector<TextObservation> recognize(const FrameImages& images, float minimumTextHeight) = 0;
};

// Loads the line detector from `detectorFile` (empty: the one built into the tool) and the built-in
// line recogniser, and finds Tesseract's English model in `tessdataFolder` (loaded when a line first
// needs it); none with a one-line `error` naming the file when one is missing or unusable.
std::unique_ptr<TextRecognizer> loadTextRecognizer(const std::string& tessdataFolder, const std::string& detectorFile,
                                                   std::string& error);

}  // namespace kov
