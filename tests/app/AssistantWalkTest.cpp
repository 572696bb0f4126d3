// One backup's life through the assistant, with the real engine on a folder
// of this machine: created (new backup), backed up, re-created from its
// destination (refused while the application holds it, accepted by an
// application that does not), moved to a copy of its destination, and given
// its encryption password again after the store lost it.
#include <gtest/gtest.h>

#include <filesystem>

#include "app/AssistantTestSupport.h"
#include "app/assistant/AssistantController.h"
#include "model/DestinationURL.h"

namespace quorvel {
namespace {

using namespace quorvel::test;

constexpr const char* kPassword = "correct horse";

class AssistantWalk : public ::testing::Test {
 protected:
  AssistantWalk() {
    std::filesystem::create_directories(source_ + "/Letters");
    WriteFile(source_ + "/Letters/mother.txt", "Dear mother, ...");
    WriteFile(source_ + "/report.pdf", std::string(300000, 'r'));
    WriteFile(source_ + "/.profile", "hidden");
    std::filesystem::create_directories(destination_);
  }

  // Option 1 to its end: the backup the application then holds.
  std::shared_ptr<Backup> CreateBackup() {
    AssistantController assistant(application_, window_);
    assistant.showAtOption(kAssistantOptionNewBackup, nullptr);
    EXPECT_EQ(assistant.currentPane(), "source");
    EXPECT_TRUE(assistant.chooseSourceFolder(source_));
    EXPECT_EQ(Continue(assistant), "name");
    assistant.backup()->setName("Documents");
    EXPECT_EQ(Continue(assistant), "encryption");
    assistant.backup()->setEncryptionPassword(std::string(kPassword));
    EXPECT_EQ(Continue(assistant), "segment");
    EXPECT_EQ(Continue(assistant), "destination");
    EXPECT_EQ(assistant.backup()->maximumSegmentSize(), 1u) << "the top decile, 300 KB, is under 1 MB";
    assistant.setDestinationChoice(kDestinationChoiceFolder);
    EXPECT_TRUE(assistant.chooseLocalDestinationFolder(destination_));
    EXPECT_TRUE(assistant.isLastPane());
    assistant.nextPane();
    EXPECT_EQ(window_.closes, 1);
    return application_.backups.empty() ? nullptr : application_.backups.front();
  }

