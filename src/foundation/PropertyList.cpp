#include "foundation/PropertyList.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <pugixml.hpp>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <locale.h>
#include <stdlib.h>
#include <string_view>
#include <unordered_map>

#include "foundation/AtomicFile.h"
#include "foundation/Unicode.h"
#include "foundation/Posix.h"

namespace quorvel::PropertyList {

namespace {

// Deeper nesting than this is refused by readers and writers alike; real
// property lists stay far below it.
constexpr unsigned kMaxDepth = 512;
constexpr std::uint64_t kElementsReservedAtOnce = 4096;

constexpr char kBinaryHeader[] = "bplist00";
constexpr std::size_t kTrailerSize = 32;

bool Fail(std::string* error, std::string reason) {
  if (error) *error = std::move(reason);
  return false;
}

// ---- Base64 (the <data> element)

constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string EncodeBase64(const Data& data) {
  std::string text;
  text.reserve((data.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= data.size(); i += 3) {
    std::uint32_t n = (data[i] << 16) | (data[i + 1] << 8) | data[i + 2];
    text.push_back(kBase64Alphabet[n >> 18]);
    text.push_back(kBase64Alphabet[(n >> 12) & 63]);
    text.push_back(kBase64Alphabet[(n >> 6) & 63]);
    text.push_back(kBase64Alphabet[n & 63]);
  }
  if (data.size() - i == 1) {
    std::uint32_t n = data[i] << 16;
    text.push_back(kBase64Alphabet[n >> 18]);
    text.push_back(kBase64Alphabet[(n >> 12) & 63]);
    text += "==";
  } else if (data.size() - i == 2) {
    std::uint32_t n = (data[i] << 16) | (data[i + 1] << 8);
    text.push_back(kBase64Alphabet[n >> 18]);
    text.push_back(kBase64Alphabet[(n >> 12) & 63]);
    text.push_back(kBase64Alphabet[(n >> 6) & 63]);
    text.push_back('=');
  }
  return text;
}

// Whitespace is skipped; decoding stops at the first '='. Any other
// character outside the alphabet makes the text invalid.
std::optional<Data> DecodeBase64(std::string_view text) {
  Data data;
  data.reserve(text.size() / 4 * 3 + 3);
  std::uint32_t accumulator = 0;
  int bits = 0;
  for (char c : text) {
    int value;
    if (c >= 'A' && c <= 'Z') value = c - 'A';
    else if (c >= 'a' && c <= 'z') value = c - 'a' + 26;
    else if (c >= '0' && c <= '9') value = c - '0' + 52;
    else if (c == '+') value = 62;
    else if (c == '/') value = 63;
    else if (c == '=') break;
    else if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') continue;
    else return std::nullopt;
    accumulator = (accumulator << 6) | static_cast<std::uint32_t>(value);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      data.push_back(static_cast<std::uint8_t>(accumulator >> bits));
      accumulator &= (1u << bits) - 1;
    }
  }
  return data;
}

// ---- Calendar arithmetic for <date> (proleptic Gregorian, UTC)

std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = static_cast<std::int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y += m <= 2;
}

bool FormatXmlDate(Date date, std::string& text) {
  double seconds = std::floor(date.timeIntervalSince1970());
  // About +-3 million years; beyond that the text form makes no sense.
  if (!std::isfinite(seconds) || std::fabs(seconds) > 1e14) return false;
  auto total = static_cast<std::int64_t>(seconds);
  std::int64_t days = total / 86400;
  std::int64_t rest = total % 86400;
  if (rest < 0) rest += 86400, --days;
  std::int64_t year;
  unsigned month, day;
  CivilFromDays(days, year, month, day);
  char buffer[64];
  // At least four digits after the sign, as the reader wants them: year -500
  // is "-0500", not "-500" (which "%04lld" would give).
  std::snprintf(buffer, sizeof buffer, "%s%04lld-%02u-%02uT%02d:%02d:%02dZ", year < 0 ? "-" : "",
                static_cast<long long>(year < 0 ? -year : year), month, day, static_cast<int>(rest / 3600),
                static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60));
  text = buffer;
  return true;
}

