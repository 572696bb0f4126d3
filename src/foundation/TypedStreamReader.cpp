#include "foundation/TypedStreamReader.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <unordered_map>

#include "foundation/Mutex.h"

namespace quorvel {

using namespace typedstream;

namespace {

// Internal unwinding of a malformed stream; never leaves the reader.
class Failure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

constexpr int kMaxTypeNesting = 32;
constexpr std::size_t kMaxClassChain = 256;
// Arrays whose elements occupy no bytes ("[N!]") are capped at this count.
constexpr std::size_t kMaxEmptyElements = 65536;

bool IsSimpleType(char c) { return std::strchr("cCsSiIlLqQfdB@#:*+%!", c) != nullptr && c != '\0'; }
bool IsIntegerType(char c) { return c != '\0' && std::strchr("cCsSiIlLqQ", c) != nullptr; }
bool IsRealType(char c) { return c == 'f' || c == 'd'; }
bool IsByteArrayType(std::string_view t) {
  return t.size() >= 4 && t.front() == '[' && t.back() == ']' && (t[t.size() - 2] == 'c' || t[t.size() - 2] == 'C') &&
         t.find_first_not_of("0123456789", 1) == t.size() - 2;
}

// The element count of a byte-array encoding ("[12c]" -> 12).
std::uint64_t ByteArrayCount(std::string_view type) {
  std::uint64_t count = 0;
  for (std::size_t p = 1; p < type.size() && type[p] >= '0' && type[p] <= '9'; ++p)
    count = count * 10 + static_cast<std::uint64_t>(type[p] - '0');
  return count;
}

// A buffer length read from an integer group; negative lengths are refused.
std::uint64_t ByteArrayLength(const Value& length) {
  if (length.type() == Value::Type::Integer && length.asInt() < 0) throw Failure("negative buffer length");
  return length.asUInt();
}

// Parses one encoding starting at pos; returns the position after it.
std::size_t ParseOneEncoding(std::string_view s, std::size_t pos, int depth) {
  if (depth > kMaxTypeNesting) throw Failure("type encoding nested too deeply");
  if (pos >= s.size()) throw Failure("type encoding ends early");
  char c = s[pos];
  if (IsSimpleType(c)) return pos + 1;
  if (c == '[') {
    std::size_t p = pos + 1;
    std::uint64_t count = 0;
    std::size_t digits = 0;
    while (p < s.size() && s[p] >= '0' && s[p] <= '9') {
      count = count * 10 + static_cast<std::uint64_t>(s[p] - '0');
      if (count > 0x7fffffffu) throw Failure("array count too large");
      ++p;
      ++digits;
    }
    if (digits == 0) throw Failure("array encoding without a count");
    p = ParseOneEncoding(s, p, depth + 1);
    if (p >= s.size() || s[p] != ']') throw Failure("array encoding not closed");
    return p + 1;
  }
  if (c == '{') {
    std::size_t p = pos + 1;
    while (p < s.size() && s[p] != '=' && s[p] != '}') {
      if (s[p] == '{' || s[p] == '[') throw Failure("malformed structure name");
      ++p;
    }
    if (p >= s.size()) throw Failure("structure encoding not closed");
    if (s[p] == '=') {
      ++p;
      while (p < s.size() && s[p] != '}') p = ParseOneEncoding(s, p, depth + 1);
      if (p >= s.size()) throw Failure("structure encoding not closed");
    }
    return p + 1;
  }
  throw Failure(std::string("unknown type encoding '") + c + "'");
}

// Fewest bytes one value of the (valid) encoding occupies.
std::uint64_t MinimumSize(std::string_view type) {
  if (type.empty()) return 0;
  if (type[0] == '!') return 0;
  if (type[0] == '[') {
    std::size_t p = 1;
    std::uint64_t count = 0;
    while (p < type.size() && type[p] >= '0' && type[p] <= '9') count = count * 10 + static_cast<std::uint64_t>(type[p++] - '0');
    std::uint64_t element = MinimumSize(type.substr(p, type.size() - p - 1));
    // Saturates: an array too large to fit any stream is refused anyway.
    if (element != 0 && count > (std::uint64_t{1} << 48) / element) return std::uint64_t{1} << 48;
    return count * element;
  }
  if (type[0] == '{') {
    auto eq = type.find('=');
    if (eq == std::string_view::npos) return 0;
    std::vector<std::string> fields;
    if (!SplitTypeEncodings(type.substr(eq + 1, type.size() - eq - 2), fields)) return 0;
    std::uint64_t total = 0;
    for (const auto& field : fields) total = std::min<std::uint64_t>(total + MinimumSize(field), std::uint64_t{1} << 48);
    return total;
  }
  return 1;
}

struct DepthGuard {
  DepthGuard(int& depth, int max) : depth_(depth) {
    if (depth_ >= max) throw Failure("values nested too deeply");
    ++depth_;
  }
  ~DepthGuard() { --depth_; }
  DepthGuard(const DepthGuard&) = delete;
  DepthGuard& operator=(const DepthGuard&) = delete;
  int& depth_;
};

// Integer value v read for a group of type `actual`, checked and converted
// for a caller that asked for type `wanted`.
Value ConvertInteger(const Value& v, char wanted) {
  bool negative = v.type() == Value::Type::Integer && v.asInt() < 0;
  std::int64_t s = v.asInt();
  std::uint64_t u = v.asUInt();
  auto out_of_range = [&] { return Failure("integer " + v.description() + " does not fit type '" + std::string(1, wanted) + "'"); };
  switch (wanted) {
    case 'c': if (s < INT8_MIN || s > INT8_MAX || (!negative && u > INT8_MAX)) throw out_of_range(); return Value(s);
    case 's': if (s < INT16_MIN || s > INT16_MAX || (!negative && u > INT16_MAX)) throw out_of_range(); return Value(s);
    case 'i':
    case 'l': if (s < INT32_MIN || s > INT32_MAX || (!negative && u > INT32_MAX)) throw out_of_range(); return Value(s);
    case 'q': if (!negative && u > static_cast<std::uint64_t>(INT64_MAX)) throw out_of_range(); return Value(s);
    case 'C': if (negative || u > UINT8_MAX) throw out_of_range(); return Value(u);
    case 'S': if (negative || u > UINT16_MAX) throw out_of_range(); return Value(u);
    case 'I':
    case 'L': if (negative || u > UINT32_MAX) throw out_of_range(); return Value(u);
    case 'Q': if (negative) throw out_of_range(); return Value(u);
    default: throw Failure("not an integer type");
  }
}

struct Registry {
  Mutex mutex;
  std::unordered_map<std::string, std::shared_ptr<const TypedStreamReader::ClassDecoder>> decoders GUARDED_BY(mutex);
};

std::optional<Value> DecodeString(TypedStreamReader& reader, const TypedStreamClass&) {
  auto bytes = reader.decodeValueOfObjCType("+");
  if (!bytes) return std::nullopt;
  if (!bytes->isData()) {
    reader.fail("NSString without text");
    return std::nullopt;
  }
  return Value(StringFromData(bytes->asData()));
}

std::optional<Value> DecodeNumber(TypedStreamReader& reader, const TypedStreamClass&) {
  auto type = reader.decodeValueOfObjCType("*");
  if (!type) return std::nullopt;
  const std::string& t = type->asString();
  if (t.size() != 1 || !(IsIntegerType(t[0]) || IsRealType(t[0]) || t[0] == 'B')) {
    reader.fail("NSNumber of unsupported type \"" + t + "\"");
    return std::nullopt;
  }
  auto value = reader.decodeValueOfObjCType(t);
  if (!value) return std::nullopt;
  // Booleans are stored as "c" (or "B"); a char number of 0 or 1 reads as one.
  if ((t == "c" || t == "B") && (value->asInt() == 0 || value->asInt() == 1)) return Value(value->asInt() == 1);
  return value;
}

std::optional<Value> DecodeData(TypedStreamReader& reader, const TypedStreamClass&) {
  auto data = reader.decodeDataObject();
  if (!data) return std::nullopt;
  return Value(std::move(*data));
}

std::optional<Value> DecodeDate(TypedStreamReader& reader, const TypedStreamClass&) {
  auto seconds = reader.decodeValueOfObjCType("d");
  if (!seconds) return std::nullopt;
  return Value(Date(seconds->asDouble()));
}

std::optional<Value> DecodeCollection(TypedStreamReader& reader, const char* countType) {
  auto count = reader.decodeValueOfObjCType(countType);
  if (!count) return std::nullopt;
  if (count->asInt() < 0) {
    reader.fail("negative element count");
    return std::nullopt;
  }
  Array elements;
  elements.reserve(static_cast<std::size_t>(std::min<std::int64_t>(count->asInt(), 4096)));
  for (std::int64_t i = 0; i < count->asInt(); ++i) {
    auto element = reader.decodeObject();
    if (!element) return std::nullopt;
    elements.push_back(std::move(*element));
  }
  return Value(std::move(elements));
}

std::optional<Value> DecodeDictionary(TypedStreamReader& reader, const TypedStreamClass&) {
  auto count = reader.decodeValueOfObjCType("i");
  if (!count) return std::nullopt;
  if (count->asInt() < 0) {
    reader.fail("negative entry count");
    return std::nullopt;
  }
  Dictionary entries;
  for (std::int64_t i = 0; i < count->asInt(); ++i) {
    auto key = reader.decodeObject();
    if (!key) return std::nullopt;
    auto value = reader.decodeObject();
    if (!value) return std::nullopt;
    if (!key->isString()) {
      reader.fail("dictionary key is not text: " + key->description());
      return std::nullopt;
    }
    entries.set(key->asString(), std::move(*value));
  }
  return Value(std::move(entries));
}

Registry& GetRegistry() {
  static Registry* registry = [] {
    auto* r = new Registry;
    // The registry is not shared yet; the lock keeps the analysis informed.
    auto add = [r](const char* name, TypedStreamReader::ClassDecoder decoder) {
      MutexLock lock(r->mutex);
      r->decoders[name] = std::make_shared<const TypedStreamReader::ClassDecoder>(std::move(decoder));
    };
    add("NSString", DecodeString);
    add("NSMutableString", DecodeString);
    add("NSNumber", DecodeNumber);
    add("NSData", DecodeData);
    add("NSMutableData", DecodeData);
    add("NSDate", DecodeDate);
    add("NSArray", [](TypedStreamReader& r, const TypedStreamClass&) { return DecodeCollection(r, "i"); });
    add("NSMutableArray", [](TypedStreamReader& r, const TypedStreamClass&) { return DecodeCollection(r, "i"); });
    add("NSSet", [](TypedStreamReader& r, const TypedStreamClass&) { return DecodeCollection(r, "I"); });
    add("NSMutableSet", [](TypedStreamReader& r, const TypedStreamClass&) { return DecodeCollection(r, "I"); });
    add("NSDictionary", DecodeDictionary);
    add("NSMutableDictionary", DecodeDictionary);
    return r;
  }();
  return *registry;
}

std::shared_ptr<const TypedStreamReader::ClassDecoder> FindDecoder(const std::string& name) {
  auto& registry = GetRegistry();
  MutexLock lock(registry.mutex);
  auto it = registry.decoders.find(name);
  return it == registry.decoders.end() ? nullptr : it->second;
}

}  // namespace

// ---- format helpers and shared types

bool typedstream::SplitTypeEncodings(std::string_view types, std::vector<std::string>& out, std::string* error) {
  out.clear();
  try {
    std::size_t pos = 0;
    while (pos < types.size()) {
      std::size_t next = ParseOneEncoding(types, pos, 0);
      out.emplace_back(types.substr(pos, next - pos));
      pos = next;
    }
    return true;
  } catch (const Failure& failure) {
    if (error) *error = failure.what();
    out.clear();
    return false;
  }
}

std::shared_ptr<const TypedStreamClass> TypedStreamClass::fromChain(const std::vector<ClassInfo>& chain) {
  std::shared_ptr<const TypedStreamClass> cls;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) cls = std::make_shared<TypedStreamClass>(it->name, it->version, cls);
  return cls;
}

