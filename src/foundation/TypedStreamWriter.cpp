#include "foundation/TypedStreamWriter.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace quorvel {

using namespace typedstream;

namespace {

// Nesting of values and objects beyond this is refused rather than risking
// the stack (readers refuse far less).
constexpr int kMaxWriteDepth = 4096;

const std::vector<ClassInfo>& StringChain() {
  static const std::vector<ClassInfo> chain{{"NSString", 1}, {"NSObject", 0}};
  return chain;
}
const std::vector<ClassInfo>& NumberChain() {
  static const std::vector<ClassInfo> chain{{"NSNumber", 0}, {"NSValue", 0}, {"NSObject", 0}};
  return chain;
}
const std::vector<ClassInfo>& DataChain() {
  static const std::vector<ClassInfo> chain{{"NSData", 0}, {"NSObject", 0}};
  return chain;
}
const std::vector<ClassInfo>& DateChain() {
  static const std::vector<ClassInfo> chain{{"NSDate", 0}, {"NSObject", 0}};
  return chain;
}
const std::vector<ClassInfo>& ArrayChain() {
  static const std::vector<ClassInfo> chain{{"NSArray", 0}, {"NSObject", 0}};
  return chain;
}
const std::vector<ClassInfo>& DictionaryChain() {
  static const std::vector<ClassInfo> chain{{"NSDictionary", 0}, {"NSObject", 0}};
  return chain;
}

std::string ByteArrayType(std::size_t length) { return "[" + std::to_string(length) + "c]"; }

}  // namespace

std::vector<ClassInfo> TypedStreamCoding::typedStreamClassChain() const {
  std::vector<ClassInfo> chain;
  if (const auto* object = dynamic_cast<const Object*>(this)) chain.push_back({object->className(), 0});
  chain.push_back({"NSObject", 0});
  return chain;
}

TypedStreamWriter::TypedStreamWriter(std::size_t initialCapacity) {
  data_.reserve(initialCapacity < 64 ? 64 : initialCapacity);
  writeByte(kStreamerVersion);
  writeByte(static_cast<std::uint8_t>(kSignatureLittleEndian.size()));
  writeRaw(kSignatureLittleEndian.data(), kSignatureLittleEndian.size());
  writeInteger(kSystemVersion);
}

void TypedStreamWriter::fail(const std::string& message) {
  if (error_.empty()) error_ = message;
}

void TypedStreamWriter::writeRaw(const void* bytes, std::size_t length) {
  const auto* p = static_cast<const std::uint8_t*>(bytes);
  data_.insert(data_.end(), p, p + length);
}

void TypedStreamWriter::writeInteger(std::int32_t value) {
  if (value >= -128 && value <= 127 && !IsTag(static_cast<std::int8_t>(value))) {
    writeByte(static_cast<std::uint8_t>(static_cast<std::int8_t>(value)));
  } else if (value >= std::numeric_limits<std::int16_t>::min() && value <= std::numeric_limits<std::int16_t>::max()) {
    auto v = static_cast<std::uint16_t>(static_cast<std::int16_t>(value));
    writeByte(static_cast<std::uint8_t>(kTagInteger2));
    writeByte(static_cast<std::uint8_t>(v & 0xff));
    writeByte(static_cast<std::uint8_t>(v >> 8));
  } else {
    auto v = static_cast<std::uint32_t>(value);
    writeByte(static_cast<std::uint8_t>(kTagInteger4));
    for (int i = 0; i < 4; ++i) writeByte(static_cast<std::uint8_t>(v >> (8 * i)));
  }
}

void TypedStreamWriter::writeFloat(float value) {
  // Whole numbers are written as integers, as the platform does.
  if (std::isfinite(value) && value == std::trunc(value) && value >= -2147483648.0f && value < 2147483648.0f &&
      !(value == 0.0f && std::signbit(value))) {
    writeInteger(static_cast<std::int32_t>(value));
    return;
  }
  std::uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  writeByte(static_cast<std::uint8_t>(kTagFloatingPoint));
  for (int i = 0; i < 4; ++i) writeByte(static_cast<std::uint8_t>(bits >> (8 * i)));
}

