// The predicate format syntax: parser and printer.
//
//   predicate  := or
//   or         := and (("OR" | "||") and)*
//   and        := not (("AND" | "&&") not)*
//   not        := ("NOT" | "!") not | primary
//   primary    := "(" predicate ")" | "TRUEPREDICATE" | "FALSEPREDICATE" | comparison
//   comparison := ["ANY" | "SOME" | "ALL" | "NONE"] expression operator ["[" c d n "]"] expression
//   expression := text | number | "TRUE" | "YES" | "FALSE" | "NO" | "NULL" | "NIL" | "SELF" ["." keypath]
//               | "$" name | keypath | "{" [expression ("," expression)*] "}"
//               | "CAST" "(" expression "," text ")" | "%@" | "%K"
//   keypath    := key ("." key)*   key := identifier | "#" identifier | "@" identifier
//
// Keywords are case-insensitive; "#" lets a reserved word be a key. Texts are
// in double or single quotes with the escapes \" \' \\ \/ \n \r \t \b \f \v
// \a \0 and \uXXXX (a surrogate pair makes one character); any other escaped
// character is kept with its backslash, which regular expressions rely on.
// Numbers are decimal (with fraction and exponent), or 0x, 0o, 0b integers,
// each with an optional leading "-".

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "foundation/Predicate.h"
#include "foundation/PredicateText.h"

namespace quorvel {

namespace {

// Words that cannot be keys without "#": they mean something where an
// expression may stand.
constexpr const char* kReservedWords[] = {
    "AND",  "OR",  "IN",   "NOT",  "ALL",      "ANY",      "SOME",       "NONE",     "LIKE",
    "MATCHES", "CONTAINS", "BEGINSWITH", "ENDSWITH", "BETWEEN", "NULL", "NIL", "SELF", "TRUE",
    "YES",  "FALSE", "NO", "CAST", "SUBQUERY", "FUNCTION", "TRUEPREDICATE", "FALSEPREDICATE"};

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 0x20);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 0x20);
    if (x != y) return false;
  }
  return true;
}

bool IsReservedWord(std::string_view word) {
  for (const char* reserved : kReservedWords)
    if (EqualsIgnoringAsciiCase(word, reserved)) return true;
  return false;
}

bool IsIdentifierStart(char c) {
  auto u = static_cast<unsigned char>(c);
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || u >= 0x80;
}

bool IsIdentifierCharacter(char c) { return IsIdentifierStart(c) || (c >= '0' && c <= '9'); }

// ---- Printing

std::string QuoteText(std::string_view text) {
  std::string quoted = "\"";
  for (char c : text) {
    switch (c) {
      case '"': quoted += "\\\""; break;
      case '\\': quoted += "\\\\"; break;
      case '\n': quoted += "\\n"; break;
      case '\r': quoted += "\\r"; break;
      case '\t': quoted += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(static_cast<unsigned char>(c)));
          quoted += escape;
        } else {
          quoted += c;
        }
    }
  }
  return quoted + "\"";
}

// The shortest text that reads back as the same double, always with a
// fraction or exponent so that it reads back as a real.
std::string RealText(double value) {
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  std::string text(buffer, result.ptr);
  if (text.find_first_of(".e") == std::string::npos) text += ".0";
  return text;
}

std::string KeyText(std::string_view key) {
  if (IsReservedWord(key)) return "#" + std::string(key);
  return std::string(key);
}

std::string ConstantText(const Value& value) {
  switch (value.type()) {
    case Value::Type::Null: return "nil";
    case Value::Type::Bool: return value.asBool() ? "TRUE" : "FALSE";
    case Value::Type::Integer: return std::to_string(value.asInt());
    case Value::Type::Unsigned: return std::to_string(value.asUInt());
    case Value::Type::Real: {
      double d = value.asDouble();
      if (std::isnan(d)) return "CAST(\"nan\", \"NSNumber\")";
      if (std::isinf(d)) return d > 0 ? "CAST(\"inf\", \"NSNumber\")" : "CAST(\"-inf\", \"NSNumber\")";
      return RealText(d);
    }
    case Value::Type::String: return QuoteText(value.asString());
    case Value::Type::Date: {
      double seconds = value.asDate().timeIntervalSinceReferenceDate();
      std::string number = std::isfinite(seconds) ? RealText(seconds) : ConstantText(Value(seconds));
      return "CAST(" + number + ", \"NSDate\")";
    }
    case Value::Type::Array: {
      std::string text = "{";
      bool first = true;
      for (const Value& element : value.asArray()) {
        text += first ? "" : ", ";
        text += ConstantText(element);
        first = false;
      }
      return text + "}";
    }
    default: return value.description();
  }
}

}  // namespace