std::vector<ClassInfo> TypedStreamClass::chain() const {
  std::vector<ClassInfo> result;
  for (const TypedStreamClass* c = this; c; c = c->superclass_.get()) result.push_back({c->name_, c->version_});
  return result;
}

bool TypedStreamClass::isEqualToObject(const Object& other) const {
  const auto* cls = dynamic_cast<const TypedStreamClass*>(&other);
  return cls && cls->chain() == chain();
}

std::string TypedStreamClass::description() const {
  std::string text = "class ";
  bool first = true;
  for (const auto& info : chain()) {
    if (!first) text += " : ";
    text += info.name + " v" + std::to_string(info.version);
    first = false;
  }
  return text;
}

bool TypedStreamObject::isEqualToObject(const Object& other) const {
  const auto* object = dynamic_cast<const TypedStreamObject*>(&other);
  if (!object || !class_ != !object->class_) return false;
  if (class_ && class_->chain() != object->class_->chain()) return false;
  return contents_ == object->contents_;
}

std::string TypedStreamObject::description() const {
  std::string text = "<" + className() + ":";
  for (const auto& group : contents_) {
    for (std::size_t i = 0; i < group.types.size() && i < group.values.size(); ++i) {
      text += " " + group.types[i] + "=" + group.values[i].description();
    }
  }
  return text + ">";
}

