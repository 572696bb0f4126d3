// The order of reported paths and path standardization.
#include "snapshot/PathOrder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace quorvel {
namespace {

TEST(PathOrder, DigitRunsCompareByValue) {
  EXPECT_LT(ComparePaths("file9", "file10"), 0);
  EXPECT_GT(ComparePaths("file10", "file9"), 0);
  EXPECT_LT(ComparePaths("a2/b", "a10/a"), 0);
  EXPECT_LT(ComparePaths("v1.9", "v1.10"), 0);
  EXPECT_LT(ComparePaths("x99999999999999999999", "x100000000000000000000"), 0);
}

TEST(PathOrder, CaseIsIgnoredBeforeItBreaksTies) {
  EXPECT_LT(ComparePaths("apple", "Banana"), 0);
  EXPECT_LT(ComparePaths("Apple", "banana"), 0);
  EXPECT_GT(ComparePaths("\xC3\x89tb", "\xC3\xA9ta"), 0);  // "Étb" > "éta"
  EXPECT_LT(ComparePaths("_x", "a"), 0);  // folding to lower case keeps "_" before letters
}

TEST(PathOrder, OnlyIdenticalTextsAreEqual) {
  EXPECT_EQ(ComparePaths("same/path", "same/path"), 0);
  EXPECT_NE(ComparePaths("a", "A"), 0);
  EXPECT_EQ(ComparePaths("a", "A"), -ComparePaths("A", "a"));
  EXPECT_NE(ComparePaths("file01", "file1"), 0);
  EXPECT_EQ(ComparePaths("file01", "file1"), -ComparePaths("file1", "file01"));
  EXPECT_NE(ComparePaths("\xFF", "\xFE"), 0);  // bytes that are not UTF-8
}

TEST(PathOrder, ShorterPrefixComesFirstAndSortingIsStable) {
  EXPECT_LT(ComparePaths("docs", "docs/a"), 0);
  std::vector<std::string> paths{"B10", "b9", "a", "A", "b9/x", "B1"};
  std::sort(paths.begin(), paths.end(), PathLess());
  EXPECT_EQ(paths, (std::vector<std::string>{"A", "a", "B1", "b9", "b9/x", "B10"}));
}

TEST(StandardizedPath, RemovesEmptyAndDotComponents) {
  EXPECT_EQ(StandardizePath(""), "");
  EXPECT_EQ(StandardizePath("/"), "/");
  EXPECT_EQ(StandardizePath("a//b/./c/"), "a/b/c");
  EXPECT_EQ(StandardizePath("./a"), "a");
  EXPECT_EQ(StandardizePath("/tmp/../var/./log//"), "/var/log");
  EXPECT_EQ(StandardizePath("/.."), "/");
  EXPECT_EQ(StandardizePath("a/../b"), "a/../b");  // relative paths keep ".."
}

TEST(StandardizedPath, ExpandsTheHomeFolder) {
  const char* home = std::getenv("HOME");
  if (!home || !*home) GTEST_SKIP() << "HOME is not set";
  EXPECT_EQ(StandardizePath("~/x"), StandardizePath(std::string(home) + "/x"));
  EXPECT_EQ(StandardizePath("~user"), "~user");
}

}  // namespace
}  // namespace quorvel
