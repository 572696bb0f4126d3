// Deleting below a restore target without following links: what is removed,
// what is merely absent, and what is refused.
#include <errno.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "engine/RestoreTargetPaths.h"
#include "support/TestSupport.h"

namespace quorvel {
namespace {

using test::TempDir;
using test::WriteFile;

std::string Text(const std::string& path) {
  Data data = test::ReadFile(path);
  return std::string(data.begin(), data.end());
}

bool Exists(const std::string& path) {
  struct stat status;
  return lstat(path.c_str(), &status) == 0;
}

TEST(RestoreTargetPaths, RemoveBelowNeverFollowsALinkAndSaysWhatHappened) {
  // The target holds: file, empty/, full/inner, link-to-outside -> outside/,
  // link-to-file -> outside/precious.
  struct Case {
    const char* path;
    RemoveKind kind;
    int errorNumber;  // 0: success
    bool removed;
    const char* gone;  // the entry that must be gone afterwards ("" for none)
  };
  const std::vector<Case> cases = {
      {"file", RemoveKind::kFile, 0, true, "file"},
      {"file", RemoveKind::kAny, 0, true, "file"},
      {"empty", RemoveKind::kFolder, 0, true, "empty"},
      {"empty", RemoveKind::kAny, 0, true, "empty"},
      {"empty", RemoveKind::kFile, EISDIR, false, ""},
      {"full", RemoveKind::kFolder, ENOTEMPTY, false, ""},
      {"absent", RemoveKind::kFile, 0, false, ""},
      {"absent/below", RemoveKind::kFile, 0, false, ""},
      // A link at the end is removed itself; its target stays.
      {"link-to-file", RemoveKind::kFile, 0, true, "link-to-file"},
      {"link-to-outside", RemoveKind::kAny, 0, true, "link-to-outside"},
      // A link on the way stops the deletion.
      {"link-to-outside/precious", RemoveKind::kFile, ELOOP, false, ""},
      {"file/below", RemoveKind::kFile, ENOTDIR, false, ""},
      {"full/../file", RemoveKind::kFile, EINVAL, false, ""},
      {"", RemoveKind::kAny, EINVAL, false, ""},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(std::string(row.path) + " " + std::to_string(static_cast<int>(row.kind)));
    TempDir parent;
    const std::string target = parent / "target";
    const std::string outside = parent / "outside";
    ASSERT_EQ(::mkdir(target.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(outside.c_str(), 0755), 0);
    WriteFile(outside + "/precious", "keep");
    WriteFile(target + "/file", "mine");
    ASSERT_EQ(::mkdir((target + "/empty").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((target + "/full").c_str(), 0755), 0);
    WriteFile(target + "/full/inner", "inner");
    ASSERT_EQ(::symlink(outside.c_str(), (target + "/link-to-outside").c_str()), 0);
    ASSERT_EQ(::symlink((outside + "/precious").c_str(), (target + "/link-to-file").c_str()), 0);

    Expected<bool> result = RemoveBelow(target, row.path, row.kind);
    if (row.errorNumber == 0) {
      ASSERT_TRUE(result.has_value()) << result.status().message();
      EXPECT_EQ(*result, row.removed);
    } else {
      ASSERT_FALSE(result.has_value());
      // O_NOFOLLOW | O_DIRECTORY on a link answers ELOOP or ENOTDIR, by kernel.
      if (row.errorNumber == ELOOP) {
        EXPECT_TRUE(result.status().code() == ELOOP || result.status().code() == ENOTDIR) << result.status().message();
      } else {
        EXPECT_EQ(result.status().code(), row.errorNumber) << result.status().message();
      }
      EXPECT_FALSE(result.status().message().empty());
    }
    EXPECT_EQ(Text(outside + "/precious"), "keep");
    for (const char* entry : {"file", "empty", "full", "full/inner", "link-to-outside", "link-to-file"}) {
      EXPECT_EQ(Exists(target + "/" + entry), std::string(row.gone) != entry) << entry;
    }
  }
}

TEST(RestoreTargetPaths, OpenFolderBelowStopsAtLinksAndFiles) {
  TempDir target;
  ASSERT_EQ(::mkdir((target / "a").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((target / "a/b").c_str(), 0755), 0);
  ASSERT_EQ(::symlink((target / "a").c_str(), (target / "link").c_str()), 0);
  WriteFile(target / "a/file", "x");
  for (const char* path : {"", "a", "a/b"}) {
    EXPECT_TRUE(OpenFolderBelow(target.path(), path).has_value()) << path;
  }
  for (const char* path : {"link", "link/b", "a/file", "a/missing", "a/./b", "a//b"}) {
    Expected<UniqueFd> opened = OpenFolderBelow(target.path(), path);
    EXPECT_FALSE(opened.has_value()) << path;
  }
}

TEST(RestoreTargetPaths, OnlyFilesFoldersAndLinksAreRestorableTypes) {
  EXPECT_EQ(RestorableFileType(0100644), static_cast<mode_t>(S_IFREG));
  EXPECT_EQ(RestorableFileType(040755), static_cast<mode_t>(S_IFDIR));
  EXPECT_EQ(RestorableFileType(0120777), static_cast<mode_t>(S_IFLNK));
  for (std::uint32_t mode : {010644u, 020644u, 060644u, 0140755u, 0u}) {
    EXPECT_EQ(RestorableFileType(mode), 0u) << std::oct << mode;
  }
  EXPECT_STREQ(FileTypeName(S_IFIFO | 0644), "named pipe");
  EXPECT_STREQ(FileTypeName(S_IFLNK), "symbolic link");
}

}  // namespace
}  // namespace quorvel