// ---- reader

void TypedStreamReader::registerClass(const std::string& className, ClassDecoder decoder) {
  auto& registry = GetRegistry();
  MutexLock lock(registry.mutex);
  registry.decoders[className] = std::make_shared<const ClassDecoder>(std::move(decoder));
}

TypedStreamReader::TypedStreamReader(const std::uint8_t* bytes, std::size_t size)
    : pos_(bytes), end_(bytes + size), budget_(DecodeBudget::forInput(size)) {
  try {
    readHeader();
  } catch (const std::exception& failure) {
    fail(failure.what());
  }
}

void TypedStreamReader::charge(std::uint64_t nodes, std::uint64_t bytes) {
  if (!budget_.charge(nodes, bytes)) throw Failure("typed stream expands beyond any reasonable size");
}

void TypedStreamReader::fail(const std::string& message) {
  if (error_.empty()) error_ = message.empty() ? std::string("malformed typed stream") : message;
}

bool TypedStreamReader::atEnd() const { return !ok() || pos_ == end_; }

void TypedStreamReader::readHeader() {
  if (end_ - pos_ < 2) throw Failure("not a typed stream: too short");
  streamerVersion_ = readByte();
  std::size_t signatureLength = readByte();
  if (streamerVersion_ != kStreamerVersion) {
    throw Failure("not a typed stream: streamer version " + std::to_string(streamerVersion_));
  }
  if (signatureLength != kSignatureLittleEndian.size()) throw Failure("not a typed stream: bad signature");
  std::string_view signature(reinterpret_cast<const char*>(readBytes(signatureLength)), signatureLength);
  if (signature == kSignatureLittleEndian) bigEndian_ = false;
  else if (signature == kSignatureBigEndian) bigEndian_ = true;
  else throw Failure("not a typed stream: bad signature");
  systemVersion_ = static_cast<int>(readInteger(readHead()));
}

