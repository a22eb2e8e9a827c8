// How the process ends: exit cleanups, signal-time cleanups before the signal's own course, marked
// temporary files, writes to a reader that went away, and texts kept on one line.
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/process/process_exit.h"
#include "platform/process/visible_text.h"
#include "support/fixtures.h"

namespace kov {
namespace {

// Runs `body` in a forked child and returns how the child ended: the exit status, or 128 + signal.
template <typename Body>
int inChild(Body body) {
  pid_t pid = fork();
  if (pid == 0) {
    body();
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int gReportFd = -1;
void reportAtSignal() { (void)!write(gReportFd, "browsers ", 9); }

TEST(ProcessExit, ATerminatingSignalRunsTheCleanupsRemovesMarkedFilesAndStillEndsTheProcess) {
  test::TempDir dir;
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    std::string marked = dir.file("marked"), kept = dir.file("kept"), report = dir.file("report");
    test::writeFile(marked, "partial");
    test::writeFile(kept, "whole");
    int status = inChild([&] {
      gReportFd = open(report.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      onTerminatingSignal(reportAtSignal);
      ASSERT_GE(markTemporaryFile(marked), 0);
      raise(signal);
      (void)!write(gReportFd, "survived", 8);
    });
    EXPECT_EQ(status, 128 + signal) << "the signal keeps its default course";
    EXPECT_EQ(test::readFile(report), "browsers ");
    EXPECT_FALSE(std::filesystem::exists(marked));
    EXPECT_EQ(test::readFile(kept), "whole");
  }
}

TEST(ProcessExit, ExitRunsCleanupsNewestFirstAndRemovesOnlyFilesStillMarked) {
  test::TempDir dir;
  std::string marked = dir.file("marked"), unmarked = dir.file("unmarked"), order = dir.file("order");
  test::writeFile(marked, "partial");
  test::writeFile(unmarked, "done");
  int status = inChild([&] {
    markTemporaryFile(marked);
    unmarkTemporaryFile(markTemporaryFile(unmarked));
    int fd = open(order.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    onProcessExit([fd] { (void)!write(fd, "first ", 6); });
    onProcessExit([fd] { (void)!write(fd, "second ", 7); });
    exitProcess(3);
  });
  EXPECT_EQ(status, 3);
  EXPECT_EQ(test::readFile(order), "second first ");
  EXPECT_FALSE(std::filesystem::exists(marked));
  EXPECT_EQ(test::readFile(unmarked), "done");

  test::writeFile(marked, "partial");
  EXPECT_EQ(inChild([&] {
              markTemporaryFile(marked);
              abandonProcess(4);
            }),
            4);
  EXPECT_FALSE(std::filesystem::exists(marked));
}

TEST(ProcessExit, AReaderThatWentAwayIsAFailedWriteNotADeath) {
  int status = inChild([] {
    installTerminationHandling();
    int fds[2];
    if (pipe(fds) != 0) _exit(10);
    close(fds[0]);
    bool written = writeAll(fds[1], "report");
    _exit(!written && errno == EPIPE ? 0 : 11);
  });
  EXPECT_EQ(status, 0);
}

TEST(VisibleText, ControlCharactersAreShownAndEverythingElseKept) {
  EXPECT_EQ(visibleText("a\nb\rc\td"), "a\\nb\\rc\\td");
  EXPECT_EQ(visibleText(std::string("\x1b[31m\x7f\x01", 7) + std::string(1, '\0')), "\\x1b[31m\\x7f\\x01\\x00");
  EXPECT_EQ(visibleText("/tmp/caf\xc3\xa9 \\ x.png"), "/tmp/caf\xc3\xa9 \\ x.png");
  EXPECT_EQ(visiblePath("/a\nb"), visibleText("/a\nb"));
}

}  // namespace
}  // namespace kov
