// Value: one variant type for everything a property list can hold, plus
// keyed-archive UIDs and shared archivable objects.
//
// Values have value semantics: copying a Value copies its arrays and
// dictionaries deeply. Objects are shared (a copy refers to the same object).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "foundation/Data.h"
#include "foundation/Date.h"

namespace quorvel {

class Value;

// Base of archivable objects held by Value (a scanner, a predicate, a URL...).
class Object {
 public:
  virtual ~Object() = default;
  // The class name the object is archived under ("DirectoryScanner").
  virtual std::string className() const = 0;
  // Equality used by Value comparison; identity unless a class says more.
  virtual bool isEqualToObject(const Object& other) const { return this == &other; }
  // Text for logs and test failures.
  virtual std::string description() const { return "<" + className() + ">"; }
};

// A keyed-archive object reference ("CF$UID").
struct Uid {
  std::uint64_t value = 0;
  bool operator==(const Uid&) const = default;
};

// An array of values.
using Array = std::vector<Value>;

// A dictionary with text keys that keeps its keys in insertion order (keyed
// archives and XML property lists are written in that order). Lookups are
// hashed; erasing is linear.
class Dictionary {
 public:
  using Entry = std::pair<std::string, Value>;
  using iterator = std::vector<Entry>::iterator;
  using const_iterator = std::vector<Entry>::const_iterator;

  Dictionary() = default;
  Dictionary(std::initializer_list<Entry> entries);
  Dictionary(const Dictionary& other);
  Dictionary(Dictionary&& other) noexcept;
  Dictionary& operator=(const Dictionary& other);
  Dictionary& operator=(Dictionary&& other) noexcept;
  ~Dictionary();

  // Null pointer when the key is absent.
  const Value* find(std::string_view key) const;
  Value* find(std::string_view key);
  bool contains(std::string_view key) const { return find(key) != nullptr; }
  // The value for key, or a shared null value when absent.
  const Value& get(std::string_view key) const;
  const Value& operator[](std::string_view key) const { return get(key); }
  // Inserts a null value when the key is absent.
  Value& operator[](std::string_view key);
  // Replaces an existing entry in place, or appends.
  void set(std::string_view key, Value value);
  bool erase(std::string_view key);
  void clear();

  std::size_t size() const;
  bool empty() const;
  std::vector<std::string> keys() const;

  iterator begin() { return entries_.begin(); }
  iterator end() { return entries_.end(); }
  const_iterator begin() const { return entries_.begin(); }
  const_iterator end() const { return entries_.end(); }

  // Same keys with equal values; order does not matter.
  bool operator==(const Dictionary& other) const;

 private:
  void reindex();
  std::vector<Entry> entries_;
  std::unordered_map<std::string, std::size_t> index_;
};

class Value {
 public:
  enum class Type { Null, Bool, Integer, Unsigned, Real, String, Data, Date, Array, Dictionary, Uid, Object };

  Value() = default;
  Value(std::nullptr_t) {}
  Value(bool v) : v_(v) {}
  Value(int v) : v_(static_cast<std::int64_t>(v)) {}
  Value(long v) : v_(static_cast<std::int64_t>(v)) {}
  Value(long long v) : v_(static_cast<std::int64_t>(v)) {}
  Value(unsigned v) : v_(static_cast<std::int64_t>(v)) {}
  // Unsigned 64-bit values above the signed range stay unsigned; smaller ones
  // are stored as signed integers so that equal numbers compare equal.
  Value(unsigned long v) { setUnsigned(v); }
  Value(unsigned long long v) { setUnsigned(v); }
  Value(double v) : v_(v) {}
  Value(float v) : v_(static_cast<double>(v)) {}
  Value(const char* v) : v_(std::string(v)) {}
  Value(std::string v) : v_(std::move(v)) {}
  Value(std::string_view v) : v_(std::string(v)) {}
  Value(quorvel::Data v) : v_(std::move(v)) {}
  Value(quorvel::Date v) : v_(v) {}
  Value(quorvel::Array v) : v_(std::move(v)) {}
  Value(quorvel::Dictionary v) : v_(std::move(v)) {}
  Value(quorvel::Uid v) : v_(v) {}
  Value(std::shared_ptr<quorvel::Object> v) {
    if (v) v_ = std::move(v);
  }
  template <typename T, typename = std::enable_if_t<std::is_base_of_v<quorvel::Object, T>>>
  Value(std::shared_ptr<T> v) : Value(std::static_pointer_cast<quorvel::Object>(std::move(v))) {}

  Type type() const { return static_cast<Type>(v_.index()); }
  bool isNull() const { return type() == Type::Null; }
  bool isBool() const { return type() == Type::Bool; }
  bool isInteger() const { return type() == Type::Integer || type() == Type::Unsigned; }
  bool isNumber() const { return isInteger() || type() == Type::Real || isBool(); }
  bool isReal() const { return type() == Type::Real; }
  bool isString() const { return type() == Type::String; }
  bool isData() const { return type() == Type::Data; }
  bool isDate() const { return type() == Type::Date; }
  bool isArray() const { return type() == Type::Array; }
  bool isDictionary() const { return type() == Type::Dictionary; }
  bool isUid() const { return type() == Type::Uid; }
  bool isObject() const { return type() == Type::Object; }

  // Numeric accessors convert between bools, integers and reals (reals are
  // truncated); anything else gives the fallback.
  bool asBool(bool fallback = false) const;
  std::int64_t asInt(std::int64_t fallback = 0) const;
  std::uint64_t asUInt(std::uint64_t fallback = 0) const;
  double asDouble(double fallback = 0.0) const;

  // Typed accessors: a reference to the held value, or to a shared empty one
  // when the value has another type.
  const std::string& asString() const;
  const quorvel::Data& asData() const;
  quorvel::Date asDate(quorvel::Date fallback = quorvel::Date()) const;
  const quorvel::Array& asArray() const;
  const quorvel::Dictionary& asDictionary() const;
  quorvel::Uid asUid() const;
  const std::shared_ptr<quorvel::Object>& asObject() const;
  template <typename T>
  std::shared_ptr<T> object() const {
    return std::dynamic_pointer_cast<T>(asObject());
  }

  // Mutable access; converts a null value into an empty container first.
  quorvel::Array& mutableArray();
  quorvel::Dictionary& mutableDictionary();

  // Dictionary conveniences: the value at key, or null.
  const Value& operator[](std::string_view key) const { return asDictionary().get(key); }

  // Deep equality. Integers compare by numeric value whatever their
  // signedness; reals compare as doubles (so NaN is not equal to itself).
  bool operator==(const Value& other) const;

  // Readable text for logs and test failures (not a stored format).
  std::string description() const;

 private:
  void setUnsigned(std::uint64_t v) {
    if (v > static_cast<std::uint64_t>(INT64_MAX)) v_ = v;
    else v_ = static_cast<std::int64_t>(v);
  }
  std::variant<std::monostate, bool, std::int64_t, std::uint64_t, double, std::string, quorvel::Data,
               quorvel::Date, quorvel::Array, quorvel::Dictionary, quorvel::Uid, std::shared_ptr<quorvel::Object>>
      v_;
};

std::string TypeName(Value::Type type);

inline std::size_t Dictionary::size() const { return entries_.size(); }
inline bool Dictionary::empty() const { return entries_.empty(); }

}  // namespace quorvel
