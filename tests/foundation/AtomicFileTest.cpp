#include "foundation/AtomicFile.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>

#include "foundation/Data.h"
#include "support/TestSupport.h"

namespace quorvel {
namespace {

using namespace quorvel::test;

std::size_t EntryCount(const std::string& folder) {
  std::size_t count = 0;
  DIR* dir = opendir(folder.c_str());
  while (dirent* entry = readdir(dir)) count += std::string(entry->d_name) != "." && std::string(entry->d_name) != "..";
  closedir(dir);
  return count;
}

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  stat(path.c_str(), &st);
  return st.st_mode & 07777;
}

TEST(AtomicFile, ReplacesTheContentsAndSetsOrKeepsThePermissions) {
  TempDir folder;
  const std::string path = folder / "list";
  ASSERT_TRUE(WriteFileAtomically(path, std::string("first"), 0600).ok());
  EXPECT_EQ(ReadFile(path), DataFromString("first"));
  EXPECT_EQ(ModeOf(path), 0600u);

  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  ASSERT_TRUE(WriteFileAtomically(path, std::string("second, longer"), 0600, true).ok());
  EXPECT_EQ(ReadFile(path), DataFromString("second, longer"));
  EXPECT_EQ(ModeOf(path), 0640u);

  ASSERT_TRUE(WriteFileAtomically(path, std::string(), 0644).ok());
  EXPECT_EQ(ReadFile(path).size(), 0u);
  EXPECT_EQ(ModeOf(path), 0644u);
  EXPECT_EQ(EntryCount(folder.path()), 1u) << "a temporary file was left behind";
}

TEST(AtomicFile, FailureReportsTheErrorAndLeavesTheOldFileAlone) {
  TempDir folder;
  Status missing = WriteFileAtomically(folder / "missing/list", std::string("x"), 0644);
  EXPECT_EQ(missing.domain(), kPosixDomain);
  EXPECT_EQ(missing.code(), ENOENT);
  EXPECT_FALSE(missing.isPermanent());
  EXPECT_NE(missing.message().find("missing/list"), std::string::npos) << missing.message();

  // A folder in the way: the rename fails, the folder stays, nothing is left over.
  ASSERT_EQ(mkdir((folder / "taken").c_str(), 0755), 0);
  WriteFile(folder / "taken/inside", "kept");
  EXPECT_FALSE(WriteFileAtomically(folder / "taken", std::string("x"), 0644).ok());
  EXPECT_EQ(ReadFile(folder / "taken/inside"), DataFromString("kept"));
  EXPECT_EQ(EntryCount(folder.path()), 1u);
}

}  // namespace
}  // namespace quorvel