void TypedStreamWriter::writeDouble(double value) {
  if (std::isfinite(value) && value == std::trunc(value) && value >= -2147483648.0 && value <= 2147483647.0 &&
      !(value == 0.0 && std::signbit(value))) {
    writeInteger(static_cast<std::int32_t>(value));
    return;
  }
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  writeByte(static_cast<std::uint8_t>(kTagFloatingPoint));
  for (int i = 0; i < 8; ++i) writeByte(static_cast<std::uint8_t>(bits >> (8 * i)));
}

void TypedStreamWriter::writeUnsharedString(std::string_view bytes) {
  if (bytes.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    fail("string too long for a typed stream");
    return;
  }
  writeInteger(static_cast<std::int32_t>(bytes.size()));
  writeRaw(bytes.data(), bytes.size());
}

void TypedStreamWriter::writeSharedString(std::string_view text) {
  auto it = sharedStrings_.find(std::string(text));
  if (it != sharedStrings_.end()) {
    writeInteger(it->second);
    return;
  }
  auto number = kFirstReferenceNumber + static_cast<std::int32_t>(sharedStrings_.size());
  sharedStrings_.emplace(std::string(text), number);
  writeByte(static_cast<std::uint8_t>(kTagNew));
  writeUnsharedString(text);
}

void TypedStreamWriter::writeCString(std::string_view text) {
  auto it = cStringNumbers_.find(std::string(text));
  if (it != cStringNumbers_.end()) {
    writeInteger(it->second);
    return;
  }
  cStringNumbers_.emplace(std::string(text), kFirstReferenceNumber + nextObjectNumber_++);
  writeByte(static_cast<std::uint8_t>(kTagNew));
  writeSharedString(text);
}

void TypedStreamWriter::writeClassChain(const std::vector<ClassInfo>& chain) {
  for (const auto& info : chain) {
    auto it = classNumbers_.find(info.name);
    if (it != classNumbers_.end()) {
      writeInteger(it->second);
      return;
    }
    classNumbers_.emplace(info.name, kFirstReferenceNumber + nextObjectNumber_++);
    writeByte(static_cast<std::uint8_t>(kTagNew));
    writeSharedString(info.name);
    writeInteger(info.version);
  }
  writeByte(static_cast<std::uint8_t>(kTagNil));
}

void TypedStreamWriter::writeTypedValues(const std::vector<std::string>& types, const Value* values,
                                         std::size_t count) {
  std::string joined;
  for (const auto& type : types) joined += type;
  writeSharedString(joined);
  for (std::size_t i = 0; i < count; ++i) writeValue(types[i], values[i], 0);
}

void TypedStreamWriter::encodeByteArray(const void* bytes, std::size_t length) {
  writeSharedString(ByteArrayType(length));
  writeRaw(bytes, length);
}

void TypedStreamWriter::encodeUInt32(std::uint32_t value) {
  writeSharedString("I");
  // Unsigned values are stored with the bits of the signed value of the same
  // width, as the platform does.
  writeInteger(static_cast<std::int32_t>(value));
}

void TypedStreamWriter::encodeObject(const Value& value) {
  writeSharedString("@");
  writeObject(value, 0);
}

void TypedStreamWriter::encodeDataObject(const Data& data) {
  if (data.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    fail("data too long for a typed stream");
    return;
  }
  writeSharedString("i");
  writeInteger(static_cast<std::int32_t>(data.size()));
  encodeByteArray(data);
}

void TypedStreamWriter::encodeValueOfObjCType(std::string_view type, const Value& value) {
  encodeValuesOfObjCTypes(type, Array{value});
}

void TypedStreamWriter::encodeValuesOfObjCTypes(std::string_view types, const Array& values) {
  std::vector<std::string> split;
  std::string reason;
  if (!SplitTypeEncodings(types, split, &reason)) {
    fail("invalid type string \"" + std::string(types) + "\": " + reason);
    return;
  }
  if (split.size() != values.size()) {
    fail("type string \"" + std::string(types) + "\" names " + std::to_string(split.size()) + " values, " +
         std::to_string(values.size()) + " given");
    return;
  }
  writeTypedValues(split, values.data(), values.size());
}

