// What finished commands leave in a backup: reports, history, last results
// and their display texts.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>

#include "engine/BackupController.h"
#include "foundation/Keychain.h"
#include "model/Backup.h"
#include "model/BackupQueue.h"
#include "snapshot/DirectoryScanner.h"
#include "support/TestSupport.h"

namespace quorvel {
namespace {

TEST(BackupDisplayTexts, SizesDurationsAndRatios) {
  const std::pair<std::uint64_t, const char*> sizes[] = {
      {0, "1 KB"}, {1023, "1 KB"}, {1024, "2 KB"}, {1048576, "1.0 MB"}, {1572864, "1.5 MB"}, {1ull << 30, "1.0 GB"}};
  for (auto [bytes, text] : sizes) EXPECT_EQ(StringFromSize(bytes), text) << bytes;
  const std::pair<double, const char*> durations[] = {
      {0.2, "1 s"}, {59.9, "59 s"}, {119, "1 min 59 s"}, {3725, "1 h 2 min"}};
  for (auto [seconds, text] : durations) EXPECT_EQ(StringFromDuration(seconds), text) << seconds;

  test::TempDir home;
  setenv("QUORVEL_HOME", home.path().c_str(), 1);
  auto backup = Backup::create();
  const struct {
    std::uint64_t source, destination;
    const char* text;
  } ratios[] = {{1000000, 600000, "3 files (586 KB), 40.0% smaller"},
                {600000, 1000000, "3 files (977 KB), 40.0% larger"},
                {600000, 600000, "3 files (586 KB)"},
                {0, 0, "3 files (1 KB)"}};
  for (const auto& r : ratios) {
    backup->setLastBackupResults(Dictionary{{"sourceSize", r.source}, {"destinationSize", r.destination},
                                            {"destinationFiles", 3}, {"duration", 3725.0}});
    EXPECT_EQ(backup->info().get("totalDestinationFiles").asString(), r.text);
    EXPECT_EQ(backup->info().get("lastDuration").asString(), "1 h 2 min");
    EXPECT_FALSE(backup->info().contains("lastFiles")) << "no files copied";
  }
  backup->setLastBackupResults(std::nullopt);
  EXPECT_FALSE(backup->info().contains("totalDestinationFiles"));
  unsetenv("QUORVEL_HOME");
}

class BackupResults : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("QUORVEL_HOME", home_.path().c_str(), 1);
    keychain_ = std::make_unique<Keychain>(CreateFileKeychainStore(home_ / "Keychain"));
    Backup::setKeychain(keychain_.get());
    backup_ = Backup::create();
    backup_->setName("r");
  }
  void TearDown() override {
    Backup::setKeychain(nullptr);
    unsetenv("QUORVEL_HOME");
  }

  // Results of a command started at `date`, with a snapshot of a small tree.
  Dictionary Results(double date, bool success, std::size_t errors = 0) {
    Array messages(errors, Value("a problem"));
    Dictionary results{{"success", success}, {"startDate", Date(date)}, {"duration", 2.0},
                       {"sourceFiles", 1}, {"copiedFiles", 1}, {"copiedSize", 10}};
    if (errors) results.set("errorMessages", std::move(messages));
    auto snapshot = DirectoryScanner::initWithRootDirectory(tree_.path(), false);
    test::WriteFile(tree_ / "file", "x");
    if (snapshot->scanRootDirectory()) results.set("directoryScanner", Value(snapshot));
    return results;
  }

  std::size_t ReportFiles() const {
    std::size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(backup_->path())) {
      if (entry.path().string().ends_with(".plist.gz")) ++count;
    }
    return count;
  }

  test::TempDir home_;
  test::TempDir tree_;
  std::unique_ptr<Keychain> keychain_;
  std::shared_ptr<Backup> backup_;
};

// The next scheduled run counts from the newest backup in the history (any
// outcome), not from other commands.
TEST_F(BackupResults, TheScheduleCountsFromTheLastBackup) {
  backup_->setScheduleInterval(3600);
  backup_->updateScheduleDate(Date(500));
  EXPECT_EQ(backup_->nextScheduleDate(), Date(4100)) << "never backed up: an interval from now";
  backup_->processResults(Results(1000, false), BackupCommandPerformBackup, false);
  backup_->processResults(Results(1500, true), BackupCommandVerifyBackup, false);
  EXPECT_EQ(backup_->lastBackupDate(), Date(1000));
  backup_->updateScheduleDate(Date(1600));
  EXPECT_EQ(backup_->nextScheduleDate(), Date(4600));
  backup_->setScheduleInterval(0);
  backup_->updateScheduleDate(Date(1600));
  EXPECT_EQ(backup_->nextScheduleDate(), std::nullopt);
}

