// Archive creation: the BOM's entries, read from the source root, streamed to
// standard output as CPIO "odc".
//
// Report (standard error, with -V), two lines per archived file or link:
//   copying file ./PATH ... 
//   N bytes for ./PATH
//   copying symlink ./PATH ... 
//   ./PATH -> TARGET
// An entry appears in the report only once it is completely in the archive.
// Entries that are missing, unreadable or of another type are left out with a
// message that never begins with "copying".
#include <archive.h>
#include <archive_entry.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Ditto.h"
#include "GzipSink.h"
#include "engine/ArchiveSupport.h"
#include "foundation/AppleDouble.h"

namespace quorvel::ditto {

namespace {

// The largest member "odc" can describe: eleven octal digits.
constexpr std::int64_t kMaximumMemberSize = (std::int64_t(1) << 33) - 1;
constexpr std::size_t kCopyChunk = 65536;

struct ArchiveDeleter {
  void operator()(struct archive* archive) const { archive_write_free(archive); }
};
struct EntryDeleter {
  void operator()(archive_entry* entry) const { archive_entry_free(entry); }
};
using WriteArchive = std::unique_ptr<struct archive, ArchiveDeleter>;
using Entry = std::unique_ptr<archive_entry, EntryDeleter>;

class Writer {
 public:
  // `sink` (may be null: no compression) learns, member by member, whether
  // the data that follows compresses.
  Writer(struct archive* archive, GzipSink* sink, bool verbose) : archive_(archive), sink_(sink) {
    report_.verbose = verbose;
  }

  bool fatal() const { return fatal_; }
  bool wroteSomething() const { return wroteSomething_; }

  // Archives one entry (and its companion); false when it was left out.
  bool add(const std::string& root, const std::string& relative) {
    const std::string path = root + "/" + relative;
    const std::string name = "./" + relative;
    struct stat status;
    if (lstat(path.c_str(), &status) != 0) {
      Complain("cannot read %s: %s", name.c_str(), std::strerror(errno));
      return false;
    }
    if (!S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode) && !S_ISLNK(status.st_mode)) {
      Complain("cannot archive %s: not a file, directory or symbolic link", name.c_str());
      return false;
    }

