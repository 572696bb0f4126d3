// The setup assistant's pane engine on this machine's folders: the segment
// suggestion, the folder rules of new and located backups, the browser on a
// destination served by the local client, the window that cannot close while
// the account is checked, and the finishing actions of the maintenance
// options.
#include "app/assistant/AssistantController.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "FileTransferController/FileTransferController.h"
#include "FileTransferController/LocalTransferController.h"
#include "app/AssistantTestSupport.h"
#include "model/DestinationType.h"
#include "model/DestinationURL.h"

namespace quorvel {
namespace {

using namespace quorvel::test;

constexpr std::uint64_t MiB = std::uint64_t{1} << 20;

TEST(AssistantSegmentSize, SuggestionFromTheMedianAndTheTopDecile) {
  struct Case {
    const char* what;
    std::vector<std::uint64_t> sizes;
    std::optional<std::uint32_t> expected;
  };
  std::vector<std::uint64_t> manySmallOneLarge(8, 1024);
  manySmallOneLarge.push_back(100 * MiB);
  std::vector<std::uint64_t> oneToTen;
  for (std::uint64_t size = 10; size >= 1; --size) oneToTen.push_back(size * MiB);
  const Case cases[] = {
      {"no files", {}, std::nullopt},
      {"only empty files", {0, 0, 0}, std::nullopt},
      {"mostly empty files: the median is 0", {0, 0, 0, 4 * MiB}, std::nullopt},
      {"one 5 MB file: 2 x 5 + 1 = 11, raised to 16", {5 * MiB}, 16},
      {"one byte stays at 1", {1}, 1},
      {"2 stays", {700 * 1024}, 2},
      {"1 MB: 2 + 1 = 3 becomes 4", {MiB}, 4},
      {"a power of two stays", {63 * MiB / 2}, 64},
      {"above 127 becomes 128", {200 * MiB}, 128},
      {"even count: mean of the middle two; ten sizes: mean of indexes 8 and 9", oneToTen, 16},
      {"two files: the median is their mean, the decile the larger", {0, 4 * MiB}, 8},
      {"the top decile outweighs twice the median", manySmallOneLarge, 128},
  };
  for (const Case& c : cases) EXPECT_EQ(SuggestedSegmentSize(c.sizes), c.expected) << c.what;
}

TEST(AssistantFolders, RulesForNewAndLocatedBackups) {
  struct Case {
    std::vector<std::string> entries;
    bool holdsBackup;
    bool emptyButHidden;
  };
  const Case cases[] = {
      {{}, false, true},
      {{".DS_Store"}, false, true},
      {{".DS_Store", ".hidden/"}, false, true},
      {{".DS_Store", "notes.txt"}, false, false},
      {{"Folder/"}, false, false},
      {{"Revision_0000000000000001.data", "Archive_1.cpgz"}, true, false},
      {{"Old Revision_1"}, false, false},
  };
  for (const Case& c : cases) {
    std::string shown;
    for (const std::string& entry : c.entries) shown += entry + " ";
    EXPECT_EQ(FolderHoldsBackup(c.entries), c.holdsBackup) << shown;
    EXPECT_EQ(FolderIsEmptyButForHiddenEntries(c.entries), c.emptyButHidden) << shown;
  }
}

TEST(AssistantFolders, SizesOfRegularFilesWithoutFollowingLinks) {
  TempDir root;
  WriteFile(root / "a", std::string(3000, 'a'));
  std::filesystem::create_directories(root / "sub/deeper");
  WriteFile(root / "sub/deeper/.hidden", std::string(10, 'h'));
  WriteFile(root / "sub/empty", "");
  std::filesystem::create_symlink(root / "a", root / "link");
  std::filesystem::create_directories(root.path() + "-outside");
  WriteFile(root.path() + "-outside/big", std::string(50000, 'b'));
  std::filesystem::create_directory_symlink(root.path() + "-outside", root / "linked folder");
  std::vector<std::uint64_t> sizes = FileSizesInFolder(root.path());
  std::sort(sizes.begin(), sizes.end());
  EXPECT_EQ(sizes, (std::vector<std::uint64_t>{0, 10, 3000}));
  std::filesystem::remove_all(root.path() + "-outside");
}

// A new backup's panes up to the segment pane, on a source of this machine.
class AssistantPanes : public ::testing::Test {
 protected:
  AssistantPanes() : assistant_(application_, window_) {
    std::filesystem::create_directories(source_);
    std::filesystem::create_directories(destination_);
  }

