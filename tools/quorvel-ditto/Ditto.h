// quorvel-ditto: the archiver the backup engine runs to store many small
// files as one CPIO archive and to extract exactly a chosen set again.
//
//   quorvel-ditto -V -c (-j | --rsrc) --noqtn --bom BOMFILE SOURCEROOT -
//   quorvel-ditto -x --bom BOMFILE - DESTDIR
//
// Archives are CPIO streams in the portable "odc" format, gzip-compressed
// with "-j". Every entry is named "./relative/path". An item with extended
// attributes, a resource fork or an ACL is followed by its AppleDouble
// companion "._name" in the same directory, which extraction merges back
// into the item instead of leaving it on disk.
//
// Exit status: 0 when everything went well; 1 when some entries were left
// out or refused; 2 for wrong arguments; 3 for a fatal error (the BOM cannot
// be read, the archive cannot be written or read).
#pragma once

#include <cstddef>
#include <string>

#include "engine/ArchiveWriter.h"

namespace quorvel::ditto {

inline constexpr int kExitPartial = kArchiverExitPartial;
inline constexpr int kExitUsage = kArchiverExitUsage;
inline constexpr int kExitFatal = kArchiverExitFatal;

struct CreateOptions {
  std::string bomPath;
  std::string sourceRoot;
  bool compress = false;
  bool verbose = false;
};

struct ExtractOptions {
  std::string bomPath;
  std::string destination;
};

// Writes the archive of the BOM's entries to standard output and, with
// `verbose`, the report lines to standard error.
int CreateArchive(const CreateOptions& options);
// Reads an archive (plain, gzip or bzip2) from standard input and extracts
// the BOM's entries into the destination.
int ExtractArchive(const ExtractOptions& options);
// The same from an archive held in memory (`size` bytes at `bytes`).
// Extraction works from inside the destination: the current folder is the
// destination afterwards, as for ExtractArchive.
int ExtractArchiveFromMemory(const ExtractOptions& options, const void* bytes, std::size_t size);

// Prints "quorvel-ditto: " and the formatted message to standard error.
void Complain(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace quorvel::ditto
