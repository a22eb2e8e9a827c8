// Why a capture operation stopped. The text is what follows "snap failed: " or "scroll failed: ":
// the engine's or the system's own description, or one of the messages below.
#pragma once

#include <stdexcept>
#include <string>

namespace kov {

class CaptureError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The two failures of `snap` that concern the picture itself.
inline constexpr const char* kPageNotDrawn = "the page could not be drawn";
inline constexpr const char* kPageNotSaved = "the page could not be saved";

}  // namespace kov