std::optional<Date> ParseXmlDate(std::string_view text) {
  std::size_t pos = 0;
  auto number = [&](std::size_t minDigits, std::size_t maxDigits, std::int64_t& value) {
    std::size_t start = pos;
    value = 0;
    while (pos < text.size() && pos - start < maxDigits && text[pos] >= '0' && text[pos] <= '9') {
      value = value * 10 + (text[pos] - '0');
      ++pos;
    }
    return pos - start >= minDigits;
  };
  auto expect = [&](char c) {
    if (pos < text.size() && text[pos] == c) {
      ++pos;
      return true;
    }
    return false;
  };
  bool negative = expect('-');
  std::int64_t year, month, day, hour = 0, minute = 0, second = 0;
  if (!number(4, 9, year)) return std::nullopt;
  if (negative) year = -year;
  if (!expect('-') || !number(2, 2, month) || !expect('-') || !number(2, 2, day)) return std::nullopt;
  if (expect('T')) {
    if (!number(2, 2, hour) || !expect(':') || !number(2, 2, minute) || !expect(':') || !number(2, 2, second))
      return std::nullopt;
  }
  double fraction = 0;
  if (expect('.')) {
    double scale = 0.1;
    std::size_t start = pos;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
      fraction += (text[pos] - '0') * scale;
      scale /= 10;
      ++pos;
    }
    if (pos == start) return std::nullopt;
  }
  expect('Z');
  if (pos != text.size()) return std::nullopt;
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
    return std::nullopt;
  std::int64_t days = DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
  double unixSeconds = static_cast<double>(days) * 86400.0 + static_cast<double>(hour * 3600 + minute * 60 + second) +
                       fraction;
  return Date::fromUnixTime(unixSeconds);
}

// ---- Numbers as text (locale-independent)

std::string FormatReal(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "+infinity" : "-infinity";
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 17);
  return std::string(buffer, result.ptr);
}

std::string_view Trim(std::string_view text) {
  auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  while (!text.empty() && space(text.front())) text.remove_prefix(1);
  while (!text.empty() && space(text.back())) text.remove_suffix(1);
  return text;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::optional<double> ParseReal(std::string_view text) {
  text = Trim(text);
  std::string_view body = text;
  bool negative = false;
  if (!body.empty() && (body[0] == '+' || body[0] == '-')) {
    negative = body[0] == '-';
    body.remove_prefix(1);
  }
  if (EqualsIgnoringCase(body, "nan")) return std::nan("");
  if (EqualsIgnoringCase(body, "inf") || EqualsIgnoringCase(body, "infinity"))
    return negative ? -HUGE_VAL : HUGE_VAL;
  if (body.empty() || body[0] == '+' || body[0] == '-') return std::nullopt;
  for (char c : body) {
    bool allowed = (c >= '0' && c <= '9') || c == '.' || c == 'e' || c == 'E' || c == '+' || c == '-';
    if (!allowed) return std::nullopt;
  }
  // strtod_l with the C locale: the decimal point is '.' whatever the
  // process locale says; overflow gives infinity, underflow zero.
  static locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  std::string copy(body);
  char* end = nullptr;
  double value = strtod_l(copy.c_str(), &end, cLocale);
  if (end != copy.c_str() + copy.size()) return std::nullopt;
  return negative ? -value : value;
}

std::optional<Value> ParseInteger(std::string_view text) {
  text = Trim(text);
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty() || text[0] == '+' || text[0] == '-') return std::nullopt;
  std::uint64_t magnitude = 0;
  auto result = std::from_chars(text.data(), text.data() + text.size(), magnitude, base);
  if (result.ec != std::errc() || result.ptr != text.data() + text.size()) return std::nullopt;
  if (!negative) return Value(static_cast<unsigned long long>(magnitude));
  if (magnitude > static_cast<std::uint64_t>(INT64_MAX) + 1) return std::nullopt;
  return Value(static_cast<long long>(0 - magnitude));
}

// ---- XML writer

void AppendEscaped(std::string& out, std::string_view text) {
  for (char c : ValidUtf8(text)) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      default: {
        auto u = static_cast<unsigned char>(c);
        if ((u < 0x20 && c != '\t' && c != '\n') || c == '\r') {
          // Carriage returns would be lost to line-end normalization and the
          // other controls are not XML 1.0 characters; a character reference
          // keeps both for our reader.
          char buffer[8];
          std::snprintf(buffer, sizeof buffer, "&#%u;", u);
          out += buffer;
        } else {
          out.push_back(c);
        }
      }
    }
  }
}