void TypedStreamWriter::writeSignedInteger(std::string_view type, const Value& value, std::int64_t min,
                                           std::int64_t max) {
  if (!value.isNumber() || value.isReal()) {
    fail("value of type \"" + std::string(type) + "\" is not an integer: " + value.description());
    return;
  }
  if (value.type() == Value::Type::Unsigned || value.asInt() < min || value.asInt() > max) {
    fail("integer " + value.description() + " out of range for type \"" + std::string(type) + "\"");
    return;
  }
  writeInteger(static_cast<std::int32_t>(value.asInt()));
}

void TypedStreamWriter::writeUnsignedInteger(std::string_view type, const Value& value, std::uint64_t max) {
  if (!value.isNumber() || value.isReal()) {
    fail("value of type \"" + std::string(type) + "\" is not an integer: " + value.description());
    return;
  }
  if ((value.type() == Value::Type::Integer && value.asInt() < 0) || value.asUInt() > max) {
    fail("integer " + value.description() + " out of range for type \"" + std::string(type) + "\"");
    return;
  }
  std::uint64_t v = value.asUInt();
  if (max == 0xffff) {
    writeInteger(static_cast<std::int16_t>(static_cast<std::uint16_t>(v)));
  } else {
    writeInteger(static_cast<std::int32_t>(static_cast<std::uint32_t>(v)));
  }
}

