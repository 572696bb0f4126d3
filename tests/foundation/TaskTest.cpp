#include "foundation/Task.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "foundation/RunLoop.h"
#include "support/TestSupport.h"

namespace quorvel {
namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

class CountingDelegate : public TaskDelegate {
 public:
  explicit CountingDelegate(bool answer) : answer_(answer) {}
  bool shouldAbortTask(Task&) override {
    ++calls;
    threads.push_back(std::this_thread::get_id());
    return answer_;
  }
  int calls = 0;
  std::vector<std::thread::id> threads;

 private:
  bool answer_;
};

// ---------------------------------------------------------------- outputs and input

TEST(TaskOutput, CollectsStandardOutputAndStandardErrorSeparately) {
  Task task("/bin/sh", std::nullopt);
  Data output, errorOutput;
  int status = task.runWithInputData(nullptr, {"-c", "printf out; printf err >&2"}, &output, &errorOutput);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(StringFromData(output), "out");
  EXPECT_EQ(StringFromData(errorOutput), "err");
}

TEST(TaskOutput, BothStreamsFarBeyondAPipeBufferDoNotDeadlock) {
  // tee alternates between its two outputs, so the child blocks as soon as
  // either pipe is left unread.
  Task task("/bin/sh", std::nullopt);
  Data output, errorOutput;
  int status = task.runWithInputData(nullptr, {"-c", "head -c 1500000 /dev/urandom | tee /dev/stderr"}, &output,
                                     &errorOutput);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(output.size(), 1500000u);
  EXPECT_TRUE(output == errorOutput);
}

TEST(TaskOutput, LargeInputIsDeliveredWhileALargeEchoIsRead) {
  Data input(3 * 1024 * 1024);
  for (std::size_t i = 0; i < input.size(); ++i) input[i] = static_cast<std::uint8_t>(i * 7 + i / 4096);
  Task task("/bin/cat", std::nullopt);
  Data output;
  EXPECT_EQ(task.runWithInputData(&input, {}, &output, nullptr), 0);
  EXPECT_TRUE(output == input);
}

TEST(TaskOutput, EmptyInputCreatesNoPipeSoTheChildInheritsOurStandardInput) {
  char ours[4096] = {};
  ASSERT_GT(readlink("/proc/self/fd/0", ours, sizeof ours - 1), 0);
  Task task("/bin/sh", std::nullopt);
  Data empty;
  Data output;
  ASSERT_EQ(task.runWithInputData(&empty, {"-c", "readlink /proc/self/fd/0"}, &output, nullptr), 0);
  EXPECT_EQ(StringFromData(output), std::string(ours) + "\n");

  // With input, a pipe (which the child drains, so that writing cannot fail).
  Data some = DataFromString("x");
  ASSERT_EQ(task.runWithInputData(&some, {"-c", "readlink /proc/self/fd/0; cat >/dev/null"}, &output, nullptr), 0);
  EXPECT_EQ(StringFromData(output).rfind("pipe:", 0), 0u) << StringFromData(output);
}

TEST(TaskOutput, UncapturedStreamsAreInherited) {
  // With no output destination the child's output goes where ours goes: to
  // a file we point our standard output at for the duration.
  test::TempDir dir;
  fflush(stdout);
  int saved = dup(STDOUT_FILENO);
  int file = open((dir / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(file, 0);
  dup2(file, STDOUT_FILENO);
  close(file);
  Task task("/bin/echo", std::nullopt);
  int status = task.runWithInputData(nullptr, {"inherited"}, nullptr, nullptr);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(StringFromData(test::ReadFile(dir / "out")), "inherited\n");
}

TEST(TaskOutput, EnvironmentAndWorkingDirectoryAreTheGivenOnes) {
  test::TempDir dir;
  Task withEnvironment("/usr/bin/env", Task::Environment{{"ONLY", "this"}}, std::nullopt);
  EXPECT_EQ(withEnvironment.runWithArguments({}, ""), "ONLY=this\n");

  setenv("QUORVEL_TASK_TEST", "inherited", 1);
  Task inheriting("/bin/sh", std::nullopt);
  EXPECT_EQ(inheriting.runWithArguments({"-c", "printf %s \"$QUORVEL_TASK_TEST\""}, ""), "inherited");

  char resolved[4096];
  ASSERT_TRUE(realpath(dir.path().c_str(), resolved));
  Task inFolder("/bin/pwd", std::string(resolved));
  EXPECT_EQ(inFolder.runWithArguments({"-P"}, ""), std::string(resolved) + "\n");
}

TEST(TaskOutput, OutputCapacityDoesNotLimitTheOutput) {
  Task task("/bin/sh", std::nullopt);
  task.setOutputDataCapacity(4);
  EXPECT_EQ(task.outputDataCapacity(), 4u);
  Data output;
  EXPECT_EQ(task.runWithInputData(nullptr, {"-c", "printf 0123456789"}, &output, nullptr), 0);
  EXPECT_EQ(StringFromData(output), "0123456789");
}

TEST(TaskOutput, ATaskRunsAgainAndStartsEachRunFromEmptyBuffers) {
  Task task("/bin/sh", std::nullopt);
  Data output = DataFromString("stale"), errorOutput = DataFromString("stale");
  EXPECT_EQ(task.runWithInputData(nullptr, {"-c", "printf one"}, &output, &errorOutput), 0);
  EXPECT_EQ(StringFromData(output), "one");
  EXPECT_TRUE(errorOutput.empty());
  EXPECT_EQ(task.runWithInputData(nullptr, {"-c", "printf two"}, &output, &errorOutput), 0);
  EXPECT_EQ(StringFromData(output), "two");
}

// ---------------------------------------------------------------- failures

TEST(TaskFailure, ExitStatusOneIsReportedWithTheDescriptionOfSignalOne) {
  Task task("/bin/sh", std::nullopt);
  Data output;
  auto error = task.runWithInputData(nullptr, {"-c", "printf partial; printf why >&2; exit 1"}, &output);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, 1);
  EXPECT_EQ(error->localizedDescription, "Non-zero termination status (1 - " + *SignalDescription(1) + ")");
  EXPECT_EQ(error->localizedDescription, "Non-zero termination status (1 - Hangup)");
  EXPECT_EQ(error->localizedFailureReason, "why");
  EXPECT_EQ(StringFromData(output), "partial");  // what was read is handed out even on failure
  EXPECT_EQ(task.runWithInputData(nullptr, {"-c", "exit 1"}, nullptr, nullptr), 1);
}

TEST(TaskFailure, StatusesAboveThirtyTwoHaveNoSignalText) {
  Task task("/bin/sh", std::nullopt);
  auto error = task.runWithInputData(nullptr, {"-c", "exit 200"}, nullptr);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, 200);
  EXPECT_EQ(error->localizedDescription, "Non-zero termination status (200 - (null))");
  EXPECT_FALSE(error->localizedFailureReason);
}

TEST(TaskFailure, AMissingToolFailsWithMinusOneAndTheLaunchMessage) {
  Task task("/nonexistent/quorvel-tool", std::nullopt);
  Data output, errorOutput;
  EXPECT_EQ(task.runWithInputData(nullptr, {}, &output, &errorOutput), -1);
  auto error = task.runWithInputData(nullptr, {}, &output);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, -1);
  EXPECT_EQ(error->localizedDescription.rfind("Exception raised when launching tool: ", 0), 0u)
      << error->localizedDescription;
  EXPECT_NE(error->localizedDescription.find("/nonexistent/quorvel-tool"), std::string::npos);