  void GoToSegmentPane() {
    assistant_.selectOption(kAssistantOptionNewBackup);
    ASSERT_EQ(Continue(assistant_), "source");
    ASSERT_TRUE(assistant_.chooseSourceFolder(source_));
    ASSERT_EQ(Continue(assistant_), "name");
    EXPECT_EQ(assistant_.backup()->name(), "Photos") << "named after the source folder, without its extension";
    ASSERT_EQ(Continue(assistant_), "encryption");
    ASSERT_EQ(Continue(assistant_), "segment");
    EXPECT_FALSE(assistant_.customSegmentSize());
  }

  AssistantEnvironment environment_;
  const std::string source_ = environment_.root / "Photos.library";
  const std::string destination_ = environment_.root / "Destination";
  TestApplication application_;
  RecordingInterface window_;
  AssistantController assistant_;
};

TEST_F(AssistantPanes, AFiveMegabyteFileSuggestsSixteenMegabyteSegments) {
  {
    std::ofstream file(source_ + "/video.mov");
  }
  std::filesystem::resize_file(source_ + "/video.mov", 5 * MiB);
  GoToSegmentPane();
  EXPECT_TRUE(assistant_.isFirstPane() == false && assistant_.isLastPane() == false);
  assistant_.nextPane();
  ASSERT_TRUE(assistant_.validationString());
  EXPECT_EQ(*assistant_.validationString(), "Looking at the files of the source…");
  const int beeps = window_.beeps;
  EXPECT_FALSE(assistant_.windowShouldClose()) << "no closing while the source is scanned";
  EXPECT_EQ(window_.beeps, beeps + 1);
  assistant_.nextPane();
  EXPECT_EQ(assistant_.currentPane(), "segment") << "no second validation while one runs";
  ASSERT_TRUE(RunMainLoopUntil([&] { return !assistant_.validationString(); }));
  EXPECT_EQ(assistant_.currentPane(), "destination");
  EXPECT_EQ(assistant_.backup()->maximumSegmentSize(), 16u);
  EXPECT_TRUE(assistant_.windowShouldClose());
}

TEST_F(AssistantPanes, EmptyFilesOnlyNeedASizeTypedByHand) {
  WriteFile(source_ + "/a", "");
  WriteFile(source_ + "/b", "");
  GoToSegmentPane();
  EXPECT_EQ(Continue(assistant_), "segment");
  EXPECT_TRUE(assistant_.isInvalid());
  EXPECT_GE(window_.beeps, 1);
  assistant_.setCustomSegmentSize(300);
  EXPECT_EQ(assistant_.backup()->maximumSegmentSize(), 128u) << "a typed size is kept within the limits";
  EXPECT_EQ(Continue(assistant_), "destination");
  EXPECT_FALSE(assistant_.isInvalid());
}

TEST_F(AssistantPanes, ANewBackupNeedsAFolderEmptyButForHiddenEntries) {
  WriteFile(source_ + "/a", "a");
  GoToSegmentPane();
  assistant_.setCustomSegmentSize(8);
  ASSERT_EQ(Continue(assistant_), "destination");
  EXPECT_EQ(assistant_.destinationChoice(), kDestinationChoiceServer);
  EXPECT_FALSE(assistant_.isLastPane());

  WriteFile(destination_ + "/notes.txt", "mine");
  EXPECT_FALSE(assistant_.chooseLocalDestinationFolder(destination_));
  ASSERT_EQ(window_.alerts.size(), 1u);
  EXPECT_EQ(window_.alerts[0].title, "This folder is not empty");

  std::filesystem::remove(destination_ + "/notes.txt");
  WriteFile(destination_ + "/.DS_Store", "finder");
  EXPECT_TRUE(assistant_.chooseLocalDestinationFolder(destination_));
  EXPECT_TRUE(assistant_.isLastPane()) << "a local folder needs no server and no browser";

  // The folder is looked at again when the pane is left.
  WriteFile(destination_ + "/arrived later", "x");
  assistant_.nextPane();
  EXPECT_TRUE(assistant_.isInvalid());
  EXPECT_EQ(window_.alerts.size(), 2u);
  std::filesystem::remove(destination_ + "/arrived later");

  assistant_.nextPane();
  EXPECT_EQ(application_.events, (std::vector<std::string>{"add Photos", "select Photos", "tab 0", "main window"}));
  ASSERT_EQ(application_.backups.size(), 1u);
  EXPECT_EQ(application_.backups[0]->destinationURL()->absoluteString(), "file://localhost" + destination_);
  EXPECT_EQ(application_.backups[0]->sourceDirectoryPath(), source_);
  EXPECT_EQ(window_.closes, 1);
  EXPECT_EQ(application_.queueChecks, 1);
  EXPECT_EQ(assistant_.paneStack(), std::vector<std::string>{"start"}) << "closing resets the assistant";
  EXPECT_FALSE(assistant_.backup());
}

TEST_F(AssistantPanes, LocatingABackupRefusesAFolderWithoutOne) {
  assistant_.selectOption(kAssistantOptionRecreateBackup);
  ASSERT_EQ(Continue(assistant_), "destination");
  EXPECT_TRUE(assistant_.locateMode());
  EXPECT_FALSE(assistant_.chooseLocalDestinationFolder(destination_));
  ASSERT_EQ(window_.alerts.size(), 1u);
  EXPECT_EQ(window_.alerts[0].title, "This folder holds no backup");
  WriteFile(destination_ + "/Revision_0000000000000001.data", "x");
  EXPECT_TRUE(assistant_.chooseLocalDestinationFolder(destination_));
  EXPECT_FALSE(assistant_.isLastPane());
  EXPECT_EQ(Continue(assistant_), "password");
  EXPECT_TRUE(assistant_.isLastPane());
}

TEST_F(AssistantPanes, GoingBackPopsPanesAndResetForgetsTheBackup) {
  WriteFile(source_ + "/a", "a");
  GoToSegmentPane();
  EXPECT_EQ(assistant_.paneStack(), (std::vector<std::string>{"start", "source", "name", "encryption", "segment"}));
  assistant_.previousPane();
  assistant_.previousPane();
  EXPECT_EQ(assistant_.currentPane(), "name");
  EXPECT_EQ(window_.panes.back(), "name");
  EXPECT_EQ(window_.titles.back(), "Name the backup");
  assistant_.showAtOption(kAssistantOptionShowOnly, nullptr);
  EXPECT_EQ(assistant_.paneStack(), std::vector<std::string>{"start"});
  EXPECT_EQ(assistant_.currentOption(), kAssistantOptionNewBackup) << "the start pane selects a new backup";
  EXPECT_FALSE(assistant_.backup());
  EXPECT_TRUE(assistant_.isFirstPane());
  EXPECT_TRUE(window_.visible);
}

// FTP URLs of the host "local.test" are served by the local client on this
// machine's folders: the browser and the account check run for real
// without a server.
class AssistantBrowser : public AssistantPanes {
 protected:
  static void SetUpTestSuite() {
    FileTransferController::registerClassForScheme(
        "ftp",
        [](const Url&) { return LocalTransferController::initWithBaseURL(*Url::URLWithScheme("file", "localhost", "/")); },
        [](const std::string& host) { return host == "local.test"; });
  }

