// Output files: what an output path may name, replacement through a temporary file beside the
// target, and what is left after failures and signals.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/files/output_file.h"
#include "support/fixtures.h"

namespace kov {
namespace {

namespace fs = std::filesystem;

// Names in the folder other than `expected`: temporary files left behind show up here.
std::vector<std::string> namesIn(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// A FIFO, a character device (the same as /dev/null), a socket and a folder, made in `dir`.
void makeSpecialFiles(const test::TempDir& dir) {
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
  if (mknod(dir.file("device").c_str(), S_IFCHR | 0600, makedev(1, 3)) != 0) {
    ASSERT_EQ(errno, EPERM);
    fs::create_symlink("/dev/null", dir.file("device"));  // without the right to make nodes
  }
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", dir.file("socket").c_str());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  close(fd);
  fs::create_directory(dir.file("folder"));
}

TEST(OutputTarget, OnlyARegularFileOrNothingMayBeReplacedDirectlyOrThroughLinks) {
  test::TempDir dir;
  makeSpecialFiles(dir);
  test::writeFile(dir.file("file"), "old");
  fs::create_symlink("file", dir.file("link"));
  fs::create_symlink("link", dir.file("chain"));
  fs::create_symlink(dir.file("missing"), dir.file("dangling"));
  fs::create_symlink("folder", dir.file("to-folder"));
  fs::create_symlink("fifo", dir.file("to-fifo"));
  fs::create_symlink("loop-b", dir.file("loop-a"));
  fs::create_symlink("loop-a", dir.file("loop-b"));

  EXPECT_EQ(outputTarget(dir.file("file")).path, dir.file("file"));
  EXPECT_EQ(outputTarget(dir.file("new")).path, dir.file("new"));
  EXPECT_EQ(outputTarget(dir.file("link")).path, dir.path() + "/file");
  EXPECT_EQ(outputTarget(dir.file("chain")).path, dir.path() + "/file");
  EXPECT_EQ(outputTarget(dir.file("dangling")).path, dir.file("missing"));
  for (std::string refused : {"fifo", "device", "socket", "folder", "to-folder", "to-fifo", "folder/"}) {
    OutputTarget target = outputTarget(dir.file(refused));
    EXPECT_EQ(target.error, kNotARegularFile) << refused;
  }
  EXPECT_EQ(outputTarget("").error, kNotARegularFile);
  EXPECT_EQ(outputTarget(dir.file("file/")).error, kNotARegularFile);
  EXPECT_FALSE(outputTarget(dir.file("loop-a")).error.empty());
}

TEST(ReplacementFile, TheOldFileStaysUntilCommitThenTheNewOneTakesItsPlaceAndPermissions) {
  test::TempDir dir;
  std::string path = dir.file("out.png");
  test::writeFile(path, "old");
  chmod(path.c_str(), 0640);
  {
    ReplacementFile file(path);
    ASSERT_EQ(file.error(), "");
    EXPECT_EQ(fs::path(file.temporaryPath()).parent_path(), dir.path());
    EXPECT_FALSE(file.write("new content"));
    EXPECT_EQ(test::readFile(path), "old");
    EXPECT_FALSE(file.commit());
  }
  EXPECT_EQ(test::readFile(path), "new content");
  EXPECT_EQ(fs::status(path).permissions(), fs::perms(0640));
  EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"out.png"});

  // Not committed: the temporary file goes, the old file stays.
  {
    ReplacementFile file(path);
    file.write("abandoned");
  }
  EXPECT_EQ(test::readFile(path), "new content");
  EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"out.png"});
}

TEST(ReplacementFile, LinksAreWrittenThroughAndSpecialFilesAreNeverTouched) {
  test::TempDir dir;
  makeSpecialFiles(dir);
  fs::create_directory(dir.file("real"));
  test::writeFile(dir.file("real/target"), "old");
  fs::create_symlink("real/target", dir.file("link"));
  EXPECT_FALSE(replaceFile(dir.file("link"), "new"));
  EXPECT_TRUE(fs::is_symlink(dir.file("link")));
  EXPECT_EQ(test::readFile(dir.file("real/target")), "new");
  EXPECT_EQ(namesIn(dir.file("real")), std::vector<std::string>{"target"});

  auto before = namesIn(dir.path());
  for (std::string special : {"fifo", "device", "socket", "folder"}) {
    struct stat old {};
    lstat(dir.file(special).c_str(), &old);
    EXPECT_EQ(replaceFile(dir.file(special), "x"), std::string(kNotARegularFile)) << special;
    struct stat now {};
    lstat(dir.file(special).c_str(), &now);
    EXPECT_EQ(old.st_ino, now.st_ino) << special;
    EXPECT_EQ(old.st_mode, now.st_mode) << special;
  }
  EXPECT_EQ(namesIn(dir.path()), before);
  EXPECT_EQ(replaceFile(dir.file("nowhere/x"), "x"), std::string(std::strerror(ENOENT)));
}

TEST(ReplacementFile, SomethingPutAtThePathMeanwhileIsNotReplaced) {
  test::TempDir dir;
  std::string path = dir.file("out.mp4");
  ReplacementFile file(path);
  ASSERT_EQ(file.error(), "");
  file.write("movie");
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  EXPECT_EQ(file.commit(), std::string(kNotARegularFile));
  EXPECT_TRUE(fs::is_fifo(path));
  EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"out.mp4"});
}

TEST(ReplacementFile, ASignalWhileWritingLeavesTheOldFileAndNoTemporaryFile) {
  test::TempDir dir;
  std::string path = dir.file("out.png");
  test::writeFile(path, "old");
  pid_t pid = fork();
  if (pid == 0) {
    ReplacementFile file(path);
    file.write("half");
    raise(SIGTERM);
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
  EXPECT_EQ(test::readFile(path), "old");
  EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"out.png"});
}

TEST(SameFile, LinksAndHardLinksNameTheSameFile) {
  test::TempDir dir;
  test::writeFile(dir.file("a"), "a");
  test::writeFile(dir.file("b"), "a");
  fs::create_symlink("a", dir.file("soft"));
  fs::create_hard_link(dir.file("a"), dir.file("hard"));
  EXPECT_TRUE(sameFile(dir.file("a"), dir.file("soft")));
  EXPECT_TRUE(sameFile(dir.file("hard"), dir.file("soft")));
  EXPECT_FALSE(sameFile(dir.file("a"), dir.file("b")));
  EXPECT_FALSE(sameFile(dir.file("a"), dir.file("missing")));
}

}  // namespace
}  // namespace kov
