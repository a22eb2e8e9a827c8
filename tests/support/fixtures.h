// Inputs the tests make for themselves: temporary folders and small videos made with ffmpeg.
#pragma once

#include <string>

namespace kov::test {

// A fresh folder under the system's temporary folder, removed with everything in it at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Runs ffmpeg quietly with `arguments` (everything after "ffmpeg -y"); fails the test on error.
void ffmpeg(const std::string& arguments);

// Reads a whole file; empty when it cannot be read.
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);

// The folder of the inputs made once per test run by tests/support/make_fixture_videos.sh (CTest
// runs it before the tests that need it). A test program run on its own makes them when they are
// missing or older than the tool.
std::string fixtureVideos();

// Photos of people that the setup installs from the npm registry (face-api's demo pictures).
std::string samplePhoto(int index);  // index 1..6

}  // namespace kov::test
