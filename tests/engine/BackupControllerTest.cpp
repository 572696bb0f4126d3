// The command controller and the operation frame: scheduling rules, the
// callbacks and their threads, suspension counting, cancellation, phases,
// messages, results and the network-error question.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <regex>
#include <string>
#include <thread>

#include "engine/BackupCommandOperation.h"
#include "engine/BackupController.h"
#include "engine/BackupInfoOperation.h"
#include "engine/EngineTestSupport.h"
#include "engine/NetworkError.h"
#include "engine/RemoteBackupOperation.h"
#include "foundation/InternalInconsistency.h"
#include "foundation/OperationQueue.h"
#include "support/TestSupport.h"

namespace quorvel {
namespace {

using test::RecordingDelegate;
using test::RunMainLoopUntil;
using test::TempDir;
using test::Texts;

// A gate that a command body waits at until the test opens it.
class Gate {
 public:
  void open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    condition_.notify_all();
  }
  void wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    condition_.wait(lock, [this] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable condition_;
  bool open_ = false;
};

class ScriptedOperation;
using Body = std::function<std::optional<Dictionary>(ScriptedOperation&)>;

// A controller whose performBackup runs a body the test supplies.
class ScriptedController : public RemoteBackupController {
 public:
  static std::shared_ptr<ScriptedController> make() {
    return std::shared_ptr<ScriptedController>(new ScriptedController());
  }
  const BackupOperationClass* backupOperationClassForCommand(int command) const override;

  Body body;
  bool requiresSource = false;
  std::atomic<int> bodyRuns{0};
};

class ScriptedOperation : public BackupCommandOperation {
 public:
  static const BackupOperationClass& Class() {
    static const BackupOperationClass cls = {
        "ScriptedOperation", &BackupCommandOperation::Class(),
        [](const std::shared_ptr<BackupController>& controller, int command,
           const Dictionary& arguments) -> std::shared_ptr<BackupCommandOperation> {
          return std::make_shared<ScriptedOperation>(controller, command, arguments);
        }};
    return cls;
  }
  using BackupCommandOperation::BackupCommandOperation;

  ScriptedController& scripted() const { return static_cast<ScriptedController&>(*controller()); }
  bool requiresSourceForCommand(int) const override { return scripted().requiresSource; }
  bool requiresDestinationForCommand(int) const override { return false; }
  std::optional<Dictionary> performCommand(int, const Dictionary&, const std::string&,
                                           const std::shared_ptr<const Url>&) override {
    ++scripted().bodyRuns;
    if (!scripted().body) return Dictionary();
    return scripted().body(*this);
  }
};

const BackupOperationClass* ScriptedController::backupOperationClassForCommand(int command) const {
  if (command == BackupCommandPerformBackup) return &ScriptedOperation::Class();
  return RemoteBackupController::backupOperationClassForCommand(command);
}

// A controller of the abstract encrypted class that adds no operations.
class BareEncryptedController : public EncryptedBackupController {
 public:
  static std::shared_ptr<BareEncryptedController> make() {
    return std::shared_ptr<BareEncryptedController>(new BareEncryptedController());
  }
};

// A class object that does not descend from BackupCommandOperation.
const BackupOperationClass kForeignClass = {"ForeignOperation", nullptr, nullptr};

class ForeignController : public RemoteBackupController {
 public:
  static std::shared_ptr<ForeignController> make() { return std::shared_ptr<ForeignController>(new ForeignController()); }
  const BackupOperationClass* backupOperationClassForCommand(int command) const override { return &kForeignClass; }
};

template <typename Function>
std::string RaisedText(Function function) {
  try {
    function();
  } catch (const InternalInconsistency& error) {
    return error.what();
  }
  return "(nothing raised)";
}

class ControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    controller = ScriptedController::make();
    controller->setDelegate(&delegate);
  }
  void TearDown() override {
    if (controller->currentCommand() != 0) {
      controller->cancel();
      RunMainLoopUntil([&] { return controller->currentCommand() == 0; });
    }
    controller->setDelegate(nullptr);
  }
  void start(Dictionary arguments = {}) { controller->startCommandAsynchronously(BackupCommandPerformBackup, arguments); }
  bool finish() { return RunMainLoopUntil([&] { return delegate.finished(); }); }
  Dictionary results() {
    auto event = delegate.first("didFinish");
    return event && event->results ? *event->results : Dictionary();
  }

  RecordingDelegate delegate;
  std::shared_ptr<ScriptedController> controller;
};

// ---------------------------------------------------------------------------

TEST(CommandNames, NamesOneToEightAndNothingElse) {
  const char* names[] = {"checkSource", "checkDestination", "pruneDestination", "testBackup",
                         "performBackup", "verifyBackup", "restoreBackup", "deleteBackup"};
  for (int command = 1; command <= 8; ++command) {
    EXPECT_EQ(BackupController::nameForCommand(command), std::optional<std::string>(names[command - 1]));
  }
  EXPECT_FALSE(BackupController::nameForCommand(0));
  EXPECT_FALSE(BackupController::nameForCommand(9));
  EXPECT_FALSE(BackupController::nameForCommand(-1));
  EXPECT_FALSE(BackupController::nameForCommand(INT32_MIN));
}

