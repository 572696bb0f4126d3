#include "foundation/Value.h"

#include <cmath>
#include <cstdio>

namespace quorvel {

namespace {
const Value kNullValue;
const std::string kEmptyString;
const Data kEmptyData;
const Array kEmptyArray;
const Dictionary kEmptyDictionary;
const std::shared_ptr<Object> kNullObject;
}  // namespace

std::string HexStringFromData(const Data& data) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(data.size() * 2);
  for (std::uint8_t byte : data) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 15]);
  }
  return text;
}

// ---- Dictionary

Dictionary::Dictionary(std::initializer_list<Entry> entries) {
  for (const auto& entry : entries) set(entry.first, entry.second);
}
Dictionary::Dictionary(const Dictionary& other) = default;
Dictionary::Dictionary(Dictionary&& other) noexcept = default;
Dictionary& Dictionary::operator=(const Dictionary& other) = default;
Dictionary& Dictionary::operator=(Dictionary&& other) noexcept = default;
Dictionary::~Dictionary() = default;

const Value* Dictionary::find(std::string_view key) const {
  auto it = index_.find(std::string(key));
  return it == index_.end() ? nullptr : &entries_[it->second].second;
}

Value* Dictionary::find(std::string_view key) {
  auto it = index_.find(std::string(key));
  return it == index_.end() ? nullptr : &entries_[it->second].second;
}

const Value& Dictionary::get(std::string_view key) const {
  const Value* value = find(key);
  return value ? *value : kNullValue;
}

Value& Dictionary::operator[](std::string_view key) {
  if (Value* value = find(key)) return *value;
  index_.emplace(std::string(key), entries_.size());
  entries_.emplace_back(std::string(key), Value());
  return entries_.back().second;
}

void Dictionary::set(std::string_view key, Value value) { (*this)[key] = std::move(value); }

bool Dictionary::erase(std::string_view key) {
  auto it = index_.find(std::string(key));
  if (it == index_.end()) return false;
  entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(it->second));
  reindex();
  return true;
}

void Dictionary::clear() {
  entries_.clear();
  index_.clear();
}

std::vector<std::string> Dictionary::keys() const {
  std::vector<std::string> result;
  result.reserve(entries_.size());
  for (const auto& entry : entries_) result.push_back(entry.first);
  return result;
}

bool Dictionary::operator==(const Dictionary& other) const {
  if (size() != other.size()) return false;
  for (const auto& [key, value] : entries_) {
    const Value* theirs = other.find(key);
    if (!theirs || !(*theirs == value)) return false;
  }
  return true;
}

void Dictionary::reindex() {
  index_.clear();
  for (std::size_t i = 0; i < entries_.size(); ++i) index_.emplace(entries_[i].first, i);
}

// ---- Value

bool Value::asBool(bool fallback) const {
  switch (type()) {
    case Type::Bool: return std::get<bool>(v_);
    case Type::Integer: return std::get<std::int64_t>(v_) != 0;
    case Type::Unsigned: return std::get<std::uint64_t>(v_) != 0;
    case Type::Real: return std::get<double>(v_) != 0.0;
    default: return fallback;
  }
}

std::int64_t Value::asInt(std::int64_t fallback) const {
  switch (type()) {
    case Type::Bool: return std::get<bool>(v_) ? 1 : 0;
    case Type::Integer: return std::get<std::int64_t>(v_);
    case Type::Unsigned: return static_cast<std::int64_t>(std::get<std::uint64_t>(v_));
    case Type::Real: {
      double d = std::get<double>(v_);
      if (std::isnan(d)) return fallback;
      if (d >= 9.2233720368547758e18) return INT64_MAX;
      if (d <= -9.2233720368547758e18) return INT64_MIN;
      return static_cast<std::int64_t>(d);
    }
    default: return fallback;
  }
}

std::uint64_t Value::asUInt(std::uint64_t fallback) const {
  switch (type()) {
    case Type::Bool: return std::get<bool>(v_) ? 1 : 0;
    case Type::Integer: return static_cast<std::uint64_t>(std::get<std::int64_t>(v_));
    case Type::Unsigned: return std::get<std::uint64_t>(v_);
    case Type::Real: {
      double d = std::get<double>(v_);
      if (std::isnan(d)) return fallback;
      if (d <= 0) return static_cast<std::uint64_t>(static_cast<std::int64_t>(std::max(d, -9.2233720368547758e18)));
      if (d >= 1.8446744073709552e19) return UINT64_MAX;
      return static_cast<std::uint64_t>(d);
    }
    default: return fallback;
  }
}

