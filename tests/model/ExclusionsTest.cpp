// Core exclusions, user exclusions and cache folders.
#include "model/Exclusions.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "foundation/Keychain.h"
#include "model/Backup.h"
#include "snapshot/DirectoryScanner.h"
#include "support/TestSupport.h"

namespace quorvel {
namespace {

TEST(CoreExclusions, AreTheListsCandidatesInsideTheSource) {
  const std::string uid = std::to_string(::getuid());
  ExclusionList list;
  list.root = {"/tmp", "/proc", "/home/a/Library/Caches", "/home/a"};
  list.user = {".cache", ".local/share/Trash"};
  list.volumes = {"lost+found", ".Trash-$UID"};
  ExclusionEnvironment environment;
  environment.home = "/home/a";
  environment.mountPoints = {"/", "/home", "/media/a/usb stick", "/mnt", "/home/a/mnt/disk"};
  environment.volumeRoots = {"/media", "/mnt", "/home/a/mnt"};
  struct Case {
    const char* source;
    std::vector<std::string> core;
  };
  const Case cases[] = {
      {"/home/a",
       {"Library/Caches", "mnt/disk", "mnt/disk/.Trash-" + uid, "mnt/disk/lost+found", ".cache",
        ".local/share/Trash"}},
      // The root: no leading "/", and no home-relative paths.
      {"/",
       {".Trash-" + uid, "home/.Trash-" + uid, "home/a", "home/a/Library/Caches", "home/a/mnt/disk",
        "home/a/mnt/disk/.Trash-" + uid, "home/a/mnt/disk/lost+found", "home/lost+found", "lost+found",
        "media/a/usb stick", "media/a/usb stick/.Trash-" + uid, "media/a/usb stick/lost+found", "mnt/.Trash-" + uid,
        "mnt/lost+found", "proc", "tmp"}},
      // Whole components only: /home/ab is not inside /home/a.
      {"/home/ab", {}},
      {"/home/a/Library", {"Caches"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CoreExcludedPaths(c.source, list, environment), c.core) << c.source;
  }
}

TEST(CoreExclusions, MountPointsAreReadFromMountInfoWithEscapes) {
  test::TempDir dir;
  test::WriteFile(dir / "mountinfo",
                  "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
                  "98 22 8:17 / /media/me/My\\040Disk rw,nosuid shared:50 - vfat /dev/sdb1 rw\n"
                  "short line\n");
  EXPECT_EQ(MountPointsFromMountInfo(dir / "mountinfo"), (std::vector<std::string>{"/", "/media/me/My Disk"}));
  EXPECT_TRUE(MountPointsFromMountInfo(dir / "missing").empty());
}

TEST(CoreExclusions, TheShippedListParses) {
  std::optional<ExclusionList> list = ApplicationExclusionList();
  ASSERT_TRUE(list);
  EXPECT_NE(std::find(list->root.begin(), list->root.end(), "/proc"), list->root.end());
  EXPECT_NE(std::find(list->user.begin(), list->user.end(), ".cache"), list->user.end());
}

// User exclusions: only existing items inside the source, each once.
TEST(UserExclusions, AreAddedAndRemovedByAbsolutePath) {
  test::TempDir home;
  setenv("QUORVEL_HOME", home.path().c_str(), 1);
  Keychain keychain(CreateFileKeychainStore(home / "Keychain"));
  Backup::setKeychain(&keychain);
  test::TempDir source;
  std::filesystem::create_directories(source / "Docs/old");
  // With the source as the home directory, its caches are core exclusions;
  // only those that exist have URLs.
  std::filesystem::create_directories(source / ".cache");
  const std::string oldHome = std::getenv("HOME") ? std::getenv("HOME") : "";
  setenv("HOME", source.path().c_str(), 1);
  auto backup = Backup::create();
  backup->setSourceDirectoryPath(source.path());
  setenv("HOME", oldHome.c_str(), 1);
  const auto& core = backup->coreExcludedPaths();
  EXPECT_NE(std::find(core.begin(), core.end(), ".local/share/Trash"), core.end());
  std::vector<std::string> existing;
  for (const Url& url : backup->coreExcludedURLs()) existing.push_back(url.path());
  EXPECT_EQ(existing, std::vector<std::string>{source / ".cache"});

  EXPECT_TRUE(backup->addExtraExcludedPath(source / "Docs/old"));
  EXPECT_FALSE(backup->addExtraExcludedPath(source / "Docs/old")) << "listed already";
  EXPECT_FALSE(backup->addExtraExcludedPath(source / "missing"));
  EXPECT_FALSE(backup->addExtraExcludedPath(source.path())) << "the source itself";
  EXPECT_FALSE(backup->addExtraExcludedPath("/etc"));
  EXPECT_TRUE(backup->addExtraExcludedPath(source / "Docs"));
  EXPECT_EQ(backup->extraExcludedPaths(), (std::vector<std::string>{"Docs", "Docs/old"}));
  backup->removeExtraExcludedPath(source / "docs");
  EXPECT_EQ(backup->extraExcludedPaths().size(), 2u) << "names differ in case";
  backup->removeExtraExcludedPath(source / "Docs");
  EXPECT_EQ(backup->extraExcludedPaths(), std::vector<std::string>{"Docs/old"});
  ASSERT_EQ(backup->extraExcludedURLs().size(), 1u);
  EXPECT_EQ(backup->extraExcludedURLs()[0].path(), source / "Docs/old");
  Backup::setKeychain(nullptr);
  unsetenv("QUORVEL_HOME");
}

// A folder is a cache when it holds CACHEDIR.TAG beginning with the signature.
TEST(CacheDirectories, TaggedFoldersAreLeftOutWhenAsked) {
  test::TempDir source;
  const std::string signature = "Signature: 8a477f597d28d172789f06886806bc55";
  for (const char* folder : {"tagged", "wrong", "short", "kept"}) std::filesystem::create_directories(source / folder);
  test::WriteFile(source / "tagged/CACHEDIR.TAG", signature + "\n# made by a tool\n");
  test::WriteFile(source / "tagged/data", "x");
  test::WriteFile(source / "wrong/CACHEDIR.TAG", "Signature: 0000000000000000000000000000000\n");
  test::WriteFile(source / "short/CACHEDIR.TAG", signature.substr(0, 20));
  test::WriteFile(source / "kept/data", "x");
  for (bool exclude : {true, false}) {
    auto scanner = DirectoryScanner::initWithRootDirectory(source.path(), false);
    scanner->setExcludeCacheDirectories(exclude);
    std::optional<Dictionary> result = scanner->scanRootDirectory();
    ASSERT_TRUE(result);
    EXPECT_EQ(scanner->directoryItemAtSubpath("tagged") == nullptr, exclude);
    EXPECT_TRUE(scanner->directoryItemAtSubpath("wrong"));
    EXPECT_TRUE(scanner->directoryItemAtSubpath("short"));
    EXPECT_TRUE(scanner->directoryItemAtSubpath("kept/data"));
    const Array& excluded = result->get("excludedPaths").asArray();
    EXPECT_EQ(std::find(excluded.begin(), excluded.end(), Value("tagged")) != excluded.end(), exclude);
  }
}

}  // namespace
}  // namespace quorvel