TEST(ControllerClasses, AbstractClassesRefuseInstances) {
  EXPECT_EQ(RaisedText([] { BackupController::create(); }), "BackupController is an abstract class");
  EXPECT_EQ(RaisedText([] { EncryptedBackupController::create(); }), "EncryptedBackupController is an abstract class");
  auto controller = RemoteBackupController::create();
  EXPECT_EQ(RaisedText([&] { BackupCommandOperation::Class().create(controller, 1, {}); }),
            "BackupCommandOperation is an abstract class");
}

TEST(ControllerClasses, OperationClassesByCommand) {
  auto controller = RemoteBackupController::create();
  EXPECT_EQ(controller->backupOperationClassForCommand(1), &BackupInfoOperation::Class());
  for (int command = 2; command <= 8; ++command) {
    EXPECT_EQ(controller->backupOperationClassForCommand(command), &RemoteBackupOperation::Class());
  }
  EXPECT_EQ(controller->backupOperationClassForCommand(0), nullptr);
  EXPECT_EQ(controller->backupOperationClassForCommand(9), nullptr);
  auto bare = BareEncryptedController::make();
  EXPECT_EQ(bare->backupOperationClassForCommand(1), &BackupInfoOperation::Class());
  EXPECT_EQ(bare->backupOperationClassForCommand(5), nullptr);
}

TEST(ControllerClasses, EncryptionPasswordStoresNothingForEmptyText) {
  auto controller = RemoteBackupController::create();
  controller->setEncryptionPassword(std::string("secret"));
  EXPECT_EQ(controller->encryptionPassword(), std::optional<std::string>("secret"));
  controller->setEncryptionPassword(std::string());
  EXPECT_FALSE(controller->encryptionPassword());
  controller->setEncryptionPassword(std::string("again"));
  controller->setEncryptionPassword(std::nullopt);
  EXPECT_FALSE(controller->encryptionPassword());
}

TEST(Scheduling, InvalidCommandsAndClassesRaiseAndLeaveTheControllerIdle) {
  auto controller = RemoteBackupController::create();
  RecordingDelegate delegate;
  controller->setDelegate(&delegate);
  EXPECT_EQ(RaisedText([&] { controller->startCommandAsynchronously(0, {}); }), "Invalid command for BackupController");
  EXPECT_EQ(RaisedText([&] { controller->startCommandAsynchronously(9, {}); }), "Invalid command for BackupController");
  EXPECT_EQ(RaisedText([&] { controller->startCommandAsynchronously(-3, {}); }),
            "Invalid command for BackupController");

  auto bare = BareEncryptedController::make();
  bare->setDelegate(&delegate);
  EXPECT_EQ(RaisedText([&] { bare->startCommandAsynchronously(BackupCommandPerformBackup, {}); }),
            "Invalid subclass of BackupCommandOperation");
  auto foreign = ForeignController::make();
  foreign->setDelegate(&delegate);
  EXPECT_EQ(RaisedText([&] { foreign->startCommandAsynchronously(BackupCommandCheckSource, {}); }),
            "Invalid subclass of BackupCommandOperation");

  EXPECT_EQ(controller->currentCommand(), 0);
  EXPECT_EQ(bare->currentCommand(), 0);
  EXPECT_EQ(foreign->currentCommand(), 0);
  EXPECT_TRUE(delegate.events().empty());
  controller->setDelegate(nullptr);
  bare->setDelegate(nullptr);
  foreign->setDelegate(nullptr);
}