std::uint8_t TypedStreamReader::readByte() {
  if (pos_ == end_) throw Failure("typed stream ends early");
  return *pos_++;
}

std::int8_t TypedStreamReader::readHead() { return static_cast<std::int8_t>(readByte()); }

const std::uint8_t* TypedStreamReader::readBytes(std::size_t length) {
  if (static_cast<std::size_t>(end_ - pos_) < length) throw Failure("typed stream ends early");
  const std::uint8_t* start = pos_;
  pos_ += length;
  return start;
}

namespace {
std::uint64_t Assemble(const std::uint8_t* p, int size, bool bigEndian) {
  std::uint64_t v = 0;
  for (int i = 0; i < size; ++i) {
    std::uint64_t byte = bigEndian ? p[i] : p[size - 1 - i];
    v = (v << 8) | byte;
  }
  return v;
}
}  // namespace

std::int64_t TypedStreamReader::readInteger(std::int8_t head) {
  if (!IsTag(head)) return head;
  if (head == kTagInteger2) return static_cast<std::int16_t>(Assemble(readBytes(2), 2, bigEndian_));
  if (head == kTagInteger4) return static_cast<std::int32_t>(Assemble(readBytes(4), 4, bigEndian_));
  throw Failure("unexpected tag " + std::to_string(static_cast<int>(static_cast<std::uint8_t>(head))) +
                " where an integer belongs");
}

std::uint64_t TypedStreamReader::readLength(std::int8_t head) {
  if (!IsTag(head)) return static_cast<std::uint8_t>(head);
  if (head == kTagInteger2) return Assemble(readBytes(2), 2, bigEndian_);
  if (head == kTagInteger4) return Assemble(readBytes(4), 4, bigEndian_);
  throw Failure("unexpected tag where a length belongs");
}