class XmlWriter {
 public:
  bool write(const Value& value, unsigned level, std::string* error) {
    if (level > kMaxDepth) return Fail(error, "property list nested too deeply");
    indent(level);
    switch (value.type()) {
      case Value::Type::Null: return Fail(error, "XML property lists cannot hold null values");
      case Value::Type::Object:
        return Fail(error, "objects of class " + value.asObject()->className() +
                               " cannot be stored in a property list");
      case Value::Type::Bool: out_ += value.asBool() ? "<true/>\n" : "<false/>\n"; return true;
      case Value::Type::Integer:
        out_ += "<integer>" + std::to_string(value.asInt()) + "</integer>\n";
        return true;
      case Value::Type::Unsigned:
        out_ += "<integer>" + std::to_string(value.asUInt()) + "</integer>\n";
        return true;
      case Value::Type::Real: out_ += "<real>" + FormatReal(value.asDouble()) + "</real>\n"; return true;
      case Value::Type::String:
        out_ += "<string>";
        AppendEscaped(out_, value.asString());
        out_ += "</string>\n";
        return true;
      case Value::Type::Date: {
        std::string text;
        if (!FormatXmlDate(value.asDate(), text)) return Fail(error, "date out of range for an XML property list");
        out_ += "<date>" + text + "</date>\n";
        return true;
      }
      case Value::Type::Data: {
        out_ += "<data>\n";
        std::string text = EncodeBase64(value.asData());
        // Lines narrow as the nesting deepens, tabs counting eight columns.
        std::size_t width = 76 > 8 * level + 16 ? 76 - 8 * level : 16;
        width -= width % 4;
        for (std::size_t i = 0; i < text.size(); i += width) {
          indent(level);
          out_.append(text, i, width);
          out_ += "\n";
        }
        indent(level);
        out_ += "</data>\n";
        return true;
      }
      case Value::Type::Uid:
        out_ += "<dict>\n";
        indent(level + 1);
        out_ += "<key>CF$UID</key>\n";
        indent(level + 1);
        out_ += "<integer>" + std::to_string(value.asUid().value) + "</integer>\n";
        indent(level);
        out_ += "</dict>\n";
        return true;
      case Value::Type::Array: {
        const Array& array = value.asArray();
        if (array.empty()) {
          out_ += "<array/>\n";
          return true;
        }
        out_ += "<array>\n";
        for (const Value& item : array) {
          if (!write(item, level + 1, error)) return false;
        }
        indent(level);
        out_ += "</array>\n";
        return true;
      }
      case Value::Type::Dictionary: {
        const Dictionary& dictionary = value.asDictionary();
        if (dictionary.empty()) {
          out_ += "<dict/>\n";
          return true;
        }
        out_ += "<dict>\n";
        for (const auto& [key, item] : dictionary) {
          indent(level + 1);
          out_ += "<key>";
          AppendEscaped(out_, key);
          out_ += "</key>\n";
          if (!write(item, level + 1, error)) return false;
        }
        indent(level);
        out_ += "</dict>\n";
        return true;
      }
    }
    return Fail(error, "unknown value type");
  }

  std::string& text() { return out_; }

 private:
  void indent(unsigned level) { out_.append(level, '\t'); }
  std::string out_;
};

// ---- XML reader

// An element's text as valid UTF-8: bytes that are not (the document says
// UTF-8) become U+FFFD, as the writer would write them, so that two keys
// differing only in such bytes are one key already when read.
std::string ElementText(const pugi::xml_node& node) {
  std::string text;
  for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
    if (child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata) text += child.value();
  }
  return ValidUtf8(text);
}

pugi::xml_node NextElement(pugi::xml_node node) {
  while (node && node.type() != pugi::node_element) node = node.next_sibling();
  return node;
}

bool ReadXmlValue(const pugi::xml_node& node, unsigned depth, DecodeBudget& budget, Value& out, std::string* error) {
  if (depth > kMaxDepth) return Fail(error, "property list nested too deeply");
  // Every element is charged for its text, which is what the value keeps of
  // it (base64 shrinks, the others stay as long or get shorter).
  if (!budget.charge(1, node.first_child() ? std::strlen(node.first_child().value()) : 0))
    return Fail(error, "property list larger than its budget allows");
  std::string_view name = node.name();
  if (name == "string" || name == "key") {
    out = Value(ElementText(node));
    return true;
  }
  if (name == "integer") {
    auto value = ParseInteger(ElementText(node));
    if (!value) return Fail(error, "invalid <integer> \"" + ElementText(node) + "\"");
    out = std::move(*value);
    return true;
  }
  if (name == "real") {
    auto value = ParseReal(ElementText(node));
    if (!value) return Fail(error, "invalid <real> \"" + ElementText(node) + "\"");
    out = Value(*value);
    return true;
  }
  if (name == "true" || name == "false") {
    out = Value(name == "true");
    return true;
  }
  if (name == "date") {
    auto value = ParseXmlDate(Trim(ElementText(node)));
    if (!value) return Fail(error, "invalid <date> \"" + ElementText(node) + "\"");
    out = Value(*value);
    return true;
  }
  if (name == "data") {
    auto value = DecodeBase64(ElementText(node));
    if (!value) return Fail(error, "invalid base64 text in <data>");
    out = Value(std::move(*value));
    return true;
  }
  if (name == "array") {
    Array array;
    for (pugi::xml_node child = NextElement(node.first_child()); child; child = NextElement(child.next_sibling())) {
      Value item;
      if (!ReadXmlValue(child, depth + 1, budget, item, error)) return false;
      array.push_back(std::move(item));
    }
    out = Value(std::move(array));
    return true;
  }
  if (name == "dict") {
    Dictionary dictionary;
    for (pugi::xml_node key = NextElement(node.first_child()); key; key = NextElement(key.next_sibling())) {
      if (std::string_view(key.name()) != "key")
        return Fail(error, std::string("expected <key> in <dict>, found <") + key.name() + ">");
      pugi::xml_node child = NextElement(key.next_sibling());
      if (!child) return Fail(error, "<key> without a value in <dict>");
      Value item;
      if (!ReadXmlValue(child, depth + 1, budget, item, error)) return false;
      dictionary.set(ElementText(key), std::move(item));
      key = child;
    }
    if (dictionary.size() == 1 && dictionary.begin()->first == "CF$UID" && dictionary.begin()->second.isInteger()) {
      const Value& number = dictionary.begin()->second;
      if (number.type() == Value::Type::Integer && number.asInt() < 0) return Fail(error, "negative CF$UID");
      out = Value(Uid{number.asUInt()});
      return true;
    }
    out = Value(std::move(dictionary));
    return true;
  }
  return Fail(error, std::string("unknown element <") + node.name() + ">");
}