  AssistantEnvironment environment_;
  const std::string source_ = environment_.root / "Documents";
  const std::string destination_ = environment_.root / "Disk/Backups";
  TestApplication application_;
  RecordingInterface window_;
};

TEST_F(AssistantWalk, CreateRecreateMoveAndRestoreThePassword) {
  // 1: a new backup, then its first run.
  std::shared_ptr<Backup> backup = CreateBackup();
  ASSERT_TRUE(backup);
  EXPECT_EQ(application_.events, (std::vector<std::string>{"add Documents", "select Documents", "tab 0", "main window"}));
  EXPECT_EQ(backup->sourceDirectoryPath(), source_);
  EXPECT_EQ(backup->encryptionPassword(), kPassword);
  std::optional<Dictionary> results = application_.run(BackupCommandPerformBackup, backup);
  ASSERT_TRUE(results);
  ASSERT_TRUE(results->get("success").asBool()) << FormatObjectDescription(results->get("errorMessages"));
  ASSERT_TRUE(backup->lastBackupResults());

  // 3, while the application holds the backup: refused, and the assistant closes.
  {
    AssistantController assistant(application_, window_);
    assistant.showAtOption(kAssistantOptionRecreateBackup, nullptr);
    ASSERT_EQ(assistant.currentPane(), "destination");
    assistant.setDestinationChoice(kDestinationChoiceFolder);
    ASSERT_TRUE(assistant.chooseLocalDestinationFolder(destination_));
    ASSERT_EQ(Continue(assistant), "password");
    assistant.setPassword(kPassword);
    window_.alerts.clear();
    const int closes = window_.closes;
    Continue(assistant);
    EXPECT_EQ(window_.alertTitles(), "This backup is set up already");
    EXPECT_EQ(window_.closes, closes + 1);
    EXPECT_EQ(assistant.paneStack(), std::vector<std::string>{"start"});
    EXPECT_EQ(application_.backups.size(), 1u);
  }

  // 3, on another installation: the backup comes back with its settings.
  {
    TestApplication other;
    RecordingInterface window;
    AssistantController assistant(other, window);
    assistant.showAtOption(kAssistantOptionRecreateBackup, nullptr);
    assistant.setDestinationChoice(kDestinationChoiceFolder);
    ASSERT_TRUE(assistant.chooseLocalDestinationFolder(destination_));
    ASSERT_EQ(Continue(assistant), "password");
    assistant.setPassword("wrong");
    EXPECT_EQ(Continue(assistant), "password");
    EXPECT_TRUE(assistant.isInvalid());
    ASSERT_EQ(window.alertTitles(), "The backup at the destination cannot be read");
    EXPECT_FALSE(window.alerts[0].note.empty()) << "the check's last error is the alert's note";
    assistant.setPassword(kPassword);
    Continue(assistant);
    ASSERT_EQ(other.backups.size(), 1u);
    const std::shared_ptr<Backup>& recreated = other.backups[0];
    EXPECT_EQ(recreated->uuid(), backup->uuid());
    EXPECT_EQ(recreated->sourceDirectoryPath(), source_);
    EXPECT_EQ(recreated->maximumSegmentSize(), 1u);
    EXPECT_EQ(recreated->destinationURL()->absoluteString(), "file://localhost" + destination_);
    EXPECT_TRUE(recreated->lastBackupResults());
    EXPECT_EQ(other.events.front(), "add " + recreated->name());
  }

  // 6: the backup moves with its data to another disk; an empty folder is
  // refused, since the destination must hold the backup already.
  const std::string moved = environment_.root / "Other Disk/Backups";
  std::filesystem::create_directories(moved);
  {
    AssistantController assistant(application_, window_);
    assistant.showAtOption(kAssistantOptionChangeDestination, backup);
    ASSERT_EQ(assistant.currentPane(), "destination");
    EXPECT_EQ(assistant.destinationChoice(), kDestinationChoiceFolder) << "the backup's folder is preselected";
    EXPECT_TRUE(assistant.locateMode());
    EXPECT_FALSE(assistant.chooseLocalDestinationFolder(moved));
    std::filesystem::remove(moved);
    std::filesystem::copy(destination_, moved, std::filesystem::copy_options::recursive);
    ASSERT_TRUE(assistant.chooseLocalDestinationFolder(moved));
    application_.events.clear();
    assistant.nextPane();
    EXPECT_EQ(application_.events, (std::vector<std::string>{"remove Documents", "add Documents", "select Documents",
                                                             "tab 0", "main window"}));
    EXPECT_EQ(backup->destinationURL()->absoluteString(),
              Url::URLWithScheme("file", "localhost", moved)->absoluteString());
  }
  std::optional<Dictionary> verified = application_.run(BackupCommandVerifyBackup, backup);
  ASSERT_TRUE(verified);
  EXPECT_TRUE(verified->get("success").asBool()) << "the moved destination serves the backup";

  // 7: the store lost the encryption password; it is checked against the
  // destination before it is kept.
  backup->setEncryptionPassword(std::nullopt);
  {
    AssistantController assistant(application_, window_);
    assistant.showAtOption(kAssistantOptionChangePassword, backup);
    ASSERT_EQ(assistant.currentPane(), "password");
    window_.alerts.clear();
    assistant.setPassword("guess");
    EXPECT_EQ(Continue(assistant), "password");
    EXPECT_EQ(window_.alertTitles(), "The backup at the destination cannot be read");
    EXPECT_FALSE(backup->hasEncryptionPassword());
    assistant.setPassword(kPassword);
    application_.events.clear();
    Continue(assistant);
    EXPECT_EQ(application_.events, (std::vector<std::string>{"select Documents", "tab 0", "main window"}));
  }
  EXPECT_EQ(backup->encryptionPassword(), kPassword);
}

}  // namespace
}  // namespace quorvel
