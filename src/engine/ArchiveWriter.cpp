#include "engine/ArchiveWriter.h"

#include <archive.h>
#include <archive_entry.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/ArchiveSupport.h"
#include "foundation/AppleDouble.h"

namespace quorvel {

namespace {

// The largest member "odc" can describe: eleven octal digits.
constexpr std::int64_t kMaximumMemberSize = (std::int64_t(1) << 33) - 1;
constexpr std::size_t kCopyChunk = 65536;

struct EntryDeleter {
  void operator()(archive_entry* entry) const { archive_entry_free(entry); }
};
using Entry = std::unique_ptr<archive_entry, EntryDeleter>;

// True for "a/b/c": no empty, "." or ".." component, so that the entry
// names an item inside the source folder and the archive names it the same.
bool IsPlainRelativePath(const std::string& relative) {
  std::size_t start = 0;
  while (start <= relative.size()) {
    std::size_t end = relative.find('/', start);
    if (end == std::string::npos) end = relative.size();
    const std::string component = relative.substr(start, end - start);
    if (component.empty() || component == "." || component == "..") return false;
    start = end + 1;
  }
  return true;
}

std::string Formatted(const char* format, std::va_list arguments) {
  std::va_list copy;
  va_copy(copy, arguments);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text(static_cast<std::size_t>(std::max(length, 0)) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, arguments);
  text.resize(text.size() - 1);
  return text;
}

}  // namespace

// The entries going into one archive: headers, data, companions and the
// report lines of each.
class ArchiveWriter::Entries {
 public:
  // `sink` (may be null: no compression) learns, member by member, whether
  // the data that follows compresses.
  Entries(struct archive* archive, GzipSink* sink, bool verbose, const Report& report)
      : archive_(archive), sink_(sink), report_(report) {
    pending_.verbose = verbose;
    pending_.report = &report_;
  }

  bool fatal() const { return fatal_; }
  bool wroteSomething() const { return wroteSomething_; }

  void complain(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    std::va_list arguments;
    va_start(arguments, format);
    report_("quorvel-ditto: " + Formatted(format, arguments) + "\n");
    va_end(arguments);
  }

  // Archives one entry (and its companion); false when it was left out.
  bool add(const std::string& root, const std::string& relative, const MemberData& memberData) {
    if (!IsPlainRelativePath(relative)) {
      complain("refusing ./%s: not a path inside the source folder", relative.c_str());
      return false;
    }
    const std::string path = root + "/" + relative;
    const std::string name = "./" + relative;
    struct stat status;
    if (lstat(path.c_str(), &status) != 0) {
      complain("cannot read %s: %s", name.c_str(), std::strerror(errno));
      return false;
    }
    if (!S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode) && !S_ISLNK(status.st_mode)) {
      complain("cannot archive %s: not a file, directory or symbolic link", name.c_str());
      return false;
    }

    // The metadata is read first: an item whose metadata cannot be read is
    // left out rather than archived incompletely.
    std::optional<Data> companion;
    if (HasAppleDoubleMetadata(path)) {
      Expected<AppleDoubleContents> contents = AppleDoubleContentsForPath(path);
      if (!contents) {
        complain("cannot read the metadata of %s: %s", name.c_str(), contents.status().message().c_str());
        return false;
      }
      if (!contents->empty()) {
        Expected<Data> encoded = EncodeAppleDouble(*contents);
        if (!encoded) {
          complain("cannot read the metadata of %s: %s", name.c_str(), encoded.status().message().c_str());
          return false;
        }
        companion = std::move(*encoded);
      }
    }

    bool added = false;
    if (S_ISDIR(status.st_mode)) {
      added = addDirectory(name, status);
    } else if (S_ISLNK(status.st_mode)) {
      added = addLink(path, name, status);
    } else {
      added = addFile(path, name, memberData);
    }
    if (added && companion) added = addCompanion("./" + AppleDoubleCompanionPath(relative), status, *companion);
    if (!added) {
      pending_.text.clear();
      return false;
    }
    pending_.flush();
    return true;
  }