// Whether a queued backup runs: its conditions at the moment, and never
// while its encryption password is missing (it waits).
TEST_F(BackupResults, ABackupRunsWaitsOrSkipsAsItsConditionsAndPasswordSay) {
  setenv("TZ", "UTC", 1);
  tzset();
  const Date sunday = Date::fromUnixTime(1780228800);  // 2026-05-31, 12:00 UTC
  const Date monday = sunday.addingTimeInterval(86400);
  NetworkConfiguration network;
  PowerState onBattery;
  onBattery.runningOnBattery = true;
  EXPECT_EQ(backup_->canBackupNow(sunday, network, PowerState()), BackupQueue::kRunNow);
  backup_->setSchedulePredicate(Predicate::predicateWithFormat("WEEK_DAY == '0' OR POWER_SOURCE == '1'"));
  EXPECT_EQ(backup_->canBackupNow(sunday, network, PowerState()), BackupQueue::kNotThisTime);
  EXPECT_EQ(backup_->canBackupNow(monday, network, onBattery), BackupQueue::kNotThisTime);
  EXPECT_EQ(backup_->canBackupNow(monday, network, PowerState()), BackupQueue::kRunNow);

  backup_->setEncryptionPassword(std::string("secret"));
  ASSERT_TRUE(backup_->saveToDiskIfNecessary());
  ASSERT_TRUE(keychain_->removeGenericPasswordForService(kBackupKeychainService, backup_->uuid()));
  auto loaded = Backup::loadAllBackupsFromDisk();
  ASSERT_TRUE(loaded && loaded->size() == 1);
  EXPECT_EQ(loaded->front()->canBackupNow(monday, network, PowerState()), BackupQueue::kWait);
  unsetenv("TZ");
  tzset();
}

TEST_F(BackupResults, EachCommandLeavesAReportAndAHistoryEntry) {
  EXPECT_EQ(backup_->statusImage(), "GrayDot");
  backup_->processResults(Results(1000, true), BackupCommandPerformBackup, false);
  // A second command in the same second gets a report of its own.
  backup_->processResults(Results(1000.5, true, 2), BackupCommandVerifyBackup, false);
  ASSERT_EQ(backup_->previousResults().size(), 2u);
  EXPECT_EQ(ReportFiles(), 2u);
  const Dictionary& newest = backup_->previousResults()[0].asDictionary();
  EXPECT_EQ(newest.get("command").asString(), "verifyBackup");
  EXPECT_EQ(newest.get("errorCount").asUInt(), 2u);
  EXPECT_EQ(backup_->statusImage(), "OrangeDot");
  EXPECT_NE(newest.get("fileName").asString(), backup_->previousResults()[1].asDictionary().get("fileName").asString());

  std::optional<Dictionary> report = backup_->reportForEntry(newest);
  ASSERT_TRUE(report);
  EXPECT_FALSE(report->contains("directoryScanner"));
  EXPECT_TRUE(Backup::reportText(*report).starts_with(
      "copiedFiles = 1\ncopiedSize = 10\nduration = 2\nerrorMessages = {\n\ta problem\n\ta problem\n}\nsourceFiles = 1\n"))
      << Backup::reportText(*report);

  // Only a successful backup moves the last results and the file tree.
  ASSERT_TRUE(backup_->lastBackupResults());
  EXPECT_EQ(backup_->lastBackupResults()->get("startDate").asDate().timeIntervalSinceReferenceDate(), 1000);
  ASSERT_TRUE(backup_->filesHierarchy());
  EXPECT_EQ(backup_->filesHierarchy()->children().at(0)->name(), "file");
  backup_->processResults(Results(2000, false), BackupCommandPerformBackup, false);
  EXPECT_EQ(backup_->lastBackupResults()->get("startDate").asDate().timeIntervalSinceReferenceDate(), 1000);
  EXPECT_EQ(backup_->statusImage(), "RedDot");
  backup_->processResults(Results(2100, true), BackupCommandPerformBackup, true);
  EXPECT_FALSE(backup_->previousResults()[0].asDictionary().contains("success")) << "cancelled";
  EXPECT_FALSE(backup_->hasChanges()) << "saved";

  // Reset keeping the last backup's entry, then a successful delete.
  backup_->resetPreviousResults(true);
  ASSERT_EQ(backup_->previousResults().size(), 1u);
  EXPECT_EQ(backup_->previousResults()[0].asDictionary().get("date").asDate().timeIntervalSinceReferenceDate(), 2100);
  EXPECT_EQ(ReportFiles(), 1u);
  backup_->processResults(Results(3000, true), BackupCommandDeleteBackup, false);
  ASSERT_EQ(backup_->previousResults().size(), 1u);
  EXPECT_EQ(backup_->previousResults()[0].asDictionary().get("command").asString(), "deleteBackup");
  EXPECT_FALSE(backup_->lastBackupResults());
  EXPECT_FALSE(backup_->filesHierarchy());
  EXPECT_EQ(ReportFiles(), 1u);
}

TEST_F(BackupResults, TheHistoryKeepsItsLengthAndDropsTheOldestReports) {
  for (std::size_t i = 0; i < kMaximumHistoryLength + 3; ++i) {
    backup_->processResults(Results(10000 + 10.0 * i, true), BackupCommandVerifyBackup, false);
  }
  EXPECT_EQ(backup_->previousResults().size(), kMaximumHistoryLength);
  EXPECT_EQ(ReportFiles(), kMaximumHistoryLength);
  auto loaded = Backup::loadFromFolder(backup_->path());
  ASSERT_TRUE(loaded);
  EXPECT_EQ(loaded->previousResults().size(), kMaximumHistoryLength);
  EXPECT_EQ(loaded->previousResults().back().asDictionary().get("date").asDate().timeIntervalSinceReferenceDate(),
            10030);
}

}  // namespace
}  // namespace quorvel
