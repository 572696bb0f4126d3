#include "foundation/Format.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <ctime>

#include "foundation/Unicode.h"

namespace quorvel {

namespace {

struct Specifier {
  bool leftAlign = false;
  bool plusSign = false;
  bool spaceSign = false;
  bool alternate = false;
  bool zeroPad = false;
  int width = -1;
  int precision = -1;
  int bits = 32;  // integer size from the length modifier
  char conversion = 0;
};

std::string DateDescription(Date date) {
  double seconds = std::floor(date.timeIntervalSince1970());
  if (!std::isfinite(seconds) || std::fabs(seconds) > 1e15) return "(invalid date)";
  std::time_t time = static_cast<std::time_t>(seconds);
  std::tm parts{};
  if (!gmtime_r(&time, &parts)) return "(invalid date)";
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d +0000", parts.tm_year + 1900, parts.tm_mon + 1,
                parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
  return buffer;
}

std::string DataDescription(const Data& data) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text = "<";
  for (std::size_t i = 0; i < data.size(); ++i) {
    if (i > 0 && i % 4 == 0) text.push_back(' ');
    text.push_back(kDigits[data[i] >> 4]);
    text.push_back(kDigits[data[i] & 15]);
  }
  return text + ">";
}

std::string ShortestReal(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

// Integer value of an argument: numbers convert, texts are read as decimal
// numbers (0 when they are not), anything else is 0.
std::int64_t IntegerOf(const Value& value) {
  if (value.isNumber()) return value.asInt();
  if (value.isString()) {
    const std::string& text = value.asString();
    std::size_t start = text.find_first_not_of(" \t");
    if (start == std::string::npos) return 0;
    std::int64_t result = 0;
    const char* begin = text.data() + start;
    if (*begin == '+') ++begin;
    std::from_chars(begin, text.data() + text.size(), result);
    return result;
  }
  return 0;
}

double RealOf(const Value& value) {
  if (value.isNumber()) return value.asDouble();
  if (value.isDate()) return value.asDate().timeIntervalSinceReferenceDate();
  if (value.isString()) {
    const std::string& text = value.asString();
    std::size_t start = text.find_first_not_of(" \t");
    if (start == std::string::npos) return 0;
    double result = 0;
    const char* begin = text.data() + start;
    if (*begin == '+') ++begin;
    std::from_chars(begin, text.data() + text.size(), result);
    return result;
  }
  return 0;
}

// Pads `body` (digits or text, without sign) to the width.
void AppendPadded(std::string& out, const Specifier& conversion, std::string_view sign, std::string_view body,
                  bool zeroPadAllowed) {
  std::size_t length = sign.size() + body.size();
  std::size_t width = conversion.width > 0 ? static_cast<std::size_t>(conversion.width) : 0;
  std::size_t fill = width > length ? width - length : 0;
  if (conversion.leftAlign) {
    out += sign;
    out += body;
    out.append(fill, ' ');
  } else if (conversion.zeroPad && zeroPadAllowed) {
    out += sign;
    out.append(fill, '0');
    out += body;
  } else {
    out.append(fill, ' ');
    out += sign;
    out += body;
  }
}

void AppendText(std::string& out, const Specifier& conversion, std::string text) {
  if (conversion.precision >= 0 && text.size() > static_cast<std::size_t>(conversion.precision)) {
    // Cut at a character boundary.
    std::size_t cut = static_cast<std::size_t>(conversion.precision);
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    text.resize(cut);
  }
  AppendPadded(out, conversion, "", text, false);
}

void AppendInteger(std::string& out, const Specifier& conversion, const Value& argument) {
  std::int64_t raw = IntegerOf(argument);
  std::uint64_t unsignedValue = argument.type() == Value::Type::Unsigned ? argument.asUInt()
                                                                          : static_cast<std::uint64_t>(raw);
  bool isSigned = conversion.conversion == 'd' || conversion.conversion == 'i';
  bool negative = false;
  std::uint64_t magnitude;
  if (isSigned) {
    std::int64_t value = raw;
    if (argument.type() == Value::Type::Unsigned && conversion.bits == 64) value = static_cast<std::int64_t>(unsignedValue);
    if (conversion.bits == 8) value = static_cast<std::int8_t>(value);
    else if (conversion.bits == 16) value = static_cast<std::int16_t>(value);
    else if (conversion.bits == 32) value = static_cast<std::int32_t>(value);
    negative = value < 0;
    magnitude = negative ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
  } else {
    magnitude = unsignedValue;
    if (conversion.bits < 64) magnitude &= (std::uint64_t{1} << conversion.bits) - 1;
  }
  int base = 10;
  if (conversion.conversion == 'x' || conversion.conversion == 'X' || conversion.conversion == 'p') base = 16;
  if (conversion.conversion == 'o') base = 8;
  char buffer[80];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, magnitude, base);
  std::string digits(buffer, result.ptr);
  if (conversion.conversion == 'X') {
    for (char& c : digits) c = static_cast<char>(c >= 'a' && c <= 'f' ? c - 'a' + 'A' : c);
  }
  if (conversion.precision >= 0) {
    if (conversion.precision == 0 && magnitude == 0) digits.clear();
    if (digits.size() < static_cast<std::size_t>(conversion.precision))
      digits.insert(0, static_cast<std::size_t>(conversion.precision) - digits.size(), '0');
  }
  std::string sign;
  if (negative) sign = "-";
  else if (isSigned && conversion.plusSign) sign = "+";
  else if (isSigned && conversion.spaceSign) sign = " ";
  if (conversion.conversion == 'p' || (conversion.alternate && magnitude != 0 && base == 16))
    sign += conversion.conversion == 'X' ? "0X" : "0x";
  if (conversion.alternate && base == 8 && (digits.empty() || digits[0] != '0')) digits.insert(0, "0");
  AppendPadded(out, conversion, sign, digits, conversion.precision < 0);
}

void AppendReal(std::string& out, const Specifier& conversion, double value) {
  bool upper = conversion.conversion == 'F' || conversion.conversion == 'E' || conversion.conversion == 'G';
  char lower = static_cast<char>(upper ? conversion.conversion - 'A' + 'a' : conversion.conversion);
  bool negative = std::signbit(value);
  double magnitude = std::fabs(value);
  std::string body;
  if (std::isnan(value)) {
    body = "nan";
  } else if (std::isinf(value)) {
    body = "inf";
  } else {
    int precision = conversion.precision >= 0 ? std::min(conversion.precision, 400) : 6;
    std::chars_format format = lower == 'f' ? std::chars_format::fixed
                               : lower == 'e' ? std::chars_format::scientific
                                              : std::chars_format::general;
    if (lower == 'g' && precision == 0) precision = 1;
    char buffer[800];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, magnitude, format, precision);
    if (result.ec != std::errc()) {
      body = ShortestReal(magnitude);
    } else {
      body.assign(buffer, result.ptr);
    }
    if (conversion.alternate && body.find('.') == std::string::npos && lower != 'g') {
      std::size_t exponent = body.find('e');
      body.insert(exponent == std::string::npos ? body.size() : exponent, ".");
    }
  }
  if (upper) {
    for (char& c : body) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  }
  std::string sign = negative ? "-" : conversion.plusSign ? "+" : conversion.spaceSign ? " " : "";
  AppendPadded(out, conversion, sign, body, std::isfinite(value));
}

}  // namespace