TEST_F(ControllerTest, CallbacksArriveOnTheMainThreadInOrder) {
  TempDir source;
  controller->requiresSource = true;
  controller->setSourceDirectoryPath(source.path() + "/./");
  controller->body = [](ScriptedOperation& operation) -> std::optional<Dictionary> {
    operation.willBeginPhaseWithType("scanSource", 0);
    operation.didUpdatePhaseWithType("scanSource", 0, 50, 100);
    operation.didEndPhaseWithType("scanSource", 0);
    operation.logErrorMessage("Failed scanning source directory \"%@\"", std::string("x"));
    Dictionary result;
    result.set("answer", 42);
    return result;
  };
  Dictionary arguments;
  arguments.set("token", "abc");
  start(arguments);
  // willStart comes inside scheduling, before anything else.
  ASSERT_EQ(delegate.names(), std::vector<std::string>{"willStart"});
  ASSERT_TRUE(finish());

  std::vector<std::string> expected = {"willStart",  "didStart",    "beginPhase", "beginPhase", "updatePhase",
                                       "endPhase",   "error",       "endPhase",   "didFinish"};
  EXPECT_EQ(delegate.names(), expected);
  for (const auto& event : delegate.events()) EXPECT_TRUE(event.onMainThread) << event.name;
  auto events = delegate.events();
  EXPECT_EQ(events[0].command, BackupCommandPerformBackup);
  EXPECT_EQ(events[1].command, BackupCommandPerformBackup);
  EXPECT_EQ(events[2].text, "__main__");
  EXPECT_EQ(events[3].text, "scanSource");
  EXPECT_EQ(events[4].current, 50u);
  EXPECT_EQ(events[4].max, 100u);
  EXPECT_NEAR(events[4].timestamp, Date::now().timeIntervalSinceReferenceDate(), 60.0);
  EXPECT_EQ(events[6].text, "Failed scanning source directory \"x\"");
  EXPECT_EQ(events[7].text, "__main__");

  const test::DelegateEvent& finished = events[8];
  EXPECT_EQ(finished.command, BackupCommandPerformBackup);
  ASSERT_TRUE(finished.results);
  EXPECT_EQ(finished.arguments.get("token").asString(), "abc");
  const Dictionary& results = *finished.results;
  EXPECT_TRUE(results.get("success").asBool());
  EXPECT_EQ(results.get("answer").asInt(), 42);
  EXPECT_TRUE(results.get("startDate").isDate());
  EXPECT_GE(results.get("duration").asDouble(), 0.0);
  EXPECT_EQ(Texts(results.get("errorMessages")), std::vector<std::string>{"Failed scanning source directory \"x\""});
  EXPECT_EQ(controller->currentCommand(), 0);
  EXPECT_FALSE(controller->isRunning());
}

TEST_F(ControllerTest, SchedulingWhileBusyRaisesAndLeavesTheRunningCommandAlone) {
  Gate gate;
  std::atomic<bool> entered{false};
  controller->body = [&](ScriptedOperation&) -> std::optional<Dictionary> {
    entered = true;
    gate.wait();
    return Dictionary();
  };
  start();
  ASSERT_TRUE(RunMainLoopUntil([&] { return entered.load() && delegate.has("didStart"); }));
  EXPECT_TRUE(controller->isRunning());
  EXPECT_EQ(RaisedText([&] { start(); }), "BackupController is already running a command");
  EXPECT_EQ(RaisedText([&] { controller->startCommandAsynchronously(BackupCommandCheckSource, {}); }),
            "BackupController is already running a command");
  EXPECT_EQ(controller->currentCommand(), BackupCommandPerformBackup);
  EXPECT_TRUE(controller->isRunning());
  gate.open();
  ASSERT_TRUE(finish());
  EXPECT_TRUE(results().get("success").asBool());
  EXPECT_EQ(controller->bodyRuns.load(), 1);
}

TEST_F(ControllerTest, CancellingBeforeStartFinishesWithNullResultsThenDidNotStart) {
  OperationQueue queue;
  queue.setSuspended(true);
  controller->scheduleCommand(BackupCommandPerformBackup, {}, queue);
  EXPECT_EQ(controller->currentCommand(), BackupCommandPerformBackup);
  controller->cancel();
  EXPECT_EQ(delegate.names(), (std::vector<std::string>{"willStart", "didFinish", "didNotStart"}));
  auto finished = delegate.first("didFinish");
  EXPECT_FALSE(finished->results);
  EXPECT_EQ(finished->command, BackupCommandPerformBackup);
  EXPECT_EQ(delegate.first("didNotStart")->command, BackupCommandPerformBackup);
  EXPECT_FALSE(controller->isCancelled());
  EXPECT_EQ(controller->currentCommand(), 0);

  // The cancelled operation never runs its body, and nothing more arrives.
  queue.setSuspended(false);
  queue.waitUntilAllOperationsAreDone();
  test::RunMainLoopFor(0.2);
  EXPECT_EQ(controller->bodyRuns.load(), 0);
  EXPECT_EQ(delegate.names().size(), 3u);

  // The controller takes the next command.
  delegate.clear();
  start();
  ASSERT_TRUE(finish());
  EXPECT_TRUE(results().get("success").asBool());
}

TEST_F(ControllerTest, CancellingARunningCommandLogsUserCancellation) {
  Gate gate;
  std::atomic<bool> entered{false};
  controller->body = [&](ScriptedOperation& operation) -> std::optional<Dictionary> {
    entered = true;
    gate.wait();
    if (operation.isCancelled()) return std::nullopt;
    return Dictionary();
  };
  start();
  ASSERT_TRUE(RunMainLoopUntil([&] { return entered.load(); }));
  controller->cancel();
  EXPECT_TRUE(controller->isCancelled());
  controller->cancel();  // a second cancel does nothing
  gate.open();
  ASSERT_TRUE(finish());
  EXPECT_FALSE(delegate.has("didNotStart"));
  Dictionary finished = results();
  EXPECT_FALSE(finished.get("success").asBool());
  EXPECT_EQ(Texts(finished.get("errorMessages")), std::vector<std::string>{"[User Cancellation]"});
  EXPECT_FALSE(controller->isCancelled());
}

