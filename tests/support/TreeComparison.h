// Compares two folder trees item by item, for restore tests: the restored
// tree must equal the backed-up one in everything a backup carries.
//
//   std::vector<std::string> differences = CompareTrees(source, restored);
//   EXPECT_TRUE(differences.empty()) << JoinLines(differences);
//
// Both trees are walked without following links. For every relative path
// (the roots themselves included, as ".") it checks that it exists on both
// sides and has the same type; regular files the same bytes; links the same
// target text; the same permission bits (not for links, which have none on
// Linux); the same modification time (within a tolerance, below); the same owner and
// group (only when the process runs as root, since only root can give files
// away); the same extended attributes in every namespace the process can
// read (the two ACL attributes aside); and the same access ACL and, for
// folders, default ACL, compared as text.
//
// Each difference is one line: "<path>: <what> differs (expected X, got Y)",
// "<path>: missing", "<path>: unexpected" (the roots are "."). Lines come in
// path order, entries only in the actual tree last.
#pragma once

#include <string>
#include <vector>

namespace quorvel::test {

struct TreeComparisonOptions {
  // Compare the two roots' own properties (not only what is below them).
  bool compareRoots = true;
  // Compare what is below the roots; false compares two single items (which
  // may then be files or links).
  bool descend = true;
  bool compareModificationTimes = true;
  // Folders' modification times (files' and links' are governed by the
  // option above).
  bool compareDirectoryModificationTimes = true;
  // Largest difference of two modification times that still counts as
  // equal. A snapshot keeps times as a double count of seconds since 2001,
  // which at today's dates resolves about 0.12 microseconds, so nanoseconds
  // do not survive a backup exactly.
  long modificationTimeToleranceNanoseconds = 1000;
  // Owners and groups; by default only when running as root.
  bool compareOwners;
  TreeComparisonOptions();
};

std::vector<std::string> CompareTrees(const std::string& expectedRoot, const std::string& actualRoot,
                                      const TreeComparisonOptions& options = TreeComparisonOptions());

// The lines joined with line feeds (for test failure output).
std::string JoinLines(const std::vector<std::string>& lines);

}  // namespace quorvel::test