double TypedStreamReader::readReal(std::int8_t head, bool isDouble) {
  if (head != kTagFloatingPoint) return static_cast<double>(readInteger(head));
  if (isDouble) {
    std::uint64_t bits = Assemble(readBytes(8), 8, bigEndian_);
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
  }
  auto bits = static_cast<std::uint32_t>(Assemble(readBytes(4), 4, bigEndian_));
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

std::optional<std::string> TypedStreamReader::readUnsharedString(std::int8_t head) {
  if (head == kTagNil) return std::nullopt;
  std::uint64_t length = readLength(head);
  if (length > static_cast<std::uint64_t>(end_ - pos_)) throw Failure("string longer than the typed stream");
  const std::uint8_t* p = readBytes(static_cast<std::size_t>(length));
  return std::string(reinterpret_cast<const char*>(p), static_cast<std::size_t>(length));
}

std::optional<std::size_t> TypedStreamReader::readSharedStringIndex(std::int8_t head) {
  if (head == kTagNil) return std::nullopt;
  if (head == kTagNew) {
    auto text = readUnsharedString(readHead());
    if (!text) throw Failure("shared string holds nil");
    sharedStrings_.push_back(std::move(*text));
    splitTypes_.emplace_back();
    return sharedStrings_.size() - 1;
  }
  std::int64_t index = readInteger(head) - kFirstReferenceNumber;
  if (index < 0 || static_cast<std::uint64_t>(index) >= sharedStrings_.size()) {
    throw Failure("reference to unknown shared string");
  }
  return static_cast<std::size_t>(index);
}

std::optional<std::string> TypedStreamReader::readSharedString(std::int8_t head) {
  auto index = readSharedStringIndex(head);
  if (!index) return std::nullopt;
  return sharedStrings_[*index];
}

std::size_t TypedStreamReader::referenceIndex(std::int8_t head) {
  std::int64_t index = readInteger(head) - kFirstReferenceNumber;
  if (index < 0 || static_cast<std::uint64_t>(index) >= objects_.size()) throw Failure("reference to unknown object");
  return static_cast<std::size_t>(index);
}

Value TypedStreamReader::readCString(std::int8_t head) {
  if (head == kTagNil) return Value();
  if (head == kTagNew) {
    auto text = readSharedString(readHead());
    if (!text) throw Failure("C string holds nil");
    if (text->find('\0') != std::string::npos) throw Failure("C string holds a NUL byte");
    Entry entry;
    entry.kind = Entry::Kind::CString;
    entry.complete = true;
    entry.value = Value(*text);
    objects_.push_back(std::move(entry));
    return Value(std::move(*text));
  }
  const Entry& entry = objects_[referenceIndex(head)];
  if (entry.kind != Entry::Kind::CString) throw Failure("C string reference names another kind of entry");
  return entry.value;
}

std::shared_ptr<const TypedStreamClass> TypedStreamReader::readClass(std::int8_t head) {
  std::vector<ClassInfo> literals;
  while (head == kTagNew) {
    auto name = readSharedString(readHead());
    if (!name) throw Failure("class without a name");
    std::int64_t version = readInteger(readHead());
    literals.push_back({std::move(*name), static_cast<std::int32_t>(version)});
    if (literals.size() > kMaxClassChain) throw Failure("class chain too long");
    head = readHead();
  }
  std::shared_ptr<const TypedStreamClass> cls;
  if (head != kTagNil) {
    const Entry& entry = objects_[referenceIndex(head)];
    if (entry.kind != Entry::Kind::Class) throw Failure("class reference names another kind of entry");
    cls = entry.cls;
  }
  if (literals.empty()) return cls;
  std::size_t length = literals.size();
  for (const TypedStreamClass* c = cls.get(); c; c = c->superclass().get()) {
    if (++length > kMaxClassChain) throw Failure("class chain too long");
  }
  std::vector<std::shared_ptr<const TypedStreamClass>> built(literals.size());
  for (std::size_t i = literals.size(); i-- > 0;) {
    cls = std::make_shared<TypedStreamClass>(literals[i].name, literals[i].version, cls);
    built[i] = cls;
  }
  for (auto& c : built) {
    Entry entry;
    entry.kind = Entry::Kind::Class;
    entry.complete = true;
    entry.cls = std::move(c);
    objects_.push_back(std::move(entry));
  }
  return cls;
}

Value TypedStreamReader::readObject(std::int8_t head) {
  if (head == kTagNil) return Value();
  if (head != kTagNew) {
    const Entry& entry = objects_[referenceIndex(head)];
    if (entry.kind != Entry::Kind::Object) throw Failure("object reference names another kind of entry");
    if (!entry.complete) throw Failure("object refers to itself while being read");
    charge(entry.nodes, entry.bytes);
    return entry.value;
  }
  DepthGuard guard(depth_, maxDepth_);
  std::uint64_t nodesBefore = budget_.nodesUsed();
  std::uint64_t bytesBefore = budget_.bytesUsed();
  std::size_t index = objects_.size();
  objects_.emplace_back();
  auto cls = readClass(readHead());
  if (!cls) throw Failure("object without a class");
  Value value;
  if (auto decoder = FindDecoder(cls->name())) {
    std::optional<Value> decoded;
    try {
      decoded = (*decoder)(*this, *cls);
    } catch (const Failure&) {
      throw;
    } catch (const std::exception& exception) {
      throw Failure("decoding an object of class \"" + cls->name() + "\" failed: " + exception.what());
    }
    if (!ok()) throw Failure(error_);
    if (!decoded) throw Failure("could not decode object of class \"" + cls->name() + "\"");
    value = std::move(*decoded);
    for (std::int8_t next = readHead(); next != kTagEndOfObject; next = readHead()) readGroup(next);
  } else {
    std::vector<TypedStreamGroup> contents;
    for (std::int8_t next = readHead(); next != kTagEndOfObject; next = readHead()) contents.push_back(readGroup(next));
    value = Value(std::make_shared<TypedStreamObject>(cls, std::move(contents)));
  }
  Entry& entry = objects_[index];
  entry.value = value;
  entry.complete = true;
  // An Object is shared by pointer: copying it costs one value.
  entry.nodes = value.isObject() ? 1 : budget_.nodesUsed() - nodesBefore + 1;
  entry.bytes = value.isObject() ? 0 : budget_.bytesUsed() - bytesBefore;
  return value;
}

Value TypedStreamReader::readValue(std::string_view type, int depth) {
  Value value = readValueOfType(type, depth);
  std::uint64_t bytes = value.isString() ? value.asString().size() : value.isData() ? value.asData().size() : 0;
  charge(1, bytes);
  return value;
}

Value TypedStreamReader::readValueOfType(std::string_view type, int depth) {
  char code = type[0];
  switch (code) {
    case 'c': return Value(static_cast<std::int64_t>(static_cast<std::int8_t>(readByte())));
    case 'C': return Value(static_cast<std::int64_t>(readByte()));
    case 'B': return Value(readByte() != 0);
    case 's': return Value(static_cast<std::int64_t>(static_cast<std::int16_t>(readInteger(readHead()))));
    case 'i':
    case 'l': return Value(static_cast<std::int64_t>(static_cast<std::int32_t>(readInteger(readHead()))));
    case 'q': return Value(readInteger(readHead()));
    // Unsigned values carry the bits of the signed value of their width.
    case 'S': return Value(static_cast<std::int64_t>(static_cast<std::uint16_t>(readInteger(readHead()))));
    case 'I':
    case 'L':
    case 'Q': return Value(static_cast<std::int64_t>(static_cast<std::uint32_t>(readInteger(readHead()))));
    case 'f': return Value(readReal(readHead(), false));
    case 'd': return Value(readReal(readHead(), true));
    case '@': return readObject(readHead());
    case '#': {
      auto cls = readClass(readHead());
      if (!cls) return Value();
      return Value(std::const_pointer_cast<TypedStreamClass>(cls));
    }
    case ':':
    case '%': {
      auto text = readSharedString(readHead());
      return text ? Value(std::move(*text)) : Value();
    }
    case '*': return readCString(readHead());
    case '+': {
      auto bytes = readUnsharedString(readHead());
      return bytes ? Value(DataFromString(*bytes)) : Value();
    }
    case '!': return Value();
    case '[': {
      std::size_t p = 1;
      std::uint64_t count = 0;
      while (type[p] >= '0' && type[p] <= '9') count = count * 10 + static_cast<std::uint64_t>(type[p++] - '0');
      std::string_view element = type.substr(p, type.size() - p - 1);
      if (element == "c" || element == "C") {
        const std::uint8_t* bytes = readBytes(static_cast<std::size_t>(count));
        return Value(Data(bytes, bytes + count));
      }
      std::uint64_t minimum = MinimumSize(element);
      if (minimum == 0 ? count > kMaxEmptyElements : count > static_cast<std::uint64_t>(end_ - pos_) / minimum) {
        throw Failure("array longer than the typed stream");
      }
      DepthGuard guard(depth_, maxDepth_);
      Array elements;
      elements.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(count, 4096)));
      for (std::uint64_t i = 0; i < count; ++i) elements.push_back(readValue(element, depth + 1));
      return Value(std::move(elements));
    }
    case '{': {
      DepthGuard guard(depth_, maxDepth_);
      Array fields;
      auto eq = type.find('=');
      if (eq != std::string_view::npos) {
        std::vector<std::string> fieldTypes;
        std::string reason;
        if (!SplitTypeEncodings(type.substr(eq + 1, type.size() - eq - 2), fieldTypes, &reason)) throw Failure(reason);
        for (const auto& fieldType : fieldTypes) fields.push_back(readValue(fieldType, depth + 1));
      }
      return Value(std::move(fields));
    }
    default: throw Failure("unsupported type encoding \"" + std::string(type) + "\"");
  }
}

