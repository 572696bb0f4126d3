// Reads the platform's sequential typed-stream archive ("streamtyped" and the
// big-endian "typedstream"), streamer version 4. See TypedStreamFormat.h for
// the layout and its public sources.
//
// The reader walks the stream group by group. Objects of registered classes
// become Values (NSString -> text, NSNumber -> number, NSData -> data, NSDate
// -> date, NSArray/NSSet -> array, NSDictionary -> dictionary) or whatever the
// class's decoder returns; objects of other classes become TypedStreamObjects
// holding their class chain and stored groups. An object met again through a
// reference is the same Value (for Objects: the same pointer).
//
// Malformed input never throws and never crashes: the first problem turns
// ok() false, error() says what it was, and every later call answers nothing.
// Nesting is bounded (maxDepth) and an object referring to itself while it is
// being read is refused. What the stream may produce is bounded in proportion
// to its size (DecodeBudget), each copy of a referenced object counting again. One reader is used by one thread; the bytes must
// outlive it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/Data.h"
#include "foundation/DecodeBudget.h"
#include "foundation/TypedStreamFormat.h"
#include "foundation/Value.h"

namespace quorvel {

class TypedStreamReader {
 public:
  // Decodes the part of an object its class stored; the reader stands after
  // the object's class chain. Return nothing to fail (call fail() for a
  // precise reason). Groups the decoder leaves unread are skipped.
  using ClassDecoder = std::function<std::optional<Value>(TypedStreamReader& reader, const TypedStreamClass& cls)>;

  // Registers (or replaces) the decoder for objects whose most derived class
  // is className. Thread-safe; usually done once at start-up.
  static void registerClass(const std::string& className, ClassDecoder decoder);

  TypedStreamReader(const std::uint8_t* bytes, std::size_t size);
  explicit TypedStreamReader(const Data& data) : TypedStreamReader(data.data(), data.size()) {}

  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  // Marks the stream as failed (used by class decoders).
  void fail(const std::string& message);

  int streamerVersion() const { return streamerVersion_; }
  int systemVersion() const { return systemVersion_; }
  bool isBigEndian() const { return bigEndian_; }
  // True when every group has been read (or the reader failed).
  bool atEnd() const;

  // Maximum nesting of objects, arrays and structures (default 512).
  void setMaxDepth(int depth) { maxDepth_ = depth; }

  // The next group, whatever its types.
  std::optional<TypedStreamGroup> decodeGroup();
  // The type encodings of the next group without reading it.
  std::optional<std::vector<std::string>> peekTypes();

  // One value of the given single type, in its own group. Integer types
  // match each other when the value fits; "[Nc]" and "[NC]" match.
  std::optional<Value> decodeValueOfObjCType(std::string_view type);
  // A group of several values with exactly these types.
  std::optional<Array> decodeValuesOfObjCTypes(std::string_view types);

  // A byte-array element: one counted array group ("[Nc]" or "[NC]"), a
  // shared-string group ("+"), or a buffer written with its length first: an
  // integer group holding N followed by an "[Nc]" group (or both in one
  // group). A length that does not match the array that follows is refused.
  std::optional<Data> decodeByteArray();
  // An integer element ("I", or any integer type whose value fits).
  std::optional<std::uint32_t> decodeUInt32();
  // An object element ("@").
  std::optional<Value> decodeObject();
  // NSArchiver's data object: "i" length, then "[Nc]".
  std::optional<Data> decodeDataObject();

  // The single root object of a stream written by archivedDataWithRootObject.
  static std::optional<Value> unarchiveObjectWithData(const Data& data, std::string* error = nullptr);

 private:
  // One row of the table objects, classes and C strings share.
  struct Entry {
    enum class Kind : std::uint8_t { Object, Class, CString } kind = Kind::Object;
    bool complete = false;
    Value value;                                  // objects and C strings
    std::shared_ptr<const TypedStreamClass> cls;  // classes
    // What reading the object produced, charged again for every reference.
    std::uint64_t nodes = 0;
    std::uint64_t bytes = 0;
  };
  // Takes values and bytes from the budget; throws when it runs out.
  void charge(std::uint64_t nodes, std::uint64_t bytes);

  void readHeader();
  std::int8_t readHead();
  std::uint8_t readByte();
  const std::uint8_t* readBytes(std::size_t length);
  std::int64_t readInteger(std::int8_t head);
  std::uint64_t readLength(std::int8_t head);
  double readReal(std::int8_t head, bool isDouble);
  std::optional<std::string> readUnsharedString(std::int8_t head);
  std::optional<std::string> readSharedString(std::int8_t head);
  std::optional<std::size_t> readSharedStringIndex(std::int8_t head);
  std::size_t referenceIndex(std::int8_t head);
  Value readCString(std::int8_t head);
  std::shared_ptr<const TypedStreamClass> readClass(std::int8_t head);
  Value readObject(std::int8_t head);
  // A value of one type encoding, charged to the budget.
  Value readValue(std::string_view type, int depth);
  Value readValueOfType(std::string_view type, int depth);
  TypedStreamGroup readGroup(std::int8_t head);
  const std::vector<std::string>& readTypes(std::int8_t head);
  Value decodeSingle(std::string_view type);

  const std::uint8_t* pos_;
  const std::uint8_t* end_;
  bool bigEndian_ = false;
  int streamerVersion_ = 0;
  int systemVersion_ = 0;
  int maxDepth_ = 512;
  int depth_ = 0;
  // Values and bytes produced so far, copies through references included.
  DecodeBudget budget_{0, 0};
  std::string error_;
  std::vector<std::string> sharedStrings_;
  // Type strings split into single encodings, by shared-string index (a deque
  // keeps references valid while nested reads add strings).
  std::deque<std::optional<std::vector<std::string>>> splitTypes_;
  std::vector<Entry> objects_;
};

}  // namespace quorvel
