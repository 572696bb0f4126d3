// Writes the platform's keyed archive (NSKeyedArchiver): a binary property
// list of the object graph, as KeyedArchiveFormat.h describes.
//
// What can be stored: null, text, numbers and booleans (plain property-list
// values), data, dates (NSDate), arrays (NSArray), dictionaries
// (NSDictionary), sets (encodeSet, NSSet), URLs (Url, as NSURL), predicates
// and expressions (Predicate, Expression, in the platform's classes and
// keys) and our own classes through KeyedCoding. Equal texts and numbers are
// stored once; an Object met again (the same pointer) is stored once and
// referred to, so shared objects and even cycles are kept.
//
// An archiver is used by one thread. Problems (a UID in the graph, an object
// that cannot be archived) do not throw: the first one is remembered, ok()
// turns false and finishEncoding() answers nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "foundation/Data.h"
#include "foundation/Value.h"

namespace quorvel {

class KeyedArchiver;
class Expression;
class Predicate;

// Implemented by our classes (alongside Object) that store themselves in a
// keyed archive. The archiver calls encodeWithCoder with a fresh object
// scope: every encodeXxx(value, key) call in it goes to this object. The
// matching decoder is registered with KeyedUnarchiver::registerClass.
class KeyedCoding {
 public:
  virtual ~KeyedCoding() = default;
  virtual void encodeWithCoder(KeyedArchiver& archiver) const = 0;
  // The "$classes" list, most derived first. The default is the Object's
  // className() followed by "NSObject".
  virtual std::vector<std::string> keyedArchiveClassChain() const;
};

class KeyedArchiver {
 public:
  KeyedArchiver();

  // An archive whose root object (key "root") is the value. Nothing (with a
  // reason in *error) when something in it cannot be archived.
  static std::optional<Data> archivedDataWithRootObject(const Value& root, std::string* error = nullptr);

  // The root object, stored under "root" in "$top".
  void encodeRootObject(const Value& root) { encodeObject(root, "root"); }
  // The archive as a binary property list; nothing after a problem.
  std::optional<Data> finishEncoding();

  // Keyed values of the object being encoded (inside encodeWithCoder), or of
  // "$top" outside any object.
  void encodeObject(const Value& value, std::string_view key);
  void encodeBool(bool value, std::string_view key);
  void encodeInt(std::int64_t value, std::string_view key);
  void encodeInt32(std::int32_t value, std::string_view key) { encodeInt(value, key); }
  void encodeInt64(std::int64_t value, std::string_view key) { encodeInt(value, key); }
  void encodeDouble(double value, std::string_view key);
  void encodeFloat(float value, std::string_view key) { encodeDouble(value, key); }
  void encodeBytes(const void* bytes, std::size_t length, std::string_view key);
  void encodeBytes(const Data& bytes, std::string_view key) { encodeBytes(bytes.data(), bytes.size(), key); }
  // The elements as an NSSet (read back as an array).
  void encodeSet(const Array& elements, std::string_view key);

  // Marks the archive as failed (for encodeWithCoder implementations).
  void failWithError(const std::string& message);
  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }

 private:
  // The object scope being filled.
  Dictionary& scope();
  void setInScope(std::string_view key, Value value);
  // The UID of a value, storing it first when needed.
  Uid uidFor(const Value& value);
  Uid uidForScalar(const Value& value);
  Uid uidForString(const std::string& text);
  // Stores one class-bearing object: reserves its UID, fills its keys with
  // `contents`, then adds "$class". `identity` (may be null) makes a later
  // encoding of the same Object refer to this one.
  Uid encodeClassObject(const std::vector<std::string>& classChain, const std::shared_ptr<Object>& identity,
                        const std::function<void()>& contents);
  Uid uidForClass(const std::vector<std::string>& classChain);
  Uid uidForArray(const Array& elements, std::string_view className);
  Uid uidForObject(const std::shared_ptr<Object>& object);
  void encodePredicate(const Predicate& predicate);
  void encodeExpression(const Expression& expression);

  Array objects_;
  Dictionary top_;
  std::vector<Dictionary> scopes_;
  std::string error_;
  int depth_ = 0;
  std::unordered_map<std::string, std::uint64_t> stringUids_;
  std::map<std::pair<int, std::uint64_t>, std::uint64_t> numberUids_;
  std::unordered_map<std::string, std::uint64_t> classUids_;
  std::unordered_map<const Object*, std::uint64_t> objectUids_;
  // Objects encoded so far stay alive, so that no address is reused.
  std::vector<std::shared_ptr<Object>> retained_;
};

}  // namespace quorvel