TEST_F(ControllerTest, SuspensionNeedsOneResumePerSuspend) {
  EXPECT_EQ(RaisedText([&] { controller->resume(); }), "-[BackupController resume] called too many times");
  controller->suspend();  // idle: nothing to suspend
  EXPECT_FALSE(controller->isSuspended());

  Gate gate;
  std::atomic<bool> entered{false};
  controller->body = [&](ScriptedOperation&) -> std::optional<Dictionary> {
    entered = true;
    gate.wait();
    return Dictionary();
  };
  start();
  ASSERT_TRUE(RunMainLoopUntil([&] { return entered.load() && controller->isRunning(); }));
  controller->suspend();
  EXPECT_TRUE(controller->isSuspended());
  // No helper is active, so the controller comes to rest at once.
  EXPECT_FALSE(controller->isRunning());
  EXPECT_TRUE(delegate.has("didSuspend"));
  controller->suspend();
  controller->resume();
  EXPECT_TRUE(controller->isSuspended());
  controller->resume();
  EXPECT_FALSE(controller->isSuspended());
  EXPECT_EQ(RaisedText([&] { controller->resume(); }), "-[BackupController resume] called too many times");
  // "running" comes back only when a helper begins.
  EXPECT_FALSE(controller->isRunning());
  gate.open();
  ASSERT_TRUE(finish());
}

// Records the announcements of the five state properties.
void ObserveState(BackupController& controller, std::vector<std::string>& log) {
  for (const char* key : {"running", "currentCommand", "suspended", "cancelled", "waitingForReply"}) {
    controller.addObserver(key, kObservingOptionPrior | kObservingOptionNew, [&log](const ObservedChange& change) {
      log.push_back(change.isPrior ? "will " + change.key : "did " + change.key + "=" + change.newValue.description());
    });
  }
}

TEST_F(ControllerTest, CancelBeforeStartAnnouncesEveryStateChange) {
  std::vector<std::string> log;
  ObserveState(*controller, log);
  OperationQueue queue;
  queue.setSuspended(true);
  controller->scheduleCommand(BackupCommandPerformBackup, {}, queue);
  controller->cancel();
  EXPECT_EQ(log, (std::vector<std::string>{"will currentCommand", "did currentCommand=5", "will cancelled",
                                           "did cancelled=true", "will currentCommand", "did currentCommand=0",
                                           "will cancelled", "did cancelled=false"}));
}

TEST_F(ControllerTest, SuspensionIsAnnouncedOnlyWhenItBeginsAndEnds) {
  Gate gate;
  std::atomic<bool> entered{false};
  controller->body = [&](ScriptedOperation&) -> std::optional<Dictionary> {
    entered = true;
    gate.wait();
    return Dictionary();
  };
  start();
  ASSERT_TRUE(RunMainLoopUntil([&] { return entered.load() && controller->isRunning(); }));
  std::vector<std::string> log;
  ObserveState(*controller, log);
  controller->suspend();
  controller->suspend();
  controller->resume();
  controller->resume();
  EXPECT_EQ(log, (std::vector<std::string>{"will suspended", "did suspended=true", "will running",
                                           "did running=false", "will suspended", "did suspended=false"}));
  gate.open();
  ASSERT_TRUE(finish());
  EXPECT_EQ(log.back(), "did currentCommand=0");
}

TEST_F(ControllerTest, FinishingClearsTheSuspension) {
  Gate gate;
  std::atomic<bool> entered{false};
  controller->body = [&](ScriptedOperation&) -> std::optional<Dictionary> {
    entered = true;
    gate.wait();
    return Dictionary();
  };
  start();
  ASSERT_TRUE(RunMainLoopUntil([&] { return entered.load(); }));
  controller->suspend();
  controller->suspend();
  gate.open();
  ASSERT_TRUE(finish());
  EXPECT_FALSE(controller->isSuspended());
  EXPECT_EQ(RaisedText([&] { controller->resume(); }), "-[BackupController resume] called too many times");
}

// A helper step that waits at a gate.
class GatedHelper : public Operation {
 public:
  GatedHelper(BackupCommandOperation& owner, Gate& gate, std::atomic<int>& ran, std::atomic<int>* begun = nullptr)
      : owner_(owner), gate_(gate), ran_(ran), begun_(begun) {}
  void main() override {
    owner_.willBeginHelperOperation(*this);
    if (begun_) ++*begun_;
    gate_.wait();
    ++ran_;
    owner_.didEndHelperOperation(*this);
  }

 private:
  BackupCommandOperation& owner_;
  Gate& gate_;
  std::atomic<int>& ran_;
  std::atomic<int>* begun_;
};

// Runs the main loop until everything posted to it so far has run.
void DrainMainLoop() {
  std::atomic<bool> reached{false};
  PerformOnMainThread([&] { reached = true; });
  RunMainLoopUntil([&] { return reached.load(); });
}

