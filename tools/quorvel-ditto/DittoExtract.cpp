// Archive extraction: the BOM's entries, read from standard input, written
// below the destination folder and nowhere else.
//
// Safety: the tool works from inside the destination (chdir) and hands
// libarchive relative names only, with its secure-extraction checks on. On
// top of those, every entry is refused (with a message, exit status 1) that
// has an absolute name, a ".." component, a hard link, a type other than
// file, folder or symbolic link (named pipes and devices included), a
// parent inside the destination that is a symbolic link or no folder, or
// that would replace a folder in the destination with something else.
// Companions are applied only to items below the destination, and only
// after every entry is written.
#include <archive.h>
#include <archive_entry.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "Ditto.h"
#include "engine/ArchiveSupport.h"
#include "foundation/AppleDouble.h"

namespace quorvel::ditto {

namespace {

// Companions larger than this are not AppleDouble data this program wrote.
constexpr std::int64_t kMaximumCompanionSize = std::int64_t(256) << 20;

struct ReadDeleter {
  void operator()(struct archive* archive) const { archive_read_free(archive); }
};
struct WriteDeleter {
  void operator()(struct archive* archive) const { archive_write_free(archive); }
};

// The entry's name as a clean relative path ("a/b"), "" for the root, or
// nothing when it is absolute or climbs with "..".
std::optional<std::string> RelativeName(const char* name) {
  if (!name || !*name || name[0] == '/') return std::nullopt;
  std::string result;
  std::string text = name;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('/', start);
    if (end == std::string::npos) end = text.size();
    std::string component = text.substr(start, end - start);
    start = end + 1;
    if (component.empty() || component == ".") continue;
    if (component == "..") return std::nullopt;
    if (!result.empty()) result += '/';
    result += component;
  }
  return result;
}

// Checks the parents of a relative path (inside the current folder, the
// destination): each one that exists must be a real folder.
bool ParentsAreFolders(const std::string& relative, std::string* why) {
  for (std::size_t slash = relative.find('/'); slash != std::string::npos; slash = relative.find('/', slash + 1)) {
    std::string parent = relative.substr(0, slash);
    struct stat status;
    if (lstat(parent.c_str(), &status) != 0) {
      if (errno == ENOENT) return true;
      *why = parent + ": " + std::strerror(errno);
      return false;
    }
    if (S_ISLNK(status.st_mode)) {
      *why = "its parent \"" + parent + "\" is a symbolic link";
      return false;
    }
    if (!S_ISDIR(status.st_mode)) {
      *why = "its parent \"" + parent + "\" is not a folder";
      return false;
    }
  }
  return true;
}

// An archive entry type (AE_IF*, the same values as S_IF*) for messages.
const char* TypeName(mode_t type) {
  switch (type) {
    case AE_IFREG:
      return "file";
    case AE_IFDIR:
      return "folder";
    case AE_IFLNK:
      return "symbolic link";
    case AE_IFIFO:
      return "named pipe";
    case AE_IFCHR:
      return "character device";
    case AE_IFBLK:
      return "block device";
    case AE_IFSOCK:
      return "socket";
    default:
      return "item of unknown type";
  }
}

std::string LastComponent(const std::string& relative) {
  std::size_t slash = relative.rfind('/');
  return slash == std::string::npos ? relative : relative.substr(slash + 1);
}

// "x/._y" -> "x/y"
std::string CompanionTarget(const std::string& relative) {
  std::size_t slash = relative.rfind('/');
  if (slash == std::string::npos) return relative.substr(2);
  return relative.substr(0, slash + 1) + relative.substr(slash + 3);
}

class Extractor {
 public:
  Extractor(struct archive* input, struct archive* disk, std::set<std::string> wanted)
      : input_(input), disk_(disk), wanted_(std::move(wanted)) {}

  bool failed() const { return failed_; }

  // Reads every entry; false on a fatal archive error.
  bool run() {
    for (;;) {
      archive_entry* entry = nullptr;
      int result = archive_read_next_header(input_, &entry);
      if (result == ARCHIVE_EOF) return true;
      if (result < ARCHIVE_WARN) {
        Complain("cannot read the archive: %s", archive_error_string(input_));
        return false;
      }
      if (!handle(entry)) return false;
    }
  }

  // Applies the collected companions; call after the disk writer is closed.
  void applyCompanions() {
    for (const auto& [relative, data] : companions_) {
      const std::string target = CompanionTarget(relative);
      std::string why;
      struct stat status;
      if (!ParentsAreFolders(target, &why)) {
        refuse(relative, why);
        continue;
      }
      if (lstat(target.c_str(), &status) != 0) {
        Complain("cannot apply ./%s: ./%s: %s", relative.c_str(), target.c_str(), std::strerror(errno));
        failed_ = true;
        continue;
      }
      // Opening a named pipe or a device to write its metadata could block.
      if (!S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode) && !S_ISLNK(status.st_mode)) {
        refuse(relative, std::string("its item ./") + target + " is a " + TypeName(status.st_mode & S_IFMT));
        continue;
      }
      std::vector<std::string> unmapped;
      if (Status applied = ApplyAppleDoubleData(data, target, &unmapped); !applied.ok()) {
        Complain("cannot apply ./%s to ./%s: %s", relative.c_str(), target.c_str(), applied.message().c_str());
        failed_ = true;
      }
      // Parts of a Mac OS X ACL that POSIX cannot hold: reported, not failed.
      for (const std::string& part : unmapped) Complain("./%s: not kept: %s", target.c_str(), part.c_str());
    }
  }

