// Reads the platform's keyed archive (NSKeyedArchiver), binary or XML, as
// KeyedArchiveFormat.h describes.
//
// Objects are decoded by the decoder registered for their "$classname" or,
// failing that, for the first of their "$classes" that has one (so
// NSMutableString reads as NSString). Built in: NSString, NSArray, NSSet
// (read as an array), NSOrderedSet, NSDictionary, NSDate, NSData, NSNull,
// NSURL (Url), the predicate and expression classes (Predicate,
// Expression), and their mutable variants. An object referred to twice is
// decoded once: both places hold the same Value (the same Object pointer).
//
// Malformed archives, unknown classes (the message names the class),
// reference cycles, nesting deeper than maxDepth (counted over the whole
// decode, references included) and archives that would produce more values
// or bytes than their DecodeBudget allows (every copy of a shared object
// counting again) give an error, never a crash or an exception. The raw-graph view decodes unknown classes into
// dictionaries of their keys plus "$classname" and "$classes" instead, so
// that the parts of an unknown root can still be inspected.
//
// One unarchiver is used by one thread; the registry is thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/Data.h"
#include "foundation/DecodeBudget.h"
#include "foundation/Value.h"

namespace quorvel {

class KeyedUnarchiver {
 public:
  // Builds the object whose keys the unarchiver currently exposes (see
  // decodeXxxForKey, className). Returning null makes the object null (the
  // platform's initWithCoder: answering nil); failWithError fails the whole
  // archive.
  using ClassDecoder = std::function<Value(KeyedUnarchiver& unarchiver)>;

  // Registers (or replaces) the decoder for a class name. Usually done once
  // at start-up, next to the class's KeyedCoding implementation.
  static void registerClass(const std::string& className, ClassDecoder decoder);

  // The root object ("root" in "$top"). Nothing, with a reason in *error,
  // for anything but a well-formed archive of known classes.
  static std::optional<Value> unarchiveObjectWithData(const Data& data, std::string* error = nullptr);
  // The same within a budget that the property list and the objects share
  // (the form above allows what DecodeBudget::forInput gives the data).
  static std::optional<Value> unarchiveObjectWithData(const Data& data, DecodeBudget budget, std::string* error = nullptr);
  // The root object with unknown classes as dictionaries (see above).
  static std::optional<Value> unarchiveRawGraph(const Data& data, std::string* error = nullptr);

  // Parses and checks the archive; ok() is false when it is not one.
  explicit KeyedUnarchiver(const Data& data);
  KeyedUnarchiver(const Data& data, DecodeBudget budget);

  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  // Marks the archive as failed (for class decoders).
  void failWithError(const std::string& message);

  // Maximum nesting while decoding (default 512). Counted across the whole
  // decode: every object reached through a reference and every container
  // inside another container is one level deeper, however the levels are
  // spread over the archive's objects.
  void setMaxDepth(int depth) { maxDepth_ = depth; }
  // Unknown classes decode into dictionaries instead of failing.
  void setDecodesUnknownClassesAsDictionaries(bool flag) { rawUnknownClasses_ = flag; }

  // Keyed values of the object being decoded, or of "$top" outside any
  // object (decodeObjectForKey("root") gives the root). Missing keys give
  // null, false, 0 or empty data. After a failure every call gives those.
  bool containsValueForKey(std::string_view key) const;
  Value decodeObjectForKey(std::string_view key);
  bool decodeBoolForKey(std::string_view key);
  std::int64_t decodeIntForKey(std::string_view key);
  std::int32_t decodeInt32ForKey(std::string_view key) { return static_cast<std::int32_t>(decodeIntForKey(key)); }
  std::int64_t decodeInt64ForKey(std::string_view key) { return decodeIntForKey(key); }
  double decodeDoubleForKey(std::string_view key);
  float decodeFloatForKey(std::string_view key) { return static_cast<float>(decodeDoubleForKey(key)); }
  Data decodeBytesForKey(std::string_view key);
  // The keys the current object stores (without "$class").
  std::vector<std::string> allKeys() const;

  // "$classname" and "$classes" of the object being decoded (empty at top).
  const std::string& className() const;
  const std::vector<std::string>& classChain() const;

 private:
  struct Scope {
    const Dictionary* keys = nullptr;
    std::string className;
    std::vector<std::string> classChain;
  };

  const Value* lookUp(std::string_view key) const;
  Value decodeUid(std::uint64_t uid);
  Value decodeInline(const Value& stored);
  // One level deeper (false, failing the archive, beyond maxDepth) and back.
  bool enterLevel();
  void leaveLevel() { --depth_; }
  // Takes values and bytes from the budget; fails the archive when it runs out.
  bool charge(std::uint64_t nodes, std::uint64_t bytes);
  Value decodeClassObject(std::uint64_t uid, const Dictionary& object);
  Value decodeRawObject(const Dictionary& object, const std::string& className, const Array& classes);
  // The stored dictionary of the object a key refers to, with its class
  // name; null when the key does not refer to a class-bearing object.
  const Dictionary* objectDictionaryForKey(std::string_view key, std::string* className);

  static Value decodeComparisonPredicate(KeyedUnarchiver& unarchiver);
  static Value decodeCompoundPredicate(KeyedUnarchiver& unarchiver);
  static Value decodeExpression(KeyedUnarchiver& unarchiver);
  static void registerBuiltInClasses();
  static std::shared_ptr<const ClassDecoder> findDecoder(const std::string& className);

  Value archive_;
  const Array* objects_ = nullptr;
  const Dictionary* top_ = nullptr;
  // Per object: how many references point to it (objects referred to more
  // than once are decoded once and cached), whether it is being decoded
  // (a reference to it then is a cycle), the cached result and its size.
  std::vector<std::uint32_t> references_;
  std::vector<std::uint8_t> inProgress_;
  std::vector<std::optional<Value>> cache_;
  // What each cached result cost to produce, charged again for every copy.
  struct Cost {
    std::uint64_t nodes = 0;
    std::uint64_t bytes = 0;
  };
  std::vector<Cost> sizes_;
  // Values and bytes produced so far, copies of cached results included;
  // bounded in proportion to the archive so that shared references cannot
  // blow up the output.
  DecodeBudget budget_{0, 0};
  int depth_ = 0;
  std::vector<Scope> scopes_;
  std::string error_;
  int maxDepth_ = 512;
  bool rawUnknownClasses_ = false;
};

}  // namespace quorvel