TEST_F(ControllerTest, HelpersKeepTheControllerRunningUntilTheyEndAfterASuspend) {
  Gate helperGate;
  Gate bodyGate;
  std::atomic<int> helpersRan{0};
  std::atomic<int> helpersBegun{0};
  std::atomic<bool> scheduled{false};
  controller->body = [&](ScriptedOperation& operation) -> std::optional<Dictionary> {
    operation.scheduleOperation(std::make_shared<GatedHelper>(operation, helperGate, helpersRan, &helpersBegun));
    scheduled = true;
    bodyGate.wait();
    operation.scheduleOperation(std::make_shared<GatedHelper>(operation, helperGate, helpersRan));
    operation.waitUntilAllOperationsAreDone();
    return Dictionary();
  };
  start();
  ASSERT_TRUE(RunMainLoopUntil([&] { return scheduled.load() && controller->isRunning(); }));
  ASSERT_TRUE(RunMainLoopUntil([&] { return helpersBegun.load() == 1; }));
  DrainMainLoop();  // the helper's begin has arrived
  controller->suspend();
  // A helper is active: still running, no suspend reported yet.
  EXPECT_TRUE(controller->isRunning());
  EXPECT_FALSE(delegate.has("didSuspend"));
  helperGate.open();
  ASSERT_TRUE(RunMainLoopUntil([&] { return delegate.has("didSuspend"); }));
  EXPECT_FALSE(controller->isRunning());
  EXPECT_EQ(helpersRan.load(), 1);

  // The second helper waits in the suspended queue until the resume.
  bodyGate.open();
  test::RunMainLoopFor(0.3);
  EXPECT_EQ(helpersRan.load(), 1);
  controller->resume();
  ASSERT_TRUE(finish());
  EXPECT_EQ(helpersRan.load(), 2);
  EXPECT_TRUE(delegate.has("didResume"));
  EXPECT_TRUE(results().get("success").asBool());
}

TEST_F(ControllerTest, CancelDropsHelpersScheduledAfterwards) {
  Gate gate;
  std::atomic<bool> entered{false};
  std::atomic<int> helpersRan{0};
  Gate openGate;
  openGate.open();
  controller->body = [&](ScriptedOperation& operation) -> std::optional<Dictionary> {
    entered = true;
    gate.wait();
    operation.scheduleOperation(std::make_shared<GatedHelper>(operation, openGate, helpersRan));
    operation.waitUntilAllOperationsAreDone();
    return Dictionary();
  };
  start();
  ASSERT_TRUE(RunMainLoopUntil([&] { return entered.load(); }));
  controller->cancel();
  gate.open();
  ASSERT_TRUE(finish());
  EXPECT_EQ(helpersRan.load(), 0);
}

TEST_F(ControllerTest, ProgressUpdatesAreThinnedOut) {
  controller->body = [](ScriptedOperation& operation) -> std::optional<Dictionary> {
    operation.willBeginPhaseWithType("uploadFilePart", 7);
    operation.didUpdatePhaseWithType("uploadFilePart", 7, 0, 1000);     // passes: 0
    operation.didUpdatePhaseWithType("uploadFilePart", 7, 5, 1000);     // dropped: 0.5 %
    operation.didUpdatePhaseWithType("uploadFilePart", 7, 10, 1000);    // passes: 1 %
    operation.didUpdatePhaseWithType("uploadFilePart", 7, 500, 1000);   // passes
    operation.didUpdatePhaseWithType("uploadFilePart", 7, 300, 1000);   // dropped: decrease
    operation.didUpdatePhaseWithType("uploadFilePart", 7, 1000, 1000);  // passes: max
    operation.didUpdatePhaseWithType("__main__", 0, 1, 1000);           // passes: main phase
    operation.didUpdatePhaseWithType("__main__", 0, 2, 1000);           // passes: main phase
    operation.didEndPhaseWithType("uploadFilePart", 7);
    // After the end the cache starts from 0 again for the identifier.
    operation.didUpdatePhaseWithType("uploadFilePart", 7, 9, 1000);  // dropped
    operation.didUpdatePhaseWithType("uploadFilePart", 7, 20, 1000);  // passes
    return Dictionary();
  };
  start();
  ASSERT_TRUE(finish());
  std::vector<std::pair<std::string, std::uint32_t>> updates;
  for (const auto& event : delegate.events()) {
    if (event.name == "updatePhase") updates.emplace_back(event.text, event.current);
  }
  std::vector<std::pair<std::string, std::uint32_t>> expected = {
      {"uploadFilePart", 0}, {"uploadFilePart", 10}, {"uploadFilePart", 500}, {"uploadFilePart", 1000},
      {"__main__", 1},       {"__main__", 2},        {"uploadFilePart", 20}};
  EXPECT_EQ(updates, expected);
}