void TypedStreamWriter::writeValue(std::string_view type, const Value& value, int depth) {
  if (depth > kMaxWriteDepth) {
    fail("values nested too deeply");
    return;
  }
  char code = type.empty() ? '\0' : type[0];
  switch (code) {
    case 'c':
    case 'C':
      if (!value.isNumber() || value.isReal()) {
        fail("value of type \"" + std::string(type) + "\" is not an integer: " + value.description());
        return;
      }
      if (code == 'c' ? (value.asInt() < -128 || value.asInt() > 127) : (value.asInt() < 0 || value.asInt() > 255)) {
        fail("integer " + value.description() + " out of range for type \"" + std::string(type) + "\"");
        return;
      }
      writeByte(static_cast<std::uint8_t>(value.asInt()));
      return;
    case 'B':
      writeByte(value.asBool() ? 1 : 0);
      return;
    case 's': writeSignedInteger(type, value, INT16_MIN, INT16_MAX); return;
    case 'i':
    case 'l':
    case 'q':  // the format holds at most 32 bits
      writeSignedInteger(type, value, INT32_MIN, INT32_MAX);
      return;
    case 'S': writeUnsignedInteger(type, value, 0xffff); return;
    case 'I':
    case 'L':
    case 'Q': writeUnsignedInteger(type, value, 0xffffffffu); return;
    case 'f':
    case 'd':
      if (!value.isNumber()) {
        fail("value of type \"" + std::string(type) + "\" is not a number: " + value.description());
        return;
      }
      if (code == 'f') writeFloat(static_cast<float>(value.asDouble()));
      else writeDouble(value.asDouble());
      return;
    case '@': writeObject(value, depth + 1); return;
    case '#': {
      if (value.isNull()) {
        writeByte(static_cast<std::uint8_t>(kTagNil));
        return;
      }
      auto cls = value.object<TypedStreamClass>();
      if (!cls) {
        fail("value of type \"#\" is not a class: " + value.description());
        return;
      }
      writeClassChain(cls->chain());
      return;
    }
    case ':':
    case '%':
    case '*':
      if (value.isNull()) {
        writeByte(static_cast<std::uint8_t>(kTagNil));
      } else if (!value.isString()) {
        fail("value of type \"" + std::string(type) + "\" is not text: " + value.description());
      } else if (code == '*') {
        if (value.asString().find('\0') != std::string::npos) fail("C string holds a NUL byte");
        else writeCString(value.asString());
      } else {
        writeSharedString(value.asString());
      }
      return;
    case '+':
      if (value.isNull()) writeByte(static_cast<std::uint8_t>(kTagNil));
      else if (value.isData()) writeUnsharedString(std::string_view(reinterpret_cast<const char*>(value.asData().data()), value.asData().size()));
      else if (value.isString()) writeUnsharedString(value.asString());
      else fail("value of type \"+\" is neither data nor text: " + value.description());
      return;
    case '!': return;
    case '[': {
      // "[N<element>]"
      std::size_t i = 1;
      std::size_t count = 0;
      while (i < type.size() && type[i] >= '0' && type[i] <= '9') count = count * 10 + static_cast<std::size_t>(type[i++] - '0');
      std::string_view element = type.substr(i, type.size() - i - 1);
      if (element == "c" || element == "C") {
        std::string_view bytes;
        if (value.isData()) bytes = std::string_view(reinterpret_cast<const char*>(value.asData().data()), value.asData().size());
        else if (value.isString()) bytes = value.asString();
        else {
          fail("value of type \"" + std::string(type) + "\" is not data: " + value.description());
          return;
        }
        if (bytes.size() != count) {
          fail("byte array of " + std::to_string(bytes.size()) + " bytes for type \"" + std::string(type) + "\"");
          return;
        }
        writeRaw(bytes.data(), bytes.size());
        return;
      }
      if (!value.isArray() || value.asArray().size() != count) {
        fail("value of type \"" + std::string(type) + "\" is not an array of " + std::to_string(count) + " values");
        return;
      }
      for (const auto& element_value : value.asArray()) writeValue(element, element_value, depth + 1);
      return;
    }
    case '{': {
      auto eq = type.find('=');
      std::vector<std::string> fields;
      if (eq != std::string_view::npos) {
        std::string reason;
        if (!SplitTypeEncodings(type.substr(eq + 1, type.size() - eq - 2), fields, &reason)) {
          fail("invalid structure type \"" + std::string(type) + "\": " + reason);
          return;
        }
      }
      if (!value.isArray() || value.asArray().size() != fields.size()) {
        fail("value of type \"" + std::string(type) + "\" is not an array of " + std::to_string(fields.size()) +
             " fields");
        return;
      }
      for (std::size_t f = 0; f < fields.size(); ++f) writeValue(fields[f], value.asArray()[f], depth + 1);
      return;
    }
    default: fail("type \"" + std::string(type) + "\" cannot be written"); return;
  }
}

void TypedStreamWriter::writeObject(const Value& value, int depth) {
  if (depth > kMaxWriteDepth) {
    fail("objects nested too deeply");
    return;
  }
  if (value.isNull()) {
    writeByte(static_cast<std::uint8_t>(kTagNil));
    return;
  }
  if (!value.isObject()) {
    writeBuiltinObject(value, depth);
    return;
  }
  const auto& object = value.asObject();
  auto known = objectNumbers_.find(object.get());
  if (known != objectNumbers_.end()) {
    writeInteger(known->second);
    return;
  }
  if (auto stored = std::dynamic_pointer_cast<TypedStreamObject>(object)) {
    writeByte(static_cast<std::uint8_t>(kTagNew));
    objectNumbers_.emplace(object.get(), kFirstReferenceNumber + nextObjectNumber_++);
    writeClassChain(stored->storedClass() ? stored->storedClass()->chain() : std::vector<ClassInfo>{});
    for (const auto& group : stored->contents()) {
      if (group.types.size() != group.values.size()) {
        fail("stored group of " + std::to_string(group.types.size()) + " types holds " +
             std::to_string(group.values.size()) + " values");
        return;
      }
      std::string joined;
      for (const auto& type : group.types) {
        std::vector<std::string> single;
        if (!SplitTypeEncodings(type, single) || single.size() != 1) {
          fail("stored group has an invalid type \"" + type + "\"");
          return;
        }
        joined += type;
      }
      writeSharedString(joined);
      for (std::size_t i = 0; i < group.types.size(); ++i) writeValue(group.types[i], group.values[i], depth + 1);
    }
    writeByte(static_cast<std::uint8_t>(kTagEndOfObject));
    return;
  }
  const auto* coding = dynamic_cast<const TypedStreamCoding*>(object.get());
  if (!coding) {
    fail("cannot store an object of class \"" + object->className() + "\" in a typed stream");
    return;
  }
  writeByte(static_cast<std::uint8_t>(kTagNew));
  objectNumbers_.emplace(object.get(), kFirstReferenceNumber + nextObjectNumber_++);
  writeClassChain(coding->typedStreamClassChain());
  coding->encodeWithTypedStream(*this);
  writeByte(static_cast<std::uint8_t>(kTagEndOfObject));
}

