#include "support/fixtures.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/tool_run.h"

namespace kov::test {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "kov-test-XXXXXX").string();
  char* made = mkdtemp(pattern.data());
  path_ = made ? made : "";
}

TempDir::~TempDir() {
  std::error_code ec;
  if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

void ffmpeg(const std::string& arguments) {
  std::string command = "ffmpeg -nostdin -hide_banner -loglevel error -y " + arguments;
  ASSERT_EQ(shell(command), 0) << command;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
}

std::string fixtureVideos() {
  namespace fs = std::filesystem;
  const std::string folder = KOV_FIXTURE_VIDEOS;
  std::error_code ec;
  const auto made = fs::last_write_time(folder + "/three-shots.json", ec);
  if (ec || made < fs::last_write_time(toolPath())) {
    const std::string command = "sh '" + sourceRoot() + "/tests/support/make_fixture_videos.sh' '" + folder + "' '" +
                                toolPath() + "' '" + sourceRoot() + "'";
    EXPECT_EQ(shell(command), 0) << command;
  }
  return folder;
}

std::string samplePhoto(int index) {
  return sourceRoot() + "/node_modules/@vladmandic/face-api/demo/sample" + std::to_string(index) + ".jpg";
}

}  // namespace kov::test
