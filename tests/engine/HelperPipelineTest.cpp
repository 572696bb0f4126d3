// The helper-step pipeline: how many steps run at once, and what each
// result code makes the command do next (retry at the front, retry at the
// end, follow-up steps, abort).
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "engine/DestinationTestSupport.h"
#include "engine/PhaseProgress.h"
#include "engine/RemoteBackupHelperOperation.h"
#include "foundation/DataTransforms.h"
#include "foundation/InternalInconsistency.h"

namespace quorvel {
namespace {

using namespace test;

// What the recording steps of one test share.
struct StepLog {
  std::mutex mutex;
  std::condition_variable changed;
  int running = 0;
  int maxRunning = 0;
  int waitFor = 1;  // a step lingers until this many run at once (or a short while passed)
  std::vector<int> starts;
  std::map<int, int> attempts;
  // Result code for (index, attempt); 3 when not set.
  std::function<int(int, int)> script;
};

StepLog* gLog = nullptr;

class RecordingStep : public RemoteBackupHelperStep<RecordingStep> {
 public:
  using RemoteBackupHelperStep::RemoteBackupHelperStep;
  const char* className() const override { return "RecordingStep"; }

  int runWithFileTransferController(FileTransferController&) override {
    StepLog& log = *gLog;
    int attempt = 0;
    {
      std::unique_lock<std::mutex> lock(log.mutex);
      ++log.running;
      log.maxRunning = std::max(log.maxRunning, log.running);
      log.starts.push_back(static_cast<int>(index()));
      attempt = ++log.attempts[static_cast<int>(index())];
      log.changed.notify_all();
      log.changed.wait_for(lock, std::chrono::milliseconds(50), [&] { return log.running >= log.waitFor; });
    }
    int code = log.script ? log.script(static_cast<int>(index()), attempt) : HelperResultContinue;
    {
      std::lock_guard<std::mutex> lock(log.mutex);
      --log.running;
    }
    return code;
  }
};

class HelperPipeline : public ::testing::Test {
 protected:
  void SetUp() override {
    gLog = &log;
    controller = DestinationTestController::make();
    controller->setSourceDirectoryPath(source.path());
    controller->setDestinationURL(LocalURL(destination.path()));
  }
  void TearDown() override {
    controller->setDelegate(nullptr);
    gLog = nullptr;
  }

  // Runs `count` recording steps (indexes 0 ...) with the given bound; the
  // results carry "ok" (what runOperations answered) and "pending".
  Dictionary runSteps(int count, std::uint32_t bound, std::function<void(BodyOperation&)> plan = {}) {
    controller->setMaximumSimultaneousSegments(bound);
    controller->body = [this, count, plan](BodyOperation& operation) -> std::optional<Dictionary> {
      if (plan) {
        plan(operation);
      } else {
        for (int i = 0; i < count; ++i) {
          operation.addPendingOperation(std::make_shared<RecordingStep>(&operation, Value(), i, Array{}));
        }
        operation.setPhaseMax(static_cast<std::uint32_t>(count));
      }
      bool ok = operation.runOperations();
      pendingAfterRun = operation.pendingOperationCount();
      Dictionary seen{{"ok", ok},
                      {"pending", static_cast<unsigned>(operation.pendingOperationCount())},
                      {"phaseIndex", operation.phaseIndex()}};
      if (!ok) return std::nullopt;
      return seen;
    };
    return RunCommand(*controller, delegate, BackupCommandVerifyBackup);
  }

  std::vector<int> starts() {
    std::lock_guard<std::mutex> lock(log.mutex);
    return log.starts;
  }

