// The application controller with real backups on local destinations and
// the real engine, served by the test's main run loop: the one queue, the
// keep-awake count across commands, results into history; and the grouping,
// ordering and progress rules front ends show.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>

#include "app/AppController.h"
#include "app/CommandProgress.h"
#include "foundation/Keychain.h"
#include "foundation/RunLoop.h"
#include "model/Backup.h"
#include "model/platform/KeepAwake.h"
#include "support/TestSupport.h"

namespace quorvel {
namespace {

using test::TempDir;

TEST(AppControllerDisplay, GroupsByDestinationHostAndNamesByNumberValue) {
  const std::pair<const char*, const char*> before[] = {
      {"Backup 2", "Backup 10"}, {"alpha", "Beta"}, {"a9", "a10"}, {"x", "x1"}, {"File 007", "file 8"}};
  for (auto [a, b] : before) {
    EXPECT_TRUE(AppController::CompareBackupNames(a, b)) << a << " < " << b;
    EXPECT_FALSE(AppController::CompareBackupNames(b, a)) << b << " > " << a;
  }
  EXPECT_FALSE(AppController::CompareBackupNames("Same", "same"));

  TempDir home;
  setenv("QUORVEL_HOME", home.path().c_str(), 1);
  const std::pair<const char*, const char*> groups[] = {
      {"file://localhost/srv/backups", "Local"},
      {"smb://nas/share/backups", "nas"},
      {"https://bucket.s3.eu-west-1.amazonaws.com/path", "Amazon S3"},
  };
  for (auto [url, group] : groups) {
    auto backup = Backup::create();
    backup->setDestinationURL(*Url::URLWithString(url));
    EXPECT_EQ(AppController::CategoryFromBackup(*backup), group) << url;
  }
  unsetenv("QUORVEL_HOME");
}

TEST(CommandProgress, SpeedOfMeasuredPhasesTimeLeftAndPauses) {
  CommandProgress progress;
  progress.willBeginPhase("__pre__", 0, 0);
  progress.willBeginPhase("__main__", 1, 100);
  progress.willBeginPhase("uploadFileSegment", 2, 100);
  progress.willBeginPhase("scanSourceDirectory", 3, 100);
  progress.didUpdatePhase("uploadFileSegment", 2, 0, 1000000, 100.5);
  progress.didUpdatePhase("uploadFileSegment", 2, 300000, 1000000, 102.5);  // first measurement
  progress.didUpdatePhase("uploadFileSegment", 2, 500000, 1000000, 104.5);  // 200000 bytes in 2 s
  progress.didUpdatePhase("scanSourceDirectory", 3, 50, 100, 104.5);        // never measured
  EXPECT_EQ(progress.speed(105.0), 100000u);
  EXPECT_EQ(progress.speed(107.0), std::nullopt) << "a phase silent for 2 s adds nothing";

  progress.didUpdatePhase("__main__", 1, 1, 4, 110);
  EXPECT_EQ(progress.secondsLeft(120), std::nullopt) << "no estimate in the first 30 s";
  EXPECT_DOUBLE_EQ(*progress.secondsLeft(140), 120.0);  // 40 s for a quarter
  progress.pause(140);
  progress.unpause(200);
  EXPECT_DOUBLE_EQ(*progress.secondsLeft(200), 120.0) << "suspended time does not count";
  progress.didEndPhase("uploadFileSegment", 2);
  EXPECT_EQ(progress.speed(104.6), std::nullopt);

  const std::pair<double, const char*> durations[] = {
      {20, "less than a minute"}, {61, "about 2 min"}, {3599, "about 60 min"}, {3600 + 22 * 60, "about 1 h 20 min"}};
  for (auto [seconds, text] : durations) EXPECT_EQ(CommandProgress::ApproximateDuration(seconds), text) << seconds;
}

class AppControllerRun : public ::testing::Test {
 protected:
  void SetUp() override {
    RunLoop::setMainThread();
    setenv("QUORVEL_HOME", (work / "home").c_str(), 1);
    // No logind here: the keep-awake lock only counts.
    setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + (work / "no-bus")).c_str(), 1);
    keychain = std::make_unique<Keychain>(CreateFileKeychainStore(work / "Keychain"));
    Backup::setKeychain(keychain.get());
    std::filesystem::create_directories(work / "source/docs");
    test::WriteFile(work / "source/a.txt", "alpha");
    test::WriteFile(work / "source/docs/b.txt", "bravo");
  }
  void TearDown() override {
    controller.reset();
    Backup::setKeychain(nullptr);
    unsetenv("QUORVEL_HOME");
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
  }