TEST_F(ControllerTest, OptionalCallbacksAreSkippedWhenTheDelegateDoesNotTakeThem) {
  delegate.takesOptionalCallbacks = false;
  controller->body = [](ScriptedOperation& operation) -> std::optional<Dictionary> {
    operation.willBeginPhaseWithType("scanSource", 0);
    operation.didUpdatePhaseWithType("scanSource", 0, 1, 2);
    operation.logErrorMessage("Destination URL is not defined");
    operation.didEndPhaseWithType("scanSource", 0);
    return Dictionary();
  };
  start();
  ASSERT_TRUE(finish());
  EXPECT_EQ(delegate.names(), (std::vector<std::string>{"willStart", "didStart", "didFinish"}));
  EXPECT_EQ(Texts(results().get("errorMessages")), std::vector<std::string>{"Destination URL is not defined"});
}

TEST_F(ControllerTest, UnknownMessageFormatsShowAsNotLocalized) {
  controller->body = [](ScriptedOperation& operation) -> std::optional<Dictionary> {
    operation.logErrorMessage("This format %@ is in no table", std::string("x"));
    operation.logErrorMessage("Failed deleting file \"%@\" (%s)", std::string("/a/b"), "Busy");
    return Dictionary();
  };
  start();
  ASSERT_TRUE(finish());
  EXPECT_EQ(Texts(results().get("errorMessages")),
            (std::vector<std::string>{"<NOT LOCALIZED>", "Failed deleting file \"/a/b\" (Busy)"}));
}

TEST_F(ControllerTest, ExceptionsInsideTheCommandBecomeAMessageAndAFailure) {
  controller->body = [](ScriptedOperation&) -> std::optional<Dictionary> { throw std::runtime_error("boom"); };
  start();
  ASSERT_TRUE(finish());
  Dictionary finished = results();
  EXPECT_FALSE(finished.get("success").asBool());
  EXPECT_EQ(Texts(finished.get("errorMessages")),
            std::vector<std::string>{"[Internal Error] An exception occured: boom"});
  EXPECT_TRUE(delegate.has("endPhase"));  // "__main__" still ends
}

TEST_F(ControllerTest, ResultPathsAreSortedAndFrameKeysWin) {
  controller->body = [](ScriptedOperation& operation) -> std::optional<Dictionary> {
    operation.addCopiedPath("b");
    operation.addCopiedPath("B");
    operation.addCopiedPath("a");
    operation.addSkippedPath("z/y");
    operation.addDeletedPath("gone");
    operation.addUniqueCreatedPath("new/2");
    operation.addUniqueCreatedPath("new/1");
    operation.addUniqueCreatedPath("new/2");
    operation.addUniqueCreatedPath("tmp");
    operation.removeUniqueCreatedPath("tmp");
    Dictionary scan;
    scan.set("excludedPaths", Array{Value("x2"), Value("x1")});
    scan.set("errorPaths", Array{Value("e")});
    scan.set("addedItems", Array{Value("added")});
    scan.set("removedItems", Array{Value("removed")});
    operation.addPathsFromDirectoryScannerResults(scan);
    Dictionary result;
    result.set("success", false);  // the frame's key wins
    result.set("own", "value");
    return result;
  };
  start();
  ASSERT_TRUE(finish());
  Dictionary finished = results();
  EXPECT_TRUE(finished.get("success").asBool());
  EXPECT_EQ(finished.get("own").asString(), "value");
  EXPECT_EQ(Texts(finished.get("copiedPaths")), (std::vector<std::string>{"B", "a", "b"}));
  EXPECT_EQ(Texts(finished.get("skippedPaths")), (std::vector<std::string>{"e", "z/y"}));
  EXPECT_EQ(Texts(finished.get("excludedPaths")), (std::vector<std::string>{"x1", "x2"}));
  EXPECT_EQ(Texts(finished.get("changedPaths")), (std::vector<std::string>{"added", "removed"}));
  EXPECT_EQ(Texts(finished.get("createdPaths")), (std::vector<std::string>{"new/1", "new/2"}));
  EXPECT_EQ(Texts(finished.get("deletedPaths")), (std::vector<std::string>{"gone"}));
  EXPECT_FALSE(finished.contains("errorMessages"));
}