  void GoToServerPane() {
    WriteFile(source_ + "/a", "a");
    GoToSegmentPane();
    assistant_.setCustomSegmentSize(8);
    ASSERT_EQ(Continue(assistant_), "destination");
    assistant_.setDestinationChoice(kDestinationChoiceServer);
    ASSERT_EQ(Continue(assistant_), "server");
    EXPECT_EQ(assistant_.destinationURL()->type(), kDestinationTypeFTP) << "the server choice starts with FTP";
  }
};

TEST_F(AssistantBrowser, TheWindowStaysOpenWhileTheAccountIsChecked) {
  GoToServerPane();
  assistant_.destinationURL()->setHost("local.test");
  assistant_.destinationURL()->setPath(destination_);
  assistant_.nextPane();
  ASSERT_TRUE(assistant_.validationString());
  EXPECT_EQ(*assistant_.validationString(), "Connecting to the destination…");
  EXPECT_FALSE(assistant_.windowShouldClose());
  ASSERT_TRUE(RunMainLoopUntil([&] { return !assistant_.validationString(); }));
  EXPECT_EQ(assistant_.currentPane(), "browser");

  // The browser loads the folder at once.
  ASSERT_TRUE(RunMainLoopUntil([&] { return assistant_.directoryContents().has_value(); }));
  EXPECT_TRUE(assistant_.directoryContents()->empty());
  EXPECT_TRUE(assistant_.windowShouldClose());
}

TEST_F(AssistantBrowser, AnAccountThatCannotBeListedIsRefused) {
  GoToServerPane();
  assistant_.destinationURL()->setHost("local.test");
  assistant_.destinationURL()->setPath(destination_ + "/missing");
  EXPECT_EQ(Continue(assistant_), "server");
  EXPECT_TRUE(assistant_.isInvalid());
  EXPECT_EQ(window_.alertTitles(), "The destination cannot be reached");

  assistant_.destinationURL()->setHost("");
  const int beeps = window_.beeps;
  assistant_.nextPane();
  EXPECT_FALSE(assistant_.validationString()) << "a listing that cannot start fails at once";
  EXPECT_EQ(window_.beeps, beeps + 1);
}

TEST_F(AssistantBrowser, BrowsingCreatingAndDeletingFolders) {
  GoToServerPane();
  std::filesystem::create_directories(destination_ + "/Backups/Old");
  WriteFile(destination_ + "/Backups/readme", "x");
  WriteFile(destination_ + "/Backups/Old/.DS_Store", "x");
  assistant_.destinationURL()->setHost("local.test");
  assistant_.destinationURL()->setPath(destination_);
  ASSERT_EQ(Continue(assistant_), "browser");
  ASSERT_TRUE(RunMainLoopUntil([&] { return !assistant_.validationString(); }));
  ASSERT_TRUE(assistant_.directoryContents());
  EXPECT_EQ(*assistant_.directoryContents(), std::vector<std::string>{"Backups/"});

  assistant_.loadDirectory("Backups/");
  ASSERT_TRUE(RunMainLoopUntil([&] { return !assistant_.validationString(); }));
  ASSERT_TRUE(assistant_.directoryContents());
  EXPECT_EQ(*assistant_.directoryContents(), (std::vector<std::string>{"Old/", "readme"}));
  EXPECT_EQ(assistant_.pathComponents().back(), "Backups");
  EXPECT_EQ(assistant_.pathComponents().front(), "Destination");
  EXPECT_FALSE(assistant_.selectDirectoryRow(1)) << "files cannot be selected";
  EXPECT_FALSE(assistant_.isDeletable());
  assistant_.nextPane();
  EXPECT_TRUE(assistant_.isInvalid()) << "a folder with a file is refused";
  EXPECT_EQ(window_.alertTitles(), "This folder is not empty");

  assistant_.setDirectoryName("New Backup");
  assistant_.createDirectory();
  ASSERT_TRUE(RunMainLoopUntil([&] {
    return !assistant_.validationString() && assistant_.directoryContents() &&
           assistant_.directoryContents()->size() == 3;
  }));
  EXPECT_TRUE(std::filesystem::is_directory(destination_ + "/Backups/New Backup"));

  ASSERT_TRUE(assistant_.selectDirectoryRow(1));
  EXPECT_EQ((*assistant_.directoryContents())[1], "Old/");
  EXPECT_TRUE(assistant_.isDeletable());
  window_.button = kAlertAlternateButton;
  assistant_.deleteDirectory();
  EXPECT_TRUE(std::filesystem::exists(destination_ + "/Backups/Old")) << "not confirmed";
  window_.button = kAlertDefaultButton;
  assistant_.deleteDirectory();
  ASSERT_TRUE(RunMainLoopUntil([&] {
    return !assistant_.validationString() && assistant_.directoryContents() &&
           assistant_.directoryContents()->size() == 2;
  }));
  EXPECT_FALSE(std::filesystem::exists(destination_ + "/Backups/Old"));

  assistant_.loadDirectory("New Backup/");
  ASSERT_TRUE(RunMainLoopUntil([&] { return !assistant_.validationString(); }));
  ASSERT_TRUE(assistant_.directoryContents());
  EXPECT_TRUE(assistant_.isLastPane());
  assistant_.nextPane();
  ASSERT_EQ(application_.backups.size(), 1u);
  EXPECT_EQ(application_.backups[0]->destinationURLWithoutPassword()->absoluteString(),
            "ftp://local.test" + destination_ + "/Backups/New%20Backup");

  assistant_.loadPathComponent(0);
  EXPECT_EQ(window_.panes.back(), "start") << "a closed assistant browses nothing";
}

TEST_F(AssistantBrowser, TheHostedDiskAccountLogsInWithoutTheDomain) {
  WriteFile(source_ + "/a", "a");
  GoToSegmentPane();
  assistant_.setCustomSegmentSize(8);
  ASSERT_EQ(Continue(assistant_), "destination");
  assistant_.setDestinationChoice(kDestinationChoiceHostedDisk);
  ASSERT_EQ(Continue(assistant_), "mobileMe");
  EXPECT_EQ(assistant_.destinationURL()->type(), kDestinationTypeHostedDisk);
  assistant_.destinationURL()->setLogin("me@example.com");
  assistant_.nextPane();
  EXPECT_EQ(assistant_.destinationURL()->login(), "me");
  EXPECT_TRUE(assistant_.isInvalid()) << "this build knows no hosted disk service";
  assistant_.previousPane();
  assistant_.setDestinationChoice(kDestinationChoiceServer);
  EXPECT_EQ(Continue(assistant_), "server");
  EXPECT_EQ(assistant_.destinationURL()->type(), kDestinationTypeFTP);
}

TEST_F(AssistantPanes, ANewBackupFromAnotherTakesItsSettingsButNotItsDestination) {
  std::shared_ptr<Backup> original = Backup::create();
  original->setName("Photos");
  original->setSourceDirectoryPath(source_);
  original->setMaximumSegmentSize(32);
  original->setDestinationURL(*Url::URLWithScheme("file", "localhost", destination_));
  application_.backups = {original};
  application_.selected = original;

  assistant_.selectOption(kAssistantOptionCopyBackup);
  ASSERT_EQ(Continue(assistant_), "select");
  ASSERT_EQ(assistant_.selectedEntry(), std::optional<std::size_t>(0)) << "the application's selection";
  ASSERT_EQ(Continue(assistant_), "source");
  ASSERT_TRUE(assistant_.backup());
  EXPECT_NE(assistant_.backup(), original);
  EXPECT_NE(assistant_.backup()->uuid(), original->uuid());
  EXPECT_EQ(assistant_.backup()->sourceDirectoryPath(), source_);
  EXPECT_FALSE(assistant_.backup()->destinationURL());
  EXPECT_EQ(assistant_.destinationURL()->url()->absoluteString(), "file://localhost" + destination_)
      << "the destination pane starts from the original's";
  ASSERT_EQ(Continue(assistant_), "name");
  ASSERT_EQ(Continue(assistant_), "encryption");
  EXPECT_EQ(window_.titles.back(), "Encryption of “" + assistant_.backup()->name() + "”");
  assistant_.previousPane();
  assistant_.previousPane();
  assistant_.previousPane();
  ASSERT_EQ(assistant_.currentPane(), "select");
  EXPECT_TRUE(assistant_.backupEntries().size() == 1) << "the list is made again when the pane shows again";
}

// The maintenance options finish with the application's actions; the
// commands are recorded, not run.
TEST_F(AssistantPanes, MaintenanceOptionsFinishWithTheirActions) {
  struct Case {
    int option;
    int choice;
    std::vector<std::string> events;
  };
  const Case cases[] = {
      {kAssistantOptionPruneDestination, 0, {"main window"}},
      {kAssistantOptionPruneDestination, 1, {"command 3", "select Kept", "tab 0", "main window"}},
      {kAssistantOptionVerifyBackup, 1, {"command 6", "select Kept", "tab 0", "main window"}},
      {kAssistantOptionResetBackup, 1, {"select Kept", "tab 2", "main window"}},
      {kAssistantOptionResetBackup, 2, {"command 8", "select Kept", "tab 0", "main window"}},
      {kAssistantOptionDeleteBackup, 2, {"command 8 deleteBackup=1", "select Kept", "tab 0", "main window"}},
      {kAssistantOptionDeleteBackup, 1, {"delete Kept", "main window"}},
  };
  for (const Case& c : cases) {
    std::shared_ptr<Backup> backup = Backup::create();
    backup->setName("Kept");
    backup->setSourceDirectoryPath(source_);
    backup->setDestinationURL(*Url::URLWithScheme("file", "localhost", destination_));
    Dictionary results;
    results.set("success", true);
    backup->setLastBackupResults(results);
    application_.backups = {backup};
    application_.events.clear();

    assistant_.showAtOption(c.option, backup);
    const std::string pane = c.option == kAssistantOptionDeleteBackup     ? "delete"
                             : c.option == kAssistantOptionResetBackup     ? "reset"
                             : c.option == kAssistantOptionPruneDestination ? "prune"
                                                                            : "verify";
    ASSERT_EQ(assistant_.currentPane(), pane) << c.option;
    EXPECT_EQ(assistant_.choice(), 0);
    EXPECT_TRUE(assistant_.isLastPane());
    assistant_.setChoice(c.choice);
    assistant_.nextPane();
    EXPECT_EQ(application_.events, c.events) << c.option << " " << c.choice;
    EXPECT_EQ(assistant_.currentPane(), "start");
  }
}

TEST_F(AssistantPanes, ChoicesNeedingAHistoryAreOfferedOnlyWithOne) {
  std::shared_ptr<Backup> backup = Backup::create();
  backup->setName("Fresh");
  backup->setSourceDirectoryPath(source_);
  application_.backups = {backup};
  assistant_.showAtOption(kAssistantOptionResetBackup, backup);
  ASSERT_EQ(assistant_.currentPane(), "reset");
  EXPECT_FALSE(assistant_.isChoiceEnabled(2));
  assistant_.setChoice(2);
  EXPECT_EQ(assistant_.choice(), 0);
  assistant_.previousPane();
  ASSERT_EQ(assistant_.currentPane(), "more");
  EXPECT_FALSE(assistant_.isMoreOptionEnabled(kAssistantOptionVerifyBackup));
  assistant_.selectMore(kAssistantOptionVerifyBackup);
  EXPECT_EQ(assistant_.currentOption(), kAssistantOptionResetBackup);

  // A backup that runs a command cannot be chosen.
  assistant_.showAtOption(kAssistantOptionDeleteBackup, nullptr);
  ASSERT_EQ(assistant_.currentPane(), "select");
  ASSERT_EQ(assistant_.backupEntries().size(), 1u);
  EXPECT_EQ(assistant_.backupEntries()[0].title, "Local: Fresh");
  EXPECT_TRUE(assistant_.backupEntries()[0].enabled);
}

TEST_F(AssistantPanes, RelocatingTheSourceAndChangingThePassword) {
  std::shared_ptr<Backup> backup = Backup::create();
  backup->setName("Moved");
  backup->setSourceDirectoryPath(source_);
  application_.backups = {backup};
  const std::string moved = environment_.root / "Elsewhere";
  std::filesystem::create_directories(moved);

  assistant_.showAtOption(kAssistantOptionRelocateSource, backup);
  ASSERT_EQ(assistant_.currentPane(), "relocate");
  assistant_.nextPane();
  EXPECT_TRUE(assistant_.isInvalid()) << "no folder chosen";
  EXPECT_FALSE(assistant_.chooseRelocationFolder(moved + "/missing"));
  EXPECT_TRUE(assistant_.chooseRelocationFolder(moved));
  assistant_.nextPane();
  EXPECT_EQ(backup->sourceDirectoryPath(), moved);

  // Without a history there is nothing to check the password against; it
  // must not be empty.
  assistant_.showAtOption(kAssistantOptionChangePassword, backup);
  ASSERT_EQ(assistant_.currentPane(), "password");
  assistant_.nextPane();
  EXPECT_TRUE(assistant_.isInvalid());
  assistant_.setPassword("new secret");
  assistant_.nextPane();
  EXPECT_EQ(backup->encryptionPassword(), "new secret");
}

}  // namespace
}  // namespace quorvel