// ---- Binary reader

class BinaryReader {
 public:
  BinaryReader(const Data& data, DecodeBudget& budget, std::string* error)
      : data_(data), error_(error), budget_(budget) {}

  std::optional<Value> read() {
    if (!readTrailer()) return std::nullopt;
    // Shared containers may be referenced more than once, so the output can
    // be larger than the input; these budgets keep that growth bounded.
    nodeBudget_ = 2 * static_cast<std::uint64_t>(data_.size()) + 1024;
    byteBudget_ = 64 * static_cast<std::uint64_t>(data_.size()) + (64u << 20);
    active_.assign(static_cast<std::size_t>(objectCount_), false);
    Value value;
    if (!readObject(topObject_, 0, value)) return std::nullopt;
    return value;
  }

 private:
  bool fail(const std::string& reason) { return Fail(error_, "binary property list: " + reason); }

  std::uint64_t bigEndian(std::size_t offset, std::size_t size) const {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < size; ++i) value = (value << 8) | data_[offset + i];
    return value;
  }

  bool readTrailer() {
    std::size_t size = data_.size();
    if (size < 8 + 1 + 1 + kTrailerSize || std::memcmp(data_.data(), kBinaryHeader, 8) != 0)
      return fail("missing header or trailer");
    std::size_t trailer = size - kTrailerSize;
    offsetSize_ = data_[trailer + 6];
    refSize_ = data_[trailer + 7];
    objectCount_ = bigEndian(trailer + 8, 8);
    topObject_ = bigEndian(trailer + 16, 8);
    tableOffset_ = bigEndian(trailer + 24, 8);
    if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8) return fail("invalid trailer sizes");
    if (objectCount_ < 1 || topObject_ >= objectCount_) return fail("invalid object count");
    if (tableOffset_ < 9 || tableOffset_ > trailer) return fail("invalid offset table position");
    if (objectCount_ > (trailer - tableOffset_) / offsetSize_) return fail("offset table extends past the trailer");
    if (refSize_ < 8 && objectCount_ - 1 > (std::uint64_t{1} << (8 * refSize_)) - 1)
      return fail("object references too small for the object count");
    return true;
  }

  bool objectOffset(std::uint64_t ref, std::size_t& offset) {
    if (ref >= objectCount_) return fail("object reference out of range");
    std::uint64_t value = bigEndian(static_cast<std::size_t>(tableOffset_ + ref * offsetSize_), offsetSize_);
    if (value < 8 || value >= tableOffset_) return fail("object offset out of range");
    offset = static_cast<std::size_t>(value);
    return true;
  }

  // Reads the element count of a marker whose low nibble is `low`; pos is
  // just past the marker and ends past the count.
  bool readCount(std::size_t& pos, unsigned low, std::uint64_t& count) {
    if (low != 15) {
      count = low;
      return true;
    }
    if (pos >= tableOffset_) return fail("truncated count");
    unsigned marker = data_[pos++];
    if ((marker >> 4) != 1 || (marker & 15) > 3) return fail("invalid count marker");
    std::size_t bytes = std::size_t{1} << (marker & 15);
    if (tableOffset_ - pos < bytes) return fail("truncated count");
    count = bigEndian(pos, bytes);
    pos += bytes;
    if (bytes == 8 && count > static_cast<std::uint64_t>(INT64_MAX)) return fail("negative count");
    return true;
  }

  bool have(std::size_t pos, std::uint64_t count, std::uint64_t unit) {
    if (count > (tableOffset_ - pos) / unit) return fail("object extends past the object table");
    return true;
  }

  bool spend(std::uint64_t bytes) {
    if (nodeBudget_ == 0 || bytes > byteBudget_ || !budget_.charge(1, bytes))
      return fail("object graph expands beyond reasonable size");
    --nodeBudget_;
    byteBudget_ -= bytes;
    return true;
  }

  bool readObject(std::uint64_t ref, unsigned depth, Value& out) {
    if (depth > kMaxDepth) return fail("nested too deeply");
    std::size_t pos = 0;
    if (!objectOffset(ref, pos)) return false;
    unsigned marker = data_[pos++];
    unsigned low = marker & 15;
    switch (marker >> 4) {
      case 0x0:
        if (!spend(0)) return false;
        if (marker == 0x00) out = Value();
        else if (marker == 0x08) out = Value(false);
        else if (marker == 0x09) out = Value(true);
        else return fail("unknown marker");
        return true;
      case 0x1: {
        if (low > 4) return fail("invalid integer size");
        std::size_t bytes = std::size_t{1} << low;
        if (!have(pos, bytes, 1) || !spend(0)) return false;
        if (bytes < 8) {
          out = Value(static_cast<long long>(bigEndian(pos, bytes)));
        } else if (bytes == 8) {
          out = Value(static_cast<long long>(bigEndian(pos, 8)));
        } else {
          std::uint64_t high = bigEndian(pos, 8), lowWord = bigEndian(pos + 8, 8);
          if (high == 0) out = Value(static_cast<unsigned long long>(lowWord));
          else if (high == UINT64_MAX && lowWord > static_cast<std::uint64_t>(INT64_MAX))
            out = Value(static_cast<long long>(lowWord));
          else return fail("integer out of 64-bit range");
        }
        return true;
      }
      case 0x2: {
        if (low != 2 && low != 3) return fail("invalid real size");
        if (!have(pos, std::size_t{1} << low, 1) || !spend(0)) return false;
        if (low == 2) {
          auto bits = static_cast<std::uint32_t>(bigEndian(pos, 4));
          float f;
          std::memcpy(&f, &bits, 4);
          out = Value(static_cast<double>(f));
        } else {
          std::uint64_t bits = bigEndian(pos, 8);
          double d;
          std::memcpy(&d, &bits, 8);
          out = Value(d);
        }
        return true;
      }
      case 0x3: {
        if (marker != 0x33) return fail("invalid date marker");
        if (!have(pos, 8, 1) || !spend(0)) return false;
        std::uint64_t bits = bigEndian(pos, 8);
        double d;
        std::memcpy(&d, &bits, 8);
        out = Value(Date(d));
        return true;
      }
      case 0x4: {
        std::uint64_t count;
        if (!readCount(pos, low, count) || !have(pos, count, 1) || !spend(count)) return false;
        out = Value(Data(data_.begin() + static_cast<std::ptrdiff_t>(pos),
                         data_.begin() + static_cast<std::ptrdiff_t>(pos + count)));
        return true;
      }
      case 0x5: {
        std::uint64_t count;
        if (!readCount(pos, low, count) || !have(pos, count, 1) || !spend(count)) return false;
        std::string text(reinterpret_cast<const char*>(data_.data()) + pos, static_cast<std::size_t>(count));
        for (char c : text) {
          if (static_cast<unsigned char>(c) >= 0x80) return fail("non-ASCII byte in an ASCII string");
        }
        out = Value(std::move(text));
        return true;
      }
      case 0x6: {
        std::uint64_t count;
        if (!readCount(pos, low, count) || !have(pos, count, 2) || !spend(count * 3)) return false;
        std::u16string units(static_cast<std::size_t>(count), u'\0');
        for (std::size_t i = 0; i < units.size(); ++i)
          units[i] = static_cast<char16_t>(bigEndian(pos + 2 * i, 2));
        out = Value(Utf8FromUtf16(units));
        return true;
      }
      case 0x8: {
        if (low > 7) return fail("invalid UID size");
        if (!have(pos, low + 1, 1) || !spend(0)) return false;
        out = Value(Uid{bigEndian(pos, low + 1)});
        return true;
      }
      case 0xA:
      case 0xB:
      case 0xC: {  // array, ordered set, set
        std::uint64_t count;
        if (!readCount(pos, low, count) || !have(pos, count, refSize_) || !spend(count)) return false;
        if (active_[static_cast<std::size_t>(ref)]) return fail("reference cycle");
        active_[static_cast<std::size_t>(ref)] = true;
        Array array;
        // Each element is charged as it is read; reserving all of them at
        // once would spend what the budget has not yet approved.
        array.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(count, kElementsReservedAtOnce)));
        for (std::uint64_t i = 0; i < count; ++i) {
          Value item;
          if (!readObject(bigEndian(pos + i * refSize_, refSize_), depth + 1, item)) return false;
          array.push_back(std::move(item));
        }
        active_[static_cast<std::size_t>(ref)] = false;
        out = Value(std::move(array));
        return true;
      }
      case 0xD: {
        std::uint64_t count;
        if (!readCount(pos, low, count) || !have(pos, count, 2 * refSize_) || !spend(count)) return false;
        if (active_[static_cast<std::size_t>(ref)]) return fail("reference cycle");
        active_[static_cast<std::size_t>(ref)] = true;
        Dictionary dictionary;
        std::size_t values = static_cast<std::size_t>(pos + count * refSize_);
        for (std::uint64_t i = 0; i < count; ++i) {
          Value key, item;
          if (!readObject(bigEndian(pos + i * refSize_, refSize_), depth + 1, key)) return false;
          if (!key.isString()) return fail("dictionary key is not a string");
          if (!readObject(bigEndian(values + i * refSize_, refSize_), depth + 1, item)) return false;
          dictionary.set(key.asString(), std::move(item));
        }
        active_[static_cast<std::size_t>(ref)] = false;
        out = Value(std::move(dictionary));
        return true;
      }
      default: return fail("unknown marker");
    }
  }

  const Data& data_;
  std::string* error_;
  DecodeBudget& budget_;
  std::size_t offsetSize_ = 0;
  std::size_t refSize_ = 0;
  std::uint64_t objectCount_ = 0;
  std::uint64_t topObject_ = 0;
  std::uint64_t tableOffset_ = 0;
  std::uint64_t nodeBudget_ = 0;
  std::uint64_t byteBudget_ = 0;
  std::vector<bool> active_;
};

