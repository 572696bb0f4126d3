// Shared pieces of the restore tests: a small source folder with fixed
// permissions, times, groups and attributes, a hand-built destination that
// stores every file of it by itself (in parts of a few bytes), and the
// restore command run on a real controller.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "engine/DestinationTestSupport.h"
#include "foundation/AppleDouble.h"
#include "support/TreeComparison.h"

namespace quorvel::test {

inline void SetTimes(const std::string& path, long seconds, long nanoseconds) {
  struct timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

inline void SetAttribute(const std::string& path, const std::string& name, const std::string& value) {
  ASSERT_EQ(lsetxattr(path.c_str(), name.c_str(), value.data(), value.size(), 0), 0) << path << " " << name;
}

inline bool Exists(const std::string& path) {
  struct stat status;
  return lstat(path.c_str(), &status) == 0;
}

inline bool IsLink(const std::string& path) {
  struct stat status;
  return lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode);
}

inline std::string Text(const std::string& path) {
  Data data = ReadFile(path);
  return std::string(data.begin(), data.end());
}

inline bool Contains(const std::vector<std::string>& texts, const std::string& text) {
  return std::find(texts.begin(), texts.end(), text) != texts.end();
}

inline std::vector<std::string> ResultPaths(const Dictionary& results, const char* key) {
  return results.get(key).isArray() ? Texts(results.get(key)) : std::vector<std::string>();
}

// Every name below a folder with its bytes (links as "-> target"), for
// checking that a folder was left exactly as it was.
inline std::map<std::string, std::string> FolderState(const std::string& folder) {
  std::string output;
  RunShell("cd '" + folder + "' && find . -mindepth 1 | LC_ALL=C sort", &output);
  std::map<std::string, std::string> state;
  std::size_t start = 0;
  while (start < output.size()) {
    std::size_t end = output.find('\n', start);
    if (end == std::string::npos) end = output.size();
    std::string path = output.substr(start, end - start);
    start = end + 1;
    if (path.empty()) continue;
    std::string full = folder + "/" + path.substr(2);
    struct stat status;
    lstat(full.c_str(), &status);
    if (S_ISREG(status.st_mode)) {
      state[path] = Text(full);
    } else if (S_ISLNK(status.st_mode)) {
      char target[4096];
      ssize_t length = readlink(full.c_str(), target, sizeof target);
      state[path] = "-> " + std::string(target, length > 0 ? static_cast<std::size_t>(length) : 0);
    } else {
      state[path] = "<folder>";
    }
  }
  return state;
}

// The source "Documents":
//   notes.txt            21 bytes, user.tag attribute (kind 2: parts + metadata)
//   empty-tagged         empty, user.tag attribute (kind 2, no parts)
//   docs/                user.color attribute, 0750
//   docs/report.txt      several parts
//   docs/other.txt
//   docs/sub/deep.txt
// with distinct modification times (nanoseconds included), modes and group 100.
class RestoreFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    root = sourceParent / "Documents";
    ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((root + "/docs").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((root + "/docs/sub").c_str(), 0755), 0);
    WriteFile(root + "/notes.txt", "some notes to restore");
    WriteFile(root + "/empty-tagged", "");
    WriteFile(root + "/docs/report.txt", "a report that is longer than one part of eight bytes");
    WriteFile(root + "/docs/other.txt", "other");
    WriteFile(root + "/docs/sub/deep.txt", "deep down");
    SetAttribute(root + "/notes.txt", "user.tag", "important");
    SetAttribute(root + "/empty-tagged", "user.tag", "empty but tagged");
    SetAttribute(root + "/docs", "user.color", "blue");
    ::chmod((root + "/notes.txt").c_str(), 0640);
    ::chmod((root + "/docs/report.txt").c_str(), 0600);
    ::chmod((root + "/docs").c_str(), 0750);
    ::chmod((root + "/docs/sub").c_str(), 0711);
    ::chmod(root.c_str(), 0755);
    if (geteuid() == 0) {
      for (const char* path : {"", "/notes.txt", "/docs", "/docs/sub/deep.txt"}) {
        ASSERT_EQ(::lchown((root + path).c_str(), static_cast<uid_t>(-1), 100), 0);
      }
    }
    long second = 1500000000;
    for (const char* path : {"/notes.txt", "/empty-tagged", "/docs/report.txt", "/docs/other.txt",
                             "/docs/sub/deep.txt", "/docs/sub", "/docs", ""}) {
      SetTimes(root + path, second, 123456789);
      second += 3600;
    }

    controller = DestinationTestController::make();
    controller->setDestinationURL(LocalURL(destination.path()));
    controller->setComputeFileDigests(true);
    controller->setMaximumSimultaneousSegments(2);
    // Nothing here is worth a retry; tests that count questions set their own.
    delegate.onRetryQuestion = [](BackupController& asked) { asked.replyToShouldRetryAfterNetworkError(false); };
  }
  void TearDown() override { controller->setDelegate(nullptr); }

  // Stores every file by itself in parts of 8 bytes (metadata files for the
  // attributed ones) and the snapshot as `revision`. The snapshot is handed
  // to `edit` before it is stored.
  void storeBackup(std::optional<std::string> password = std::nullopt, std::uint32_t revision = 1,
                   const std::function<void(DirectoryScanner&, DestinationBuilder&, Dictionary&)>& edit = {}) {
    DestinationBuilder builder(destination.path(), password);
    DirectoryScannerPtr scanner = ScanFolder(root);
    Dictionary files;
    Data notesMetadata = *AppleDoubleDataForPath(root + "/notes.txt");
    Data emptyMetadata = *AppleDoubleDataForPath(root + "/empty-tagged");
    builder.storeFile(*scanner, "notes.txt", 1, 8, files, &notesMetadata);
    builder.storeFile(*scanner, "empty-tagged", 2, 8, files, &emptyMetadata);
    builder.storeFile(*scanner, "docs/report.txt", 3, 8, files);
    builder.storeFile(*scanner, "docs/other.txt", 4, 8, files);
    builder.storeFile(*scanner, "docs/sub/deep.txt", 5, 8, files);
    if (edit) edit(*scanner, builder, files);
    builder.storeRevision(*scanner, files, revision);
  }

  Dictionary restore(std::optional<std::vector<std::string>> paths = std::nullopt, bool erase = false,
                     std::optional<std::string> into = std::nullopt) {
    Dictionary arguments;
    arguments.set(kDestinationPathArgument, into ? *into : target.path());
    arguments.set(kEraseDestinationArgument, erase);
    if (paths) {
      Array values;
      for (const auto& path : *paths) values.push_back(Value(path));
      arguments.set(kRestorePathsArgument, Value(std::move(values)));
    }
    return RunCommand(*controller, delegate, BackupCommandRestoreBackup, arguments);
  }

  TempDir sourceParent;
  std::string root;
  TempDir destination;
  TempDir target;
  RecordingDelegate delegate;
  std::shared_ptr<DestinationTestController> controller;
};

}  // namespace quorvel::test