std::string PredicateOperatorName(PredicateOperatorType type) {
  switch (type) {
    case PredicateOperatorType::LessThan: return "<";
    case PredicateOperatorType::LessThanOrEqualTo: return "<=";
    case PredicateOperatorType::GreaterThan: return ">";
    case PredicateOperatorType::GreaterThanOrEqualTo: return ">=";
    case PredicateOperatorType::EqualTo: return "==";
    case PredicateOperatorType::NotEqualTo: return "!=";
    case PredicateOperatorType::Matches: return "MATCHES";
    case PredicateOperatorType::Like: return "LIKE";
    case PredicateOperatorType::BeginsWith: return "BEGINSWITH";
    case PredicateOperatorType::EndsWith: return "ENDSWITH";
    case PredicateOperatorType::In: return "IN";
    case PredicateOperatorType::CustomSelector: return "CUSTOMSELECTOR";
    case PredicateOperatorType::Contains: return "CONTAINS";
    case PredicateOperatorType::Between: return "BETWEEN";
  }
  return "?";
}

std::string PredicateOptionsText(std::uint32_t options) {
  std::string letters;
  if (options & CaseInsensitivePredicateOption) letters += 'c';
  if (options & DiacriticInsensitivePredicateOption) letters += 'd';
  if (options & NormalizedPredicateOption) letters += 'n';
  return letters.empty() ? std::string() : "[" + letters + "]";
}

std::string Expression::format() const {
  switch (type_) {
    case ExpressionType::ConstantValue: return ConstantText(constant_);
    case ExpressionType::EvaluatedObject: return "SELF";
    case ExpressionType::Variable: return "$" + name_;
    case ExpressionType::KeyPath: {
      std::string text;
      for (std::size_t i = 0; i < components_.size(); ++i) text += (i ? "." : "") + KeyText(components_[i]);
      return text;
    }
    case ExpressionType::Aggregate: {
      std::string text = "{";
      for (std::size_t i = 0; i < elements_.size(); ++i) text += (i ? ", " : "") + elements_[i]->format();
      return text + "}";
    }
    default: return "<expression type " + std::to_string(static_cast<unsigned>(type_)) + ">";
  }
}

std::string Predicate::predicateFormat() const {
  // NOT binds tighter than AND and OR, so only those need parentheses.
  auto nested = [](const PredicatePtr& predicate) {
    std::string text = predicate->predicateFormat();
    bool binary = predicate->isCompound() && predicate->compoundPredicateType() != CompoundPredicateType::Not;
    return binary ? "(" + text + ")" : text;
  };
  switch (kind_) {
    case Kind::True: return "TRUEPREDICATE";
    case Kind::False: return "FALSEPREDICATE";
    case Kind::Comparison: {
      std::string text;
      if (modifier_ == ComparisonPredicateModifier::Any) text = "ANY ";
      if (modifier_ == ComparisonPredicateModifier::All) text = "ALL ";
      return text + left_->format() + " " + PredicateOperatorName(operator_) + PredicateOptionsText(options_) + " " +
             right_->format();
    }
    case Kind::Compound: {
      if (compoundType_ == CompoundPredicateType::Not) return "NOT " + nested(subpredicates_[0]);
      if (subpredicates_.empty())
        return compoundType_ == CompoundPredicateType::And ? "TRUEPREDICATE" : "FALSEPREDICATE";
      if (subpredicates_.size() == 1) return subpredicates_[0]->predicateFormat();
      const char* separator = compoundType_ == CompoundPredicateType::And ? " AND " : " OR ";
      std::string text;
      for (std::size_t i = 0; i < subpredicates_.size(); ++i)
        text += (i ? separator : "") + nested(subpredicates_[i]);
      return text;
    }
  }
  return "?";
}