// ---- Binary writer

class BinaryWriter {
 public:
  explicit BinaryWriter(std::string* error) : error_(error) {}

  Data write(const Value& value) {
    std::uint64_t top;
    if (!flatten(value, 0, top)) return {};
    std::uint64_t count = objects_.size();
    refSize_ = BytesFor(count - 1);

    Data out(kBinaryHeader, kBinaryHeader + 8);
    std::vector<std::uint64_t> offsets;
    offsets.reserve(objects_.size());
    for (const Object& object : objects_) {
      offsets.push_back(out.size());
      out.insert(out.end(), object.bytes.begin(), object.bytes.end());
      for (std::uint64_t ref : object.refs) appendBigEndian(out, ref, refSize_);
    }
    std::uint64_t tableOffset = out.size();
    std::size_t offsetSize = BytesFor(tableOffset);
    for (std::uint64_t offset : offsets) appendBigEndian(out, offset, offsetSize);
    out.insert(out.end(), 6, 0);
    out.push_back(static_cast<std::uint8_t>(offsetSize));
    out.push_back(static_cast<std::uint8_t>(refSize_));
    appendBigEndian(out, count, 8);
    appendBigEndian(out, top, 8);
    appendBigEndian(out, tableOffset, 8);
    return out;
  }

 private:
  struct Object {
    Data bytes;                       // marker, count and, for leaves, the payload
    std::vector<std::uint64_t> refs;  // for containers, written after bytes
  };
  // Growing objects_ must move the byte buffers, never copy them (unique_
  // points into them).
  static_assert(std::is_nothrow_move_constructible_v<Object>);