 private:
  // Collects the entry's report lines; they are printed only once the entry
  // and its companion are complete.
  struct PendingReport {
    bool verbose = false;
    const Report* report = nullptr;
    std::string text;
    void flush() {
      if (verbose && !text.empty()) (*report)(text);
      text.clear();
    }
  };

  Entry newEntry(const std::string& name, const struct stat& status, mode_t type, std::int64_t size) {
    Entry entry(archive_entry_new());
    archive_entry_set_pathname(entry.get(), name.c_str());
    archive_entry_set_filetype(entry.get(), type);
    archive_entry_set_perm(entry.get(), status.st_mode & 07777);
    archive_entry_set_uid(entry.get(), status.st_uid);
    archive_entry_set_gid(entry.get(), status.st_gid);
    archive_entry_set_mtime(entry.get(), status.st_mtim.tv_sec, status.st_mtim.tv_nsec);
    archive_entry_set_size(entry.get(), size);
    // Every member stands alone: distinct inode numbers, one link each, so
    // that no reader takes two members for hard links of one file.
    archive_entry_set_dev(entry.get(), 1);
    archive_entry_set_ino(entry.get(), ++nextNode_);
    archive_entry_set_nlink(entry.get(), 1);
    return entry;
  }

  // Writes a header; false (with a message) when the member cannot be
  // described or the archive failed.
  bool writeHeader(archive_entry* entry, const std::string& name) {
    int result = archive_write_header(archive_, entry);
    if (result >= ARCHIVE_WARN) {
      wroteSomething_ = true;
      return true;
    }
    complain("cannot archive %s: %s", name.c_str(), archive_error_string(archive_));
    if (result == ARCHIVE_FATAL) fatal_ = true;
    return false;
  }

  bool writeData(const void* bytes, std::size_t length) {
    if (archive_write_data(archive_, bytes, length) >= 0) return true;
    complain("cannot write the archive: %s", archive_error_string(archive_));
    fatal_ = true;
    return false;
  }

  bool finishEntry() {
    if (archive_write_finish_entry(archive_) >= ARCHIVE_WARN) return true;
    complain("cannot write the archive: %s", archive_error_string(archive_));
    fatal_ = true;
    return false;
  }

  bool addDirectory(const std::string& name, const struct stat& status) {
    Entry entry = newEntry(name, status, AE_IFDIR, 0);
    return writeHeader(entry.get(), name) && finishEntry();
  }

  bool addLink(const std::string& path, const std::string& name, const struct stat& status) {
    std::string target(static_cast<std::size_t>(status.st_size > 0 ? status.st_size : 255) + 1, '\0');
    for (;;) {
      ssize_t length = readlink(path.c_str(), target.data(), target.size());
      if (length < 0) {
        complain("cannot read %s: %s", name.c_str(), std::strerror(errno));
        return false;
      }
      if (static_cast<std::size_t>(length) < target.size()) {
        target.resize(static_cast<std::size_t>(length));
        break;
      }
      target.resize(target.size() * 2);
    }
    Entry entry = newEntry(name, status, AE_IFLNK, 0);
    archive_entry_set_symlink(entry.get(), target.c_str());
    if (!writeHeader(entry.get(), name) || !finishEntry()) return false;
    pending_.text += "copying symlink " + name + " ... \n" + name + " -> " + target + "\n";
    return true;
  }