TEST_F(ControllerTest, ScannerUserInfoRecordsTheRun) {
  TempDir source;
  controller->body = [&](ScriptedOperation& operation) -> std::optional<Dictionary> {
    auto scanner = DirectoryScanner::initWithRootDirectory(source.path(), false);
    scanner->setUserInfo(Value(Array{Value(Date(100.0))}), "backup.dates");
    operation.addCopiedPath("c");
    operation.addExcludedPath("x");
    operation.logErrorMessage("Nothing to restore");
    operation.updateDirectoryScannerUserInfo(*scanner);
    Dictionary result;
    result.set("firstUUID", scanner->userInfoForKey("quorvel.uuid"));
    operation.updateDirectoryScannerUserInfo(*scanner);
    result.set("info", Value(scanner->userInfo()));
    return result;
  };
  Dictionary userInfo;
  userInfo.set("backup.copiedPaths", "overridden");
  userInfo.set("settingsVersion", 3);
  Dictionary arguments;
  arguments.set("scannerUserInfo", userInfo);
  start(arguments);
  ASSERT_TRUE(finish());
  Dictionary finished = results();
  const Value& info = finished.get("info");
  EXPECT_EQ(info["backup.copiedPaths"].asString(), "overridden");
  EXPECT_EQ(Texts(info["backup.excludedPaths"]), std::vector<std::string>{"x"});
  EXPECT_EQ(Texts(info["backup.errorMessages"]), std::vector<std::string>{"Nothing to restore"});
  EXPECT_TRUE(info["backup.changedPaths"].isArray());
  EXPECT_TRUE(info["backup.skippedPaths"].isArray());
  EXPECT_EQ(info["settingsVersion"].asInt(), 3);
  // Without one in the arguments, the snapshot gets a UUID once and keeps it.
  const std::string uuid = info["quorvel.uuid"].asString();
  EXPECT_TRUE(std::regex_match(uuid, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")))
      << uuid;
  EXPECT_EQ(finished.get("firstUUID"), Value(uuid));
  const Array& dates = info["backup.dates"].asArray();
  ASSERT_EQ(dates.size(), 3u);
  EXPECT_EQ(dates[0].asDate(), Date(100.0));
  EXPECT_NEAR(dates[2].asDate().timeIntervalSinceNow(), 0.0, 60.0);
}

TEST_F(ControllerTest, LocalDeletionTreatsMissingItemsAsDeleted) {
  TempDir directory;
  test::WriteFile(directory / "file", "x");
  ::mkdir((directory / "full").c_str(), 0755);
  test::WriteFile(directory / "full/inner", "x");
  std::vector<bool> answers;
  controller->body = [&](ScriptedOperation& operation) -> std::optional<Dictionary> {
    answers.push_back(operation.deleteFileAtPath(directory / "file"));
    answers.push_back(operation.deleteFileAtPath(directory / "file"));
    answers.push_back(operation.deleteDirectoryAtPath(directory / "none"));
    answers.push_back(operation.deleteDirectoryAtPath(directory / "full"));
    answers.push_back(operation.deleteFileAtPath(directory / "full"));
    return Dictionary();
  };
  start();
  ASSERT_TRUE(finish());
  EXPECT_EQ(answers, (std::vector<bool>{true, true, true, false, false}));
  std::vector<std::string> messages = Texts(results().get("errorMessages"));
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0], "Failed deleting directory \"" + (directory / "full") + "\" (" + std::strerror(ENOTEMPTY) + ")");
  EXPECT_EQ(messages[1].rfind("Failed deleting file \"" + (directory / "full") + "\" (", 0), 0u);
}

TEST_F(ControllerTest, SourceThatIsAFileFailsTheSourceCheck) {
  TempDir directory;
  test::WriteFile(directory / "file", "x");
  controller->requiresSource = true;
  controller->setSourceDirectoryPath(directory / "file");
  start();
  ASSERT_TRUE(finish());
  Dictionary finished = results();
  EXPECT_FALSE(finished.get("success").asBool());
  EXPECT_EQ(Texts(finished.get("errorMessages")),
            std::vector<std::string>{"Source directory \"" + (directory / "file") + "\" is not accessible"});
  EXPECT_EQ(controller->bodyRuns.load(), 0);
  EXPECT_FALSE(delegate.has("beginPhase"));
}

TEST_F(ControllerTest, SourceWithoutSearchPermissionFailsTheSourceCheck) {
  if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind the superuser";
  TempDir directory;
  std::string source = directory / "locked";
  ::mkdir(source.c_str(), 0600);
  controller->requiresSource = true;
  controller->setSourceDirectoryPath(source);
  start();
  ASSERT_TRUE(finish());
  ::chmod(source.c_str(), 0700);
  EXPECT_EQ(Texts(results().get("errorMessages")),
            std::vector<std::string>{"Source directory \"" + source + "\" is not accessible"});
  EXPECT_EQ(controller->bodyRuns.load(), 0);
}

TEST_F(ControllerTest, NetworkErrorQuestionAnsweredYesResumes) {
  std::atomic<int> answer{-1};
  delegate.onRetryQuestion = [&](BackupController& asked) {
    EXPECT_TRUE(asked.isWaitingForReply());
    EXPECT_TRUE(asked.isSuspended());
    // While waiting with a count of 1 a plain resume is unbalanced.
    EXPECT_EQ(RaisedText([&] { asked.resume(); }), "-[BackupController resume] called too many times");
  };
  controller->body = [&](ScriptedOperation& operation) -> std::optional<Dictionary> {
    answer = operation.shouldRetryAfterNetworkError() ? 1 : 0;
    return Dictionary();
  };
  start();
  ASSERT_TRUE(RunMainLoopUntil([&] { return delegate.has("retryQuestion"); }));
  EXPECT_EQ(answer.load(), -1);
  controller->replyToShouldRetryAfterNetworkError(true);
  EXPECT_FALSE(controller->isWaitingForReply());
  EXPECT_FALSE(controller->isSuspended());
  ASSERT_TRUE(finish());
  EXPECT_EQ(answer.load(), 1);
  EXPECT_TRUE(results().get("success").asBool());
  for (const auto& event : delegate.events()) EXPECT_TRUE(event.onMainThread) << event.name;
}