  Task noTool;
  EXPECT_EQ(noTool.runWithInputData(nullptr, {}, nullptr, nullptr), -1);
  Task missingFolder("/bin/true", std::string("/nonexistent/folder"));
  EXPECT_EQ(missingFolder.runWithInputData(nullptr, {}, nullptr, nullptr), -1);
}

TEST(TaskFailure, AToolThatRefusesItsInputFailsTheWrite) {
  Data input(4 * 1024 * 1024, 'x');  // far more than a pipe holds
  Task task("/bin/true", std::nullopt);
  auto error = task.runWithInputData(&input, {}, nullptr);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, -1);
  EXPECT_EQ(error->localizedDescription, "Failed writing data to standard input pipe");
}

TEST(TaskFailure, ConveniencesAnswerNothingOnFailureOrNonUtf8Output) {
  EXPECT_EQ(Task::runWithToolPath("/bin/cat", {}, "héllo", 0), "héllo");
  EXPECT_FALSE(Task::runWithToolPath("/bin/false", {}, "", 0));
  EXPECT_FALSE(Task::runWithToolPath("/nonexistent/tool", {}, "", 0));
  EXPECT_FALSE(Task::runWithToolPath("/usr/bin/printf", {"\\377"}, "", 0));
  Task task("/bin/true", std::nullopt);
  EXPECT_FALSE(task.runWithInputData(nullptr, {}, nullptr));
}