  static std::size_t BytesFor(std::uint64_t value) {
    if (value <= 0xFF) return 1;
    if (value <= 0xFFFF) return 2;
    if (value <= 0xFFFFFFFF) return 4;
    return 8;
  }

  static void appendBigEndian(Data& out, std::uint64_t value, std::size_t size) {
    for (std::size_t i = size; i-- > 0;) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
  }

  static void appendMarker(Data& out, unsigned type, std::uint64_t count) {
    if (count < 15) {
      out.push_back(static_cast<std::uint8_t>((type << 4) | count));
      return;
    }
    out.push_back(static_cast<std::uint8_t>((type << 4) | 15));
    std::size_t size = BytesFor(count);
    out.push_back(static_cast<std::uint8_t>(0x10 | (size == 1 ? 0 : size == 2 ? 1 : size == 4 ? 2 : 3)));
    appendBigEndian(out, count, size);
  }

  static void appendInteger(Data& out, const Value& value) {
    if (value.type() == Value::Type::Unsigned) {
      out.push_back(0x14);
      appendBigEndian(out, 0, 8);
      appendBigEndian(out, value.asUInt(), 8);
      return;
    }
    std::int64_t v = value.asInt();
    std::size_t size = v < 0 ? 8 : BytesFor(static_cast<std::uint64_t>(v));
    out.push_back(static_cast<std::uint8_t>(0x10 | (size == 1 ? 0 : size == 2 ? 1 : size == 4 ? 2 : 3)));
    appendBigEndian(out, static_cast<std::uint64_t>(v), size);
  }

