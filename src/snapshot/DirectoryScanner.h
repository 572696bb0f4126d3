// DirectoryScanner: one snapshot of one directory tree, and the walk that
// builds it.
//
// The snapshot is a root record plus a DirectoryMap: every scanned
// directory's subpath ("" for the root) -> its item records by name. Records
// are plain structs; DirectoryItem views are made only when a caller asks
// (results, queries, enumeration). A scanner is used by one thread at a time;
// directoryItemAtPath() may run on any thread.
//
// Scan and comparison results are dictionaries: the comparison keys of
// SnapshotComparison.h plus "excludedPaths" and "errorPaths" (Arrays of
// subpath texts), each present only when not empty.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/Data.h"
#include "foundation/KeyedArchiver.h"
#include "foundation/Predicate.h"
#include "foundation/Value.h"
#include "snapshot/DirectoryItem.h"
#include "snapshot/DirectoryItemData.h"
#include "snapshot/SnapshotComparison.h"

namespace quorvel {

class DirectoryScanner;
class KeyedUnarchiver;
using DirectoryScannerPtr = std::shared_ptr<DirectoryScanner>;

class DirectoryScannerDelegate {
 public:
  virtual ~DirectoryScannerDelegate() = default;
  // Asked once per directory, before it is opened; true aborts the scan
  // (which then answers null and keeps the previous snapshot).
  virtual bool shouldAbortScanning(DirectoryScanner& scanner) = 0;
};

// Option bits of scanAndCompareRootDirectory() and compare().
enum DirectoryScannerOptions : std::uint32_t {
  // Raise the revision when anything changed.
  kDirectoryScannerBumpRevision = 1,
  // Detect moved items.
  kDirectoryScannerDetectMovedItems = 2,
  // Report removed directories without their contents.
  kDirectoryScannerReportRemovedDirectoriesOnly = 4,
};

// Values of the "TYPE" predicate variable.
enum DirectoryScannerItemType : int {
  kDirectoryScannerTypeDirectory = 0,
  kDirectoryScannerTypeRegularFile = 1,
  kDirectoryScannerTypeSymbolicLink = 2,
};

class DirectoryScanner : public Object, public KeyedCoding {
 public:
  // Starts with revision 0, no root record, an empty directory map, empty
  // user info, every flag false and no predicate.
  DirectoryScanner(std::string rootDirectory, bool scanMetadata);
  ~DirectoryScanner() override;
  DirectoryScanner(const DirectoryScanner&) = delete;
  DirectoryScanner& operator=(const DirectoryScanner&) = delete;

  // initWithRootDirectory:scanMetadata: - null for an empty (missing) path.
  static DirectoryScannerPtr initWithRootDirectory(std::string_view rootDirectory, bool scanMetadata);

  const std::string& rootDirectory() const { return rootDirectory_; }
  void setRootDirectory(std::string rootDirectory) { rootDirectory_ = std::move(rootDirectory); }
  std::uint32_t revision() const { return revision_; }
  // For snapshot readers; scans manage the revision themselves.
  void setRevision(std::uint32_t revision) { revision_ = revision; }
  bool isScanningMetadata() const { return scanMetadata_; }
  bool sortPaths() const { return sortPaths_; }
  void setSortPaths(bool sort) { sortPaths_ = sort; }
  bool reportExcludedHiddenItems() const { return reportHidden_; }
  void setReportExcludedHiddenItems(bool report) { reportHidden_ = report; }
  bool excludeHiddenItems() const { return excludeHidden_; }
  void setExcludeHiddenItems(bool exclude) { excludeHidden_ = exclude; }
  bool excludeDSStoreFiles() const { return excludeDSStore_; }
  void setExcludeDSStoreFiles(bool exclude) { excludeDSStore_ = exclude; }
  // Leave out directories tagged as caches: those holding a regular file
  // "CACHEDIR.TAG" that begins with the tag's signature (the cache
  // directory tagging convention). They count as excluded items.
  bool excludeCacheDirectories() const { return excludeCacheDirectories_; }
  void setExcludeCacheDirectories(bool exclude) { excludeCacheDirectories_ = exclude; }
  // Predicates are immutable: keeping the pointer is a copy.
  const PredicatePtr& exclusionPredicate() const { return exclusionPredicate_; }
  void setExclusionPredicate(PredicatePtr predicate) { exclusionPredicate_ = std::move(predicate); }
  // Not owned; must outlive the scans it is asked during.
  DirectoryScannerDelegate* delegate() const { return delegate_; }
  void setDelegate(DirectoryScannerDelegate* delegate) { delegate_ = delegate; }