TEST_F(ControllerTest, NetworkErrorQuestionAnsweredNoCancels) {
  std::atomic<int> answer{-1};
  controller->body = [&](ScriptedOperation& operation) -> std::optional<Dictionary> {
    answer = operation.shouldRetryAfterNetworkError() ? 1 : 0;
    return std::nullopt;
  };
  start();
  ASSERT_TRUE(RunMainLoopUntil([&] { return delegate.has("retryQuestion"); }));
  controller->replyToShouldRetryAfterNetworkError(false);
  EXPECT_TRUE(controller->isCancelled());
  ASSERT_TRUE(finish());
  EXPECT_EQ(answer.load(), 0);
  Dictionary finished = results();
  EXPECT_FALSE(finished.get("success").asBool());
  EXPECT_EQ(Texts(finished.get("errorMessages")), std::vector<std::string>{"[User Cancellation]"});
}

TEST_F(ControllerTest, CancellingWhileAQuestionWaitsAnswersNo) {
  std::atomic<int> answer{-1};
  controller->body = [&](ScriptedOperation& operation) -> std::optional<Dictionary> {
    answer = operation.shouldRetryAfterNetworkError() ? 1 : 0;
    return std::nullopt;
  };
  start();
  ASSERT_TRUE(RunMainLoopUntil([&] { return delegate.has("retryQuestion"); }));
  controller->cancel();
  EXPECT_FALSE(controller->isWaitingForReply());
  EXPECT_FALSE(controller->isSuspended());
  ASSERT_TRUE(finish());
  EXPECT_EQ(answer.load(), 0);
  // A late reply is ignored.
  controller->replyToShouldRetryAfterNetworkError(true);
}

TEST_F(ControllerTest, DelegateWithoutRetryQuestionsAnswersNoAtOnce) {
  delegate.takesRetryQuestions = false;
  std::atomic<int> answer{-1};
  controller->body = [&](ScriptedOperation& operation) -> std::optional<Dictionary> {
    answer = operation.shouldRetryAfterNetworkError() ? 1 : 0;
    return Dictionary();
  };
  start();
  ASSERT_TRUE(finish());
  EXPECT_EQ(answer.load(), 0);
  EXPECT_FALSE(delegate.has("retryQuestion"));
}

TEST(DestinationCommands, NeedAReachableDestinationWithABackup) {
  auto controller = RemoteBackupController::create();
  RecordingDelegate delegate;
  controller->setDelegate(&delegate);
  controller->startCommandAsynchronously(BackupCommandVerifyBackup, {});
  ASSERT_TRUE(RunMainLoopUntil([&] { return delegate.finished(); }));
  auto results = *delegate.first("didFinish")->results;
  EXPECT_FALSE(results.get("success").asBool());
  EXPECT_EQ(Texts(results.get("errorMessages")), std::vector<std::string>{"Destination URL is not defined"});

  // A file URL without a host names no destination the local client can reach.
  TempDir destination;
  controller->setDestinationURL(Url::fileURLWithPath(destination.path(), true));
  delegate.clear();
  controller->startCommandAsynchronously(BackupCommandVerifyBackup, {});
  ASSERT_TRUE(RunMainLoopUntil([&] { return delegate.finished(); }));
  results = *delegate.first("didFinish")->results;
  EXPECT_FALSE(results.get("success").asBool());
  std::vector<std::string> messages = Texts(results.get("errorMessages"));
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.back(), "Destination URL \"file://" + destination.path() + "/\" is not reachable");

  // A reachable destination without a backup has nothing to verify.
  controller->setDestinationURL(*Url::URLWithScheme("file", "localhost", destination.path()));
  delegate.clear();
  controller->startCommandAsynchronously(BackupCommandVerifyBackup, {});
  ASSERT_TRUE(RunMainLoopUntil([&] { return delegate.finished(); }));
  results = *delegate.first("didFinish")->results;
  EXPECT_FALSE(results.get("success").asBool());
  EXPECT_EQ(Texts(results.get("errorMessages")),
            std::vector<std::string>{"No backup data available at \"file://localhost" + destination.path() + "\""});
  controller->setDelegate(nullptr);
}

TEST(NetworkErrorText, DescribesDomainCodeAndExtraEntriesInOrder) {
  Dictionary info;
  info.set("Last Server Message", "550 No such file");
  info.set("NSLocalizedDescription", "repeated");
  info.set("SFTPLastError", 2);
  Error error("curl", 78, "Remote file not found", info);
  EXPECT_EQ(StringFromNetworkError(error),
            "Remote file not found {Domain = curl | Code = 78 | Last Server Message = 550 No such file | "
            "SFTPLastError = 2}");
  EXPECT_EQ(StringFromNetworkError(Error("FileTransferController", -1, "\"host\" is not reachable")),
            "\"host\" is not reachable {Domain = FileTransferController | Code = -1}");
}

}  // namespace
}  // namespace quorvel
