#include "foundation/SystemLog.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

#include "support/TestSupport.h"

namespace quorvel {
namespace {

TEST(SystemLog, FormatsLinesForTheHandler) {
  SystemLogCapture capture;
  SystemLog("%s: lstat() on \"%s\" failed with error \"%s\"", "CaptureItem", "/no/such", "No such file");
  SystemLog("%s: code %i, %@ left", "Upload", -3, 12ull);
  EXPECT_EQ(capture.lines(), (std::vector<std::string>{
                                 "CaptureItem: lstat() on \"/no/such\" failed with error \"No such file\"",
                                 "Upload: code -3, 12 left"}));
  EXPECT_TRUE(capture.contains("lstat()"));
  EXPECT_FALSE(capture.contains("mkdir()"));
  capture.clear();
  EXPECT_TRUE(capture.lines().empty());
}

TEST(SystemLog, CapturesNestAndRestoreThePreviousHandler) {
  SystemLogCapture outer;
  {
    SystemLogCapture inner;
    SystemLog("inner %i", 1);
    EXPECT_TRUE(inner.contains("inner 1"));
  }
  SystemLog("outer %i", 2);
  EXPECT_EQ(outer.lines(), std::vector<std::string>{"outer 2"});
}

TEST(SystemLog, LinesFromOtherThreadsArrive) {
  SystemLogCapture capture;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 50; ++i) SystemLog("thread %i line %i", t, i);
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(capture.lines().size(), 200u);
  EXPECT_TRUE(capture.contains("thread 3 line 49"));
}

TEST(SystemLog, CopiesLinesToStandardErrorWhenAsked) {
  test::TempDir dir;
  std::string path = dir / "stderr.txt";
  int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(file, 0);
  int saved = ::dup(STDERR_FILENO);
  ::dup2(file, STDERR_FILENO);
  {
    SystemLogCapture capture;  // keeps the lines out of the real system log
    ::setenv("QUORVEL_LOG_STDERR", "1", 1);
    SystemLog("%s: visible", "First");
    ::setenv("QUORVEL_LOG_STDERR", "0", 1);
    SystemLog("%s: hidden", "Second");
    ::unsetenv("QUORVEL_LOG_STDERR");
    EXPECT_EQ(capture.lines().size(), 2u);
  }
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  ::close(file);
  std::string written = StringFromData(test::ReadFile(path));
  EXPECT_NE(written.find("First: visible\n"), std::string::npos) << written;
  EXPECT_EQ(written.find("hidden"), std::string::npos) << written;
  EXPECT_EQ(written.rfind("quorvel[", 0), 0u) << written;
}

}  // namespace
}  // namespace quorvel
