#include "snapshot/DirectoryScanner.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "foundation/SystemLog.h"
#include "snapshot/PathOrder.h"
#include "snapshot/platform/FileMetadata.h"
#include "foundation/Posix.h"
#include "foundation/Format.h"

namespace quorvel {

namespace {

// Spare bytes after a directory's path in its walk's path buffer: room for
// any entry name with its terminating NUL.
constexpr std::size_t kNameSpare = 256;
constexpr std::size_t kLinkBufferSize = 1024;

// The first bytes of a cache directory's tag file.
constexpr char kCacheDirectoryTagName[] = "CACHEDIR.TAG";
constexpr char kCacheDirectoryTagSignature[] = "Signature: 8a477f597d28d172789f06886806bc55";

// Whether the directory `name` in `dirfd` holds a regular CACHEDIR.TAG file
// that begins with the signature. Links are not followed.
bool IsTaggedCacheDirectory(int dirfd, const char* name) {
  int directory = openat(dirfd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (directory < 0) return false;
  int tag = openat(directory, kCacheDirectoryTagName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  close(directory);
  if (tag < 0) return false;
  constexpr std::size_t kLength = sizeof kCacheDirectoryTagSignature - 1;
  char head[kLength];
  std::size_t got = 0;
  while (got < kLength) {
    ssize_t n = read(tag, head + got, kLength - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  close(tag);
  return got == kLength && memcmp(head, kCacheDirectoryTagSignature, kLength) == 0;
}

// Splits "a/b/c" into "a/b" and "c" ("" and "c" for a top-level name).
std::pair<std::string_view, std::string_view> SplitSubpath(std::string_view subpath) {
  std::size_t slash = subpath.rfind('/');
  if (slash == std::string_view::npos) return {std::string_view(), subpath};
  return {subpath.substr(0, slash), subpath.substr(slash + 1)};
}

// The full path of a subpath below the root.
std::string FullPath(const std::string& root, std::string_view subpath) {
  std::string path = root;
  if (!subpath.empty()) {
    if (path.empty() || path.back() != '/') path.push_back('/');
    path.append(subpath);
  }
  return path;
}

Array SortedPathArray(std::vector<std::string>& paths, bool sort) {
  if (sort) std::sort(paths.begin(), paths.end(), PathLess());
  Array array;
  array.reserve(paths.size());
  for (auto& path : paths) array.emplace_back(std::move(path));
  return array;
}

// Closes a directory stream when the walk of that directory ends.
class DirectoryStream {
 public:
  explicit DirectoryStream(DIR* dir) : dir_(dir) {}
  ~DirectoryStream() {
    if (dir_) closedir(dir_);
  }
  DirectoryStream(const DirectoryStream&) = delete;
  DirectoryStream& operator=(const DirectoryStream&) = delete;
  DIR* get() const { return dir_; }

 private:
  DIR* dir_;
};

}  // namespace

// What one scan carries down the walk.
struct DirectoryScanner::WalkState {
  std::string root;
  DirectoryMap* directories = nullptr;
  std::vector<std::string>* excluded = nullptr;
  std::vector<std::string>* errors = nullptr;
};

DirectoryScanner::DirectoryScanner(std::string rootDirectory, bool scanMetadata)
    : rootDirectory_(std::move(rootDirectory)), scanMetadata_(scanMetadata) {
  if (scanMetadata_) xattrBuffer_ = std::make_unique<char[]>(kAttributeListBufferSize);
}

DirectoryScanner::~DirectoryScanner() = default;

DirectoryScannerPtr DirectoryScanner::initWithRootDirectory(std::string_view rootDirectory, bool scanMetadata) {
  if (rootDirectory.empty()) return nullptr;
  return std::make_shared<DirectoryScanner>(std::string(rootDirectory), scanMetadata);
}

void DirectoryScanner::setUserInfo(Value value, std::string_view key) {
  if (value.isNull()) info_.erase(key);
  else info_.set(key, std::move(value));
}

// ---- Scanning

std::optional<Dictionary> DirectoryScanner::scanRootDirectory() {
  return scanRootDirectoryImpl(false, false, false, false);
}

std::optional<Dictionary> DirectoryScanner::scanAndCompareRootDirectory(std::uint32_t options) {
  return scanRootDirectoryImpl(true, (options & kDirectoryScannerBumpRevision) != 0,
                               (options & kDirectoryScannerDetectMovedItems) != 0,
                               (options & kDirectoryScannerReportRemovedDirectoriesOnly) == 0);
}

std::optional<Dictionary> DirectoryScanner::scanRootDirectoryImpl(bool compare, bool bumpRevision,
                                                                  bool detectMovedItems, bool reportAllRemovedItems) {
  std::string root = StandardizePath(rootDirectory_);
  platform::FileStatus status;
  if (root.empty() || platform::StatItem(AT_FDCWD, root.c_str(), &status) != 0 || !status.isDirectory())
    return std::nullopt;
  if (!compare) revision_ = 1;
  else if (revision_ == 0) return std::nullopt;

  std::optional<DirectoryItemData> newRoot =
      CreateDirectoryItemData(root.c_str(), status, scanMetadata_, revision_, xattrBuffer_.get());

  DirectoryMap newDirectories;
  std::vector<std::string> excluded, errors;
  WalkState state{root, &newDirectories, &excluded, &errors};
  if (scanSubdirectory(std::string(), state) <= 0) return std::nullopt;

  Dictionary result;
  if (compare) {
    SnapshotComparisonSettings settings;
    settings.compareMetadata = scanMetadata_;
    settings.detectMovedItems = detectMovedItems;
    settings.reportAllRemovedItems = reportAllRemovedItems;
    settings.revision = bumpRevision ? revision_ + 1 : revision_;
    settings.sortPaths = sortPaths_;
    result = CompareDirectoryMaps(newDirectories, directories_, settings);

    // The root's own metadata; its content is never compared.
    if (scanMetadata_ && newRoot && root_ && MetadataDiffers(*newRoot, *root_)) {
      Value rootItem(DirectoryItem::initWithPath(std::string(), *root_));
      Value& list = result[kModifiedMetadataItemsKey];
      Array& items = list.mutableArray();
      items.insert(items.begin(), std::move(rootItem));
    }
    if (bumpRevision && !result.empty()) ++revision_;
  }
  root_ = std::move(newRoot);
  directories_ = std::move(newDirectories);

  if (!excluded.empty()) result.set(kExcludedPathsKey, SortedPathArray(excluded, sortPaths_));
  if (!errors.empty()) result.set(kErrorPathsKey, SortedPathArray(errors, sortPaths_));
  return result;
}

int DirectoryScanner::scanSubdirectory(const std::string& subpath, WalkState& state) {
  if (delegate_ && delegate_->shouldAbortScanning(*this)) return -1;

  // One path buffer for the whole directory: its path, a separator, and room
  // for each entry's name in turn.
  std::string path = FullPath(state.root, subpath);
  path.reserve(path.size() + 1 + kNameSpare);
  int dirfd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  DIR* dir = dirfd >= 0 ? fdopendir(dirfd) : nullptr;
  if (!dir) {
    if (dirfd >= 0) close(dirfd);
    state.errors->push_back(subpath);
    return 0;
  }
  DirectoryStream stream(dir);
  if (path.back() != '/') path.push_back('/');
  const std::size_t prefixLength = path.size();

  Dictionary variables;
  if (exclusionPredicate_) {
    variables.set("PATH", Value(std::string()));
    variables.set("NAME", Value(std::string()));
    variables.set("TYPE", Value(0));
    variables.set("FILE_SIZE", Value(0.0));
    variables.set("DATE_MODIFIED", Value(Date()));
    variables.set("DATE_CREATED", Value(Date()));
  }

  DirectoryItemMap items;
  char link[kLinkBufferSize];
  for (;;) {
    errno = 0;
    struct dirent* entry = readdir(dir);
    if (!entry) {
      if (errno != 0) {
        state.errors->push_back(subpath);
        return 0;
      }
      break;
    }
    const char* name = entry->d_name;
    if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
    std::string_view nameView(name);
    std::string itemSubpath = JoinSubpath(subpath, nameView);

    if (name[0] == '.') {
      bool hidden = StartsWith(nameView, "._") || StartsWith(nameView, ".afpDeleted") || excludeHidden_ ||
                    (excludeDSStore_ && nameView == ".DS_Store");
      if (hidden) {
        if (reportHidden_) state.excluded->push_back(std::move(itemSubpath));
        continue;
      }
    }

    platform::FileStatus status;
    if (platform::StatItem(dirfd, name, &status) != 0 ||
        !(status.isDirectory() || status.isRegularFile() || status.isSymbolicLink())) {
      state.errors->push_back(std::move(itemSubpath));
      continue;
    }
    // Linux has no hidden flag: the hidden-flag exclusion never applies.

    if (exclusionPredicate_) {
      int type = status.isDirectory()     ? kDirectoryScannerTypeDirectory
                 : status.isRegularFile() ? kDirectoryScannerTypeRegularFile
                                          : kDirectoryScannerTypeSymbolicLink;
      variables.set("PATH", Value(itemSubpath));
      variables.set("NAME", Value(nameView));
      variables.set("TYPE", Value(type));
      variables.set("FILE_SIZE", status.isRegularFile() ? Value(static_cast<unsigned long long>(status.size))
                                                        : Value(std::numeric_limits<double>::quiet_NaN()));
      variables.set("DATE_MODIFIED", Value(Date::fromUnixTime(status.modificationTime())));
      variables.set("DATE_CREATED", Value(Date::fromUnixTime(status.statusChangeTime())));
      if (exclusionPredicate_->evaluateWithObject(Value(), variables)) {
        state.excluded->push_back(std::move(itemSubpath));
        continue;
      }
    }

    if (excludeCacheDirectories_ && status.isDirectory() && IsTaggedCacheDirectory(dirfd, name)) {
      state.excluded->push_back(std::move(itemSubpath));
      continue;
    }

    if (status.isDirectory()) {
      int walked = scanSubdirectory(itemSubpath, state);
      if (walked < 0) return -1;
      if (walked == 0) continue;
    }

    path.resize(prefixLength);
    path.append(nameView);

    // With metadata, a file must be readable (opening it proves that and
    // serves the capture) and a link's target must be readable.
    int fd = -1;
    if (scanMetadata_ && status.isRegularFile()) {
      fd = platform::OpenItem(dirfd, name, false);
      if (fd < 0) {
        state.errors->push_back(std::move(itemSubpath));
        continue;
      }
    } else if (scanMetadata_ && status.isSymbolicLink()) {
      if (readlinkat(dirfd, name, link, sizeof link) < 0) {
        state.errors->push_back(std::move(itemSubpath));
        continue;
      }
    }
    UniqueFd descriptor(fd);
    std::optional<DirectoryItemData> data =
        CreateDirectoryItemData(path.c_str(), status, scanMetadata_, revision_, xattrBuffer_.get(), fd);
    if (!data) {
      state.errors->push_back(std::move(itemSubpath));
      continue;
    }
    items.appendUnsorted(nameView, std::move(*data));
  }

  items.sortByName();
  items.shrinkToFit();
  state.directories->insert_or_assign(subpath, std::move(items));
  return 1;
}

bool DirectoryScanner::updateDirectoryItemAtSubpath(std::string_view subpath) {
  std::string standardized = StandardizePath(subpath);
  auto [parent, name] = SplitSubpath(standardized);
  if (name.empty()) return false;
  auto directory = directories_.find(parent);
  if (directory == directories_.end() || !directory->second.contains(name)) return false;
  std::string path = FullPath(StandardizePath(rootDirectory_), standardized);
  platform::FileStatus status;
  if (platform::StatItem(AT_FDCWD, path.c_str(), &status) != 0) return false;
  std::unique_ptr<char[]> buffer;
  char* listBuffer = xattrBuffer_.get();
  if (!listBuffer) {
    buffer = std::make_unique<char[]>(kAttributeListBufferSize);
    listBuffer = buffer.get();
  }
  std::optional<DirectoryItemData> data =
      CreateDirectoryItemData(path.c_str(), status, scanMetadata_, revision_, listBuffer);
  if (!data) return false;
  directory->second.insertOrAssign(name, std::move(*data));
  return true;
}

DirectoryItemPtr DirectoryScanner::directoryItemAtPath(std::string_view path, bool includeMetadata) {
  std::string standardized = StandardizePath(path);
  platform::FileStatus status;
  if (int error = platform::StatItem(AT_FDCWD, standardized.c_str(), &status)) {
    SystemLog("%s: lstat() on \"%s\" failed with error \"%s\"", "directoryItemAtPath", standardized.c_str(),
              strerror(error));
    return nullptr;
  }
  auto buffer = std::make_unique<char[]>(kAttributeListBufferSize);
  std::optional<DirectoryItemData> data =
      CreateDirectoryItemData(standardized.c_str(), status, includeMetadata, 0, buffer.get());
  if (!data) return nullptr;
  return DirectoryItem::initWithPath(std::move(standardized), *data);
}

PredicatePtr DirectoryScanner::exclusionPredicateWithPaths(const std::vector<std::string>& paths,
                                                           const std::vector<std::string>& names) {
  if (paths.empty() && names.empty()) return nullptr;
  std::vector<PredicatePtr> alternatives;
  alternatives.reserve(paths.size() + names.size());
  auto equalIgnoringCase = [](const char* variable, const std::string& text) {
    // Each contains the other: equal, ignoring case.
    return Predicate::andPredicate(
        {Predicate::comparison(Expression::variable(variable), PredicateOperatorType::In, Expression::constant(text),
                               CaseInsensitivePredicateOption),
         Predicate::comparison(Expression::constant(text), PredicateOperatorType::In, Expression::variable(variable),
                               CaseInsensitivePredicateOption)});
  };
  for (const auto& path : paths) alternatives.push_back(equalIgnoringCase("PATH", path));
  for (const auto& name : names) alternatives.push_back(equalIgnoringCase("NAME", name));
  return Predicate::orPredicate(std::move(alternatives));
}

// ---- Counting and enumeration

std::uint32_t DirectoryScanner::numberOfDirectoryItems() const {
  std::size_t count = 0;
  for (const auto& [subpath, items] : directories_) count += items.size();
  return static_cast<std::uint32_t>(count);
}

std::uint64_t DirectoryScanner::totalSizeOfDirectoryItems() const {
  std::uint64_t total = 0;
  for (const auto& [subpath, items] : directories_) {
    for (const auto& [name, record] : items) total += record.totalSize();
  }
  return total;
}

DirectoryScanner::Iterator::Iterator(DirectoryMap::const_iterator directory, DirectoryMap::const_iterator end)
    : directory_(directory), end_(end) {
  if (directory_ != end_) item_ = directory_->second.begin();
  skipEmptyDirectories();
}

void DirectoryScanner::Iterator::skipEmptyDirectories() {
  while (directory_ != end_ && item_ == directory_->second.end()) {
    ++directory_;
    if (directory_ != end_) item_ = directory_->second.begin();
  }
  if (directory_ == end_) item_ = {};
}

const DirectoryItemPtr& DirectoryScanner::Iterator::operator*() const {
  if (!current_) current_ = DirectoryItem::initWithPath(JoinSubpath(directory_->first, item_->first), item_->second);
  return current_;
}

DirectoryScanner::Iterator& DirectoryScanner::Iterator::operator++() {
  current_.reset();
  ++item_;
  skipEmptyDirectories();
  return *this;
}

bool DirectoryScanner::Iterator::operator==(const Iterator& other) const {
  if (directory_ != other.directory_) return false;
  return directory_ == end_ || item_ == other.item_;
}

// ---- Comparison and queries

Dictionary DirectoryScanner::compare(const DirectoryScanner& other, std::uint32_t options) const {
  SnapshotComparisonSettings settings;
  settings.compareMetadata = scanMetadata_ && other.scanMetadata_;
  settings.detectMovedItems = false;
  settings.reportAllRemovedItems = (options & kDirectoryScannerReportRemovedDirectoriesOnly) == 0;
  settings.revision = 0;
  settings.sortPaths = sortPaths_;
  // With revision 0 the comparison reads the new side only.
  return CompareDirectoryMaps(const_cast<DirectoryMap&>(directories_), other.directories_, settings);
}

std::optional<std::vector<DirectoryItemPtr>> DirectoryScanner::contentsOfDirectoryAtSubpath(
    std::string_view subpath, bool recursive, bool useAbsolutePaths) const {
  std::string standardized = StandardizePath(subpath);
  auto top = directories_.find(standardized);
  if (top == directories_.end()) return std::nullopt;

  std::vector<DirectoryItemPtr> items;
  // Lists one map: `prefix` goes before each name; `subpath` finds the maps
  // of its subdirectories.
  auto list = [&](auto& self, const DirectoryItemMap& map, const std::string& directorySubpath,
                  const std::string& prefix) -> void {
    for (const auto& [name, record] : map) {
      std::string path = prefix + name;
      items.push_back(DirectoryItem::initWithPath(path, record));
      if (recursive && record.isDirectory()) {
        auto child = directories_.find(JoinSubpath(directorySubpath, name));
        if (child != directories_.end()) self(self, child->second, child->first, path + "/");
      }
    }
  };
  std::string prefix = useAbsolutePaths && !standardized.empty() ? standardized + "/" : std::string();
  list(list, top->second, standardized, prefix);
  if (sortPaths_) {
    std::sort(items.begin(), items.end(), [](const DirectoryItemPtr& a, const DirectoryItemPtr& b) {
      return ComparePaths(a->path(), b->path()) < 0;
    });
  }
  return items;
}

std::optional<std::vector<DirectoryItemPtr>> DirectoryScanner::subpathsOfRootDirectory() const {
  return contentsOfDirectoryAtSubpath(std::string_view(), true, true);
}

DirectoryItemPtr DirectoryScanner::directoryItemAtSubpath(std::string_view subpath) const {
  std::string standardized = StandardizePath(subpath);
  if (standardized.empty()) return root_ ? DirectoryItem::initWithPath(std::string(), *root_) : nullptr;
  auto [parent, name] = SplitSubpath(standardized);
  auto directory = directories_.find(parent);
  if (directory == directories_.end()) return nullptr;
  const DirectoryItemData* record = directory->second.find(name);
  return record ? DirectoryItem::initWithPath(standardized, *record) : nullptr;
}

void DirectoryScanner::removeDirectoryItemAtSubpath(std::string_view subpath) {
  std::string standardized = StandardizePath(subpath);
  auto [parent, name] = SplitSubpath(standardized);
  if (name.empty()) return;
  auto directory = directories_.find(parent);
  if (directory != directories_.end()) directory->second.erase(name);
}

bool DirectoryScanner::setUserInfoForDirectoryItemAtSubpath(Value value, std::string_view subpath) {
  std::string standardized = StandardizePath(subpath);
  auto [parent, name] = SplitSubpath(standardized);
  if (name.empty()) return false;
  auto directory = directories_.find(parent);
  if (directory == directories_.end()) return false;
  DirectoryItemData* record = directory->second.find(name);
  if (!record) return false;
  record->setUserInfo(value);
  return true;
}

std::string DirectoryScanner::description() const {
  Dictionary description;
  for (const auto& [subpath, items] : directories_) {
    Array lines;
    lines.reserve(items.size());
    for (const auto& [name, record] : items) {
      lines.emplace_back(DescribeDirectoryItem(name, record.revision, record.userInfo().get(), record.isDirectory(),
                                               record.dataSize, record.resourceSize));
    }
    description.set(subpath, Value(std::move(lines)));
  }
  return Value(std::move(description)).description();
}

}  // namespace quorvel