  StepLog log;
  std::size_t pendingAfterRun = 0;
  TempDir source;
  TempDir destination;
  RecordingDelegate delegate;
  std::shared_ptr<DestinationTestController> controller;
};

TEST_F(HelperPipeline, BoundOfFourKeepsAtMostFourStepsRunningAndRunsThemAll) {
  log.waitFor = 4;
  Dictionary results = runSteps(100, 4);
  EXPECT_TRUE(results.get(kSuccessResult).asBool()) << JoinedMessages(results);
  EXPECT_EQ(results.get("phaseIndex").asInt(), 100);
  std::vector<int> started = starts();
  ASSERT_EQ(started.size(), 100u);
  std::sort(started.begin(), started.end());
  for (int i = 0; i < 100; ++i) EXPECT_EQ(started[i], i);
  EXPECT_LE(log.maxRunning, 4);
  EXPECT_GE(log.maxRunning, 2);
  // "__main__" counts the steps done and ends with zeros.
  bool sawAll = false;
  std::optional<DelegateEvent> last;
  for (const auto& event : delegate.events()) {
    if (event.name != "updatePhase" || event.text != kPhaseMain) continue;
    sawAll |= event.current == 100 && event.max == 100;
    last = event;
  }
  EXPECT_TRUE(sawAll);
  ASSERT_TRUE(last);
  EXPECT_EQ(last->current, 0u);
  EXPECT_EQ(last->max, 0u);
}

TEST_F(HelperPipeline, BoundOfZeroRunsOneStepAtATimeInOrder) {
  log.waitFor = 2;  // would linger if a second step ever ran alongside
  Dictionary results = runSteps(8, 0);
  EXPECT_TRUE(results.get(kSuccessResult).asBool());
  EXPECT_EQ(log.maxRunning, 1);
  EXPECT_EQ(starts(), (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7}));
}

TEST_F(HelperPipeline, NetworkFailureAnsweredWithRetryRerunsTheStepBeforeAnyOther) {
  log.script = [](int index, int attempt) { return index == 2 && attempt == 1 ? HelperResultNetworkFailure : 3; };
  int questions = 0;
  delegate.onRetryQuestion = [&](BackupController& asked) {
    ++questions;
    asked.replyToShouldRetryAfterNetworkError(true);
  };
  Dictionary results = runSteps(6, 1);
  EXPECT_TRUE(results.get(kSuccessResult).asBool()) << JoinedMessages(results);
  EXPECT_EQ(questions, 1);
  EXPECT_EQ(starts(), (std::vector<int>{0, 1, 2, 2, 3, 4, 5}));
}

TEST_F(HelperPipeline, NetworkFailureAnsweredNoFailsTheCommand) {
  log.script = [](int index, int) { return index == 2 ? HelperResultNetworkFailure : 3; };
  delegate.onRetryQuestion = [](BackupController& asked) { asked.replyToShouldRetryAfterNetworkError(false); };
  Dictionary results = runSteps(6, 1);
  EXPECT_FALSE(results.get(kSuccessResult).asBool());
  EXPECT_EQ(starts(), (std::vector<int>{0, 1, 2}));
}

TEST_F(HelperPipeline, AbortWithBoundOneStopsSchedulingAndFailsTheCommand) {
  log.script = [](int index, int) { return index == 1 ? HelperResultAbort : 3; };
  Dictionary results = runSteps(5, 1);
  EXPECT_FALSE(results.get(kSuccessResult).asBool());
  EXPECT_EQ(starts(), (std::vector<int>{0, 1}));
  EXPECT_EQ(pendingAfterRun, 3u);
}

TEST_F(HelperPipeline, AbortLetsTheOtherLanesDrainThePendingSteps) {
  log.script = [](int index, int) { return index == 0 ? HelperResultAbort : 3; };
  Dictionary results = runSteps(6, 2);
  EXPECT_FALSE(results.get(kSuccessResult).asBool());
  std::vector<int> started = starts();
  std::sort(started.begin(), started.end());
  EXPECT_EQ(started, (std::vector<int>{0, 1, 2, 3, 4, 5}));
}

TEST_F(HelperPipeline, RetryLaterRunsTheStepAgainAtTheEnd) {
  log.script = [](int index, int attempt) { return index == 1 && attempt == 1 ? HelperResultRetry : 3; };
  Dictionary results = runSteps(4, 1);
  EXPECT_TRUE(results.get(kSuccessResult).asBool());
  EXPECT_EQ(starts(), (std::vector<int>{0, 1, 2, 3, 1}));
}

TEST_F(HelperPipeline, FollowUpStepsRunRightAfterTheirStepAndDoneEndsAChain) {
  // 0 -> 10 -> 11 continue; 1 answers "done", so 20 never runs; then 2.
  log.script = [](int index, int) { return index == 1 ? HelperResultDone : 3; };
  Dictionary results = runSteps(0, 1, [](BodyOperation& operation) {
    auto first = std::make_shared<RecordingStep>(&operation, Value(), 0, Array{});
    auto second = std::make_shared<RecordingStep>(&operation, Value(), 10, Array{});
    second->setNextOperation(std::make_shared<RecordingStep>(&operation, Value(), 11, Array{}));
    first->setNextOperation(second);
    auto done = std::make_shared<RecordingStep>(&operation, Value(), 1, Array{});
    done->setNextOperation(std::make_shared<RecordingStep>(&operation, Value(), 20, Array{}));
    operation.addPendingOperation(first);
    operation.addPendingOperation(done);
    operation.addPendingOperation(std::make_shared<RecordingStep>(&operation, Value(), 2, Array{}));
    operation.setPhaseMax(5);
  });
  EXPECT_TRUE(results.get(kSuccessResult).asBool());
  EXPECT_EQ(starts(), (std::vector<int>{0, 10, 11, 1, 2}));
  EXPECT_EQ(results.get("phaseIndex").asInt(), 5);
}

TEST_F(HelperPipeline, UnexpectedCodesRaise) {
  controller->body = [](BodyOperation& operation) -> std::optional<Dictionary> {
    RecordingStep step(&operation, Value(), 7, Array{});
    EXPECT_EQ(step.description(), "<RecordingStep - 7>");
    operation.helperOperationDidBegin(step);
    EXPECT_THROW(operation.helperOperationDidEnd(step, 4), InternalInconsistency);
    operation.helperOperationDidBegin(step);
    EXPECT_THROW(operation.helperOperationDidEnd(step, -3), InternalInconsistency);
    // Only part steps may ask for the whole file again.
    operation.helperOperationDidBegin(step);
    EXPECT_THROW(operation.helperOperationDidEnd(step, HelperResultRestartFile), InternalInconsistency);
    return Dictionary();
  };
  Dictionary results = RunCommand(*controller, delegate, BackupCommandVerifyBackup);
  EXPECT_TRUE(results.get(kSuccessResult).asBool());
}

TEST(ArchiveSlotLimit, HundredThousandSlotsThenTheLimit) {
  ArchiveSlots slots;
  ArchiveSlotPtr first = slots.nextSlot();
  first->put(Data{1, 2, 3});
  EXPECT_EQ(*first->data(), (Data{1, 2, 3}));
  for (std::size_t i = 1; i < ArchiveSlots::kMaximumArchiveSlots; ++i) slots.nextSlot();
  try {
    slots.nextSlot();
    ADD_FAILURE() << "no exception";
  } catch (const InternalInconsistency& error) {
    EXPECT_STREQ(error.what(), "Maximum number of results reached");
  }
  slots.releaseAll();
  EXPECT_TRUE(first->isEmpty());
  first->put(Data{4});
  EXPECT_EQ(first->take(), std::optional<Data>(Data{4}));
  EXPECT_FALSE(first->take());
}


// The digest the parts of a file take as they read it: whole only when the
// parts covered the file in order (a part read again counts once).
TEST(RunningFileDigest, CoversTheFileOnlyWhenThePartsReadItInOrder) {
  const Data file = [] {
    Data bytes(1000);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
    return bytes;
  }();
  const Data whole = *DataTransforms::md5Digest(file);
  struct Read {
    std::uint64_t offset;
    std::size_t length;
  };
  struct Case {
    const char* name;
    std::vector<Read> reads;
    bool whole;
  } cases[] = {
      {"one part", {{0, 1000}}, true},
      {"three parts", {{0, 400}, {400, 400}, {800, 200}}, true},
      {"a part read again after a failure", {{0, 400}, {400, 150}, {400, 400}, {800, 200}}, true},
      {"the first part read twice", {{0, 400}, {0, 400}, {400, 600}}, true},
      {"a part left out", {{0, 400}, {800, 200}}, false},
      {"parts out of order", {{400, 400}, {0, 400}, {800, 200}}, false},
      {"not to the end", {{0, 400}, {400, 400}}, false},
  };
  for (const Case& c : cases) {
    RunningFileDigest digest;
    for (const Read& read : c.reads) {
      digest.beginPart(read.offset);
      digest.add(file.data() + read.offset, read.length);
    }
    std::optional<std::array<std::uint8_t, 16>> result = digest.digestOfFirst(file.size());
    EXPECT_EQ(result.has_value(), c.whole) << c.name;
    if (result) {
      EXPECT_EQ(Data(result->begin(), result->end()), whole) << c.name;
    }
  }
}

}  // namespace
}  // namespace quorvel