  // The snapshot itself (_directories), for comparison and serialization.
  DirectoryMap& directories() { return directories_; }
  const DirectoryMap& directories() const { return directories_; }
  // The root directory's own record; null before a scan (or when its capture
  // failed).
  const DirectoryItemData* rootData() const { return root_ ? &*root_ : nullptr; }
  void setRootData(std::optional<DirectoryItemData> root) { root_ = std::move(root); }

  // User info of the snapshot (stored with it).
  const Dictionary& userInfo() const { return info_; }
  // A null value when the key is absent.
  const Value& userInfoForKey(std::string_view key) const { return info_.get(key); }
  // A null value removes the key.
  void setUserInfo(Value value, std::string_view key);

  // A fresh scan that does not compare: revision 1, an empty result (plus
  // "excludedPaths" / "errorPaths"); null when the root is not a directory
  // or could not be read, or the delegate aborted.
  std::optional<Dictionary> scanRootDirectory();
  // Scans and compares with the held snapshot (options above); null as
  // scanRootDirectory() and also when the scanner never scanned.
  std::optional<Dictionary> scanAndCompareRootDirectory(std::uint32_t options);

  // Re-reads one existing item (not the root) with the current revision.
  // False, with nothing changed, when it is not in the snapshot or cannot be
  // read.
  bool updateDirectoryItemAtSubpath(std::string_view subpath);

  // One item without a scanner: the path is standardized, the item's path is
  // that full path, its revision 0. Null (logged) when lstat fails.
  static DirectoryItemPtr directoryItemAtPath(std::string_view path, bool includeMetadata);

  // A predicate that holds when the "PATH" variable equals one of the paths,
  // or the "NAME" variable one of the names, ignoring case. Null when both
  // lists are empty.
  static PredicatePtr exclusionPredicateWithPaths(const std::vector<std::string>& paths,
                                                  const std::vector<std::string>& names);

  // Records in all directory maps (the root's own record not counted).
  std::uint32_t numberOfDirectoryItems() const;
  // Over those records: data size + resource size + attribute value lengths.
  std::uint64_t totalSizeOfDirectoryItems() const;

  // Comparison with another snapshot of the same tree: this is the new side.
  // Metadata is compared when both scan metadata; moves are not detected;
  // option 4 reports removed directories without their contents. Neither
  // snapshot changes.
  Dictionary compare(const DirectoryScanner& other, std::uint32_t options) const;

  // The items of one scanned directory ("" for the root), in map order or
  // sorted with sortPaths(); recursive lists put a directory's children
  // right after it. Paths are relative to that directory, or to the root
  // with useAbsolutePaths. Null when the subpath is not a scanned directory.
  std::optional<std::vector<DirectoryItemPtr>> contentsOfDirectoryAtSubpath(std::string_view subpath, bool recursive,
                                                                             bool useAbsolutePaths) const;
  // Every item, with subpaths (the root's contents, recursive).
  std::optional<std::vector<DirectoryItemPtr>> subpathsOfRootDirectory() const;
  // The item at a subpath; "" is the root item (path ""). Null when absent.
  DirectoryItemPtr directoryItemAtSubpath(std::string_view subpath) const;
  // Removes the entry from its parent's map; a directory's own map stays.
  void removeDirectoryItemAtSubpath(std::string_view subpath);
  // Stores the value as the item's user info (null removes it); false when
  // the item does not exist.
  bool setUserInfoForDirectoryItemAtSubpath(Value value, std::string_view subpath);

