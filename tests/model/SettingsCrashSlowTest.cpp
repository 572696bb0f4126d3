// A process killed while it saves a backup's settings leaves the settings
// readable: the old file or the new one, never a part.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <thread>

#include "foundation/Keychain.h"
#include "model/Backup.h"
#include "support/TestSupport.h"

namespace quorvel {
namespace {

// A tree wide enough that writing the settings takes a while.
std::shared_ptr<const ItemInfo> WideTree() {
  ItemInfo::Children folders;
  for (int f = 0; f < 200; ++f) {
    ItemInfo::Children files;
    for (int i = 0; i < 50; ++i) {
      files.push_back(std::make_shared<ItemInfo>(
          std::make_shared<const std::string>("file-" + std::to_string(f) + "-" + std::to_string(i)), std::nullopt));
    }
    folders.push_back(
        std::make_shared<ItemInfo>(std::make_shared<const std::string>("folder-" + std::to_string(f)), files));
  }
  return std::make_shared<ItemInfo>(std::make_shared<const std::string>(""), folders);
}

// Saves the backup again and again, with a new name each time; never returns.
[[noreturn]] void SaveForever(const std::string& folder) {
  std::shared_ptr<Backup> backup = Backup::loadFromFolder(folder);
  if (!backup) ::_exit(3);
  for (unsigned n = 0;; ++n) {
    backup->setName("round " + std::to_string(n));
    if (!backup->saveToDiskIfNecessary()) ::_exit(4);
  }
}

TEST(SettingsCrash, KillingASaveNeverLeavesAnUnreadableSettingsFile) {
  test::TempDir home;
  setenv("QUORVEL_HOME", home.path().c_str(), 1);
  Keychain keychain(CreateFileKeychainStore(home / "Keychain"));
  Backup::setKeychain(&keychain);
  auto backup = Backup::create();
  backup->setName("round start");
  backup->setSourceDirectoryPath("/srv/data");
  backup->setFilesHierarchy(WideTree());
  ASSERT_TRUE(backup->saveToDiskIfNecessary());

  std::mt19937 random(20261208);
  std::uniform_int_distribution<int> delay(5, 60);
  int killedWhileRunning = 0;
  for (int round = 0; round < 40; ++round) {
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) SaveForever(backup->path());
    std::this_thread::sleep_for(std::chrono::milliseconds(delay(random)));
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the saving process stopped by itself: " << WEXITSTATUS(status);
    ++killedWhileRunning;

    std::shared_ptr<Backup> loaded = Backup::loadFromFolder(backup->path());
    ASSERT_TRUE(loaded) << "round " << round;
    EXPECT_EQ(loaded->uuid(), backup->uuid());
    EXPECT_TRUE(loaded->name().starts_with("round ")) << loaded->name();
    ASSERT_TRUE(loaded->filesHierarchy());
    EXPECT_EQ(loaded->filesHierarchy()->count(), 200u);
  }
  EXPECT_EQ(killedWhileRunning, 40);
  // What killed writers left beside the settings file is cleared by the next save.
  auto again = Backup::loadFromFolder(backup->path());
  again->setName("after");
  std::this_thread::sleep_for(std::chrono::seconds(2));
  ASSERT_TRUE(again->saveToDiskIfNecessary());
  for (const auto& entry : std::filesystem::directory_iterator(backup->path())) {
    EXPECT_TRUE(entry.path().filename() == "Settings.data" || entry.path().filename() == "Options.plist")
        << entry.path();
  }
  Backup::setKeychain(nullptr);
  unsetenv("QUORVEL_HOME");
}

}  // namespace
}  // namespace quorvel