  static void appendDouble(Data& out, std::uint8_t marker, double d) {
    std::uint64_t bits;
    std::memcpy(&bits, &d, 8);
    out.push_back(marker);
    appendBigEndian(out, bits, 8);
  }

  // Equal leaves are stored once. The map's keys view the bytes of the
  // stored objects, whose buffers stay put when objects_ grows.
  bool leaf(Data bytes, std::uint64_t& index) {
    std::string_view key(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    auto it = unique_.find(key);
    if (it != unique_.end()) {
      index = it->second;
      return true;
    }
    index = objects_.size();
    objects_.push_back(Object{std::move(bytes), {}});
    const Data& stored = objects_.back().bytes;
    unique_.emplace(std::string_view(reinterpret_cast<const char*>(stored.data()), stored.size()), index);
    return true;
  }

  bool string(const std::string& text, std::uint64_t& index) {
    Data bytes;
    bool ascii = true;
    for (char c : text) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii) {
      appendMarker(bytes, 0x5, text.size());
      bytes.insert(bytes.end(), text.begin(), text.end());
    } else {
      std::u16string units = Utf16FromUtf8(text);
      appendMarker(bytes, 0x6, units.size());
      for (char16_t unit : units) appendBigEndian(bytes, unit, 2);
    }
    return leaf(std::move(bytes), index);
  }

  bool flatten(const Value& value, unsigned depth, std::uint64_t& index) {
    if (depth > kMaxDepth) return Fail(error_, "property list nested too deeply");
    Data bytes;
    switch (value.type()) {
      case Value::Type::Null: bytes.push_back(0x00); return leaf(std::move(bytes), index);
      case Value::Type::Bool: bytes.push_back(value.asBool() ? 0x09 : 0x08); return leaf(std::move(bytes), index);
      case Value::Type::Integer:
      case Value::Type::Unsigned: appendInteger(bytes, value); return leaf(std::move(bytes), index);
      case Value::Type::Real: appendDouble(bytes, 0x23, value.asDouble()); return leaf(std::move(bytes), index);
      case Value::Type::Date:
        appendDouble(bytes, 0x33, value.asDate().timeIntervalSinceReferenceDate());
        return leaf(std::move(bytes), index);
      case Value::Type::Data: {
        const Data& data = value.asData();
        appendMarker(bytes, 0x4, data.size());
        bytes.insert(bytes.end(), data.begin(), data.end());
        return leaf(std::move(bytes), index);
      }
      case Value::Type::String: return string(value.asString(), index);
      case Value::Type::Uid: {
        std::uint64_t uid = value.asUid().value;
        std::size_t size = BytesFor(uid);
        bytes.push_back(static_cast<std::uint8_t>(0x80 | (size - 1)));
        appendBigEndian(bytes, uid, size);
        return leaf(std::move(bytes), index);
      }
      case Value::Type::Array: {
        const Array& array = value.asArray();
        index = objects_.size();
        objects_.emplace_back();
        appendMarker(objects_[index].bytes, 0xA, array.size());
        std::vector<std::uint64_t> refs(array.size());
        for (std::size_t i = 0; i < array.size(); ++i) {
          if (!flatten(array[i], depth + 1, refs[i])) return false;
        }
        objects_[index].refs = std::move(refs);
        return true;
      }
      case Value::Type::Dictionary: {
        const Dictionary& dictionary = value.asDictionary();
        index = objects_.size();
        objects_.emplace_back();
        appendMarker(objects_[index].bytes, 0xD, dictionary.size());
        std::vector<std::uint64_t> refs(2 * dictionary.size());
        std::size_t i = 0;
        for (const auto& entry : dictionary) {
          if (!string(entry.first, refs[i++])) return false;
        }
        for (const auto& entry : dictionary) {
          if (!flatten(entry.second, depth + 1, refs[i++])) return false;
        }
        objects_[index].refs = std::move(refs);
        return true;
      }
      case Value::Type::Object:
        return Fail(error_,
                    "objects of class " + value.asObject()->className() + " cannot be stored in a property list");
    }
    return Fail(error_, "unknown value type");
  }

  std::string* error_;
  std::vector<Object> objects_;
  std::unordered_map<std::string_view, std::uint64_t> unique_;
  std::size_t refSize_ = 1;
};

}  // namespace

bool isBinary(const Data& data) {
  return data.size() >= 8 && std::memcmp(data.data(), kBinaryHeader, 8) == 0;
}

