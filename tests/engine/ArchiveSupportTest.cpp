#include "engine/ArchiveSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <errno.h>
#include <stdlib.h>
#include <unistd.h>

#include "support/TestSupport.h"

namespace quorvel {
namespace {

using test::TempDir;
using test::WriteFile;

std::string Hex(const std::uint8_t digest[16]) { return HexStringFromData(Data(digest, digest + 16)); }

// ---------------------------------------------------------------- BOM file list

TEST(BomFileList, ListsEveryAncestorOnceBeforeItsEntries) {
  EXPECT_EQ(BomFileListText({"a/d.txt", "a/b/c.txt"}), ".\n./a\n./a/b\n./a/b/c.txt\n./a/d.txt\n");
}

TEST(BomFileList, SortsACompanionBeforeItsItem) {
  EXPECT_EQ(BomFileListText({"x/y.doc", AppleDoubleCompanionPath("x/y.doc")}), ".\n./x\n./x/._y.doc\n./x/y.doc\n");
}

TEST(BomFileList, SortsByBytesAndInsertsAncestorsLeftBehindBySiblings) {
  // '.' sorts before '/', so "a.txt" comes between "a" and "a/...".
  EXPECT_EQ(BomFileListText({"a/b/c", "a.txt", "a/x/y", "B"}),
            ".\n./B\n./a.txt\n./a\n./a/b\n./a/b/c\n./a/x\n./a/x/y\n");
  // A listed folder represents itself for its contents.
  EXPECT_EQ(BomFileListText({"d/e", "d"}), ".\n./d\n./d/e\n");
  EXPECT_EQ(BomFileListText({}), ".\n");
  EXPECT_EQ(BomFileListText({"top"}), ".\n./top\n");
}

TEST(BomFileList, ParsesOnlyWellFormedLists) {
  auto entries = ParseBomFileList(".\n./a\n./a b/c\n");
  ASSERT_TRUE(entries);
  EXPECT_EQ(*entries, (std::vector<std::string>{".", "./a", "./a b/c"}));
  for (const std::string& text : {std::string(), std::string("./a\n"), std::string(".\n./a"),
                                  std::string(".\n\n./a\n"), std::string(".\na\n"), std::string(".\n./\n"),
                                  std::string(".\n./a\0b\n", 8)}) {
    auto refused = ParseBomFileList(text);
    EXPECT_FALSE(refused) << text;
    EXPECT_EQ(refused.status().domain(), kArchiveDomain) << text;
    EXPECT_FALSE(refused.status().message().empty()) << text;
  }
}

TEST(BillOfMaterials, RoundTripsAndChecksItsCount) {
  std::vector<std::string> entries{".", "./a", "./a/._b", "./a/b"};
  std::string text = BillOfMaterialsText(entries);
  EXPECT_EQ(text, "QUORVEL-BOM 1\n4\n.\n./a\n./a/._b\n./a/b\n");
  EXPECT_EQ(*ParseBillOfMaterials(text), entries);
  EXPECT_FALSE(ParseBillOfMaterials("QUORVEL-BOM 1\n5\n.\n./a\n./a/._b\n./a/b\n"));
  EXPECT_FALSE(ParseBillOfMaterials("QUORVEL-BOM 2\n1\n.\n"));
  EXPECT_FALSE(ParseBillOfMaterials("QUORVEL-BOM 1\n-1\n.\n"));
  EXPECT_FALSE(ParseBillOfMaterials("QUORVEL-BOM 1\n01\n.\n")) << "a count has one form";
  EXPECT_FALSE(ParseBillOfMaterials("QUORVEL-BOM 1\n1\n"));
  TempDir dir;
  WriteFile(dir / "bom", text);
  EXPECT_EQ(*ReadBillOfMaterials(dir / "bom"), entries);
  auto missing = ReadBillOfMaterials(dir / "missing");
  EXPECT_FALSE(missing);
  EXPECT_EQ(missing.status().code(), ENOENT);
  EXPECT_NE(missing.status().message().find("No such file"), std::string::npos);
}

TEST(AppleDoubleCompanion, SitsInTheSameFolder) {
  EXPECT_EQ(AppleDoubleCompanionPath("x/y.doc"), "x/._y.doc");
  EXPECT_EQ(AppleDoubleCompanionPath("z"), "._z");
  EXPECT_EQ(AppleDoubleCompanionPath("a/b/c d"), "a/b/._c d");
}

// ---------------------------------------------------------------- the archiver's report

TEST(DittoReport, NamesFilesAndLinksAndPassesOverTheirDetailLines) {
  std::vector<std::string> other;
  auto paths = ParseDittoReport(DataFromString("copying file ./a/b.txt ... \n"
                                               "12 bytes for ./a/b.txt\n"
                                               "\n"
                                               "  copying symlink ./l ... \n"
                                               "copying file ./not a path ... \n"
                                               ">>> Copying ./folder\n"
                                               "copying file ./x ... y ... \n"
                                               "5 bytes for ./x ... y\n"
                                               "quorvel-ditto: cannot read ./gone: No such file or directory\n"),
                                &other);
  EXPECT_EQ(paths, (std::set<std::string>{"a/b.txt", "l", "x ... y"}));
  EXPECT_EQ(other, (std::vector<std::string>{"quorvel-ditto: cannot read ./gone: No such file or directory"}));
}

TEST(DittoReport, ACopyingLineWithoutItsSeparatorIsPassedOn) {
  std::vector<std::string> other;
  auto paths = ParseDittoReport(DataFromString("copying file ./broken\ndetail\ncopying file ./ok ... \n1 bytes\n"),
                                &other);
  EXPECT_EQ(paths, (std::set<std::string>{"ok"}));
  EXPECT_EQ(other, (std::vector<std::string>{"copying file ./broken"}));
  EXPECT_TRUE(ParseDittoReport(Data(), nullptr).empty());
}

// ---------------------------------------------------------------- digests

class FileDigest : public ::testing::Test {
 protected:
  TempDir dir;
};

TEST_F(FileDigest, AFilesDigestEqualsMd5sum) {
  if (!test::HaveProgram("md5sum")) GTEST_SKIP() << "md5sum is not installed";
  // Several chunks and a partial one.
  std::string contents;
  for (int i = 0; contents.size() < 3 * kDigestChunkSize + 1234; ++i) contents += std::to_string(i * 7919) + ",";
  const std::string file = dir / "file";
  WriteFile(file, contents);
  std::uint8_t digest[16];
  int error = -1;
  std::vector<std::uint64_t> progress;
  ASSERT_TRUE(ComputeFileDigest(file, false, digest, &error, [&](std::uint64_t bytes) {
    progress.push_back(bytes);
    return true;
  }));
  std::string expected;
  ASSERT_EQ(test::RunShell("md5sum '" + file + "'", &expected), 0);
  EXPECT_EQ(Hex(digest), expected.substr(0, 32));
  ASSERT_EQ(progress.size(), 4u);
  EXPECT_EQ(progress[0], kDigestChunkSize);
  EXPECT_EQ(progress.back(), contents.size());

  const std::string empty = dir / "empty";
  WriteFile(empty, "");
  ASSERT_TRUE(ComputeFileDigest(empty, false, digest, &error));
  EXPECT_EQ(Hex(digest), "d41d8cd98f00b204e9800998ecf8427e");
}

TEST_F(FileDigest, ALinksDigestIsThatOfItsTargetText) {
  const std::string target = dir / "target";
  WriteFile(target, "the target's contents");
  const std::string link = dir / "link";
  ASSERT_EQ(symlink("target", link.c_str()), 0);
  std::uint8_t digest[16];
  int error = 0;
  ASSERT_TRUE(ComputeFileDigest(link, true, digest, &error));
  EXPECT_EQ(Hex(digest), "42aefbae01d2dfd981f7da7d823d689e") << "MD5 of \"target\"";
  // As a file the link is refused: it is never followed.
  EXPECT_FALSE(ComputeFileDigest(link, false, digest, &error));
  EXPECT_EQ(error, ELOOP);
}

TEST_F(FileDigest, StopsWhenProgressSaysSoAndReportsFailures) {
  const std::string file = dir / "file";
  WriteFile(file, std::string(2 * kDigestChunkSize + 10, 'x'));
  std::uint8_t digest[16];
  int error = -1;
  int calls = 0;
  EXPECT_FALSE(ComputeFileDigest(file, false, digest, &error, [&](std::uint64_t) { return ++calls < 2; }));
  EXPECT_EQ(error, 0) << "a stop is no error";
  EXPECT_EQ(calls, 2);
  EXPECT_FALSE(ComputeFileDigest(dir / "missing", false, digest, &error));
  EXPECT_EQ(error, ENOENT);
  EXPECT_FALSE(ComputeFileDigest(dir / "missing", true, digest, &error));
  EXPECT_EQ(error, ENOENT);
}

// ---------------------------------------------------------------- tool locations

TEST(ToolPaths, TheEnvironmentWinsOverTheExecutablesFolder) {
  setenv("QUORVEL_DITTO", "/somewhere/ditto", 1);
  setenv("QUORVEL_MKBOM", "/somewhere/mkbom", 1);
  EXPECT_EQ(DittoToolPath(), "/somewhere/ditto");
  EXPECT_EQ(MkbomToolPath(), "/somewhere/mkbom");
  unsetenv("QUORVEL_DITTO");
  unsetenv("QUORVEL_MKBOM");
  // This test runs from <build>/tests; the tools are built into <build>.
  EXPECT_EQ(DittoToolPath(), std::string(QUORVEL_TEST_BINARY_DIR) + "/quorvel-ditto");
  EXPECT_EQ(MkbomToolPath(), std::string(QUORVEL_TEST_BINARY_DIR) + "/quorvel-mkbom");
}

}  // namespace
}  // namespace quorvel
