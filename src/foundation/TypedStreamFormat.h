// Constants and small shared types of the typed-stream archive format (the
// sequential "streamtyped" archive of the platform's NSArchiver).
//
// Layout, as described publicly by the python-typedstream project
// (github.com/dgelessus/python-typedstream, stream.py and archiver.py) and the
// write-up "Reverse Engineering Apple's typedstream Format" (Christopher
// Sardegna, chrissardegna.com); our code is written from those descriptions:
//
//   header   byte 4 (streamer version), byte 11 + "streamtyped" (little-endian
//            data; "typedstream" marks big-endian data), system version 1000
//            as an integer.
//   body     groups of values; each group is a type string (a shared string,
//            "i", "@@", "[60c]"...) followed by one value per type.
//   integer  one byte when the value is in -110..127; else 0x81 + 2 bytes or
//            0x82 + 4 bytes. 0x80..0x91 are tags and never stand for numbers.
//   real     0x83 + 4 (float) or 8 (double) bytes, or an integer when the
//            value is a whole number.
//   strings  unshared: a length integer + bytes (0x85 for nil). Shared (type
//            strings, class names, selectors): 0x84 + unshared string the
//            first time, later a reference number into the string table.
//   objects  0x84, the class, the object's groups, 0x86; 0x85 is nil; a
//            reference number for an object written before. A class is 0x84 +
//            name (shared) + version integer followed by its superclass, a
//            reference number for a class written before, or 0x85 after the
//            root class. C strings ("*") are 0x84 + shared string or a
//            reference. Objects, classes and C strings share one table.
//   numbers  reference numbers start at -110 (0x92) for table index 0 and are
//            written as integers.
//   literal  "c", "C" and "B" values are single raw bytes; "[Nc]" arrays are
//            N raw bytes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/Value.h"

namespace quorvel {

namespace typedstream {

inline constexpr std::uint8_t kStreamerVersion = 4;
inline constexpr std::string_view kSignatureLittleEndian = "streamtyped";
inline constexpr std::string_view kSignatureBigEndian = "typedstream";
inline constexpr std::int32_t kSystemVersion = 1000;

inline constexpr std::int8_t kTagInteger2 = -127;     // 0x81
inline constexpr std::int8_t kTagInteger4 = -126;     // 0x82
inline constexpr std::int8_t kTagFloatingPoint = -125;  // 0x83
inline constexpr std::int8_t kTagNew = -124;          // 0x84
inline constexpr std::int8_t kTagNil = -123;          // 0x85
inline constexpr std::int8_t kTagEndOfObject = -122;  // 0x86
inline constexpr std::int8_t kFirstTag = -128;        // 0x80
inline constexpr std::int8_t kLastTag = -111;         // 0x91
inline constexpr std::int32_t kFirstReferenceNumber = kLastTag + 1;  // -110, 0x92

inline constexpr bool IsTag(std::int8_t head) { return head >= kFirstTag && head <= kLastTag; }

// One class of the chain a stored object names (most derived first).
struct ClassInfo {
  std::string name;
  std::int32_t version = 0;
  bool operator==(const ClassInfo&) const = default;
};

// Splits a type string into its single encodings ("@i" -> "@", "i";
// "{Point=ff}[4c]" -> "{Point=ff}", "[4c]"). False (with a reason) for an
// encoding this format cannot hold.
bool SplitTypeEncodings(std::string_view types, std::vector<std::string>& out, std::string* error = nullptr);

}  // namespace typedstream

// A class as a typed stream stores it: name, version and superclass. Held by
// Value for "#" values and by every decoded object.
class TypedStreamClass : public Object {
 public:
  TypedStreamClass(std::string name, std::int32_t version, std::shared_ptr<const TypedStreamClass> superclass)
      : name_(std::move(name)), version_(version), superclass_(std::move(superclass)) {}
  // Builds the chain from infos, most derived first.
  static std::shared_ptr<const TypedStreamClass> fromChain(const std::vector<typedstream::ClassInfo>& chain);

  const std::string& name() const { return name_; }
  std::int32_t version() const { return version_; }
  const std::shared_ptr<const TypedStreamClass>& superclass() const { return superclass_; }
  // Name and version of this class and its superclasses, most derived first.
  std::vector<typedstream::ClassInfo> chain() const;

  std::string className() const override { return name_; }
  bool isEqualToObject(const Object& other) const override;
  std::string description() const override;

 private:
  std::string name_;
  std::int32_t version_;
  std::shared_ptr<const TypedStreamClass> superclass_;
};

// One group of values as stored: the single type encodings and a value each.
struct TypedStreamGroup {
  std::vector<std::string> types;
  Array values;
  bool operator==(const TypedStreamGroup& other) const { return types == other.types && values == other.values; }
};

// An object of a class no decoder is registered for: its class chain and the
// groups of values it stored, in order. Writing it again reproduces them.
class TypedStreamObject : public Object {
 public:
  TypedStreamObject(std::shared_ptr<const TypedStreamClass> cls, std::vector<TypedStreamGroup> contents)
      : class_(std::move(cls)), contents_(std::move(contents)) {}

  const std::shared_ptr<const TypedStreamClass>& storedClass() const { return class_; }
  const std::vector<TypedStreamGroup>& contents() const { return contents_; }

  std::string className() const override { return class_ ? class_->name() : std::string(); }
  bool isEqualToObject(const Object& other) const override;
  std::string description() const override;

 private:
  std::shared_ptr<const TypedStreamClass> class_;
  std::vector<TypedStreamGroup> contents_;
};

class TypedStreamWriter;

// Implemented by our classes (alongside Object) that store themselves in a
// typed stream. The writer writes the class chain, calls
// encodeWithTypedStream, then ends the object; the matching decoder is
// registered with TypedStreamReader::registerClass under the same name.
class TypedStreamCoding {
 public:
  virtual ~TypedStreamCoding() = default;
  // The class chain the object is stored under, most derived first. The
  // default is the Object's className() at version 0, then NSObject.
  virtual std::vector<typedstream::ClassInfo> typedStreamClassChain() const;
  virtual void encodeWithTypedStream(TypedStreamWriter& writer) const = 0;
};

}  // namespace quorvel
