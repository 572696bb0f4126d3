// What a power cut during a backup leaves behind. The second backup of a
// changed tree runs with every fsync watched: after each one the test notes
// what is durable from then on (a file's bytes once the file is synced, a
// folder's entries once the folder is synced). Replaying those notes up to
// each sync, and dropping everything not yet synced (entries not synced are
// as before, bytes not synced are lost), gives the destination as it could
// be found after a power cut at that moment. Deletions are the exception:
// the file system may well have written them, so each counts from the
// moment it is made (seen through inotify, in order with the syncs). That
// checks that nothing of the previous revision goes before everything the
// new one references is synced. Every such destination must restore to one
// of the two revisions - never to a mixture, never to nothing.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "engine/DestinationTestSupport.h"
#include "foundation/Posix.h"
#include "support/TreeComparison.h"

namespace quorvel {
namespace {

using namespace test;

constexpr std::uint32_t kSegmentMB = 1;

// The durable part of a destination: each folder's entries (name to inode,
// relative paths, "" for the destination itself) and each inode's bytes.
struct DurableState {
  struct Entry {
    ino_t inode = 0;
    bool isFolder = false;
  };
  std::map<std::string, std::map<std::string, Entry>> folders;
  std::map<ino_t, Data> contents;
};

// One observed sync (a folder's entries or a file's bytes at that moment) or
// deletion (of `deleted` in the destination itself).
struct SyncEvent {
  std::string deleted;
  std::string folder;  // relative path of a synced folder; empty for a file
  bool isFolder = false;
  std::map<std::string, DurableState::Entry> entries;
  ino_t inode = 0;
  Data bytes;
};

std::mutex g_eventsMutex;
std::string g_watchedRoot;
std::vector<SyncEvent> g_events;
int g_deletions = -1;  // inotify descriptor watching the destination

// Moves the deletions inotify has queued so far into the events.
void RecordDeletions() {
  alignas(inotify_event) char buffer[8192];
  for (;;) {
    ssize_t length = read(g_deletions, buffer, sizeof buffer);
    if (length <= 0) return;
    for (char* next = buffer; next < buffer + length;) {
      auto* event = reinterpret_cast<inotify_event*>(next);
      if (event->len > 0 && (event->mask & (IN_DELETE | IN_MOVED_FROM))) {
        SyncEvent deletion;
        deletion.deleted = event->name;
        g_events.push_back(std::move(deletion));
      }
      next += sizeof(inotify_event) + event->len;
    }
  }
}

std::map<std::string, DurableState::Entry> EntriesOf(const std::string& folder) {
  std::map<std::string, DurableState::Entry> entries;
  DIR* dir = opendir(folder.c_str());
  if (!dir) return entries;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat status {};
    if (lstat((folder + "/" + name).c_str(), &status) != 0) continue;
    entries[name] = {status.st_ino, S_ISDIR(status.st_mode)};
  }
  closedir(dir);
  return entries;
}

void RecordSync(int fd) {
  std::string path(4096, '\0');
  ssize_t length = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path.data(), path.size());
  if (length <= 0) return;
  path.resize(static_cast<std::size_t>(length));
  std::lock_guard<std::mutex> lock(g_eventsMutex);
  if (path != g_watchedRoot && path.rfind(g_watchedRoot + "/", 0) != 0) return;
  RecordDeletions();
  SyncEvent event;
  struct stat status {};
  if (fstat(fd, &status) != 0) return;
  if (S_ISDIR(status.st_mode)) {
    event.isFolder = true;
    event.folder = path.size() == g_watchedRoot.size() ? "" : path.substr(g_watchedRoot.size() + 1);
    event.entries = EntriesOf(path);
  } else {
    // The descriptor may be write-only: read the same file through /proc.
    event.inode = status.st_ino;
    event.bytes = ReadFile("/proc/self/fd/" + std::to_string(fd));
  }
  g_events.push_back(std::move(event));
}

DurableState CaptureState(const std::string& root) {
  DurableState state;
  std::vector<std::string> pending{""};
  while (!pending.empty()) {
    std::string folder = pending.back();
    pending.pop_back();
    std::string full = folder.empty() ? root : root + "/" + folder;
    state.folders[folder] = EntriesOf(full);
    for (const auto& [name, entry] : state.folders[folder]) {
      std::string relative = folder.empty() ? name : folder + "/" + name;
      if (entry.isFolder) pending.push_back(relative);
      else state.contents[entry.inode] = ReadFile(root + "/" + relative);
    }
  }
  return state;
}

void Apply(DurableState& state, const SyncEvent& event) {
  if (!event.deleted.empty()) state.folders[""].erase(event.deleted);
  else if (event.isFolder) state.folders[event.folder] = event.entries;
  else state.contents[event.inode] = event.bytes;
}

// Writes the state as a destination folder: entries as last synced, each
// file with its inode's synced bytes (empty when they never were).
void Materialize(const DurableState& state, const std::string& folder, const std::string& into) {
  mkdir(into.c_str(), 0700);
  auto found = state.folders.find(folder);
  if (found == state.folders.end()) return;
  for (const auto& [name, entry] : found->second) {
    std::string relative = folder.empty() ? name : folder + "/" + name;
    if (entry.isFolder) {
      Materialize(state, relative, into + "/" + name);
      continue;
    }
    auto bytes = state.contents.find(entry.inode);
    WriteFile(into + "/" + name, bytes == state.contents.end() ? Data() : bytes->second);
  }
}

