// Writing a movie from BGRA pictures: H.264 in MP4, or ProRes 4444 with alpha in a QuickTime movie.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/pixels.h"

namespace kov {

enum class MovieCodec {
  H264,        // High profile, yuv420p, MP4 container
  ProRes4444,  // yuva444p10le with the picture's alpha, QuickTime container
};

struct MovieSettings {
  std::string path;
  int width = 0;
  int height = 0;
  MovieCodec codec = MovieCodec::H264;
  std::int64_t bitRate = 0;   // average bits per second (H.264 only)
  int keyFrameInterval = 0;   // at most this many frames between key frames (H.264 only)
  int timeBaseNum = 1;        // frame times are counted in units of num/den seconds
  int timeBaseDen = 600;
  double frameRate = 30;      // nominal frames per second, a hint for the encoder's rate control
  // H.264 only: the encoder's quickest analysis (the profile, bit rate and key frames stay as set).
  // Made for simple pictures such as masks: on a 720p mask movie it takes 60 % less time than the
  // standard analysis and the masks come back as close (69 dB against the masks written).
  bool quickEncoding = false;
};

class MovieWriter {
 public:
  virtual ~MovieWriter() = default;

  // Encodes one picture (width x height BGRA, straight alpha) at `pts` time-base units.
  // On failure returns the reason.
  virtual std::optional<std::string> append(const BgraView& picture, std::int64_t pts) = 0;

  // Encodes a grey picture (width x height), the same frame as `append` of a BGRA picture with
  // blue = green = red = the grey level and alpha opaque, without making that picture.
  virtual std::optional<std::string> appendGrey(const GreyView& picture, std::int64_t pts) = 0;

  // Flushes the encoder and writes the file's index. On failure returns the reason.
  virtual std::optional<std::string> finish() = 0;
};

// Result of creating a writer: the writer, or the stage that failed with its reason.
struct MovieWriterResult {
  std::unique_ptr<MovieWriter> writer;
  bool createFailed = false;  // the container or encoder could not be made
  std::string reason;         // why creation or the start of writing failed
};

MovieWriterResult createMovieWriter(const MovieSettings& settings);

}  // namespace kov
