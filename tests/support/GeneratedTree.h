// A generated source tree for backup and restore tests: everything a backup
// must carry, with deterministic contents.
//
//   GeneratedTreeOptions options;
//   options.segmentSize = 64 * 1024;   // the backup's segment size in bytes
//   GeneratedTree tree = GenerateTree(dir.path() + "/source", options);
//   ... back up tree.root, restore it elsewhere ...
//   EXPECT_EQ(TreeDifferences(tree.root, restored), std::vector<std::string>{});
//
// The tree (names relative to the root):
//
//   empty.txt, folder/empty                       empty files
//   segment/exact.bin                             exactly one segment
//   segment/exact-plus-one.bin                    one segment and one byte
//   segment/several.dat                           several segments and a bit more
//   small/file-NNN.txt (smallFileCount of them,   small files of varying size,
//     spread over small/, small/a/, small/a/b/)     some with an incompressible
//                                                   extension (.jpg, .zip)
//   deep/1/2/3/4/5/leaf.txt                       nested folders
//   empty-folder/, deep/1/2/empty/                empty folders
//   names/with space.txt, names/Dossier été/naïve café.txt, names/日本語.txt
//   links/to-file -> ../empty.txt                 symbolic links (symbolicLinks)
//   links/to-dir -> ../deep
//   links/dangling -> does-not-exist
//   attributes/tagged.txt, attributes/           user.* extended attributes
//     (folder itself)                              (extendedAttributes, when the
//                                                   file system takes them)
//   acl/shared.txt, acl/ (default ACL)            POSIX ACLs (acls, when the file
//                                                   system takes them)
//
// Contents depend only on the path, the size and the seed, so two trees made
// with the same options are equal byte for byte; modification times are set
// to fixed, distinct values (older for lower-numbered small files). Not
// thread-safe with respect to the folder being generated; call once per root.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "foundation/Data.h"

namespace quorvel::test {

struct GeneratedTreeOptions {
  // Bytes of one segment (the controller's maximumSegmentSize << 20 in real
  // runs; tests that want small trees pass a real backup segment size of 1 MB).
  std::uint64_t segmentSize = 1 << 20;
  // Segments of segment/several.dat (plus a partial one).
  int severalSegments = 3;
  int smallFileCount = 40;
  // Largest small file in bytes.
  std::uint32_t smallFileMaximumSize = 6000;
  bool symbolicLinks = true;
  bool extendedAttributes = true;
  bool acls = true;
  std::uint32_t seed = 1;
};

struct GeneratedTree {
  std::string root;
  // Relative paths, in creation order.
  std::vector<std::string> files;        // regular files
  std::vector<std::string> links;        // symbolic links
  std::vector<std::string> directories;  // folders (not the root)
  std::string exactSegmentFile;          // "segment/exact.bin"
  std::string segmentPlusOneFile;        // "segment/exact-plus-one.bin"
  std::string severalSegmentsFile;       // "segment/several.dat"
  // What the file system took (false when it refused, e.g. no user xattrs).
  bool hasExtendedAttributes = false;
  bool hasACLs = false;
  // Relative paths carrying extended attributes / ACLs.
  std::vector<std::string> attributedPaths;
  std::vector<std::string> aclPaths;
};

// Builds the tree under root (created when missing; must be empty). Fails
// the calling test (ADD_FAILURE) on errors other than unsupported xattrs/ACLs.
GeneratedTree GenerateTree(const std::string& root, const GeneratedTreeOptions& options = {});

// The deterministic contents GenerateTree gives a file of this relative path
// and size; also for rewriting a file with new contents in tests.
Data GeneratedContents(const std::string& relativePath, std::uint64_t size, std::uint32_t seed);

// Compares two trees: entry set, type, file contents, link targets, user.*
// extended attributes, ACL texts, permission bits and (unless
// compareModificationTimes is false) the modification times of files and
// links, to a microsecond (what a snapshot keeps). Answers one line per
// difference (empty when equal).
std::vector<std::string> TreeDifferences(const std::string& expectedRoot, const std::string& actualRoot,
                                         bool compareModificationTimes = true);

}  // namespace quorvel::test