namespace {

Status Invalid(const std::string& reason) { return Status::invalid(kPropertyListDomain, reason); }

// The budget the XML parser's allocations on this thread are charged to
// (none: not charged). The parser allocates through ChargedAllocate, which
// refuses what the budget cannot pay for; the parser then fails with "out of
// memory".
thread_local DecodeBudget* tl_parserBudget = nullptr;

void* ChargedAllocate(std::size_t size) {
  if (tl_parserBudget && !tl_parserBudget->charge(0, size)) return nullptr;
  return std::malloc(size);
}

void InstallChargedAllocator() {
  static std::once_flag installed;
  std::call_once(installed, [] { pugi::set_memory_management_functions(ChargedAllocate, std::free); });
}

std::optional<Value> ReadXmlDocument(const Data& data, DecodeBudget& budget, std::string* error) {
  InstallChargedAllocator();
  pugi::xml_document document;
  // Whitespace-only text is kept where it is an element's whole content (a
  // <string> of spaces), not where it indents the elements of a list.
  unsigned options = pugi::parse_default | pugi::parse_ws_pcdata_single;
  tl_parserBudget = &budget;
  pugi::xml_parse_result result = document.load_buffer(data.data(), data.size(), options, pugi::encoding_auto);
  tl_parserBudget = nullptr;
  if (!result) {
    Fail(error, std::string("XML property list: ") + result.description() + " at offset " +
                    std::to_string(result.offset));
    return std::nullopt;
  }
  pugi::xml_node root = NextElement(document.first_child());
  if (!root) {
    Fail(error, "XML property list: no root element");
    return std::nullopt;
  }
  if (std::string_view(root.name()) == "plist") {
    root = NextElement(root.first_child());
    if (!root) {
      Fail(error, "XML property list: empty <plist>");
      return std::nullopt;
    }
  }
  Value value;
  std::string reason;
  if (!ReadXmlValue(root, 0, budget, value, &reason)) {
    Fail(error, "XML property list: " + reason);
    return std::nullopt;
  }
  return value;
}

DecodeBudget Unlimited() {
  return DecodeBudget(std::numeric_limits<std::uint64_t>::max(), std::numeric_limits<std::uint64_t>::max());
}

Expected<Value> ReadBinaryWithin(const Data& data, DecodeBudget& budget) {
  std::string error;
  std::optional<Value> value = BinaryReader(data, budget, &error).read();
  if (!value) return Invalid(error);
  return std::move(*value);
}

Expected<Value> ReadXmlWithin(const Data& data, DecodeBudget& budget) {
  std::string reason;
  std::optional<Value> value = ReadXmlDocument(data, budget, &reason);
  if (!value) return Invalid(reason);
  return std::move(*value);
}

}  // namespace

Expected<Value> readBinary(const Data& data) {
  DecodeBudget budget = Unlimited();
  return ReadBinaryWithin(data, budget);
}

Expected<Value> readXml(const Data& data) {
  DecodeBudget budget = Unlimited();
  return ReadXmlWithin(data, budget);
}

Expected<Value> read(const Data& data, DecodeBudget& budget, Format* format) {
  if (isBinary(data)) {
    if (format) *format = Format::Binary;
    return ReadBinaryWithin(data, budget);
  }
  if (format) *format = Format::Xml;
  return ReadXmlWithin(data, budget);
}

Expected<Value> read(const Data& data, Format* format) {
  DecodeBudget budget = Unlimited();
  return read(data, budget, format);
}

Expected<Data> writeXml(const Value& value) {
  XmlWriter writer;
  writer.text() =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
      "<plist version=\"1.0\">\n";
  std::string reason;
  if (!writer.write(value, 0, &reason)) return Invalid("XML property list: " + reason);
  writer.text() += "</plist>\n";
  return DataFromString(writer.text());
}

Expected<Data> writeBinary(const Value& value) {
  std::string reason;
  Data data = BinaryWriter(&reason).write(value);
  if (data.empty()) return Invalid("binary property list: " + reason);
  return data;
}

Expected<Data> write(const Value& value, Format format) {
  return format == Format::Binary ? writeBinary(value) : writeXml(value);
}

Expected<Value> readFile(const std::string& path, Format* format) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return Status::posix(errno, "cannot open \"" + path + "\"");
  Data data;
  std::uint8_t buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Status::posix(errno, "cannot read \"" + path + "\"");
    if (n == 0) break;
    data.insert(data.end(), buffer, buffer + n);
  }
  return read(data, format);
}

Status writeFile(const std::string& path, const Value& value, Format format) {
  Expected<Data> data = write(value, format);
  if (!data) return data.status();
  return WriteFileAtomically(path, data->data(), data->size(), 0644, true);
}

}  // namespace quorvel::PropertyList
