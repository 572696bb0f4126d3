#include "model/ItemInfo.h"

#include <mutex>

#include "foundation/KeyedUnarchiver.h"
#include "foundation/TypedStreamReader.h"
#include "foundation/TypedStreamWriter.h"
#include "snapshot/DirectoryItem.h"
#include "snapshot/DirectoryScanner.h"

namespace quorvel {

namespace {

constexpr const char* kNameKey = "name";
constexpr const char* kChildrenKey = "children";

// A node from decoded values: a text name and nil or an array of nodes.
std::shared_ptr<const ItemInfo> NodeFromValues(const Value& name, const Value& children) {
  if (!name.isString()) return nullptr;
  std::optional<ItemInfo::Children> nodes;
  if (children.isArray()) {
    nodes.emplace();
    nodes->reserve(children.asArray().size());
    for (const Value& child : children.asArray()) {
      std::shared_ptr<ItemInfo> node = child.object<ItemInfo>();
      if (!node) return nullptr;
      nodes->push_back(std::move(node));
    }
  } else if (!children.isNull()) {
    return nullptr;
  }
  return std::make_shared<ItemInfo>(std::make_shared<const std::string>(name.asString()), std::move(nodes));
}

std::string JoinPath(const std::string& base, const std::string& name) {
  if (base.empty()) return name;
  if (name.empty()) return base;
  return base + "/" + name;
}

}  // namespace

std::shared_ptr<const std::string> StringCache::intern(std::string_view text) {
  if (auto found = texts_.find(text); found != texts_.end()) return *found;
  auto stored = std::make_shared<const std::string>(text);
  texts_.insert(stored);
  return stored;
}

ItemInfo::ItemInfo(std::shared_ptr<const std::string> name, std::optional<Children> children)
    : name_(name ? std::move(name) : std::make_shared<const std::string>()), children_(std::move(children)) {}

std::shared_ptr<const ItemInfo> ItemInfo::initWithBasePath(const std::string& basePath,
                                                           const DirectoryScanner& scanner,
                                                           const DirectoryItem& item, StringCache& cache) {
  std::shared_ptr<const std::string> name = cache.intern(item.path());
  if (!item.isDirectory()) return std::make_shared<ItemInfo>(std::move(name), std::nullopt);
  const std::string subpath = JoinPath(basePath, *name);
  Children children;
  if (auto listing = scanner.contentsOfDirectoryAtSubpath(subpath, false, false)) {
    children.reserve(listing->size());
    for (const DirectoryItemPtr& child : *listing) {
      children.push_back(initWithBasePath(subpath, scanner, *child, cache));
    }
  }
  return std::make_shared<ItemInfo>(std::move(name), std::move(children));
}

std::shared_ptr<const ItemInfo> ItemInfo::treeOfSnapshot(const DirectoryScanner& scanner) {
  DirectoryItemPtr root = scanner.directoryItemAtSubpath("");
  if (!root) return nullptr;
  StringCache cache;
  return initWithBasePath("", scanner, *root, cache);
}

const ItemInfo::Children& ItemInfo::children() const {
  static const Children kNone;
  return children_ ? *children_ : kNone;
}

std::optional<Data> ItemInfo::archivedData() const {
  TypedStreamWriter writer;
  writer.encodeObject(Value(std::const_pointer_cast<ItemInfo>(shared_from_this())));
  if (!writer.ok()) return std::nullopt;
  return writer.takeData();
}

std::shared_ptr<const ItemInfo> ItemInfo::unarchiveFromData(const Data& data) {
  RegisterItemInfoCoding();
  std::optional<Value> root = TypedStreamReader::unarchiveObjectWithData(data);
  if (!root) return nullptr;
  return root->object<ItemInfo>();
}

bool ItemInfo::isEqualToObject(const Object& other) const {
  const auto* node = dynamic_cast<const ItemInfo*>(&other);
  if (!node || node->name() != name() || node->isLeaf() != isLeaf() || node->count() != count()) return false;
  for (std::size_t i = 0; i < count(); ++i) {
    if (!children()[i]->isEqualToObject(*node->children()[i])) return false;
  }
  return true;
}

namespace {

Value ChildrenValue(const std::optional<ItemInfo::Children>& children) {
  if (!children) return Value();
  Array array;
  array.reserve(children->size());
  for (const auto& child : *children) array.emplace_back(std::const_pointer_cast<ItemInfo>(child));
  return Value(std::move(array));
}

}  // namespace

void ItemInfo::encodeWithTypedStream(TypedStreamWriter& writer) const {
  writer.encodeObject(Value(*name_));
  writer.encodeObject(ChildrenValue(children_));
}

void ItemInfo::encodeWithCoder(KeyedArchiver& archiver) const {
  archiver.encodeObject(Value(*name_), kNameKey);
  archiver.encodeObject(ChildrenValue(children_), kChildrenKey);
}

void RegisterItemInfoCoding() {
  static std::once_flag once;
  std::call_once(once, [] {
    TypedStreamReader::registerClass("ItemInfo", [](TypedStreamReader& reader,
                                                    const TypedStreamClass&) -> std::optional<Value> {
      std::optional<Value> name = reader.decodeObject();
      if (!name) return std::nullopt;
      std::optional<Value> children = reader.decodeObject();
      if (!children) return std::nullopt;
      std::shared_ptr<const ItemInfo> node = NodeFromValues(*name, *children);
      if (!node) {
        reader.fail("ItemInfo: a name that is not a text or children that are not nodes");
        return std::nullopt;
      }
      return Value(std::const_pointer_cast<ItemInfo>(node));
    });
    KeyedUnarchiver::registerClass("ItemInfo", [](KeyedUnarchiver& unarchiver) -> Value {
      std::shared_ptr<const ItemInfo> node =
          NodeFromValues(unarchiver.decodeObjectForKey(kNameKey), unarchiver.decodeObjectForKey(kChildrenKey));
      if (!node) {
        unarchiver.failWithError("ItemInfo: a name that is not a text or children that are not nodes");
        return Value();
      }
      return Value(std::const_pointer_cast<ItemInfo>(node));
    });
  });
}

}  // namespace quorvel