  // Stored forms (DirectoryScannerSerialization.cpp). Both keep everything
  // but the delegate, reportExcludedHiddenItems and the user-info entries
  // whose key is empty or begins with "." (values that live only in memory).
  // Readers answer null for anything that is not a well-formed snapshot of
  // a supported version; there are no partial results.
  //
  // The compact form: a keyed archive of the scanner in the compressed block
  // of DataTransforms::compressGZip. Bytes after the block are ignored.
  std::optional<Data> serializedData() const;
  static DirectoryScannerPtr initWithSerializedData(const Data& data);

  // What reading a snapshot stored in storedSize bytes may cost: its
  // inflated form, and the memory its decoded values take (see
  // DecodeBudget::forMemory), each a floor plus a multiple of the stored
  // size, so that a small file cannot ask for gigabytes. Our compact form
  // inflates about 6 times and decodes into a fraction of what is allowed;
  // gzip XML lists inflate about 35 times and use most of it.
  static std::uint64_t largestInflatedSize(std::uint64_t storedSize);
  static std::uint64_t largestDecodedSize(std::uint64_t storedSize);
  // The scanner's keys in a keyed archive (class "DirectoryScanner"; the
  // decoder is registered by registerKeyedArchiveClass, which the compact
  // reader calls itself).
  void encodeWithCoder(KeyedArchiver& archiver) const override;
  static DirectoryScannerPtr initWithCoder(KeyedUnarchiver& unarchiver);
  static void registerKeyedArchiveClass();
  // The property-list form: version 3 written; versions 1 to 3 read. Files
  // are gzip files of the XML form; failures are written to the system log.
  Dictionary propertyList() const;
  static DirectoryScannerPtr initWithPropertyList(const Value& propertyList);
  bool writeToFile(const std::string& path) const;
  static DirectoryScannerPtr initWithFile(const std::string& path);

  // subpath -> descriptions of its items (see DescribeDirectoryItem).
  std::string description() const override;
  std::string className() const override { return "DirectoryScanner"; }

  // Enumeration: a view of every record (not the root's), directory by
  // directory in map order, path = directory subpath + "/" + name.
  class Iterator {
   public:
    using value_type = DirectoryItemPtr;
    using difference_type = std::ptrdiff_t;
    Iterator() = default;
    const DirectoryItemPtr& operator*() const;
    Iterator& operator++();
    bool operator==(const Iterator& other) const;

   private:
    friend class DirectoryScanner;
    Iterator(DirectoryMap::const_iterator directory, DirectoryMap::const_iterator end);
    void skipEmptyDirectories();
    DirectoryMap::const_iterator directory_{};
    DirectoryMap::const_iterator end_{};
    DirectoryItemMap::const_iterator item_{};
    mutable DirectoryItemPtr current_;
  };
  Iterator begin() const { return Iterator(directories_.begin(), directories_.end()); }
  Iterator end() const { return Iterator(directories_.end(), directories_.end()); }

 private:
  struct WalkState;
  // _scanRootDirectory:bumpRevision:detectMovedItems:reportAllRemovedItems:
  std::optional<Dictionary> scanRootDirectoryImpl(bool compare, bool bumpRevision, bool detectMovedItems,
                                                  bool reportAllRemovedItems);
  // _scanSubdirectory:...: -1 aborted, 0 the directory could not be opened
  // or read, 1 done.
  int scanSubdirectory(const std::string& subpath, WalkState& state);

  std::string rootDirectory_;
  std::uint32_t revision_ = 0;
  bool scanMetadata_;
  bool sortPaths_ = false;
  bool reportHidden_ = false;
  bool excludeHidden_ = false;
  bool excludeDSStore_ = false;
  bool excludeCacheDirectories_ = false;
  PredicatePtr exclusionPredicate_;
  std::optional<DirectoryItemData> root_;
  DirectoryMap directories_;
  Dictionary info_;
  // Attribute-name list buffer shared by every capture (with metadata only).
  std::unique_ptr<char[]> xattrBuffer_;
  DirectoryScannerDelegate* delegate_ = nullptr;
};

}  // namespace quorvel