double Value::asDouble(double fallback) const {
  switch (type()) {
    case Type::Bool: return std::get<bool>(v_) ? 1.0 : 0.0;
    case Type::Integer: return static_cast<double>(std::get<std::int64_t>(v_));
    case Type::Unsigned: return static_cast<double>(std::get<std::uint64_t>(v_));
    case Type::Real: return std::get<double>(v_);
    default: return fallback;
  }
}

const std::string& Value::asString() const {
  return isString() ? std::get<std::string>(v_) : kEmptyString;
}
const Data& Value::asData() const { return isData() ? std::get<quorvel::Data>(v_) : kEmptyData; }
Date Value::asDate(Date fallback) const { return isDate() ? std::get<quorvel::Date>(v_) : fallback; }
const Array& Value::asArray() const { return isArray() ? std::get<quorvel::Array>(v_) : kEmptyArray; }
const Dictionary& Value::asDictionary() const {
  return isDictionary() ? std::get<quorvel::Dictionary>(v_) : kEmptyDictionary;
}
Uid Value::asUid() const { return isUid() ? std::get<quorvel::Uid>(v_) : Uid{}; }
const std::shared_ptr<Object>& Value::asObject() const {
  return isObject() ? std::get<std::shared_ptr<quorvel::Object>>(v_) : kNullObject;
}

Array& Value::mutableArray() {
  if (!isArray()) v_ = quorvel::Array();
  return std::get<quorvel::Array>(v_);
}

Dictionary& Value::mutableDictionary() {
  if (!isDictionary()) v_ = quorvel::Dictionary();
  return std::get<quorvel::Dictionary>(v_);
}

bool Value::operator==(const Value& other) const {
  if (isInteger() && other.isInteger()) {
    bool negA = type() == Type::Integer && std::get<std::int64_t>(v_) < 0;
    bool negB = other.type() == Type::Integer && std::get<std::int64_t>(other.v_) < 0;
    if (negA != negB) return false;
    return asUInt() == other.asUInt();
  }
  if (type() != other.type()) return false;
  switch (type()) {
    case Type::Object: {
      const auto& a = asObject();
      const auto& b = other.asObject();
      return a == b || a->isEqualToObject(*b);
    }
    default: return v_ == other.v_;
  }
}

std::string TypeName(Value::Type type) {
  switch (type) {
    case Value::Type::Null: return "null";
    case Value::Type::Bool: return "bool";
    case Value::Type::Integer: return "integer";
    case Value::Type::Unsigned: return "unsigned";
    case Value::Type::Real: return "real";
    case Value::Type::String: return "string";
    case Value::Type::Data: return "data";
    case Value::Type::Date: return "date";
    case Value::Type::Array: return "array";
    case Value::Type::Dictionary: return "dictionary";
    case Value::Type::Uid: return "uid";
    case Value::Type::Object: return "object";
  }
  return "?";
}

std::string Value::description() const {
  char buffer[64];
  switch (type()) {
    case Type::Null: return "null";
    case Type::Bool: return std::get<bool>(v_) ? "true" : "false";
    case Type::Integer: return std::to_string(std::get<std::int64_t>(v_));
    case Type::Unsigned: return std::to_string(std::get<std::uint64_t>(v_));
    case Type::Real: std::snprintf(buffer, sizeof buffer, "%.17g", std::get<double>(v_)); return buffer;
    case Type::String: return "\"" + asString() + "\"";
    case Type::Data: return "<" + HexStringFromData(asData()) + ">";
    case Type::Date:
      std::snprintf(buffer, sizeof buffer, "@%.3f", asDate().timeIntervalSinceReferenceDate());
      return buffer;
    case Type::Array: {
      std::string text = "(";
      bool first = true;
      for (const auto& item : asArray()) {
        text += first ? "" : ", ";
        text += item.description();
        first = false;
      }
      return text + ")";
    }
    case Type::Dictionary: {
      std::string text = "{";
      bool first = true;
      for (const auto& [key, item] : asDictionary()) {
        text += first ? "" : "; ";
        text += "\"" + key + "\" = " + item.description();
        first = false;
      }
      return text + "}";
    }
    case Type::Uid: return "uid(" + std::to_string(asUid().value) + ")";
    case Type::Object: return asObject()->description();
  }
  return "?";
}

}  // namespace quorvel