    // The metadata is read first: an item whose metadata cannot be read is
    // left out rather than archived incompletely.
    std::optional<Data> companion;
    if (HasAppleDoubleMetadata(path)) {
      Expected<AppleDoubleContents> contents = AppleDoubleContentsForPath(path);
      if (!contents) {
        Complain("cannot read the metadata of %s: %s", name.c_str(), contents.status().message().c_str());
        return false;
      }
      if (!contents->empty()) {
        Expected<Data> encoded = EncodeAppleDouble(*contents);
        if (!encoded) {
          Complain("cannot read the metadata of %s: %s", name.c_str(), encoded.status().message().c_str());
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
      added = addFile(path, name);
    }
    if (added && companion) added = addCompanion("./" + AppleDoubleCompanionPath(relative), status, *companion);
    if (!added) {
      report_.text.clear();
      return false;
    }
    report_.flush();
    return true;
  }

 private:
  // Collects the entry's report lines; they are printed only once the entry
  // and its companion are complete.
  struct Report {
    bool verbose = false;
    std::string text;
    void flush() {
      if (verbose && !text.empty()) {
        std::fwrite(text.data(), 1, text.size(), stderr);
        std::fflush(stderr);
      }
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
    Complain("cannot archive %s: %s", name.c_str(), archive_error_string(archive_));
    if (result == ARCHIVE_FATAL) fatal_ = true;
    return false;
  }

  bool writeData(const void* bytes, std::size_t length) {
    if (archive_write_data(archive_, bytes, length) >= 0) return true;
    Complain("cannot write the archive: %s", archive_error_string(archive_));
    fatal_ = true;
    return false;
  }

  bool finishEntry() {
    if (archive_write_finish_entry(archive_) >= ARCHIVE_WARN) return true;
    Complain("cannot write the archive: %s", archive_error_string(archive_));
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
        Complain("cannot read %s: %s", name.c_str(), std::strerror(errno));
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
    report_.text += "copying symlink " + name + " ... \n" + name + " -> " + target + "\n";
    return true;
  }

  bool addFile(const std::string& path, const std::string& name) {
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
      Complain("cannot read %s: %s", name.c_str(), std::strerror(errno));
      return false;
    }
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
      Complain("cannot read %s: it changed while being archived", name.c_str());
      close(fd);
      return false;
    }
    if (status.st_size > kMaximumMemberSize) {
      Complain("cannot archive %s: too large for the archive format", name.c_str());
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
    std::vector<char> buffer(kCopyChunk);
    std::int64_t remaining = status.st_size;
    bool complete = true;
    while (remaining > 0) {
      ssize_t n = read(fd, buffer.data(), static_cast<std::size_t>(std::min<std::int64_t>(remaining, kCopyChunk)));
      if (n < 0) {
        if (errno == EINTR) continue;
        Complain("cannot read %s: %s", name.c_str(), std::strerror(errno));
        complete = false;
        break;
      }
      if (n == 0) {
        Complain("cannot archive %s: it shrank while being archived", name.c_str());
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
      remaining -= n;
    }
    char extra;
    if (complete && read(fd, &extra, 1) > 0) {
      Complain("cannot archive %s: it grew while being archived", name.c_str());
      complete = false;
    }
    close(fd);
    if (!finishEntry() || !complete) return false;
    report_.text += "copying file " + name + " ... \n" + std::to_string(status.st_size) + " bytes for " + name + "\n";
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
  Report report_;
  bool fatal_ = false;
  bool wroteSomething_ = false;
  std::int64_t nextNode_ = 0;
};

// libarchive's write callback: the archive's bytes into the gzip sink.
la_ssize_t WriteToSink(struct archive* archive, void* client, const void* bytes, size_t length) {
  auto* sink = static_cast<GzipSink*>(client);
  if (sink->write(bytes, length)) return static_cast<la_ssize_t>(length);
  archive_set_error(archive, EIO, "%s", sink->error().c_str());
  return -1;
}

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

}  // namespace

int CreateArchive(const CreateOptions& options) {
  auto entries = ReadBillOfMaterials(options.bomPath);
  if (!entries) {
    Complain("cannot read the bill of materials \"%s\": %s", options.bomPath.c_str(),
             entries.status().message().c_str());
    return kExitFatal;
  }
  struct stat rootStatus;
  if (stat(options.sourceRoot.c_str(), &rootStatus) != 0 || !S_ISDIR(rootStatus.st_mode)) {
    Complain("cannot read the source folder \"%s\"", options.sourceRoot.c_str());
    return kExitFatal;
  }

  // Compression is ours (GzipSink), so that it can follow the members; the
  // archive hands over its bytes unblocked.
  std::unique_ptr<GzipSink> sink;
  if (options.compress) {
    sink = std::make_unique<GzipSink>(STDOUT_FILENO);
    if (!sink->ok()) {
      Complain("%s", sink->error().c_str());
      return kExitFatal;
    }
  }
  WriteArchive archive(archive_write_new());
  if (!archive || archive_write_set_format_cpio_odc(archive.get()) != ARCHIVE_OK ||
      archive_write_add_filter_none(archive.get()) != ARCHIVE_OK ||
      archive_write_set_bytes_per_block(archive.get(), sink ? 0 : 10240) != ARCHIVE_OK ||
      archive_write_set_bytes_in_last_block(archive.get(), 1) != ARCHIVE_OK ||
      (sink ? archive_write_open2(archive.get(), sink.get(), nullptr, WriteToSink, nullptr, nullptr)
            : archive_write_open_fd(archive.get(), STDOUT_FILENO)) != ARCHIVE_OK) {
    Complain("cannot start the archive: %s", archive ? archive_error_string(archive.get()) : "out of memory");
    return kExitFatal;
  }

  Writer writer(archive.get(), sink.get(), options.verbose);
  std::string root = options.sourceRoot;
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  bool leftOut = false;
  for (const std::string& entry : *entries) {
    if (entry == ".") continue;
    const std::string relative = entry.substr(2);
    if (!IsPlainRelativePath(relative)) {
      Complain("refusing %s: not a path inside the source folder", entry.c_str());
      leftOut = true;
      continue;
    }
    if (!writer.add(root, relative)) leftOut = true;
    if (writer.fatal()) return kExitFatal;
  }
  if (archive_write_close(archive.get()) != ARCHIVE_OK) {
    Complain("cannot finish the archive: %s", archive_error_string(archive.get()));
    return kExitFatal;
  }
  if (sink && !sink->finish()) {
    Complain("cannot finish the archive: %s", sink->error().c_str());
    return kExitFatal;
  }
  if (!leftOut) return 0;
  return writer.wroteSomething() ? kExitPartial : kExitFatal;
}

}  // namespace quorvel::ditto