  std::shared_ptr<Backup> Add(const std::string& name, bool lockedPassword = false, std::string destination = "") {
    if (destination.empty()) destination = work / ("dest-" + name);
    auto backup = Backup::create();
    backup->setName(name);
    backup->setSourceDirectoryPath(work / "source");
    backup->setDestinationURL(*Url::URLWithString("file://localhost" + destination));
    if (lockedPassword) {
      backup->setEncryptionPassword(std::string("secret"));
      keychain->removeGenericPasswordForService(kBackupKeychainService, backup->uuid());
    }
    EXPECT_TRUE(backup->saveToDiskIfNecessary());
    return backup;
  }

  bool Serve(const std::function<bool()>& done, double seconds = 60) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done() && std::chrono::steady_clock::now() < limit) {
      RunLoop::main().runMode(kDefaultRunLoopMode, Date(Date::now().timeIntervalSinceReferenceDate() + 0.1));
    }
    return done();
  }

  static std::size_t HistoryLength(const Backup& backup) { return backup.previousResults().size(); }

  TempDir work;
  std::unique_ptr<Keychain> keychain;
  KeepAwake keepAwake{"Quorvel Varid test", "testing"};
  std::unique_ptr<AppController> controller;
};

TEST_F(AppControllerRun, TwoCommandsHoldOneKeepAwakeRequestAndRecordTheirResults) {
  // The first one's destination lies inside its source: it is left out.
  auto a = Add("a", false, work / "source/backups"), b = Add("b");
  AppController::Options options;
  options.keepAwake = &keepAwake;
  controller = std::make_unique<AppController>(options);
  controller->applicationDidFinishLaunching();
  ASSERT_EQ(controller->allBackups().size(), 2u);
  auto first = controller->backupNamed("a"), second = controller->backupNamed("b");

  EXPECT_EQ(controller->performCommand(*first, BackupCommandPerformBackup, Dictionary()), std::nullopt);
  EXPECT_EQ(controller->performCommand(*second, BackupCommandTestBackup, Dictionary()), std::nullopt);
  EXPECT_EQ(keepAwake.count(), 1u) << "one request for both commands";
  EXPECT_NE(controller->performCommand(*first, BackupCommandVerifyBackup, Dictionary()), std::nullopt)
      << "one command per backup at a time";
  ASSERT_TRUE(Serve([&] { return !controller->isRunningCommands(); }));
  EXPECT_EQ(keepAwake.count(), 0u);
  ASSERT_EQ(HistoryLength(*first), 1u);
  EXPECT_EQ(first->previousResults().front().asDictionary().get("command").asString(), "performBackup");
  EXPECT_TRUE(first->previousResults().front().asDictionary().get("success").asBool());
  // Again, now that the destination holds the first revision.
  EXPECT_EQ(controller->performCommand(*first, BackupCommandPerformBackup, Dictionary()), std::nullopt);
  ASSERT_TRUE(Serve([&] { return !controller->isRunningCommands(); }));
  ASSERT_TRUE(first->lastBackupResults());
  EXPECT_EQ(first->lastBackupResults()->get("sourceFiles").asUInt(), 2u) << "a.txt and docs/b.txt, no backups/";
  EXPECT_EQ(HistoryLength(*second), 1u);
  EXPECT_TRUE(first->nextScheduleDate() == std::nullopt) << "no schedule, no date";
}

TEST_F(AppControllerRun, TheQueueStartsOneBackupAtATimeAndAWaitingOneKeepsItsPlace) {
  Add("first");
  Add("locked", true);
  Add("third");
  controller = std::make_unique<AppController>(AppController::Options());
  controller->applicationDidFinishLaunching();
  auto first = controller->backupNamed("first"), locked = controller->backupNamed("locked"),
       third = controller->backupNamed("third");
  controller->enqueueBackup(*first);
  controller->enqueueBackup(*locked);
  controller->enqueueBackup(*third);
  ASSERT_TRUE(Serve([&] { return controller->isPerformingBackup(*first); }, 10));
  EXPECT_FALSE(controller->isPerformingBackup(*third)) << "never two backups at once";
  ASSERT_TRUE(Serve([&] { return HistoryLength(*third) == 1; }));
  EXPECT_EQ(HistoryLength(*first), 1u);
  EXPECT_EQ(controller->queue(), std::vector<std::string>{locked->uuid()});
  const AppController::Status status = controller->status(*locked);
  EXPECT_EQ(status.state, "waiting");
  EXPECT_NE(status.waitingReason.find("encryption password is missing"), std::string::npos);
  EXPECT_NE(controller->performCommand(*locked, BackupCommandPerformBackup, Dictionary()), std::nullopt);
  Serve([] { return false; }, 0.3);
  EXPECT_EQ(HistoryLength(*locked), 0u);
}

}  // namespace
}  // namespace quorvel