const std::vector<std::string>& TypedStreamReader::readTypes(std::int8_t head) {
  auto index = readSharedStringIndex(head);
  if (!index) throw Failure("group without a type string");
  auto& split = splitTypes_[*index];
  if (!split) {
    const std::string& types = sharedStrings_[*index];
    if (types.empty()) throw Failure("empty type string");
    std::vector<std::string> encodings;
    std::string reason;
    if (!SplitTypeEncodings(types, encodings, &reason)) throw Failure("bad type string \"" + types + "\": " + reason);
    split = std::move(encodings);
  }
  return *split;
}

TypedStreamGroup TypedStreamReader::readGroup(std::int8_t head) {
  TypedStreamGroup group;
  group.types = readTypes(head);
  group.values.reserve(group.types.size());
  for (const auto& type : group.types) group.values.push_back(readValue(type, 0));
  return group;
}

Value TypedStreamReader::decodeSingle(std::string_view wanted) {
  std::vector<std::string> wantedSplit;
  std::string reason;
  if (!SplitTypeEncodings(wanted, wantedSplit, &reason) || wantedSplit.size() != 1) {
    throw Failure("not a single type encoding: \"" + std::string(wanted) + "\"");
  }
  if (pos_ == end_) throw Failure("typed stream ends where a value of type \"" + std::string(wanted) + "\" belongs");
  const std::vector<std::string>& types = readTypes(readHead());
  if (types.size() != 1) throw Failure("expected one value of type \"" + std::string(wanted) + "\", found a group");
  std::string actual = types[0];
  char w = wanted[0];
  char a = actual[0];
  bool compatible = actual == wanted || (IsIntegerType(w) && IsIntegerType(a)) || (IsRealType(w) && IsRealType(a)) ||
                    (IsByteArrayType(wanted) && IsByteArrayType(actual) &&
                     wanted.substr(0, wanted.size() - 2) == std::string_view(actual).substr(0, actual.size() - 2));
  if (!compatible) throw Failure("expected type \"" + std::string(wanted) + "\", found \"" + actual + "\"");
  Value value = readValue(actual, 0);
  if (IsIntegerType(w) && wanted.size() == 1) return ConvertInteger(value, w);
  return value;
}