// ---------------------------------------------------------------- stopping early

TEST(TaskAbort, WithoutADelegateTheTimeOutIsAHardLimit) {
  Task task("/bin/sleep", std::nullopt);
  task.setAbortTimeOut(2.0);
  auto start = Clock::now();
  auto error = task.runWithInputData(nullptr, {"10"}, nullptr);
  double elapsed = SecondsSince(start);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, SIGTERM);
  EXPECT_EQ(error->localizedDescription, "Non-zero termination status (15 - " + *SignalDescription(SIGTERM) + ")");
  EXPECT_GE(elapsed, 1.9);
  EXPECT_LT(elapsed, 8.0);
}

TEST(TaskAbort, ADelegateThatSaysNoLetsTheToolFinishAndIsAskedTwiceASecond) {
  CountingDelegate delegate(false);
  Task task("/bin/sleep", std::nullopt);
  task.setDelegate(&delegate);
  task.setAbortTimeOut(0.5);
  auto start = Clock::now();
  EXPECT_EQ(task.runWithInputData(nullptr, {"3"}, nullptr, nullptr), 0);
  double elapsed = SecondsSince(start);
  EXPECT_GE(elapsed, 2.9);
  // About six questions in three seconds; generous bounds for a busy machine.
  EXPECT_GE(delegate.calls, 3);
  EXPECT_LE(delegate.calls, 8);
  for (auto id : delegate.threads) EXPECT_EQ(id, std::this_thread::get_id());
}

TEST(TaskAbort, ADelegateThatSaysYesStopsTheTool) {
  CountingDelegate delegate(true);
  Task task("/bin/sleep", std::nullopt);
  task.setDelegate(&delegate);
  task.setAbortTimeOut(0.2);
  auto start = Clock::now();
  int status = task.runWithInputData(nullptr, {"30"}, nullptr, nullptr);
  EXPECT_EQ(status, SIGTERM);
  EXPECT_LT(SecondsSince(start), 10.0);
  EXPECT_GE(delegate.calls, 1);
}

TEST(TaskAbort, TheTimerIsServedByTheCallersOwnRunLoopWhichOtherSourcesShare) {
  // A timer of the caller's loop fires while the run waits in that loop.
  std::atomic<int> fired{0};
  auto timer = Timer::withTimeInterval(0.1, true, [&](Timer&) { ++fired; });
  RunLoop::current().addTimer(timer, kDefaultRunLoopMode);
  Task task("/bin/sleep", std::nullopt);
  EXPECT_EQ(task.runWithInputData(nullptr, {"1"}, nullptr, nullptr), 0);
  timer->invalidate();
  EXPECT_GE(fired.load(), 3);
}

TEST(TaskAbort, TasksOnSeveralThreadsRunAtTheSameTime) {
  std::vector<std::thread> threads;
  std::vector<std::string> outputs(4);
  auto start = Clock::now();
  for (int i = 0; i < 4; ++i)
    threads.emplace_back([i, &outputs] {
      Task task("/bin/sh", std::nullopt);
      outputs[static_cast<std::size_t>(i)] =
          task.runWithArguments({"-c", "sleep 1; cat"}, "thread " + std::to_string(i)).value_or("<failed>");
    });
  for (auto& thread : threads) thread.join();
  for (int i = 0; i < 4; ++i) EXPECT_EQ(outputs[static_cast<std::size_t>(i)], "thread " + std::to_string(i));
  EXPECT_LT(SecondsSince(start), 3.5);  // not one after the other
}

TEST(SignalDescriptionText, GivesThePlatformsTextsAndNothingForNonSignals) {
  EXPECT_EQ(SignalDescription(1), "Hangup");
  EXPECT_EQ(SignalDescription(SIGKILL), "Killed");
  EXPECT_FALSE(SignalDescription(0));
  EXPECT_FALSE(SignalDescription(200));
}

}  // namespace
}  // namespace quorvel