void TypedStreamWriter::writeBuiltinObject(const Value& value, int depth) {
  auto begin = [this](const std::vector<ClassInfo>& chain) {
    writeByte(static_cast<std::uint8_t>(kTagNew));
    ++nextObjectNumber_;  // values have no identity: nobody refers to this number
    writeClassChain(chain);
  };
  auto end = [this] { writeByte(static_cast<std::uint8_t>(kTagEndOfObject)); };
  switch (value.type()) {
    case Value::Type::String:
      begin(StringChain());
      writeSharedString("+");
      writeUnsharedString(value.asString());
      end();
      return;
    case Value::Type::Bool:
    case Value::Type::Integer:
    case Value::Type::Unsigned:
    case Value::Type::Real: {
      // NSNumber: its NSValue part stores the type encoding as a C string,
      // then the value of that type.
      std::string type = value.isBool() ? "c" : value.isReal() ? "d" : "i";
      if (type == "i" && (value.type() == Value::Type::Unsigned || value.asInt() < INT32_MIN || value.asInt() > INT32_MAX)) {
        fail("integer " + value.description() + " does not fit the 32 bits a typed stream holds");
        return;
      }
      begin(NumberChain());
      writeSharedString("*");
      writeCString(type);
      writeSharedString(type);
      if (value.isBool()) writeByte(value.asBool() ? 1 : 0);
      else if (value.isReal()) writeDouble(value.asDouble());
      else writeInteger(static_cast<std::int32_t>(value.asInt()));
      end();
      return;
    }
    case Value::Type::Data:
      begin(DataChain());
      encodeDataObject(value.asData());
      end();
      return;
    case Value::Type::Date:
      begin(DateChain());
      writeSharedString("d");
      writeDouble(value.asDate().timeIntervalSinceReferenceDate());
      end();
      return;
    case Value::Type::Array:
      if (value.asArray().size() > static_cast<std::size_t>(INT32_MAX)) {
        fail("array too long for a typed stream");
        return;
      }
      begin(ArrayChain());
      writeSharedString("i");
      writeInteger(static_cast<std::int32_t>(value.asArray().size()));
      for (const auto& element : value.asArray()) {
        writeSharedString("@");
        writeObject(element, depth + 1);
      }
      end();
      return;
    case Value::Type::Dictionary:
      begin(DictionaryChain());
      writeSharedString("i");
      writeInteger(static_cast<std::int32_t>(value.asDictionary().size()));
      for (const auto& [key, element] : value.asDictionary()) {
        writeSharedString("@");
        writeObject(Value(key), depth + 1);
        writeSharedString("@");
        writeObject(element, depth + 1);
      }
      end();
      return;
    case Value::Type::Uid: fail("a keyed-archive UID cannot be stored in a typed stream"); return;
    default: fail("value cannot be stored in a typed stream: " + value.description()); return;
  }
}

std::optional<Data> TypedStreamWriter::archivedDataWithRootObject(const Value& root, std::string* error) {
  TypedStreamWriter writer;
  writer.encodeObject(root);
  if (!writer.ok()) {
    if (error) *error = writer.error();
    return std::nullopt;
  }
  return writer.takeData();
}

}  // namespace quorvel