// ---- Parsing

namespace {

class FormatParser {
 public:
  FormatParser(std::string_view text, const Array* arguments) : text_(text), arguments_(arguments) {}

  PredicatePtr parseWholePredicate() {
    PredicatePtr predicate = parseOr(0);
    if (predicate && !atEnd()) return fail("unexpected text");
    return predicate;
  }

  ExpressionPtr parseWholeExpression() {
    ExpressionPtr expression = parseExpression(0);
    if (expression && !atEnd()) return failExpression("unexpected text");
    return expression;
  }

  const std::string& error() const { return error_; }

 private:
  // -- characters

  void skipSpace() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' || text_[pos_] == '\n' ||
                                   text_[pos_] == '\r' || text_[pos_] == '\f' || text_[pos_] == '\v'))
      ++pos_;
  }
  bool atEnd() {
    skipSpace();
    return pos_ >= text_.size();
  }
  char peek(std::size_t ahead = 0) const {
    return pos_ + ahead < text_.size() ? text_[pos_ + ahead] : '\0';
  }
  bool consume(std::string_view symbol) {
    skipSpace();
    if (text_.substr(pos_, symbol.size()) != symbol) return false;
    pos_ += symbol.size();
    return true;
  }
  // The identifier at the current position (without consuming it).
  std::string_view peekWord() {
    skipSpace();
    std::size_t end = pos_;
    if (end < text_.size() && IsIdentifierStart(text_[end]))
      while (end < text_.size() && IsIdentifierCharacter(text_[end])) ++end;
    return text_.substr(pos_, end - pos_);
  }
  bool consumeKeyword(std::string_view keyword) {
    std::string_view word = peekWord();
    if (!EqualsIgnoringAsciiCase(word, keyword)) return false;
    pos_ += word.size();
    return true;
  }

  std::nullptr_t fail(const std::string& message) {
    if (error_.empty()) error_ = message + " at offset " + std::to_string(pos_);
    return nullptr;
  }
  ExpressionPtr failExpression(const std::string& message) { return fail(message); }
  bool tooDeep(int depth) {
    if (depth < Predicate::kMaximumFormatDepth) return false;
    fail("nesting too deep");
    return true;
  }

  // -- predicates

  PredicatePtr parseOr(int depth) {
    PredicatePtr first = parseAnd(depth);
    if (!first) return nullptr;
    std::vector<PredicatePtr> terms{first};
    while (consumeKeyword("OR") || consume("||")) {
      PredicatePtr next = parseAnd(depth);
      if (!next) return nullptr;
      terms.push_back(std::move(next));
    }
    return terms.size() == 1 ? first : Predicate::orPredicate(std::move(terms));
  }

  PredicatePtr parseAnd(int depth) {
    PredicatePtr first = parseNot(depth);
    if (!first) return nullptr;
    std::vector<PredicatePtr> terms{first};
    while (consumeKeyword("AND") || consume("&&")) {
      PredicatePtr next = parseNot(depth);
      if (!next) return nullptr;
      terms.push_back(std::move(next));
    }
    return terms.size() == 1 ? first : Predicate::andPredicate(std::move(terms));
  }

  PredicatePtr parseNot(int depth) {
    skipSpace();
    bool negated = consumeKeyword("NOT");
    if (!negated && peek() == '!' && peek(1) != '=') {
      ++pos_;
      negated = true;
    }
    if (!negated) return parsePrimary(depth);
    if (tooDeep(depth)) return nullptr;
    PredicatePtr operand = parseNot(depth + 1);
    return operand ? Predicate::notPredicate(std::move(operand)) : nullptr;
  }

  PredicatePtr parsePrimary(int depth) {
    skipSpace();
    if (peek() == '(') {
      if (tooDeep(depth)) return nullptr;
      ++pos_;
      PredicatePtr inner = parseOr(depth + 1);
      if (!inner) return nullptr;
      if (!consume(")")) return fail("expected \")\"");
      return inner;
    }
    if (consumeKeyword("TRUEPREDICATE")) return Predicate::truePredicate();
    if (consumeKeyword("FALSEPREDICATE")) return Predicate::falsePredicate();
    return parseComparison(depth);
  }

  PredicatePtr parseComparison(int depth) {
    auto modifier = ComparisonPredicateModifier::Direct;
    bool none = false;
    if (consumeKeyword("ANY") || consumeKeyword("SOME")) {
      modifier = ComparisonPredicateModifier::Any;
    } else if (consumeKeyword("ALL")) {
      modifier = ComparisonPredicateModifier::All;
    } else if (consumeKeyword("NONE")) {
      modifier = ComparisonPredicateModifier::Any;
      none = true;
    }
    ExpressionPtr left = parseExpression(depth);
    if (!left) return nullptr;
    PredicateOperatorType type;
    if (!parseOperator(type)) return fail("expected a comparison operator");
    std::uint32_t options = 0;
    if (peek() == '[' && !parseOptions(options)) return nullptr;
    ExpressionPtr right = parseExpression(depth);
    if (!right) return nullptr;
    PredicatePtr comparison = Predicate::comparison(std::move(left), type, std::move(right), options, modifier);
    return none ? Predicate::notPredicate(std::move(comparison)) : comparison;
  }

  bool parseOperator(PredicateOperatorType& type) {
    using Op = PredicateOperatorType;
    skipSpace();
    static const std::pair<const char*, Op> kSymbols[] = {
        {"==", Op::EqualTo},   {"=<", Op::LessThanOrEqualTo}, {"=>", Op::GreaterThanOrEqualTo},
        {"=", Op::EqualTo},    {"!=", Op::NotEqualTo},        {"<>", Op::NotEqualTo},
        {"<=", Op::LessThanOrEqualTo}, {"<", Op::LessThan},   {">=", Op::GreaterThanOrEqualTo},
        {">", Op::GreaterThan}};
    for (const auto& [symbol, op] : kSymbols) {
      if (consume(symbol)) {
        type = op;
        return true;
      }
    }
    static const std::pair<const char*, Op> kWords[] = {
        {"MATCHES", Op::Matches},   {"LIKE", Op::Like}, {"BEGINSWITH", Op::BeginsWith}, {"ENDSWITH", Op::EndsWith},
        {"IN", Op::In},             {"CONTAINS", Op::Contains}, {"BETWEEN", Op::Between}};
    for (const auto& [word, op] : kWords) {
      if (consumeKeyword(word)) {
        type = op;
        return true;
      }
    }
    return false;
  }

  // "[c]", "[cd]", "[n]"... directly after the operator.
  bool parseOptions(std::uint32_t& options) {
    ++pos_;
    std::size_t start = pos_;
    while (pos_ < text_.size() && text_[pos_] != ']') {
      switch (text_[pos_]) {
        case 'c': case 'C': options |= CaseInsensitivePredicateOption; break;
        case 'd': case 'D': options |= DiacriticInsensitivePredicateOption; break;
        case 'n': case 'N': options |= NormalizedPredicateOption; break;
        default: fail("unknown comparison option"); return false;
      }
      ++pos_;
    }
    if (pos_ >= text_.size() || pos_ == start) {
      fail("malformed comparison options");
      return false;
    }
    ++pos_;
    return true;
  }

  // -- expressions

  ExpressionPtr parseExpression(int depth) {
    skipSpace();
    char c = peek();
    if (c == '"' || c == '\'') {
      std::string text;
      if (!parseText(text)) return nullptr;
      return Expression::constant(Value(std::move(text)));
    }
    if ((c >= '0' && c <= '9') || (c == '-' && ((peek(1) >= '0' && peek(1) <= '9') || peek(1) == '.')) ||
        (c == '.' && peek(1) >= '0' && peek(1) <= '9')) {
      Value number;
      if (!parseNumber(number)) return nullptr;
      return Expression::constant(std::move(number));
    }
    if (c == '$') {
      ++pos_;
      std::string_view name = identifierAt();
      if (name.empty()) return fail("expected a variable name");
      pos_ += name.size();
      return Expression::variable(std::string(name));
    }
    if (c == '{') return parseAggregate(depth);
    if (c == '%') return parseArgument();
    if (c == '#' || c == '@' || IsIdentifierStart(c)) return parseWord(depth);
    return fail(c ? "expected an expression" : "unexpected end of text");
  }

  std::string_view identifierAt() const {
    std::size_t end = pos_;
    if (end < text_.size() && IsIdentifierStart(text_[end]))
      while (end < text_.size() && IsIdentifierCharacter(text_[end])) ++end;
    return text_.substr(pos_, end - pos_);
  }

  // One key of a key path: identifier, "#identifier" or "@identifier".
  bool parseKey(std::string& key, bool& escaped) {
    escaped = false;
    std::string prefix;
    if (peek() == '#') {
      escaped = true;
      ++pos_;
    } else if (peek() == '@') {
      prefix = "@";
      ++pos_;
    }
    std::string_view word = identifierAt();
    if (word.empty()) {
      fail("expected a key");
      return false;
    }
    pos_ += word.size();
    key = prefix + std::string(word);
    return true;
  }

  ExpressionPtr parseWord(int depth) {
    std::string key;
    bool escaped;
    if (!parseKey(key, escaped)) return nullptr;
    if (!escaped && key[0] != '@') {
      if (EqualsIgnoringAsciiCase(key, "TRUE") || EqualsIgnoringAsciiCase(key, "YES"))
        return Expression::constant(Value(true));
      if (EqualsIgnoringAsciiCase(key, "FALSE") || EqualsIgnoringAsciiCase(key, "NO"))
        return Expression::constant(Value(false));
      if (EqualsIgnoringAsciiCase(key, "NULL") || EqualsIgnoringAsciiCase(key, "NIL"))
        return Expression::constant(Value());
      if (EqualsIgnoringAsciiCase(key, "CAST")) return parseCast(depth);
      if (EqualsIgnoringAsciiCase(key, "SELF")) {
        if (peek() != '.') return Expression::evaluatedObject();
        ++pos_;
        if (!parseKey(key, escaped)) return nullptr;
      } else if (IsReservedWord(key)) {
        pos_ -= key.size();
        return fail("unexpected keyword \"" + key + "\"");
      }
    }
    std::string path = key;
    while (peek() == '.' && (peek(1) == '#' || peek(1) == '@' || IsIdentifierStart(peek(1)))) {
      ++pos_;
      if (!parseKey(key, escaped)) return nullptr;
      path += "." + key;
    }
    return Expression::keyPath(std::move(path));
  }

  ExpressionPtr parseAggregate(int depth) {
    if (tooDeep(depth)) return nullptr;
    ++pos_;  // "{"
    std::vector<ExpressionPtr> elements;
    if (consume("}")) return Expression::aggregate(std::move(elements));
    while (true) {
      ExpressionPtr element = parseExpression(depth + 1);
      if (!element) return nullptr;
      elements.push_back(std::move(element));
      if (consume("}")) return Expression::aggregate(std::move(elements));
      if (!consume(",")) return fail("expected \",\" or \"}\"");
    }
  }

  ExpressionPtr parseArgument() {
    char kind = peek(1);
    if (kind != '@' && kind != 'K') return fail("unsupported format specifier");
    if (!arguments_ || nextArgument_ >= arguments_->size()) return fail("missing format argument");
    pos_ += 2;
    const Value& argument = (*arguments_)[nextArgument_++];
    if (kind == '@') return Expression::constant(argument);
    if (!argument.isString() || argument.asString().empty()) return fail("%K needs a key path text");
    return Expression::keyPath(argument.asString());
  }

  // CAST(constant, "NSDate" | "NSNumber" | "NSString"): folded into a constant.
  ExpressionPtr parseCast(int depth) {
    if (tooDeep(depth)) return nullptr;
    if (!consume("(")) return fail("expected \"(\" after CAST");
    ExpressionPtr operand = parseExpression(depth + 1);
    if (!operand) return nullptr;
    if (operand->expressionType() != ExpressionType::ConstantValue) return fail("CAST needs a constant");
    if (!consume(",")) return fail("expected \",\"");
    skipSpace();
    std::string type;
    if ((peek() != '"' && peek() != '\'') || !parseText(type)) return fail("expected a type name");
    if (!consume(")")) return fail("expected \")\"");
    const Value& value = operand->constantValue();
    if (type == "NSDate") {
      if (value.isDate()) return operand;
      if (value.isNumber()) return Expression::constant(Value(Date(value.asDouble())));
      if (value.isString()) {
        Value number;
        if (!NumberFromText(value.asString(), number)) return fail("CAST: not a number");
        return Expression::constant(Value(Date(number.asDouble())));
      }
      return fail("CAST: cannot make a date");
    }
    if (type == "NSNumber") {
      if (value.isNumber()) return operand;
      if (value.isDate()) return Expression::constant(Value(value.asDate().timeIntervalSinceReferenceDate()));
      if (value.isString()) {
        Value number;
        if (!NumberFromText(value.asString(), number)) return fail("CAST: not a number");
        return Expression::constant(std::move(number));
      }
      return fail("CAST: cannot make a number");
    }
    if (type == "NSString") {
      if (value.isString()) return operand;
      if (value.isInteger()) return Expression::constant(Value(ConstantText(value)));
      if (value.isReal()) {
        double d = value.asDouble();
        std::string text = std::isnan(d) ? "nan" : std::isinf(d) ? (d > 0 ? "inf" : "-inf") : RealText(d);
        return Expression::constant(Value(text));
      }
      return fail("CAST: cannot make a text");
    }
    return fail("CAST: unsupported type \"" + type + "\"");
  }

  static bool NumberFromText(const std::string& text, Value& number) {
    if (text == "nan" || text == "NaN") {
      number = Value(std::numeric_limits<double>::quiet_NaN());
      return true;
    }
    if (text == "inf" || text == "+inf") {
      number = Value(std::numeric_limits<double>::infinity());
      return true;
    }
    if (text == "-inf") {
      number = Value(-std::numeric_limits<double>::infinity());
      return true;
    }
    FormatParser inner(text, nullptr);
    inner.skipSpace();
    return inner.parseNumber(number) && inner.atEnd();
  }

  bool parseNumber(Value& number) {
    std::size_t start = pos_;
    bool negative = false;
    if (peek() == '-') {
      negative = true;
      ++pos_;
    }
    int base = 10;
    if (peek() == '0' && (peek(1) == 'x' || peek(1) == 'X')) base = 16;
    if (peek() == '0' && (peek(1) == 'o' || peek(1) == 'O')) base = 8;
    if (peek() == '0' && (peek(1) == 'b' || peek(1) == 'B')) base = 2;
    if (base != 10) {
      pos_ += 2;
      std::uint64_t magnitude = 0;
      const char* first = text_.data() + pos_;
      auto result = std::from_chars(first, text_.data() + text_.size(), magnitude, base);
      if (result.ec != std::errc() || result.ptr == first) {
        fail("malformed number");
        return false;
      }
      pos_ = static_cast<std::size_t>(result.ptr - text_.data());
      if (!negative) {
        number = Value(static_cast<unsigned long long>(magnitude));
      } else if (magnitude <= static_cast<std::uint64_t>(INT64_MAX) + 1) {
        number = Value(static_cast<long long>(0 - magnitude));
      } else {
        number = Value(-static_cast<double>(magnitude));
      }
    } else {
      bool real = false;
      while (std::isdigit(static_cast<unsigned char>(peek()))) ++pos_;
      if (peek() == '.' && std::isdigit(static_cast<unsigned char>(peek(1)))) {
        real = true;
        ++pos_;
        while (std::isdigit(static_cast<unsigned char>(peek()))) ++pos_;
      } else if (peek() == '.' && pos_ > start + (negative ? 1 : 0) && !IsIdentifierStart(peek(1))) {
        real = true;  // "1." is 1.0
        ++pos_;
      }
      if ((peek() == 'e' || peek() == 'E') &&
          (std::isdigit(static_cast<unsigned char>(peek(1))) ||
           ((peek(1) == '+' || peek(1) == '-') && std::isdigit(static_cast<unsigned char>(peek(2)))))) {
        real = true;
        pos_ += 2;
        while (std::isdigit(static_cast<unsigned char>(peek()))) ++pos_;
      }
      std::string digits(text_.substr(start, pos_ - start));
      if (!digits.empty() && digits.back() == '.') digits.pop_back();
      if (digits.size() > 1 && digits[0] == '-' && digits[1] == '.') digits.insert(1, "0");
      if (!digits.empty() && digits[0] == '.') digits.insert(0, "0");
      const char* first = digits.data();
      const char* last = digits.data() + digits.size();
      bool parsed = false;
      if (!real) {
        std::int64_t signedValue;
        auto result = std::from_chars(first, last, signedValue);
        if (result.ec == std::errc() && result.ptr == last) {
          number = Value(static_cast<long long>(signedValue));
          parsed = true;
        } else if (!negative) {
          std::uint64_t unsignedValue;
          result = std::from_chars(first, last, unsignedValue);
          if (result.ec == std::errc() && result.ptr == last) {
            number = Value(static_cast<unsigned long long>(unsignedValue));
            parsed = true;
          }
        }
      }
      if (!parsed) {
        double d;
        auto result = std::from_chars(first, last, d);
        if (result.ptr != last || (result.ec != std::errc() && result.ec != std::errc::result_out_of_range)) {
          fail("malformed number");
          return false;
        }
        if (result.ec == std::errc::result_out_of_range) {
          // Too large a magnitude is infinite, too small a one zero.
          d = std::strtod(digits.c_str(), nullptr);
        }
        number = Value(d);
      }
    }
    if (IsIdentifierCharacter(peek()) || peek() == '.') {
      fail("malformed number");
      return false;
    }
    return true;
  }

  static int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  bool parseHex4(char32_t& value) {
    value = 0;
    for (int i = 0; i < 4; ++i) {
      int digit = HexDigit(peek());
      if (digit < 0) {
        fail("malformed \\u escape");
        return false;
      }
      value = value * 16 + static_cast<char32_t>(digit);
      ++pos_;
    }
    return true;
  }

  bool parseText(std::string& text) {
    char quote = text_[pos_++];
    while (true) {
      if (pos_ >= text_.size()) {
        fail("unterminated text");
        return false;
      }
      char c = text_[pos_++];
      if (c == quote) return true;
      if (c != '\\') {
        text += c;
        continue;
      }
      if (pos_ >= text_.size()) {
        fail("unterminated text");
        return false;
      }
      char escaped = text_[pos_++];
      switch (escaped) {
        case '"': case '\'': case '\\': case '/': text += escaped; break;
        case 'n': text += '\n'; break;
        case 'r': text += '\r'; break;
        case 't': text += '\t'; break;
        case 'b': text += '\b'; break;
        case 'f': text += '\f'; break;
        case 'v': text += '\v'; break;
        case 'a': text += '\a'; break;
        case '0': text += '\0'; break;
        case 'u': {
          char32_t unit;
          if (!parseHex4(unit)) return false;
          if (unit >= 0xD800 && unit <= 0xDBFF && peek() == '\\' && peek(1) == 'u') {
            std::size_t save = pos_;
            pos_ += 2;
            char32_t low;
            if (!parseHex4(low)) return false;
            if (low >= 0xDC00 && low <= 0xDFFF) unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
            else pos_ = save;
          }
          text += predicate_text::EncodeUtf8(std::u32string(1, unit));
          break;
        }
        default:
          text += '\\';
          text += escaped;
      }
    }
  }

  std::string_view text_;
  const Array* arguments_;
  std::size_t nextArgument_ = 0;
  std::size_t pos_ = 0;
  std::string error_;
};

}  // namespace

PredicatePtr Predicate::predicateWithFormat(std::string_view format, std::string* error) {
  FormatParser parser(format, nullptr);
  PredicatePtr predicate = parser.parseWholePredicate();
  if (!predicate && error) *error = parser.error();
  return predicate;
}

PredicatePtr Predicate::predicateWithFormat(std::string_view format, const Array& arguments, std::string* error) {
  FormatParser parser(format, &arguments);
  PredicatePtr predicate = parser.parseWholePredicate();
  if (!predicate && error) *error = parser.error();
  return predicate;
}

ExpressionPtr Expression::expressionWithFormat(std::string_view text, std::string* error) {
  FormatParser parser(text, nullptr);
  ExpressionPtr expression = parser.parseWholeExpression();
  if (!expression && error) *error = parser.error();
  return expression;
}

}  // namespace quorvel