std::optional<TypedStreamGroup> TypedStreamReader::decodeGroup() {
  if (!ok()) return std::nullopt;
  try {
    if (pos_ == end_) throw Failure("no more values in the typed stream");
    return readGroup(readHead());
  } catch (const std::exception& failure) {
    fail(failure.what());
    return std::nullopt;
  }
}

std::optional<std::vector<std::string>> TypedStreamReader::peekTypes() {
  if (!ok() || pos_ == end_) return std::nullopt;
  const std::uint8_t* saved = pos_;
  std::size_t strings = sharedStrings_.size();
  std::optional<std::vector<std::string>> result;
  try {
    result = readTypes(readHead());
  } catch (const std::exception&) {
    result = std::nullopt;  // the next read reports the problem
  }
  pos_ = saved;
  sharedStrings_.resize(strings);
  splitTypes_.resize(strings);
  return result;
}

std::optional<Value> TypedStreamReader::decodeValueOfObjCType(std::string_view type) {
  if (!ok()) return std::nullopt;
  try {
    return decodeSingle(type);
  } catch (const std::exception& failure) {
    fail(failure.what());
    return std::nullopt;
  }
}

std::optional<Array> TypedStreamReader::decodeValuesOfObjCTypes(std::string_view types) {
  if (!ok()) return std::nullopt;
  try {
    std::vector<std::string> wanted;
    std::string reason;
    if (!SplitTypeEncodings(types, wanted, &reason) || wanted.empty()) throw Failure("bad type string \"" + std::string(types) + "\"");
    if (pos_ == end_) throw Failure("typed stream ends where values belong");
    const std::vector<std::string>& actual = readTypes(readHead());
    if (actual != wanted) throw Failure("expected types \"" + std::string(types) + "\"");
    Array values;
    for (const auto& type : wanted) values.push_back(readValue(type, 0));
    return values;
  } catch (const std::exception& failure) {
    fail(failure.what());
    return std::nullopt;
  }
}