std::string FormatObjectDescription(const Value& value) {
  switch (value.type()) {
    case Value::Type::Null: return "(null)";
    case Value::Type::Bool: return value.asBool() ? "1" : "0";
    case Value::Type::Integer: return std::to_string(value.asInt());
    case Value::Type::Unsigned: return std::to_string(value.asUInt());
    case Value::Type::Real: return ShortestReal(value.asDouble());
    case Value::Type::String: return value.asString();
    case Value::Type::Data: return DataDescription(value.asData());
    case Value::Type::Date: return DateDescription(value.asDate());
    case Value::Type::Object: return value.asObject()->description();
    default: return value.description();
  }
}

std::string Format(std::string_view format, const std::vector<Value>& arguments) {
  std::string out;
  out.reserve(format.size() + 16 * arguments.size());
  std::size_t nextArgument = 0;
  const Value missing;
  bool haveArgument = false;
  // The next argument in order, or the one a position names.
  auto take = [&](std::size_t position) -> const Value& {
    std::size_t index = position > 0 ? position - 1 : nextArgument++;
    haveArgument = index < arguments.size();
    return haveArgument ? arguments[index] : missing;
  };
  auto readNumber = [&](std::size_t& i, int& number) {
    bool any = false;
    number = 0;
    while (i < format.size() && format[i] >= '0' && format[i] <= '9') {
      number = std::min(number * 10 + (format[i] - '0'), 100000);
      ++i;
      any = true;
    }
    return any;
  };

  for (std::size_t i = 0; i < format.size(); ++i) {
    char c = format[i];
    if (c != '%') {
      out.push_back(c);
      continue;
    }
    std::size_t start = i++;
    if (i >= format.size()) {
      out.push_back('%');
      break;
    }
    if (format[i] == '%') {
      out.push_back('%');
      continue;
    }
    Specifier conversion;
    // Position "%N$".
    std::size_t position = 0;
    {
      std::size_t j = i;
      int number;
      if (readNumber(j, number) && j < format.size() && format[j] == '$' && number > 0) {
        position = static_cast<std::size_t>(number);
        i = j + 1;
      }
    }
    for (; i < format.size(); ++i) {
      char flag = format[i];
      if (flag == '-') conversion.leftAlign = true;
      else if (flag == '+') conversion.plusSign = true;
      else if (flag == ' ') conversion.spaceSign = true;
      else if (flag == '#') conversion.alternate = true;
      else if (flag == '0') conversion.zeroPad = true;
      else if (flag == '\'') continue;
      else break;
    }
    if (i < format.size() && format[i] == '*') {
      ++i;
      std::int64_t width = IntegerOf(take(0));
      if (width < 0) conversion.leftAlign = true, width = -width;
      conversion.width = static_cast<int>(std::min<std::int64_t>(width, 100000));
    } else {
      readNumber(i, conversion.width);
    }
    if (i < format.size() && format[i] == '.') {
      ++i;
      if (i < format.size() && format[i] == '*') {
        ++i;
        std::int64_t precision = IntegerOf(take(0));
        conversion.precision = precision < 0 ? -1 : static_cast<int>(std::min<std::int64_t>(precision, 100000));
      } else {
        readNumber(i, conversion.precision);
      }
    }
    // Length modifiers.
    while (i < format.size()) {
      char m = format[i];
      if (m == 'h') conversion.bits = conversion.bits == 16 ? 8 : 16;
      else if (m == 'l' || m == 'q' || m == 'j' || m == 'z' || m == 't' || m == 'L') conversion.bits = 64;
      else break;
      ++i;
    }
    if (i >= format.size()) {
      out.append(format.substr(start));
      break;
    }
    conversion.conversion = format[i];
    switch (conversion.conversion) {
      case '@': {
        const Value& argument = take(position);
        if (haveArgument) AppendText(out, conversion, FormatObjectDescription(argument));
        break;
      }
      case 's': {
        const Value& argument = take(position);
        if (haveArgument) AppendText(out, conversion, argument.isNull() ? "(null)" : FormatObjectDescription(argument));
        break;
      }
      case 'c': {
        const Value& argument = take(position);
        if (!haveArgument) break;
        std::string text;
        if (argument.isString()) {
          std::size_t pos = 0;
          char32_t codePoint;
          if (DecodeUtf8(argument.asString(), pos, codePoint)) text = argument.asString().substr(0, pos);
        } else {
          AppendUtf8(text, static_cast<char32_t>(IntegerOf(argument) & 0x1FFFFF));
        }
        AppendPadded(out, conversion, "", text, false);
        break;
      }
      case 'd': case 'i': case 'u': case 'x': case 'X': case 'o': case 'p': {
        if (conversion.conversion == 'p') conversion.bits = 64;
        const Value& argument = take(position);
        if (haveArgument) AppendInteger(out, conversion, argument);
        break;
      }
      case 'f': case 'F': case 'e': case 'E': case 'g': case 'G': {
        const Value& argument = take(position);
        if (haveArgument) AppendReal(out, conversion, RealOf(argument));
        break;
      }
      default: out.append(format.substr(start, i + 1 - start)); break;
    }
  }
  return out;
}

std::string EscapeControlCharacters(std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte == '\t') {
      out += "\\t";
    } else if (byte == '\n') {
      out += "\\n";
    } else if (byte == '\r') {
      out += "\\r";
    } else if (byte < 0x20 || byte == 0x7F) {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    } else if (byte == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
      const auto code = static_cast<unsigned char>(text[++i]);
      out += "\\u00";
      out += kHex[code >> 4];
      out += kHex[code & 15];
    } else {
      out += static_cast<char>(byte);
    }
  }
  return out;
}

}  // namespace quorvel
