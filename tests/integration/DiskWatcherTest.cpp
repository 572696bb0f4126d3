// Disks coming and going: a tmpfs mounted, unmounted and mounted again
// (root only; skipped where mounting is not allowed).
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "foundation/RunLoop.h"
#include "model/platform/DiskWatcher.h"
#include "support/TestSupport.h"

namespace quorvel {
namespace {

using test::RunShell;
using test::TempDir;

struct Recorder : DiskWatcherDelegate {
  void diskWatcherDidUpdateAvailability(DiskWatcher& watcher) override { answers.push_back(watcher.isDiskAvailable()); }
  std::vector<bool> answers;
};

void RunUntil(const Recorder& recorder, std::size_t count) {
  for (int i = 0; i < 100 && recorder.answers.size() < count; ++i) RunLoop::main().runMode(kDefaultRunLoopMode, 0.1);
}

TEST(DiskWatcher, MountInfoLinesAreReadWithTheirEscapes) {
  const std::vector<MountedFileSystem> mounted = ParseMountInfo(
      "22 27 0:21 / /proc rw,relatime - proc proc rw\n"
      "40 27 8:1 / /media/me/My\\040Disk rw,relatime shared:5 - ext4 /dev/sdb1 rw\n"
      "broken line\n");
  ASSERT_EQ(mounted.size(), 2u);
  EXPECT_EQ(mounted[1].mountPoint, "/media/me/My Disk");
  EXPECT_EQ(mounted[1].type, "ext4");
  EXPECT_EQ(mounted[1].source, "/dev/sdb1");
  EXPECT_EQ(mounted[1].major, 8u);
  EXPECT_EQ(mounted[1].minor, 1u);
  EXPECT_FALSE(DiskWatcher::initWithDiskIdentifier(""));
}

TEST(DiskWatcher, TheDelegateHearsWhenTheDiskComesAndGoes) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to mount";
  TempDir folder;
  const std::string volume = folder / "volume";
  ASSERT_EQ(RunShell("mkdir '" + volume + "'"), 0);
  if (RunShell("mount -t tmpfs quorvel-disk '" + volume + "' 2>/dev/null") != 0) GTEST_SKIP() << "mounting not allowed";
  struct Unmount {
    std::string volume;
    ~Unmount() { RunShell("umount '" + volume + "' 2>/dev/null"); }
  } unmount{volume};

  std::optional<std::string> identifier = DiskWatcher::diskIdentifierForPath(volume + "/inside");
  ASSERT_TRUE(identifier);
  EXPECT_EQ(identifier->size(), 32u) << "a tmpfs has no UUID: the digest of what describes it";
  EXPECT_NE(DiskWatcher::diskIdentifierForPath(folder.path()), identifier);
  auto watcher = DiskWatcher::initWithDiskIdentifier(*identifier);
  ASSERT_TRUE(watcher);
  EXPECT_TRUE(watcher->isDiskAvailable());

  Recorder recorder;
  watcher->setDelegate(&recorder);
  ASSERT_EQ(RunShell("umount '" + volume + "'"), 0);
  RunUntil(recorder, 1);
  EXPECT_EQ(recorder.answers, std::vector<bool>{false});
  ASSERT_EQ(RunShell("mount -t tmpfs quorvel-disk '" + volume + "'"), 0);
  RunUntil(recorder, 2);
  EXPECT_EQ(recorder.answers, (std::vector<bool>{false, true}));
  EXPECT_EQ(DiskWatcher::diskIdentifierForPath(volume), identifier) << "the same disk at the same place";
  watcher->setDelegate(nullptr);
}

}  // namespace
}  // namespace quorvel
