// ArchiveWriter: items below a source folder written as one CPIO "odc"
// archive, gzip-compressed when asked (GzipSink), into an ArchiveOutput. The
// archiver tool (quorvel-ditto -c) is this class over a bill of materials;
// the backup engine runs it in its own process.
//
// Every entry is named "./relative/path" and stands alone (its own inode
// number, one link). A regular file's header records the size it had when
// it was opened: a file that shrinks or grows while it is read is left out
// (a shrunk one leaves zeros behind in the archive, which no report line
// claims). An item with extended attributes, a resource fork or an ACL is
// followed by its AppleDouble companion "._name"; an item whose metadata
// cannot be read is left out rather than archived incompletely.
//
// The report, handed to the Report function as it grows, is the tool's
// verbose report: two lines per archived file or link, given only once the
// entry (and its companion) is completely in the archive -
//   copying file ./PATH ... 
//   N bytes for ./PATH
//   copying symlink ./PATH ... 
//   ./PATH -> TARGET
// - and one line "quorvel-ditto: MESSAGE" for every entry left out and every
// fatal failure. (The report lines come only when `verbose` is set.)
//
// Not thread-safe; one writer per archive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/GzipSink.h"

struct archive;

namespace quorvel {

// The archiver's exit statuses.
inline constexpr int kArchiverExitSuccess = 0;
inline constexpr int kArchiverExitPartial = 1;  // some entries were left out or refused
inline constexpr int kArchiverExitUsage = 2;
inline constexpr int kArchiverExitFatal = 3;    // nothing usable was written

class ArchiveWriter {
 public:
  enum class Outcome { Added, LeftOut, Fatal };
  // Report text, in whole lines (see above).
  using Report = std::function<void(const std::string& text)>;
  // The bytes of a regular file's data as they go into the archive.
  using MemberData = std::function<void(const std::uint8_t* bytes, std::size_t length)>;

  ArchiveWriter(ArchiveOutput output, bool compress, bool verbose, Report report);
  ~ArchiveWriter();
  ArchiveWriter(const ArchiveWriter&) = delete;
  ArchiveWriter& operator=(const ArchiveWriter&) = delete;

  // Opens the archive; false (reported) when it cannot be written at all.
  bool start();
  // Archives root/relative (and its companion). `relative` must name an item
  // inside the root: "a/b", no empty, "." or ".." component (else it is
  // refused and left out). Fatal when the archive itself failed; nothing
  // more can be added then.
  Outcome add(const std::string& root, const std::string& relative, const MemberData& memberData = {});
  // Ends the archive (and the compression); false (reported) on failure.
  bool finish();
  // Some entry went in (an archive with none counts as failed).
  bool wroteSomething() const;

 private:
  class Entries;
  ArchiveOutput output_;
  std::unique_ptr<GzipSink> sink_;
  Report report_;
  const bool compress_;
  const bool verbose_;
  struct archive* archive_ = nullptr;
  std::unique_ptr<Entries> entries_;
};

// What a caller of WriteArchiveOfEntries learns and decides entry by entry.
class ArchiveEntryObserver {
 public:
  virtual ~ArchiveEntryObserver() = default;
  // Asked before each entry: true ends the run, as fatal.
  virtual bool shouldStop() { return false; }
  // Where the data of the entry `relative` (a regular file) goes as it is
  // archived; nowhere when empty.
  virtual ArchiveWriter::MemberData dataOfEntry(const std::string& relative) { return {}; }
  // The entry (and its companion) is completely in the archive.
  virtual void entryWasAdded(const std::string& relative) {}
};

// The archiver's whole run over a bill of materials' entries (".", then
// "./relative" paths) below `sourceRoot`: the exit status the tool gives -
// success, partial (something left out, something written) or fatal.
int WriteArchiveOfEntries(const std::string& sourceRoot, const std::vector<std::string>& bomEntries, bool compress,
                          bool verbose, ArchiveOutput output, const ArchiveWriter::Report& report,
                          ArchiveEntryObserver* observer = nullptr);

}  // namespace quorvel