void WriteTree(const std::string& root, int generation) {
  for (int i = 0; i < 12; ++i) {
    std::string folder = root + (i % 2 ? "/odd" : "/even");
    std::filesystem::create_directories(folder);
    WriteFile(folder + "/file-" + std::to_string(i) + ".txt",
              "generation " + std::to_string(generation) + " of file " + std::to_string(i) + "\n");
  }
  // One file in segments, changed in its middle.
  Data large(std::size_t{5} << 19, static_cast<std::uint8_t>('a' + generation));
  large[large.size() / 2] = static_cast<std::uint8_t>(generation);
  WriteFile(root + "/large.bin", large);
  std::filesystem::remove(root + "/even/file-" + std::to_string(2 * generation) + ".txt");
}

std::shared_ptr<RemoteBackupController> MakeController(const std::string& source, const std::string& destination) {
  auto controller = RemoteBackupController::create();
  controller->setSourceDirectoryPath(source);
  controller->setDestinationURL(LocalURL(destination));
  controller->setMaximumSegmentSize(kSegmentMB);
  controller->setMaximumSimultaneousSegments(1);
  controller->setComputeFileDigests(true);
  return controller;
}

Dictionary RunOn(const std::string& source, const std::string& destination, int command,
                 const Dictionary& arguments = Dictionary()) {
  auto controller = MakeController(source, destination);
  RecordingDelegate delegate;
  delegate.takesRetryQuestions = false;
  Dictionary results = RunCommand(*controller, delegate, command, arguments);
  controller->setDelegate(nullptr);
  return results;
}

TEST(Durability, EveryStateAPowerCutCanLeaveRestoresToOneOfTheRevisions) {
  TempDir scratch;
  const std::string source = scratch / "source";
  const std::string destination = scratch / "destination";
  const std::string first = scratch / "first";
  const std::string second = scratch / "second";
  TreeComparisonOptions contentOnly;
  contentOnly.compareRoots = false;
  contentOnly.compareModificationTimes = false;
  contentOnly.compareDirectoryModificationTimes = false;

  WriteTree(source, 1);
  mkdir(destination.c_str(), 0700);
  Dictionary results = RunOn(source, destination, BackupCommandPerformBackup);
  ASSERT_TRUE(results.get(kSuccessResult).asBool()) << JoinedMessages(results);
  std::filesystem::copy(source, first, std::filesystem::copy_options::recursive);
  const std::vector<std::string> firstFiles = ListFolder(destination);

  DurableState state = CaptureState(destination);
  WriteTree(source, 2);
  {
    std::lock_guard<std::mutex> lock(g_eventsMutex);
    g_watchedRoot = std::filesystem::canonical(destination).string();
    g_events.clear();
    g_deletions = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(g_deletions, 0);
    ASSERT_GE(inotify_add_watch(g_deletions, destination.c_str(), IN_DELETE | IN_MOVED_FROM), 0);
  }
  SetSyncObserver(RecordSync);
  results = RunOn(source, destination, BackupCommandPerformBackup);
  SetSyncObserver(nullptr);
  RecordDeletions();
  close(g_deletions);
  ASSERT_TRUE(results.get(kSuccessResult).asBool()) << JoinedMessages(results);
  std::filesystem::copy(source, second, std::filesystem::copy_options::recursive);

  // The run must have removed files of the first revision, or there is no
  // ordering to check.
  std::vector<std::string> secondFiles = ListFolder(destination);
  int removed = 0;
  for (const std::string& name : firstFiles)
    removed += std::find(secondFiles.begin(), secondFiles.end(), name) == secondFiles.end();
  ASSERT_GT(removed, 0) << "nothing of the first revision was removed";
  ASSERT_FALSE(g_events.empty());

  int restoredFirst = 0;
  int restoredSecond = 0;
  for (std::size_t point = 0; point <= g_events.size(); ++point) {
    if (point > 0) Apply(state, g_events[point - 1]);
    const std::string crashed = scratch / ("crashed-" + std::to_string(point));
    const std::string restored = scratch / ("restored-" + std::to_string(point));
    Materialize(state, "", crashed);
    mkdir(restored.c_str(), 0700);
    Dictionary arguments;
    arguments.set(kDestinationPathArgument, restored);
    Dictionary restore = RunOn(source, crashed, BackupCommandRestoreBackup, arguments);
    ASSERT_TRUE(restore.get(kSuccessResult).asBool())
        << "power cut after event " << point << " of " << g_events.size() << ": " << JoinedMessages(restore);
    // The restore recreates the source folder by its name.
    const std::string tree = restored + "/source";
    const bool isFirst = CompareTrees(first, tree, contentOnly).empty();
    const bool isSecond = !isFirst && CompareTrees(second, tree, contentOnly).empty();
    // Once the run has synced all it syncs, its revision must be what stays.
    if (point == g_events.size()) EXPECT_TRUE(isSecond) << "the finished run's revision is not durable";
    if (isFirst) ++restoredFirst;
    else if (isSecond) ++restoredSecond;
    else ADD_FAILURE() << "power cut after event " << point << " restores to neither revision:\n"
                       << JoinLines(CompareTrees(second, tree, contentOnly));
    std::filesystem::remove_all(crashed);
    std::filesystem::remove_all(restored);
  }
  EXPECT_GT(restoredFirst, 0);
  std::cerr << g_events.size() << " syncs and deletions: " << restoredFirst << " states restore the first revision, "
            << restoredSecond << " the second\n";
}

}  // namespace
}  // namespace quorvel
