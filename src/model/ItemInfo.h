// ItemInfo: the names of the items of one backup as a tree, kept with the
// backup's settings so that what can be restored is browsable without a
// connection to the destination.
//
// A node holds its name (the item's path as its parent's listing gives it;
// the root's name is "") and, exactly for directories, its children in
// listing order. Equal names are shared between nodes through a
// StringCache. Nodes are immutable once built and are held by shared
// pointers; a tree may be read from any thread.
//
// Stored forms: the sequential typed stream (class "ItemInfo": the name
// object, then the children array or nil), which is how settings hold it;
// and the keyed archive (keys "name" and "children"), how settings of older
// versions held it. Both decoders are registered by RegisterItemInfoCoding;
// a stored node whose name is not a text, or whose children are not all
// nodes, makes the decode fail.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "foundation/Data.h"
#include "foundation/KeyedArchiver.h"
#include "foundation/TypedStreamFormat.h"
#include "foundation/Value.h"

namespace quorvel {

class DirectoryScanner;
class DirectoryItem;

// Shares equal texts: intern() answers the one copy kept for a text.
class StringCache {
 public:
  std::shared_ptr<const std::string> intern(std::string_view text);

 private:
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>()(text); }
    std::size_t operator()(const std::shared_ptr<const std::string>& text) const { return (*this)(*text); }
  };
  struct Equal {
    using is_transparent = void;
    static std::string_view view(std::string_view text) { return text; }
    static std::string_view view(const std::shared_ptr<const std::string>& text) { return *text; }
    template <typename A, typename B>
    bool operator()(const A& a, const B& b) const { return view(a) == view(b); }
  };
  std::unordered_set<std::shared_ptr<const std::string>, Hash, Equal> texts_;
};

class ItemInfo : public Object,
                 public TypedStreamCoding,
                 public KeyedCoding,
                 public std::enable_shared_from_this<ItemInfo> {
 public:
  using Children = std::vector<std::shared_ptr<const ItemInfo>>;

  // A node; `children` is present exactly for a directory.
  ItemInfo(std::shared_ptr<const std::string> name, std::optional<Children> children);

  // initWithBasePath:directoryScanner:item:stringCache: - the tree of `item`
  // (listed in `scanner` at basePath joined with the item's path), names
  // shared through `cache`. A directory the snapshot cannot list gets no
  // children.
  static std::shared_ptr<const ItemInfo> initWithBasePath(const std::string& basePath, const DirectoryScanner& scanner,
                                                          const DirectoryItem& item, StringCache& cache);
  // The tree of a whole snapshot (its root item, base path ""), or null when
  // the snapshot has no root item.
  static std::shared_ptr<const ItemInfo> treeOfSnapshot(const DirectoryScanner& scanner);

  const std::string& name() const { return *name_; }
  bool isLeaf() const { return !children_.has_value(); }
  // Number of children (0 for a leaf).
  std::size_t count() const { return children_ ? children_->size() : 0; }
  // Empty for a leaf.
  const Children& children() const;

  // The tree as the settings store it (a typed stream whose root object is
  // this node), or nothing when it cannot be written. The node must be held
  // by a shared pointer.
  std::optional<Data> archivedData() const;
  // The tree stored by archivedData, or null for anything else.
  static std::shared_ptr<const ItemInfo> unarchiveFromData(const Data& data);

  std::string className() const override { return "ItemInfo"; }
  bool isEqualToObject(const Object& other) const override;
  void encodeWithTypedStream(TypedStreamWriter& writer) const override;
  void encodeWithCoder(KeyedArchiver& archiver) const override;

 private:
  std::shared_ptr<const std::string> name_;
  std::optional<Children> children_;
};

// Registers the typed-stream and keyed-archive decoders of "ItemInfo" (once
// per process; further calls do nothing).
void RegisterItemInfoCoding();

}  // namespace quorvel
