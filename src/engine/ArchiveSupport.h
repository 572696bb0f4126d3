// Pieces of archive handling that need no engine state: where the archive
// tools live, the bill-of-materials file list and file, the archiver's
// verbose report, AppleDouble companion names and file digests.
//
// Bill of materials file (what quorvel-mkbom writes and quorvel-ditto reads),
// UTF-8 text, every line ended by a line feed:
//
//   QUORVEL-BOM 1          format name and version
//   COUNT                  number of entries, decimal
//   .                      the root, always the first entry
//   ./relative/path        one line per further entry, in list order
//
// Entry paths are kept exactly as listed (no case folding, no sorting); a
// path never holds a line feed or a NUL.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "foundation/Status.h"
#include "foundation/Data.h"

namespace quorvel {

inline constexpr const char* kBillOfMaterialsMagic = "QUORVEL-BOM 1";
inline constexpr std::size_t kDigestChunkSize = 262144;
inline constexpr std::size_t kMaximumLinkTargetLength = 1024;

// Where the engine finds the tools: $QUORVEL_DITTO / $QUORVEL_MKBOM when set, else next to the running executable
// (/proc/self/exe's folder), else its parent folder.
std::string DittoToolPath();
// True when $QUORVEL_DITTO names an archiver: archives are then made by
// running it, else in this process (the same archives and reports).
bool ArchiverToolIsChosen();
std::string MkbomToolPath();

// The BOM file list for entries (relative paths, e.g. "a/b/c.txt", "a/._d.txt"): sorted by plain byte comparison,
// each preceded by its not-yet-listed ancestor directories outermost first; text "." then "./path" lines, each
// ending in "\n". Members a/b/c.txt and a/d.txt give ".\n./a\n./a/b\n./a/b/c.txt\n./a/d.txt\n".
std::string BomFileListText(std::vector<std::string> entries);

// The AppleDouble companion path of a relative path: "x/y.doc" -> "x/._y.doc", "z" -> "._z".
std::string AppleDoubleCompanionPath(const std::string& relativePath);

// Parses ditto's verbose report (newer form): returns the relative paths named by "copying file ./PATH ... " and
// "copying symlink ./PATH ... " lines (path = text from after "./" up to the last " ... "), skipping the detail
// line after each; lines starting ">>> " and blank lines ignored; every other line, and copying lines without
// " ... ", go to `otherLines` (which may be null).
std::set<std::string> ParseDittoReport(const Data& errorOutput, std::vector<std::string>* otherLines);

// MD5 digest of a file's data (read in 262,144-byte chunks, opened O_RDONLY|O_NOFOLLOW) or, for a symlink, of its
// target text (readlink, at most 1024 bytes). progress(bytesSoFar) is called after each chunk and returns false to
// stop (cancel). Returns false on failure with errno (0 when stopped) in *errorNumber (which may be null).
bool ComputeFileDigest(const std::string& path, bool isSymbolicLink, std::uint8_t digest[16], int* errorNumber,
                       const std::function<bool(std::uint64_t)>& progress = {});

// Bill of materials files. Parsing the file list checks its shape: "." first,
// then lines beginning "./", no empty line, no NUL, a final line feed; text
// of another shape is a permanent kArchiveDomain failure saying what is wrong.
Expected<std::vector<std::string>> ParseBomFileList(const std::string& text);
std::string BillOfMaterialsText(const std::vector<std::string>& entries);
Expected<std::vector<std::string>> ParseBillOfMaterials(const std::string& text);
// Reads and checks a BOM file: a kPosixDomain failure when it cannot be read,
// a kArchiveDomain one when it is not a bill of materials.
Expected<std::vector<std::string>> ReadBillOfMaterials(const std::string& path);

}  // namespace quorvel
