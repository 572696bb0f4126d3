// Writes the platform's sequential typed-stream archive ("streamtyped",
// little-endian, streamer version 4, system version 1000). See
// TypedStreamFormat.h for the layout and its public sources.
//
// A writer is used by one thread. Values that cannot be stored (a UID, an
// object of a class without TypedStreamCoding, a number out of the format's
// range, a malformed type string) do not throw: the writer remembers the
// first problem, ok() turns false and the bytes must not be used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "foundation/Data.h"
#include "foundation/TypedStreamFormat.h"
#include "foundation/Value.h"

namespace quorvel {

class TypedStreamWriter {
 public:
  // Writes the header at once; initialCapacity pre-sizes the buffer.
  explicit TypedStreamWriter(std::size_t initialCapacity = 4096);

  // A byte-array element: type "[Nc]" and N raw bytes.
  void encodeByteArray(const void* bytes, std::size_t length);
  void encodeByteArray(const Data& bytes) { encodeByteArray(bytes.data(), bytes.size()); }
  // An integer element of type "I".
  void encodeUInt32(std::uint32_t value);
  // An object element of type "@". Null is nil; text, numbers, data, dates,
  // arrays and dictionaries are stored as NSString, NSNumber, NSData, NSDate,
  // NSArray and NSDictionary; Objects must implement TypedStreamCoding (or be
  // TypedStreamObjects read earlier). An Object met again is stored as a
  // reference to its first copy.
  void encodeObject(const Value& value);
  // NSArchiver's data object: type "i" with the length, then "[Nc]".
  void encodeDataObject(const Data& data);

  // One value of the given single type encoding, in its own group. Values by
  // type: integers for c C s S i I l L q Q, bool for B, reals for f d, any
  // Value for @, a TypedStreamClass (or null) for #, text (or null) for : %
  // and *, data or text (or null) for +, data for [Nc]/[NC], an array of N
  // values for other [N...] arrays and an array of field values for {...}.
  void encodeValueOfObjCType(std::string_view type, const Value& value);
  // Several values in one group under one type string ("@i" with two values).
  void encodeValuesOfObjCTypes(std::string_view types, const Array& values);

  bool ok() const { return error_.empty(); }
  // The first problem met, empty when none.
  const std::string& error() const { return error_; }
  const Data& data() const { return data_; }
  Data takeData() { return std::move(data_); }

  // A stream holding one root object ("@").
  static std::optional<Data> archivedDataWithRootObject(const Value& root, std::string* error = nullptr);

 private:
  void fail(const std::string& message);
  void writeByte(std::uint8_t byte) { data_.push_back(byte); }
  void writeRaw(const void* bytes, std::size_t length);
  void writeInteger(std::int32_t value);
  void writeFloat(float value);
  void writeDouble(double value);
  void writeUnsharedString(std::string_view bytes);
  void writeSharedString(std::string_view text);
  void writeCString(std::string_view text);
  void writeClassChain(const std::vector<typedstream::ClassInfo>& chain);
  void writeTypedValues(const std::vector<std::string>& types, const Value* values, std::size_t count);
  void writeValue(std::string_view type, const Value& value, int depth);
  void writeObject(const Value& value, int depth);
  void writeBuiltinObject(const Value& value, int depth);
  void writeSignedInteger(std::string_view type, const Value& value, std::int64_t min, std::int64_t max);
  void writeUnsignedInteger(std::string_view type, const Value& value, std::uint64_t max);

  Data data_;
  std::string error_;
  std::int32_t nextObjectNumber_ = 0;
  std::unordered_map<std::string, std::int32_t> sharedStrings_;
  std::unordered_map<std::string, std::int32_t> classNumbers_;
  std::unordered_map<std::string, std::int32_t> cStringNumbers_;
  std::unordered_map<const Object*, std::int32_t> objectNumbers_;
};

}  // namespace quorvel
