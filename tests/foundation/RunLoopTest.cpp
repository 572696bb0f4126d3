#include "foundation/RunLoop.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "foundation/InternalInconsistency.h"

namespace quorvel {
namespace {

constexpr char kModeA[] = "TestModeA";
constexpr char kModeB[] = "TestModeB";
constexpr char kTransferMode[] = "FileTransferActiveMode";

// Runs `mode` one source at a time until `done` holds or `seconds` pass. A
// mode without sources is retried: other threads may still be about to post.
template <typename Predicate>
bool RunUntil(RunLoop& loop, const std::string& mode, Predicate done, double seconds = 30.0) {
  Date limit = Date::now().addingTimeInterval(seconds);
  while (!done()) {
    if (Date::now() >= limit) return false;
    if (loop.runMode(mode, 0.5) == RunLoopResult::Finished) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// A pipe whose ends are closed when the test ends.
struct Pipe {
  int fds[2] = {-1, -1};
  Pipe() { EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0); }
  ~Pipe() {
    closeRead();
    closeWrite();
  }
  int readEnd() const { return fds[0]; }
  int writeEnd() const { return fds[1]; }
  void closeRead() {
    if (fds[0] >= 0) ::close(fds[0]);
    fds[0] = -1;
  }
  void closeWrite() {
    if (fds[1] >= 0) ::close(fds[1]);
    fds[1] = -1;
  }
  void write(const std::string& text) { ASSERT_EQ(::write(fds[1], text.data(), text.size()), (ssize_t)text.size()); }
};

// --- posting -----------------------------------------------------------------

TEST(RunLoopPosting, PostsFromEightThreadsArriveCompleteAndInOrderPerThreadOnTheMainLoop) {
  ASSERT_TRUE(RunLoop::isMainThread());
  RunLoop& loop = RunLoop::current();
  ASSERT_EQ(&loop, &RunLoop::main());

  constexpr int kThreads = 8;
  constexpr int kPostsPerThread = 1250;  // 10,000 in all
  std::vector<std::vector<int>> received(kThreads);  // touched only on the main thread
  int total = 0;
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([&, t] {
      for (int i = 0; i < kPostsPerThread; ++i) {
        EXPECT_TRUE(PerformOnMainThread([&, t, i] {
          EXPECT_TRUE(RunLoop::isMainThread());
          received[t].push_back(i);
          ++total;
        }));
      }
    });
  }
  bool complete = RunUntil(loop, kDefaultRunLoopMode, [&] { return total == kThreads * kPostsPerThread; }, 120.0);
  for (auto& poster : posters) poster.join();
  ASSERT_TRUE(complete) << "delivered " << total;
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(received[t].size(), static_cast<std::size_t>(kPostsPerThread));
    for (int i = 0; i < kPostsPerThread; ++i) ASSERT_EQ(received[t][i], i) << "thread " << t;
  }
  EXPECT_EQ(loop.runMode(kDefaultRunLoopMode, 0.0), RunLoopResult::Finished);
}

TEST(RunLoopPosting, FunctionPostedToAPrivateModeWaitsForThatMode) {
  RunLoop& loop = RunLoop::current();
  std::vector<std::string> order;
  loop.perform([&] { order.push_back("private"); }, {kTransferMode});
  loop.perform([&] { order.push_back("common"); });
  EXPECT_EQ(loop.runMode(kDefaultRunLoopMode, 5.0), RunLoopResult::HandledSource);
  EXPECT_EQ(order, std::vector<std::string>{"common"});
  // The private post does not keep the default mode alive.
  EXPECT_EQ(loop.runMode(kDefaultRunLoopMode, 5.0), RunLoopResult::Finished);
  EXPECT_EQ(loop.runMode(kTransferMode, 5.0), RunLoopResult::HandledSource);
  EXPECT_EQ(order, (std::vector<std::string>{"common", "private"}));
}

TEST(RunLoopPosting, PostFromAnotherThreadWakesAWaitingLoop) {
  RunLoop& loop = RunLoop::current();
  // A far timer keeps the mode from being empty while the loop waits.
  auto far = Timer::withTimeInterval(3600, false, [](Timer&) {});
  loop.addTimer(far, kDefaultRunLoopMode);
  bool ran = false;
  std::thread poster([&] {
    while (!loop.isRunning()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    loop.perform([&] { ran = true; });
  });
  Date start = Date::now();
  EXPECT_EQ(loop.runMode(kDefaultRunLoopMode, 60.0), RunLoopResult::HandledSource);
  poster.join();
  EXPECT_TRUE(ran);
  EXPECT_LT(Date::now().timeIntervalSinceDate(start), 30.0);
  far->invalidate();
}

TEST(RunLoopPosting, PostingToTheLoopOfAnEndedThreadFailsAndReleasesItsSources) {
  std::shared_ptr<RunLoop> loop;
  auto captured = std::make_shared<int>(7);
  std::shared_ptr<Timer> timer;
  std::thread worker([&] {
    loop = RunLoop::current().shared_from_this();
    timer = Timer::scheduled(3600, false, [captured](Timer&) {});
    loop->perform([captured] {});
  });
  worker.join();
  ASSERT_TRUE(loop);
  EXPECT_FALSE(timer->isValid());
  EXPECT_EQ(captured.use_count(), 1) << "the timer's callback and the posted function were dropped";
  EXPECT_FALSE(loop->perform([] {}));
}

// --- modes -------------------------------------------------------------------

TEST(RunLoopModes, TimerInOneModeDoesNotFireWhileTheLoopRunsAnother) {
  RunLoop& loop = RunLoop::current();
  int firedA = 0, firedB = 0;
  auto timerA = Timer::create(Date::now(), 0, false, [&](Timer&) { ++firedA; });
  auto timerB = Timer::withTimeInterval(0.2, false, [&](Timer&) { ++firedB; });
  loop.addTimer(timerA, kModeA);
  loop.addTimer(timerB, kModeB);

  EXPECT_EQ(loop.runMode(kModeB, 30.0), RunLoopResult::HandledSource);
  EXPECT_EQ(firedB, 1);
  EXPECT_EQ(firedA, 0) << "the mode A timer was due all along";
  EXPECT_EQ(loop.runMode(kModeB, 1.0), RunLoopResult::Finished);
  EXPECT_EQ(firedA, 0);

  EXPECT_EQ(loop.runMode(kModeA, 30.0), RunLoopResult::HandledSource);
  EXPECT_EQ(firedA, 1);
  EXPECT_FALSE(timerA->isValid());
  EXPECT_EQ(loop.runMode(kModeA, 1.0), RunLoopResult::Finished);
}

TEST(RunLoopModes, CommonSourceFiresInEveryCommonModeButNotInAPrivateMode) {
  RunLoop& loop = RunLoop::current();
  loop.addCommonMode(kModeA);
  Pipe pipe;
  pipe.write("x");  // stays readable: the callback does not read
  std::vector<std::string> firedIn;
  auto source = FileDescriptorSource::create(pipe.readEnd(), FileDescriptorSource::Readable,
                                             [&](FileDescriptorSource&, unsigned events) {
                                               EXPECT_TRUE(events & FileDescriptorSource::Readable);
                                               firedIn.push_back(loop.currentMode());
                                             });
  loop.addSource(source, kRunLoopCommonModes);
  EXPECT_TRUE(loop.containsSource(source, kDefaultRunLoopMode));
  EXPECT_TRUE(loop.containsSource(source, kModeA));
  EXPECT_FALSE(loop.containsSource(source, kTransferMode));

  EXPECT_EQ(loop.runMode(kDefaultRunLoopMode, 10.0), RunLoopResult::HandledSource);
  EXPECT_EQ(loop.runMode(kModeA, 10.0), RunLoopResult::HandledSource);
  // A mode that joins the common set later gets the common sources too.
  loop.addCommonMode(kModeB);
  EXPECT_EQ(loop.runMode(kModeB, 10.0), RunLoopResult::HandledSource);
  EXPECT_EQ(firedIn, (std::vector<std::string>{kDefaultRunLoopMode, kModeA, kModeB}));

  // The private mode serves only its own sources, and without any it is empty.
  EXPECT_EQ(loop.runMode(kTransferMode, 1.0), RunLoopResult::Finished);
  bool privateFired = false;
  auto privateTimer = Timer::withTimeInterval(0.05, false, [&](Timer&) { privateFired = true; });
  loop.addTimer(privateTimer, kTransferMode);
  EXPECT_EQ(loop.runMode(kTransferMode, 30.0), RunLoopResult::HandledSource);
  EXPECT_TRUE(privateFired);
  EXPECT_EQ(firedIn.size(), 3u);
  source->invalidate();
  EXPECT_EQ(loop.runMode(kDefaultRunLoopMode, 0.0), RunLoopResult::Finished);
}

TEST(RunLoopModes, SourceRemovedFromOneModeStaysInItsOthers) {
  RunLoop& loop = RunLoop::current();
  int fired = 0;
  auto timer = Timer::create(Date::now(), 0.01, true, [&](Timer&) { ++fired; });
  loop.addTimer(timer, kModeA);
  loop.addTimer(timer, kModeB);
  loop.removeTimer(timer, kModeA);
  EXPECT_EQ(loop.runMode(kModeA, 0.0), RunLoopResult::Finished);
  EXPECT_EQ(loop.runMode(kModeB, 10.0), RunLoopResult::HandledSource);
  EXPECT_EQ(fired, 1);
  loop.removeTimer(timer, kModeB);
  EXPECT_TRUE(timer->isValid()) << "taken out of every mode, not invalidated";
  EXPECT_EQ(loop.runMode(kModeB, 0.0), RunLoopResult::Finished);
  loop.addTimer(timer, kModeA);
  EXPECT_EQ(loop.runMode(kModeA, 10.0), RunLoopResult::HandledSource);
  EXPECT_EQ(fired, 2);
  timer->invalidate();
}

TEST(RunLoopModes, TheCommonSetItselfCannotBeRun) {
  EXPECT_THROW(RunLoop::current().runMode(kRunLoopCommonModes, 0.0), InternalInconsistency);
}

// --- running and stopping ------------------------------------------------------

TEST(RunLoopRunning, RunModeReportsFinishedTimedOutAndHandled) {
  RunLoop& loop = RunLoop::current();
  EXPECT_EQ(loop.runMode(kModeA, 1.0), RunLoopResult::Finished);
  auto far = Timer::withTimeInterval(3600, false, [](Timer&) {});
  loop.addTimer(far, kModeA);
  Date start = Date::now();
  EXPECT_EQ(loop.runMode(kModeA, 0.1), RunLoopResult::TimedOut);
  EXPECT_GE(Date::now().timeIntervalSinceDate(start), 0.09);
  // A limit in the past still serves what is ready.
  loop.perform([] {}, {kModeA});
  EXPECT_EQ(loop.runMode(kModeA, Date::distantPast()), RunLoopResult::HandledSource);
  EXPECT_EQ(loop.runMode(kModeA, Date::distantPast()), RunLoopResult::TimedOut);
  far->invalidate();
}

TEST(RunLoopRunning, StopFromACallbackEndsTheRun) {
  RunLoop& loop = RunLoop::current();
  int ticks = 0;
  auto timer = Timer::create(Date::now(), 0.01, true, [&](Timer&) {
    if (++ticks == 3) loop.stop();
  });
  loop.addTimer(timer, kDefaultRunLoopMode);
  loop.run();  // returns only because of stop()
  EXPECT_EQ(ticks, 3);
  timer->invalidate();
}

TEST(RunLoopRunning, StopFromAnotherThreadEndsAWaitingRun) {
  RunLoop& loop = RunLoop::current();
  auto far = Timer::withTimeInterval(3600, false, [](Timer&) {});
  loop.addTimer(far, kDefaultRunLoopMode);
  std::thread stopper([&] {
    while (!loop.isRunning()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    loop.stop();
  });
  EXPECT_EQ(loop.runMode(kDefaultRunLoopMode, 60.0), RunLoopResult::Stopped);
  stopper.join();
  far->invalidate();
}

TEST(RunLoopRunning, StopWhileNotRunningDoesNotEndTheNextRun) {
  RunLoop& loop = RunLoop::current();
  loop.stop();
  bool ran = false;
  loop.perform([&] { ran = true; });
  EXPECT_EQ(loop.runMode(kDefaultRunLoopMode, 10.0), RunLoopResult::HandledSource);
  EXPECT_TRUE(ran);
}

TEST(RunLoopRunning, RunWithoutSourcesReturnsAtOnce) {
  RunLoop& loop = RunLoop::current();
  loop.run();
  EXPECT_EQ(loop.run(kDefaultRunLoopMode, Date::now().addingTimeInterval(60)), RunLoopResult::Finished);
}

TEST(RunLoopRunning, NestedRunInAPrivateModeDoesNotRefireTheOuterTimer) {
  RunLoop& loop = RunLoop::current();
  int outer = 0, inner = 0;
  auto outerTimer = Timer::create(Date::now(), 0.001, true, [&](Timer& self) {
    ++outer;
    // What a tool runner or a transfer does: wait in its own mode.
    auto innerTimer = Timer::withTimeInterval(0.05, false, [&](Timer&) { ++inner; });
    loop.addTimer(innerTimer, kTransferMode);
    EXPECT_EQ(loop.runMode(kTransferMode, 30.0), RunLoopResult::HandledSource);
    // The outer timer is in the default mode only; a nested default run
    // must not fire it again while its callback is running.
    loop.addTimer(Timer::withTimeInterval(0.05, false, [&](Timer&) { ++inner; }), kDefaultRunLoopMode);
    EXPECT_EQ(loop.runMode(kDefaultRunLoopMode, 30.0), RunLoopResult::HandledSource);
    EXPECT_EQ(outer, 1);
    self.invalidate();
  });
  loop.addTimer(outerTimer, kDefaultRunLoopMode);
  EXPECT_EQ(loop.runMode(kDefaultRunLoopMode, 30.0), RunLoopResult::HandledSource);
  EXPECT_EQ(outer, 1);
  EXPECT_EQ(inner, 2);
  EXPECT_EQ(loop.runMode(kDefaultRunLoopMode, 0.0), RunLoopResult::Finished);
}

TEST(RunLoopRunning, ExceptionFromACallbackReachesTheCallerAndTheLoopCarriesOn) {
  RunLoop& loop = RunLoop::current();
  int ticks = 0;
  auto timer = Timer::create(Date::now(), 0.001, true, [&](Timer&) {
    if (++ticks == 1) throw std::runtime_error("callback failed");
  });
  loop.addTimer(timer, kDefaultRunLoopMode);
  EXPECT_THROW(loop.runMode(kDefaultRunLoopMode, 30.0), std::runtime_error);
  EXPECT_FALSE(loop.isRunning());
  EXPECT_TRUE(timer->isValid());
  EXPECT_EQ(loop.runMode(kDefaultRunLoopMode, 30.0), RunLoopResult::HandledSource);
  EXPECT_EQ(ticks, 2) << "the timer was not left marked as firing";
  timer->invalidate();
}

TEST(RunLoopRunning, OnlyTheOwningThreadRunsALoop) {
  RunLoop& mainLoop = RunLoop::current();
  std::thread other([&] {
    EXPECT_FALSE(RunLoop::isMainThread());
    EXPECT_NE(&RunLoop::current(), &mainLoop);
    EXPECT_THROW(mainLoop.runMode(kDefaultRunLoopMode, 0.0), InternalInconsistency);
    EXPECT_THROW(RunLoop::setMainThread(), InternalInconsistency);
  });
  other.join();
}

TEST(RunLoopRunning, ReleasingAPooledThreadsLoopGivesItAFreshOne) {
  RunLoop::current();  // this test may run alone in its process: give this thread its loop first
  std::thread worker([] {
    RunLoop* first = &RunLoop::current();
    auto keep = first->shared_from_this();
    auto timer = Timer::scheduled(3600, false, [](Timer&) {});
    RunLoop::releaseCurrent();
    EXPECT_FALSE(timer->isValid());
    EXPECT_NE(&RunLoop::current(), first);
    EXPECT_EQ(RunLoop::current().runMode(kDefaultRunLoopMode, 0.0), RunLoopResult::Finished);
  });
  worker.join();
  EXPECT_THROW(RunLoop::releaseCurrent(), InternalInconsistency);
}

// --- timers ----------------------------------------------------------------------

TEST(RunLoopTimers, OneShotTimerFiresOnceAndInvalidatesItself) {
  RunLoop& loop = RunLoop::current();
  int fired = 0;
  auto timer = Timer::scheduled(0.01, false, [&](Timer& t) {
    EXPECT_TRUE(t.isValid());
    ++fired;
  });
  EXPECT_EQ(loop.runMode(kDefaultRunLoopMode, 30.0), RunLoopResult::HandledSource);
  EXPECT_EQ(fired, 1);
  EXPECT_FALSE(timer->isValid());
  EXPECT_FALSE(loop.containsTimer(timer, kDefaultRunLoopMode));
  timer->setFireDate(Date::now());
  EXPECT_EQ(loop.runMode(kDefaultRunLoopMode, 0.1), RunLoopResult::Finished);
}

TEST(RunLoopTimers, OneShotTimerGivenANewDateInItsCallbackFiresAgain) {
  RunLoop& loop = RunLoop::current();
  int fired = 0;
  auto timer = Timer::scheduled(0.0, false, [&](Timer& t) {
    if (++fired == 1) t.setFireDate(Date::now().addingTimeInterval(0.01));
  });
  EXPECT_TRUE(RunUntil(loop, kDefaultRunLoopMode, [&] { return fired == 2; }));
  EXPECT_FALSE(timer->isValid());
}

TEST(RunLoopTimers, RepeatingTimerKeepsFiringAtItsIntervalUntilInvalidated) {
  RunLoop& loop = RunLoop::current();
  std::vector<Date> firings;
  Date start = Date::now();
  auto timer = Timer::scheduled(0.02, true, [&](Timer& t) {
    firings.push_back(Date::now());
    if (firings.size() == 5) t.invalidate();
  });
  EXPECT_TRUE(RunUntil(loop, kDefaultRunLoopMode, [&] { return !timer->isValid(); }));
  ASSERT_EQ(firings.size(), 5u);
  // Never early: firing k comes at least k intervals after the timer was made
  // (the schedule is anchored to the fire dates, not to late firings).
  for (std::size_t k = 0; k < firings.size(); ++k) {
    EXPECT_GE(firings[k].timeIntervalSinceDate(start), 0.02 * static_cast<double>(k + 1) - 0.001) << k;
  }
  EXPECT_EQ(loop.runMode(kDefaultRunLoopMode, 0.0), RunLoopResult::Finished);
}

TEST(RunLoopTimers, RepeatingTimerSkipsMissedFiringsInsteadOfBursting) {
  RunLoop& loop = RunLoop::current();
  int fired = 0;
  auto timer = Timer::create(Date::now().addingTimeInterval(-10.0), 1.0, true, [&](Timer&) { ++fired; });
  loop.addTimer(timer, kDefaultRunLoopMode);
  EXPECT_EQ(loop.runMode(kDefaultRunLoopMode, 10.0), RunLoopResult::HandledSource);
  EXPECT_EQ(fired, 1);
  EXPECT_GT(timer->fireDate(), Date::now());
  EXPECT_EQ(loop.runMode(kDefaultRunLoopMode, 0.0), RunLoopResult::TimedOut);
  EXPECT_EQ(fired, 1);
  timer->invalidate();
}

TEST(RunLoopTimers, FireDateMovedForwardFromAnotherThreadWakesTheLoop) {
  RunLoop& loop = RunLoop::current();
  bool fired = false;
  auto timer = Timer::scheduled(3600, false, [&](Timer&) { fired = true; });
  std::thread mover([&] {
    while (!loop.isRunning()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    timer->setFireDate(Date::now());
  });
  Date start = Date::now();
  EXPECT_EQ(loop.runMode(kDefaultRunLoopMode, 60.0), RunLoopResult::HandledSource);
  mover.join();
  EXPECT_TRUE(fired);
  EXPECT_LT(Date::now().timeIntervalSinceDate(start), 30.0);
}

TEST(RunLoopTimers, FireDateMovedLaterDelaysTheTimer) {
  RunLoop& loop = RunLoop::current();
  bool fired = false;
  auto timer = Timer::scheduled(0.0, false, [&](Timer&) { fired = true; });
  timer->setFireDate(Date::now().addingTimeInterval(3600));
  EXPECT_EQ(loop.runMode(kDefaultRunLoopMode, 0.1), RunLoopResult::TimedOut);
  EXPECT_FALSE(fired);
  timer->invalidate();
  EXPECT_EQ(loop.runMode(kDefaultRunLoopMode, 0.1), RunLoopResult::Finished);
}

TEST(RunLoopTimers, InvalidatingFromAnotherThreadLetsTheWaitingLoopFinish) {
  RunLoop& loop = RunLoop::current();
  auto captured = std::make_shared<int>(1);
  auto timer = Timer::scheduled(3600, false, [captured](Timer&) {});
  std::thread invalidator([&] {
    while (!loop.isRunning()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    timer->invalidate();
  });
  EXPECT_EQ(loop.runMode(kDefaultRunLoopMode, 60.0), RunLoopResult::Finished);
  invalidator.join();
  EXPECT_EQ(captured.use_count(), 1) << "invalidation drops the callback";
}

TEST(RunLoopTimers, TimerCannotJoinASecondLoop) {
  auto timer = Timer::scheduled(3600, false, [](Timer&) {});
  std::thread other([&] { EXPECT_THROW(RunLoop::current().addTimer(timer, kDefaultRunLoopMode), InternalInconsistency); });
  other.join();
  timer->invalidate();
}

// --- file descriptors --------------------------------------------------------------

TEST(RunLoopDescriptors, ReadableSourceDeliversDataWrittenByAnotherThreadAndThenTheHangUp) {
  RunLoop& loop = RunLoop::current();
  Pipe pipe;
  std::string received;
  bool ended = false;
  auto source = FileDescriptorSource::create(pipe.readEnd(), FileDescriptorSource::Readable,
                                             [&](FileDescriptorSource& s, unsigned events) {
                                               char buffer[64];
                                               ssize_t n = ::read(s.fileDescriptor(), buffer, sizeof buffer);
                                               if (n > 0) {
                                                 received.append(buffer, static_cast<std::size_t>(n));
                                               } else {
                                                 EXPECT_TRUE(events & FileDescriptorSource::HangUp);
                                                 ended = true;
                                                 s.invalidate();
                                               }
                                             });
  loop.addSource(source, kTransferMode);
  std::thread writer([&] {
    for (int i = 0; i < 20; ++i) {
      pipe.write("chunk" + std::to_string(i) + ";");
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    pipe.closeWrite();
  });
  EXPECT_TRUE(RunUntil(loop, kTransferMode, [&] { return ended; }));
  writer.join();
  std::string expected;
  for (int i = 0; i < 20; ++i) expected += "chunk" + std::to_string(i) + ";";
  EXPECT_EQ(received, expected);
  EXPECT_EQ(loop.runMode(kTransferMode, 0.0), RunLoopResult::Finished);
}

TEST(RunLoopDescriptors, WritableSourceFiresUntilItsInterestIsDropped) {
  RunLoop& loop = RunLoop::current();
  Pipe pipe;
  int writes = 0;
  auto source = FileDescriptorSource::create(pipe.writeEnd(), FileDescriptorSource::Writable,
                                             [&](FileDescriptorSource& s, unsigned events) {
                                               EXPECT_TRUE(events & FileDescriptorSource::Writable);
                                               ASSERT_EQ(::write(s.fileDescriptor(), "y", 1), 1);
                                               if (++writes == 3) s.setInterest(0);
                                             });
  loop.addSource(source, kDefaultRunLoopMode);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(loop.runMode(kDefaultRunLoopMode, 10.0), RunLoopResult::HandledSource);
  // Paused, but still added: the mode is not empty, nothing fires.
  EXPECT_EQ(loop.runMode(kDefaultRunLoopMode, 0.05), RunLoopResult::TimedOut);
  EXPECT_EQ(writes, 3);
  char buffer[8];
  EXPECT_EQ(::read(pipe.readEnd(), buffer, sizeof buffer), 3);
  source->invalidate();
}

TEST(RunLoopDescriptors, ClosedDescriptorIsReportedOnceAndItsSourceInvalidated) {
  RunLoop& loop = RunLoop::current();
  int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  unsigned seen = 0;
  int calls = 0;
  auto source = FileDescriptorSource::create(fd, FileDescriptorSource::Readable, [&](FileDescriptorSource&, unsigned events) {
    seen = events;
    ++calls;
  });
  ::close(fd);  // a mistake the loop must survive
  loop.addSource(source, kDefaultRunLoopMode);
  EXPECT_EQ(loop.runMode(kDefaultRunLoopMode, 10.0), RunLoopResult::HandledSource);
  EXPECT_TRUE(seen & FileDescriptorSource::Invalid);
  EXPECT_FALSE(source->isValid());
  EXPECT_EQ(loop.runMode(kDefaultRunLoopMode, 0.0), RunLoopResult::Finished);
  EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace quorvel