  bool addFile(const std::string& path, const std::string& name, const MemberData& memberData) {
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
      complain("cannot read %s: %s", name.c_str(), std::strerror(errno));
      return false;
    }
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
      complain("cannot read %s: it changed while being archived", name.c_str());
      close(fd);
      return false;
    }
    if (status.st_size > kMaximumMemberSize) {
      complain("cannot archive %s: too large for the archive format", name.c_str());
      close(fd);
      return false;
    }
    Entry entry = newEntry(name, status, AE_IFREG, status.st_size);
    if (!writeHeader(entry.get(), name)) {
      close(fd);
      return false;
    }
    // The header promised st_size bytes: a file that shrinks is padded with
    // zeros by the archive, one that grows is cut; neither counts as archived.
    std::vector<char>& buffer = copyBuffer_;
    std::int64_t remaining = status.st_size;
    bool complete = true;
    while (remaining > 0) {
      ssize_t n = read(fd, buffer.data(), static_cast<std::size_t>(std::min<std::int64_t>(remaining, kCopyChunk)));
      if (n < 0) {
        if (errno == EINTR) continue;
        complain("cannot read %s: %s", name.c_str(), std::strerror(errno));
        complete = false;
        break;
      }
      if (n == 0) {
        complain("cannot archive %s: it shrank while being archived", name.c_str());
        complete = false;
        break;
      }
      // The first chunk tells whether the member is worth compressing.
      if (sink_ && remaining == status.st_size) {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(buffer.data());
        sink_->setIncompressible(ByteEntropy(bytes, static_cast<std::size_t>(n)) > kIncompressibleEntropy);
      }
      if (!writeData(buffer.data(), static_cast<std::size_t>(n))) {
        close(fd);
        return false;
      }
      if (memberData) memberData(reinterpret_cast<const std::uint8_t*>(buffer.data()), static_cast<std::size_t>(n));
      remaining -= n;
    }
    char extra;
    if (complete && read(fd, &extra, 1) > 0) {
      complain("cannot archive %s: it grew while being archived", name.c_str());
      complete = false;
    }
    close(fd);
    if (!finishEntry() || !complete) return false;
    pending_.text += "copying file " + name + " ... \n" + std::to_string(status.st_size) + " bytes for " + name + "\n";
    return true;
  }

  bool addCompanion(const std::string& name, const struct stat& owner, const Data& data) {
    struct stat status = owner;
    status.st_mode = S_IFREG | 0644;
    Entry entry = newEntry(name, status, AE_IFREG, static_cast<std::int64_t>(data.size()));
    if (!writeHeader(entry.get(), name)) return false;
    if (!data.empty() && !writeData(data.data(), data.size())) return false;
    return finishEntry();
  }

  struct archive* archive_;
  GzipSink* sink_;
  const Report& report_;
  PendingReport pending_;
  // One for the whole archive: most members are small.
  std::vector<char> copyBuffer_ = std::vector<char>(kCopyChunk);
  bool fatal_ = false;
  bool wroteSomething_ = false;
  std::int64_t nextNode_ = 0;
};


namespace {

struct WriteTarget {
  GzipSink* sink;
  const ArchiveOutput* output;
};

// libarchive's write callback: the archive's bytes into the gzip sink, or
// straight to the output.
la_ssize_t WriteArchiveBytes(struct archive* archive, void* client, const void* bytes, size_t length) {
  auto* target = static_cast<WriteTarget*>(client);
  std::string failure;
  if (target->sink) {
    if (!target->sink->write(bytes, length)) failure = target->sink->error();
  } else {
    failure = (*target->output)(bytes, length);
  }
  if (failure.empty()) return static_cast<la_ssize_t>(length);
  archive_set_error(archive, EIO, "%s", failure.c_str());
  return -1;
}

int FreeWriteTarget(struct archive*, void* client) {
  delete static_cast<WriteTarget*>(client);
  return ARCHIVE_OK;
}

}  // namespace

ArchiveWriter::ArchiveWriter(ArchiveOutput output, bool compress, bool verbose, Report report)
    : output_(std::move(output)), report_(std::move(report)), compress_(compress), verbose_(verbose) {}

ArchiveWriter::~ArchiveWriter() {
  entries_.reset();
  if (archive_) archive_write_free(archive_);
}