std::optional<Data> TypedStreamReader::decodeByteArray() {
  if (!ok()) return std::nullopt;
  try {
    if (pos_ == end_) throw Failure("typed stream ends where a byte array belongs");
    // Copied: reading the values may add shared strings.
    const std::vector<std::string> types = readTypes(readHead());
    auto isLength = [](const std::string& type) { return type.size() == 1 && IsIntegerType(type[0]); };
    Value value;
    if (types.size() == 1 && (IsByteArrayType(types[0]) || types[0] == "+")) {
      value = readValue(types[0], 0);
    } else if (types.size() == 1 && isLength(types[0])) {
      // A buffer written with its length first: the length group, then the
      // array group of exactly that many bytes.
      std::uint64_t length = ByteArrayLength(readValue(types[0], 0));
      if (pos_ == end_) throw Failure("typed stream ends where the bytes of a counted buffer belong");
      const std::vector<std::string> arrayTypes = readTypes(readHead());
      if (arrayTypes.size() != 1 || !IsByteArrayType(arrayTypes[0]) || ByteArrayCount(arrayTypes[0]) != length) {
        throw Failure("a buffer length of " + std::to_string(length) + " is not followed by that many bytes");
      }
      value = readValue(arrayTypes[0], 0);
    } else if (types.size() == 2 && isLength(types[0]) && IsByteArrayType(types[1])) {
      // The same two values written as one group.
      std::uint64_t length = ByteArrayLength(readValue(types[0], 0));
      if (ByteArrayCount(types[1]) != length) {
        throw Failure("a buffer length of " + std::to_string(length) + " is not followed by that many bytes");
      }
      value = readValue(types[1], 0);
    } else {
      throw Failure("expected a byte array, found type \"" + (types.empty() ? std::string() : types[0]) + "\"");
    }
    if (!value.isData()) throw Failure("byte array holds nil");
    return value.asData();
  } catch (const std::exception& failure) {
    fail(failure.what());
    return std::nullopt;
  }
}

std::optional<std::uint32_t> TypedStreamReader::decodeUInt32() {
  auto value = decodeValueOfObjCType("I");
  if (!value) return std::nullopt;
  return static_cast<std::uint32_t>(value->asUInt());
}

std::optional<Value> TypedStreamReader::decodeObject() { return decodeValueOfObjCType("@"); }

std::optional<Data> TypedStreamReader::decodeDataObject() {
  auto length = decodeValueOfObjCType("i");
  if (!length) return std::nullopt;
  if (length->asInt() < 0) {
    fail("negative data length");
    return std::nullopt;
  }
  auto bytes = decodeValueOfObjCType("[" + std::to_string(length->asInt()) + "c]");
  if (!bytes) return std::nullopt;
  return bytes->asData();
}

std::optional<Value> TypedStreamReader::unarchiveObjectWithData(const Data& data, std::string* error) {
  TypedStreamReader reader(data);
  auto root = reader.decodeObject();
  if (root && !reader.atEnd()) reader.fail("data after the root object");
  if (!reader.ok()) {
    if (error) *error = reader.error();
    return std::nullopt;
  }
  return root;
}

}  // namespace quorvel