  // Reports BOM entries the archive did not hold (folders that exist and
  // companions excepted: an item may simply have had nothing to carry).
  void checkCompleteness() {
    for (const std::string& relative : wanted_) {
      if (found_.count(relative) || LastComponent(relative).rfind("._", 0) == 0) continue;
      struct stat status;
      if (lstat(relative.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) continue;
      Complain("./%s: not found in the archive", relative.c_str());
      failed_ = true;
    }
  }

 private:
  void refuse(const std::string& name, const std::string& why) {
    Complain("refusing \"%s\": %s", name.c_str(), why.c_str());
    failed_ = true;
  }

  bool skipData() {
    if (archive_read_data_skip(input_) >= ARCHIVE_WARN) return true;
    Complain("cannot read the archive: %s", archive_error_string(input_));
    return false;
  }

  bool handle(archive_entry* entry) {
    const char* name = archive_entry_pathname(entry);
    auto relative = RelativeName(name);
    if (!relative) {
      refuse(name ? name : "", "absolute or climbing out of the destination");
      return skipData();
    }
    if (relative->empty()) return skipData();  // the root: the destination itself
    if (!wanted_.count(*relative)) return skipData();
    if (const char* link = archive_entry_hardlink(entry)) {
      refuse(name, std::string("hard link to \"") + link + "\"");
      return skipData();
    }
    // Only what a backup holds: a named pipe or a device would be made on
    // disk, and whoever opens it next (the restore checking its data) would
    // block or talk to hardware.
    const mode_t type = archive_entry_filetype(entry);
    if (type != AE_IFREG && type != AE_IFDIR && type != AE_IFLNK) {
      refuse(name, std::string("it is a ") + TypeName(type) + ", not a file, folder or symbolic link");
      return skipData();
    }
    std::string why;
    if (!ParentsAreFolders(*relative, &why)) {
      refuse(name, why);
      return skipData();
    }
    found_.insert(*relative);
    archive_entry_set_pathname(entry, relative->c_str());

    const bool maybeCompanion = type == AE_IFREG && LastComponent(*relative).rfind("._", 0) == 0 &&
                                LastComponent(*relative).size() > 2 && archive_entry_size(entry) >= 0 &&
                                archive_entry_size(entry) <= kMaximumCompanionSize;
    if (maybeCompanion) {
      Data data;
      if (!readAll(&data)) return false;
      if (DecodeAppleDouble(data)) {
        companions_.emplace_back(*relative, std::move(data));
        return true;
      }
      // A file that merely has a companion's name: extract it as it is.
      return writeEntry(entry, &data);
    }
    return writeEntry(entry, nullptr);
  }

  bool readAll(Data* data) {
    const void* block = nullptr;
    size_t size = 0;
    la_int64_t offset = 0;
    for (;;) {
      int result = archive_read_data_block(input_, &block, &size, &offset);
      if (result == ARCHIVE_EOF) return true;
      if (result < ARCHIVE_WARN) {
        Complain("cannot read the archive: %s", archive_error_string(input_));
        return false;
      }
      if (offset < 0 || static_cast<std::uint64_t>(offset) + size > static_cast<std::uint64_t>(kMaximumCompanionSize)) {
        Complain("cannot read the archive: a member is larger than it says");
        return false;
      }
      if (data->size() < static_cast<std::size_t>(offset) + size) data->resize(static_cast<std::size_t>(offset) + size);
      std::memcpy(data->data() + offset, block, size);
    }
  }

  // Writes the entry to disk, its data from `data` when given, else from the
  // archive. False only on a fatal archive error.
  bool writeEntry(archive_entry* entry, const Data* data) {
    const std::string name = archive_entry_pathname(entry);
    struct stat existing;
    const bool exists = lstat(name.c_str(), &existing) == 0;
    // A folder stays a folder: replacing it (while still empty) with a link
    // would lead whatever is later written or deleted below it elsewhere.
    if (exists && S_ISDIR(existing.st_mode) && archive_entry_filetype(entry) != AE_IFDIR) {
      refuse(name, std::string("a folder is in its place and the archive holds a ") +
                       TypeName(archive_entry_filetype(entry)) + " there");
      return data ? true : skipData();
    }
    // An existing link in the entry's place is replaced, never followed.
    if (exists && S_ISLNK(existing.st_mode) && unlink(name.c_str()) != 0) {
      refuse(name, std::string("cannot replace the symbolic link in its place: ") + std::strerror(errno));
      return data ? true : skipData();
    }
    int result = archive_write_header(disk_, entry);
    if (result < ARCHIVE_WARN) {
      Complain("cannot extract ./%s: %s", name.c_str(), archive_error_string(disk_));
      failed_ = true;
      if (result == ARCHIVE_FATAL) return false;
      return data ? true : skipData();
    }
    if (archive_entry_size(entry) > 0) {
      if (data) {
        if (archive_write_data(disk_, data->data(), data->size()) < 0) {
          Complain("cannot extract ./%s: %s", name.c_str(), archive_error_string(disk_));
          failed_ = true;
        }
      } else if (!copyData(name)) {
        return false;
      }
    }
    if (archive_write_finish_entry(disk_) < ARCHIVE_WARN) {
      Complain("cannot extract ./%s: %s", name.c_str(), archive_error_string(disk_));
      failed_ = true;
    }
    return true;
  }

  bool copyData(const std::string& name) {
    const void* block = nullptr;
    size_t size = 0;
    la_int64_t offset = 0;
    for (;;) {
      int result = archive_read_data_block(input_, &block, &size, &offset);
      if (result == ARCHIVE_EOF) return true;
      if (result < ARCHIVE_WARN) {
        Complain("cannot read the archive: %s", archive_error_string(input_));
        return false;
      }
      if (archive_write_data_block(disk_, block, size, offset) < ARCHIVE_WARN) {
        Complain("cannot extract ./%s: %s", name.c_str(), archive_error_string(disk_));
        failed_ = true;
        return skipData();
      }
    }
  }

  struct archive* input_;
  struct archive* disk_;
  std::set<std::string> wanted_;
  std::set<std::string> found_;
  std::vector<std::pair<std::string, Data>> companions_;
  bool failed_ = false;
};

// The extraction itself; `openInput` opens the archive reader on its input.
int Extract(const ExtractOptions& options, const std::function<int(struct archive*)>& openInput) {
  auto entries = ReadBillOfMaterials(options.bomPath);
  if (!entries) {
    Complain("cannot read the bill of materials \"%s\": %s", options.bomPath.c_str(),
             entries.status().message().c_str());
    return kExitFatal;
  }
  std::set<std::string> wanted;
  for (const std::string& entry : *entries) {
    auto relative = RelativeName(entry.c_str());
    if (!relative) {
      Complain("refusing \"%s\" from the bill of materials: climbing out of the destination", entry.c_str());
      continue;
    }
    if (!relative->empty()) wanted.insert(*relative);
  }

  // Everything below happens inside the destination, with relative names.
  int destination = open(options.destination.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (destination < 0 || fchdir(destination) != 0) {
    Complain("cannot enter the destination \"%s\": %s", options.destination.c_str(), std::strerror(errno));
    if (destination >= 0) close(destination);
    return kExitFatal;
  }
  close(destination);

  std::unique_ptr<struct archive, ReadDeleter> input(archive_read_new());
  std::unique_ptr<struct archive, WriteDeleter> disk(archive_write_disk_new());
  if (!input || !disk) {
    Complain("out of memory");
    return kExitFatal;
  }
  archive_read_support_filter_all(input.get());
  archive_read_support_format_cpio(input.get());
  if (openInput(input.get()) != ARCHIVE_OK) {
    Complain("cannot read the archive: %s", archive_error_string(input.get()));
    return kExitFatal;
  }
  int flags = ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_PERM | ARCHIVE_EXTRACT_SECURE_NODOTDOT |
              ARCHIVE_EXTRACT_SECURE_SYMLINKS | ARCHIVE_EXTRACT_SECURE_NOABSOLUTEPATHS;
  if (geteuid() == 0) flags |= ARCHIVE_EXTRACT_OWNER;
  archive_write_disk_set_options(disk.get(), flags);

  Extractor extractor(input.get(), disk.get(), std::move(wanted));
  const bool complete = extractor.run();
  // Closing sets the folders' times and modes, deferred until their contents are in.
  if (archive_write_close(disk.get()) != ARCHIVE_OK) {
    Complain("cannot finish extracting: %s", archive_error_string(disk.get()));
    return kExitFatal;
  }
  if (!complete) return kExitFatal;
  extractor.applyCompanions();
  extractor.checkCompleteness();
  return extractor.failed() ? kExitPartial : 0;
}

}  // namespace

int ExtractArchive(const ExtractOptions& options) {
  return Extract(options, [](struct archive* input) { return archive_read_open_fd(input, STDIN_FILENO, 65536); });
}

int ExtractArchiveFromMemory(const ExtractOptions& options, const void* bytes, std::size_t size) {
  return Extract(options, [bytes, size](struct archive* input) {
    return archive_read_open_memory(input, bytes, size);
  });
}

}  // namespace quorvel::ditto