bool ArchiveWriter::start() {
  // Compression is ours (GzipSink), so that it can follow the members; the
  // archive hands over its bytes unblocked.
  if (compress_) {
    sink_ = std::make_unique<GzipSink>(output_);
    if (!sink_->ok()) {
      report_("quorvel-ditto: " + sink_->error() + "\n");
      return false;
    }
  }
  archive_ = archive_write_new();
  auto* target = new WriteTarget{sink_.get(), &output_};
  if (!archive_ || archive_write_set_format_cpio_odc(archive_) != ARCHIVE_OK ||
      archive_write_add_filter_none(archive_) != ARCHIVE_OK ||
      archive_write_set_bytes_per_block(archive_, sink_ ? 0 : 10240) != ARCHIVE_OK ||
      archive_write_set_bytes_in_last_block(archive_, 1) != ARCHIVE_OK ||
      archive_write_open2(archive_, target, nullptr, WriteArchiveBytes, FreeWriteTarget, nullptr) != ARCHIVE_OK) {
    if (!archive_) delete target;
    report_(std::string("quorvel-ditto: cannot start the archive: ") +
            (archive_ ? archive_error_string(archive_) : "out of memory") + "\n");
    return false;
  }
  entries_ = std::make_unique<Entries>(archive_, sink_.get(), verbose_, report_);
  return true;
}

ArchiveWriter::Outcome ArchiveWriter::add(const std::string& root, const std::string& relative,
                                          const MemberData& memberData) {
  if (!entries_ || entries_->fatal()) return Outcome::Fatal;
  std::string base = root;
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  const bool added = entries_->add(base, relative, memberData);
  if (entries_->fatal()) return Outcome::Fatal;
  return added ? Outcome::Added : Outcome::LeftOut;
}

bool ArchiveWriter::finish() {
  if (!entries_ || entries_->fatal()) return false;
  if (archive_write_close(archive_) != ARCHIVE_OK) {
    report_(std::string("quorvel-ditto: cannot finish the archive: ") + archive_error_string(archive_) + "\n");
    return false;
  }
  if (sink_ && !sink_->finish()) {
    report_("quorvel-ditto: cannot finish the archive: " + sink_->error() + "\n");
    return false;
  }
  return true;
}

bool ArchiveWriter::wroteSomething() const { return entries_ && entries_->wroteSomething(); }

int WriteArchiveOfEntries(const std::string& sourceRoot, const std::vector<std::string>& bomEntries, bool compress,
                          bool verbose, ArchiveOutput output, const ArchiveWriter::Report& report,
                          ArchiveEntryObserver* observer) {
  struct stat rootStatus;
  if (stat(sourceRoot.c_str(), &rootStatus) != 0 || !S_ISDIR(rootStatus.st_mode)) {
    report("quorvel-ditto: cannot read the source folder \"" + sourceRoot + "\"\n");
    return kArchiverExitFatal;
  }
  ArchiveWriter writer(std::move(output), compress, verbose, report);
  if (!writer.start()) return kArchiverExitFatal;
  bool leftOut = false;
  for (const std::string& entry : bomEntries) {
    if (entry == ".") continue;
    if (observer && observer->shouldStop()) return kArchiverExitFatal;
    const std::string relative = entry.rfind("./", 0) == 0 ? entry.substr(2) : entry;
    ArchiveWriter::Outcome outcome =
        writer.add(sourceRoot, relative, observer ? observer->dataOfEntry(relative) : ArchiveWriter::MemberData());
    if (outcome == ArchiveWriter::Outcome::Fatal) return kArchiverExitFatal;
    if (outcome == ArchiveWriter::Outcome::LeftOut) {
      leftOut = true;
    } else if (observer) {
      observer->entryWasAdded(relative);
    }
  }
  if (!writer.finish()) return kArchiverExitFatal;
  if (!leftOut) return kArchiverExitSuccess;
  return writer.wroteSomething() ? kArchiverExitPartial : kArchiverExitFatal;
}

}  // namespace quorvel
