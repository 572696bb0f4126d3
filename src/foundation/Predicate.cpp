#include "foundation/Predicate.h"

#include <cmath>
#include <functional>
#include <limits>
#include <optional>

#include "foundation/InternalInconsistency.h"
#include "foundation/PredicateText.h"

namespace quorvel {

using predicate_text::FoldText;
using predicate_text::LikePattern;
using predicate_text::RegexPattern;

namespace {

const Value kNull;

bool IsNaN(const Value& value) {
  if (value.isReal()) return std::isnan(value.asDouble());
  if (value.isDate()) return std::isnan(value.asDate().timeIntervalSinceReferenceDate());
  return false;
}

// Equality of constants for structural comparison: like Value's, except that
// NaN equals NaN (a NaN constant printed and parsed again is the same
// constant).
bool ConstantsEqual(const Value& a, const Value& b) {
  if (IsNaN(a) || IsNaN(b)) return IsNaN(a) && IsNaN(b) && a.type() == b.type();
  if (a.isArray() && b.isArray()) {
    const Array& x = a.asArray();
    const Array& y = b.asArray();
    if (x.size() != y.size()) return false;
    for (std::size_t i = 0; i < x.size(); ++i)
      if (!ConstantsEqual(x[i], y[i])) return false;
    return true;
  }
  return a == b;
}

// Numeric order of two numbers (booleans count as 0 and 1); nullopt when
// either is NaN. Integers compare exactly whatever their signedness; a real
// and an integer compare in long double, which holds every 64-bit integer.
std::optional<int> CompareNumbers(const Value& a, const Value& b) {
  auto sign = [](auto x, auto y) { return x < y ? -1 : (y < x ? 1 : 0); };
  if (!a.isReal() && !b.isReal()) {
    bool aNegative = a.type() == Value::Type::Integer && a.asInt() < 0;
    bool bNegative = b.type() == Value::Type::Integer && b.asInt() < 0;
    if (aNegative != bNegative) return aNegative ? -1 : 1;
    if (aNegative) return sign(a.asInt(), b.asInt());
    return sign(a.asUInt(), b.asUInt());
  }
  auto wide = [](const Value& v) -> long double {
    if (v.isReal()) return v.asDouble();
    if (v.type() == Value::Type::Unsigned) return static_cast<long double>(v.asUInt());
    return static_cast<long double>(v.asInt());
  };
  long double x = wide(a), y = wide(b);
  if (std::isnan(x) || std::isnan(y)) return std::nullopt;
  return sign(x, y);
}

// The elements a collection offers to ANY, ALL and membership: an array's
// elements or a dictionary's values. False for anything else.
template <typename Function>
bool ForEachElement(const Value& collection, Function&& function) {
  if (collection.isArray()) {
    for (const Value& element : collection.asArray())
      if (!function(element)) return true;
    return true;
  }
  if (collection.isDictionary()) {
    for (const auto& entry : collection.asDictionary())
      if (!function(entry.second)) return true;
    return true;
  }
  return false;
}

}  // namespace

// ---- Comparison matcher: the per-comparison state prepared once (folded
// constant texts, compiled LIKE and MATCHES patterns) and the comparison of
// two evaluated values.

class ComparisonMatcher {
 public:
  ComparisonMatcher(PredicateOperatorType type, std::uint32_t options, const Expression& left,
                    const Expression& right);
  bool test(const Value& left, const Value& right) const;

 private:
  // The folded form of a text: cached for constants, else computed into one
  // of two per-thread slots (0 or 1). No caller holds a slot while calling
  // anything that folds again, so two suffice.
  std::string_view fold(const Value& text, int slot) const;
  bool equal(const Value& a, const Value& b) const;
  std::optional<int> order(const Value& a, const Value& b) const;
  bool contains(const Value& haystack, const Value& needle) const;

  PredicateOperatorType type_;
  std::uint32_t options_;
  bool folds_;
  const Value* leftConstant_ = nullptr;
  std::string leftFolded_;
  const Value* rightConstant_ = nullptr;
  std::string rightFolded_;
  // Folded texts of the elements of a constant right-hand array (empty text
  // for elements that are not texts).
  const Value* rightElements_ = nullptr;
  std::vector<std::string> rightFoldedElements_;
  std::unique_ptr<LikePattern> like_;
  std::unique_ptr<RegexPattern> regex_;
};

namespace {

// The value of an expression that has the same value in every evaluation (a
// constant, an aggregate of constants), held by the expression itself; null
// for other expressions. Cached texts are recognised by this address.
const Value* ConstantOf(const Expression& expression) {
  if (expression.expressionType() != ExpressionType::ConstantValue &&
      expression.expressionType() != ExpressionType::Aggregate)
    return nullptr;
  static const Dictionary kNoVariables;
  Value storage;
  const Value& value = expression.evaluate(kNull, kNoVariables, storage);
  return &value == &storage ? nullptr : &value;
}

}  // namespace

ComparisonMatcher::ComparisonMatcher(PredicateOperatorType type, std::uint32_t options, const Expression& left,
                                     const Expression& right)
    : type_(type), options_(options) {
  folds_ = (options & NormalizedPredicateOption) == 0 &&
           (options & (CaseInsensitivePredicateOption | DiacriticInsensitivePredicateOption)) != 0;
  const Value* leftValue = ConstantOf(left);
  const Value* rightValue = ConstantOf(right);
  if (leftValue && leftValue->isString() && folds_) {
    leftConstant_ = leftValue;
    leftFolded_ = FoldText(leftValue->asString(), options_);
  }
  if (rightValue && rightValue->isString()) {
    if (folds_) {
      rightConstant_ = rightValue;
      rightFolded_ = FoldText(rightValue->asString(), options_);
    }
    if (type_ == PredicateOperatorType::Like)
      like_ = std::make_unique<LikePattern>(FoldText(rightValue->asString(), options_));
    if (type_ == PredicateOperatorType::Matches)
      regex_ = std::make_unique<RegexPattern>(rightValue->asString(), options_);
  } else if (rightValue && rightValue->isArray() && folds_ && !rightValue->asArray().empty()) {
    rightElements_ = rightValue->asArray().data();
    for (const Value& element : rightValue->asArray())
      rightFoldedElements_.push_back(element.isString() ? FoldText(element.asString(), options_) : std::string());
  }
}

std::string_view ComparisonMatcher::fold(const Value& text, int slot) const {
  if (!folds_) return text.asString();
  if (&text == leftConstant_) return leftFolded_;
  if (&text == rightConstant_) return rightFolded_;
  if (rightElements_) {
    std::less<const Value*> before;
    const Value* end = rightElements_ + rightFoldedElements_.size();
    if (!before(&text, rightElements_) && before(&text, end))
      return rightFoldedElements_[static_cast<std::size_t>(&text - rightElements_)];
  }
  // One evaluation of an exclusion predicate folds the same variable for
  // every alternative; remembering the last text of each slot saves that.
  struct Memo {
    std::string raw;
    std::uint32_t options = UINT32_MAX;
    std::string folded;
  };
  thread_local Memo memos[2];
  Memo& memo = memos[slot];
  const std::string& raw = text.asString();
  if (memo.options != options_ || memo.raw != raw) {
    memo.raw = raw;
    memo.options = options_;
    predicate_text::FoldTextInto(raw, options_, memo.folded);
  }
  return memo.folded;
}

bool ComparisonMatcher::equal(const Value& a, const Value& b) const {
  if (a.isNull() || b.isNull()) return a.isNull() && b.isNull();
  if (a.isNumber() && b.isNumber()) {
    auto c = CompareNumbers(a, b);
    return c && *c == 0;
  }
  if (a.isString() && b.isString()) {
    return fold(a, 0) == fold(b, 1);
  }
  if (a.isDate() && b.isDate()) return a.asDate() == b.asDate();
  if (a.isArray() && b.isArray()) {
    const Array& x = a.asArray();
    const Array& y = b.asArray();
    if (x.size() != y.size()) return false;
    for (std::size_t i = 0; i < x.size(); ++i)
      if (!equal(x[i], y[i])) return false;
    return true;
  }
  return a == b;
}

std::optional<int> ComparisonMatcher::order(const Value& a, const Value& b) const {
  if (a.isNumber() && b.isNumber()) return CompareNumbers(a, b);
  if (a.isDate() && b.isDate()) {
    double x = a.asDate().timeIntervalSinceReferenceDate();
    double y = b.asDate().timeIntervalSinceReferenceDate();
    if (std::isnan(x) || std::isnan(y)) return std::nullopt;
    return x < y ? -1 : (y < x ? 1 : 0);
  }
  if (a.isString() && b.isString()) {
    int c = fold(a, 0).compare(fold(b, 1));
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
  }
  return std::nullopt;
}

bool ComparisonMatcher::contains(const Value& haystack, const Value& needle) const {
  if (haystack.isString()) {
    if (!needle.isString()) return false;
    return fold(haystack, 0).find(fold(needle, 1)) != std::string_view::npos;
  }
  bool found = false;
  ForEachElement(haystack, [&](const Value& element) {
    found = equal(needle, element);
    return !found;
  });
  return found;
}

bool ComparisonMatcher::test(const Value& left, const Value& right) const {
  using Op = PredicateOperatorType;
  auto ordered = [&](auto accept) {
    auto c = order(left, right);
    return c.has_value() && accept(*c);
  };
  switch (type_) {
    case Op::EqualTo:
      return !IsNaN(left) && !IsNaN(right) && equal(left, right);
    case Op::NotEqualTo:
      return !IsNaN(left) && !IsNaN(right) && !equal(left, right);
    case Op::LessThan: return ordered([](int c) { return c < 0; });
    case Op::LessThanOrEqualTo: return ordered([](int c) { return c <= 0; });
    case Op::GreaterThan: return ordered([](int c) { return c > 0; });
    case Op::GreaterThanOrEqualTo: return ordered([](int c) { return c >= 0; });
    case Op::BeginsWith:
    case Op::EndsWith: {
      if (!left.isString() || !right.isString()) return false;
      std::string_view text = fold(left, 0), part = fold(right, 1);
      return type_ == Op::BeginsWith ? text.starts_with(part) : text.ends_with(part);
    }
    case Op::Like: {
      if (!left.isString() || !right.isString()) return false;
      if (like_) return like_->matches(fold(left, 0));
      return LikePattern(FoldText(right.asString(), options_)).matches(fold(left, 0));
    }
    case Op::Matches: {
      if (!left.isString() || !right.isString()) return false;
      if (regex_) return regex_->matches(fold(left, 0));
      return RegexPattern(right.asString(), options_).matches(fold(left, 0));
    }
    case Op::In: return contains(right, left);
    case Op::Contains: return contains(left, right);
    case Op::Between: {
      if (!right.isArray() || right.asArray().size() != 2) return false;
      auto low = order(left, right.asArray()[0]);
      auto high = order(left, right.asArray()[1]);
      return low && high && *low >= 0 && *high <= 0;
    }
    case Op::CustomSelector: return false;
  }
  return false;
}

// ---- Expression

Expression::Expression(Passkey, ExpressionType type, Value constant, std::string name,
                       std::vector<ExpressionPtr> elements)
    : type_(type), constant_(std::move(constant)), name_(std::move(name)), elements_(std::move(elements)) {
  if (type_ == ExpressionType::KeyPath) {
    std::size_t start = 0;
    while (true) {
      std::size_t dot = name_.find('.', start);
      components_.push_back(name_.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
      if (dot == std::string::npos) break;
      start = dot + 1;
    }
  }
  if (type_ == ExpressionType::Aggregate) {
    bool allConstant = true;
    Array values;
    for (const auto& element : elements_) {
      if (element->type_ == ExpressionType::ConstantValue || element->constantAggregate_) {
        values.push_back(element->constant_);
      } else {
        allConstant = false;
        break;
      }
    }
    if (allConstant) {
      constant_ = std::move(values);
      constantAggregate_ = true;
    }
  }
}

const std::string& Expression::empty() {
  static const std::string kEmpty;
  return kEmpty;
}

const Value& Expression::constantValue() const { return type_ == ExpressionType::ConstantValue ? constant_ : kNull; }

ExpressionPtr Expression::constant(Value value) {
  return std::make_shared<Expression>(Passkey(), ExpressionType::ConstantValue, std::move(value), std::string(),
                                      std::vector<ExpressionPtr>());
}

ExpressionPtr Expression::evaluatedObject() {
  static const ExpressionPtr kSelf = std::make_shared<Expression>(
      Passkey(), ExpressionType::EvaluatedObject, Value(), std::string(), std::vector<ExpressionPtr>());
  return kSelf;
}

ExpressionPtr Expression::variable(std::string name) {
  if (name.empty()) throw InternalInconsistency("Expression::variable: empty variable name");
  return std::make_shared<Expression>(Passkey(), ExpressionType::Variable, Value(), std::move(name),
                                      std::vector<ExpressionPtr>());
}

ExpressionPtr Expression::keyPath(std::string path) {
  if (path.empty()) throw InternalInconsistency("Expression::keyPath: empty key path");
  return std::make_shared<Expression>(Passkey(), ExpressionType::KeyPath, Value(), std::move(path),
                                      std::vector<ExpressionPtr>());
}

ExpressionPtr Expression::aggregate(std::vector<ExpressionPtr> elements) {
  for (const auto& element : elements)
    if (!element) throw InternalInconsistency("Expression::aggregate: null element");
  return std::make_shared<Expression>(Passkey(), ExpressionType::Aggregate, Value(), std::string(),
                                      std::move(elements));
}

namespace {

// The value of the key-path components [first, end) on one object.
const Value& ValueForKeyPath(const Value& object, const std::vector<std::string>& components, std::size_t first,
                             Value& storage) {
  const Value* current = &object;
  for (std::size_t i = first; i < components.size(); ++i) {
    const std::string& key = components[i];
    if (!key.empty() && key[0] == '@') {
      // Collection operator: applies the rest of the path to every element
      // and combines the results.
      if (key == "@count") {
        if (current->isArray()) storage = Value(static_cast<std::int64_t>(current->asArray().size()));
        else if (current->isDictionary()) storage = Value(static_cast<std::int64_t>(current->asDictionary().size()));
        else storage = Value();
        return storage;
      }
      if (!current->isArray()) {
        storage = Value();
        return storage;
      }
      std::optional<Value> result;
      long double sum = 0;
      std::size_t count = 0;
      bool integral = true;
      for (const Value& element : current->asArray()) {
        Value elementStorage;
        const Value& v = ValueForKeyPath(element, components, i + 1, elementStorage);
        if (v.isNull()) continue;
        if (key == "@sum" || key == "@avg") {
          if (!v.isNumber()) continue;
          integral = integral && !v.isReal();
          sum += v.isReal() ? v.asDouble() : static_cast<long double>(v.asInt());
          ++count;
        } else if (key == "@min" || key == "@max") {
          bool better = false;
          if (!result) {
            better = true;
          } else if (v.isNumber() && result->isNumber()) {
            auto c = CompareNumbers(v, *result);
            better = c && (key == "@min" ? *c < 0 : *c > 0);
          } else if (v.isString() && result->isString()) {
            better = key == "@min" ? v.asString() < result->asString() : v.asString() > result->asString();
          } else if (v.isDate() && result->isDate()) {
            better = key == "@min" ? v.asDate() < result->asDate() : v.asDate() > result->asDate();
          }
          if (better) result = v;
        }
      }
      if (key == "@sum") storage = integral ? Value(static_cast<std::int64_t>(sum)) : Value(static_cast<double>(sum));
      else if (key == "@avg") storage = count ? Value(static_cast<double>(sum / count)) : Value();
      else if (key == "@min" || key == "@max") storage = result ? *result : Value();
      else storage = Value();
      return storage;
    }
    if (current->isDictionary()) {
      current = &current->asDictionary().get(key);
    } else if (current->isArray()) {
      // A key applied to an array gives the array of every element's value.
      Array values;
      values.reserve(current->asArray().size());
      for (const Value& element : current->asArray()) {
        Value elementStorage;
        values.push_back(ValueForKeyPath(element, components, i, elementStorage));
      }
      storage = std::move(values);
      return storage;
    } else {
      return kNull;
    }
  }
  return *current;
}

}  // namespace

const Value& Expression::evaluate(const Value& object, const Dictionary& substitutionVariables,
                                  Value& storage) const {
  switch (type_) {
    case ExpressionType::ConstantValue: return constant_;
    case ExpressionType::EvaluatedObject: return object;
    case ExpressionType::Variable: return substitutionVariables.get(name_);
    case ExpressionType::KeyPath: return ValueForKeyPath(object, components_, 0, storage);
    case ExpressionType::Aggregate: {
      if (constantAggregate_) return constant_;
      Array values;
      values.reserve(elements_.size());
      for (const auto& element : elements_) {
        Value elementStorage;
        values.push_back(element->evaluate(object, substitutionVariables, elementStorage));
      }
      storage = std::move(values);
      return storage;
    }
    default: return kNull;
  }
}

Value Expression::expressionValueWithObject(const Value& object, const Dictionary& substitutionVariables) const {
  Value storage;
  const Value& result = evaluate(object, substitutionVariables, storage);
  if (&result == &storage) return storage;
  return result;
}

ExpressionPtr Expression::expressionWithSubstitutionVariables(const Dictionary& substitutionVariables) const {
  auto self = std::const_pointer_cast<Expression>(shared_from_this());
  if (type_ == ExpressionType::Variable) {
    const Value* value = substitutionVariables.find(name_);
    return value ? constant(*value) : self;
  }
  if (type_ == ExpressionType::Aggregate) {
    std::vector<ExpressionPtr> replaced;
    bool changed = false;
    for (const auto& element : elements_) {
      replaced.push_back(element->expressionWithSubstitutionVariables(substitutionVariables));
      changed = changed || replaced.back() != element;
    }
    return changed ? aggregate(std::move(replaced)) : self;
  }
  return self;
}

bool Expression::isEqualToObject(const Object& other) const {
  auto* that = dynamic_cast<const Expression*>(&other);
  if (!that) return false;
  if (this == that) return true;
  if (type_ != that->type_) {
    const Expression* constant = type_ == ExpressionType::ConstantValue ? this : that;
    const Expression* aggregate = constant == this ? that : this;
    return constant->type_ == ExpressionType::ConstantValue && aggregate->constantAggregate_ &&
           constant->constant_.isArray() && ConstantsEqual(constant->constant_, aggregate->constant_);
  }
  switch (type_) {
    case ExpressionType::ConstantValue: return ConstantsEqual(constant_, that->constant_);
    case ExpressionType::Variable:
    case ExpressionType::KeyPath: return name_ == that->name_;
    case ExpressionType::Aggregate:
      if (elements_.size() != that->elements_.size()) return false;
      for (std::size_t i = 0; i < elements_.size(); ++i)
        if (!elements_[i]->isEqualToObject(*that->elements_[i])) return false;
      return true;
    default: return true;
  }
}

// ---- Predicate

Predicate::Predicate(Passkey, Kind kind) : kind_(kind) {}
Predicate::~Predicate() = default;

PredicatePtr Predicate::truePredicate() {
  static const PredicatePtr kTrue = std::make_shared<Predicate>(Passkey(), Kind::True);
  return kTrue;
}

PredicatePtr Predicate::falsePredicate() {
  static const PredicatePtr kFalse = std::make_shared<Predicate>(Passkey(), Kind::False);
  return kFalse;
}

PredicatePtr Predicate::comparison(ExpressionPtr left, PredicateOperatorType type, ExpressionPtr right,
                                   std::uint32_t options, ComparisonPredicateModifier modifier) {
  if (!left || !right) throw InternalInconsistency("Predicate::comparison: null expression");
  if (type == PredicateOperatorType::CustomSelector)
    throw InternalInconsistency("Predicate::comparison: custom selectors are not supported");
  auto predicate = std::make_shared<Predicate>(Passkey(), Kind::Comparison);
  predicate->operator_ = type;
  predicate->options_ = options;
  predicate->modifier_ = modifier;
  predicate->matcher_ = std::make_unique<ComparisonMatcher>(type, options, *left, *right);
  predicate->left_ = std::move(left);
  predicate->right_ = std::move(right);
  return predicate;
}

PredicatePtr Predicate::compound(CompoundPredicateType type, std::vector<PredicatePtr> subpredicates) {
  for (const auto& subpredicate : subpredicates)
    if (!subpredicate) throw InternalInconsistency("Predicate::compound: null subpredicate");
  if (type == CompoundPredicateType::Not && subpredicates.size() != 1)
    throw InternalInconsistency("Predicate::compound: NOT takes exactly one subpredicate");
  auto predicate = std::make_shared<Predicate>(Passkey(), Kind::Compound);
  predicate->compoundType_ = type;
  predicate->subpredicates_ = std::move(subpredicates);
  return predicate;
}

PredicatePtr Predicate::andPredicate(std::vector<PredicatePtr> subpredicates) {
  return compound(CompoundPredicateType::And, std::move(subpredicates));
}

PredicatePtr Predicate::orPredicate(std::vector<PredicatePtr> subpredicates) {
  return compound(CompoundPredicateType::Or, std::move(subpredicates));
}

PredicatePtr Predicate::notPredicate(PredicatePtr subpredicate) {
  return compound(CompoundPredicateType::Not, {std::move(subpredicate)});
}

bool Predicate::evaluateWithObject(const Value& object) const { return evaluateWithObject(object, Dictionary()); }

bool Predicate::evaluateWithObject(const Value& object, const Dictionary& substitutionVariables) const {
  switch (kind_) {
    case Kind::True: return true;
    case Kind::False: return false;
    case Kind::Compound:
      switch (compoundType_) {
        case CompoundPredicateType::Not: return !subpredicates_[0]->evaluateWithObject(object, substitutionVariables);
        case CompoundPredicateType::And:
          for (const auto& subpredicate : subpredicates_)
            if (!subpredicate->evaluateWithObject(object, substitutionVariables)) return false;
          return true;
        case CompoundPredicateType::Or:
          for (const auto& subpredicate : subpredicates_)
            if (subpredicate->evaluateWithObject(object, substitutionVariables)) return true;
          return false;
      }
      return false;
    case Kind::Comparison: {
      Value leftStorage, rightStorage;
      const Value& left = left_->evaluate(object, substitutionVariables, leftStorage);
      const Value& right = right_->evaluate(object, substitutionVariables, rightStorage);
      switch (modifier_) {
        case ComparisonPredicateModifier::Direct: return matcher_->test(left, right);
        case ComparisonPredicateModifier::Any: {
          bool any = false;
          ForEachElement(left, [&](const Value& element) {
            any = matcher_->test(element, right);
            return !any;
          });
          return any;
        }
        case ComparisonPredicateModifier::All: {
          bool all = true;
          bool collection = ForEachElement(left, [&](const Value& element) {
            all = matcher_->test(element, right);
            return all;
          });
          return collection && all;
        }
      }
      return false;
    }
  }
  return false;
}

PredicatePtr Predicate::predicateWithSubstitutionVariables(const Dictionary& substitutionVariables) const {
  auto self = std::const_pointer_cast<Predicate>(shared_from_this());
  if (kind_ == Kind::Comparison) {
    ExpressionPtr left = left_->expressionWithSubstitutionVariables(substitutionVariables);
    ExpressionPtr right = right_->expressionWithSubstitutionVariables(substitutionVariables);
    if (left == left_ && right == right_) return self;
    return comparison(std::move(left), operator_, std::move(right), options_, modifier_);
  }
  if (kind_ == Kind::Compound) {
    std::vector<PredicatePtr> replaced;
    bool changed = false;
    for (const auto& subpredicate : subpredicates_) {
      replaced.push_back(subpredicate->predicateWithSubstitutionVariables(substitutionVariables));
      changed = changed || replaced.back() != subpredicate;
    }
    return changed ? compound(compoundType_, std::move(replaced)) : self;
  }
  return self;
}

std::string Predicate::className() const {
  switch (kind_) {
    case Kind::True: return "NSTruePredicate";
    case Kind::False: return "NSFalsePredicate";
    case Kind::Comparison: return "NSComparisonPredicate";
    case Kind::Compound: return "NSCompoundPredicate";
  }
  return "NSPredicate";
}

bool Predicate::isEqualToObject(const Object& other) const {
  auto* that = dynamic_cast<const Predicate*>(&other);
  if (!that) return false;
  if (this == that) return true;
  if (kind_ != that->kind_) return false;
  switch (kind_) {
    case Kind::True:
    case Kind::False: return true;
    case Kind::Comparison:
      return operator_ == that->operator_ && options_ == that->options_ && modifier_ == that->modifier_ &&
             left_->isEqualToObject(*that->left_) && right_->isEqualToObject(*that->right_);
    case Kind::Compound:
      if (compoundType_ != that->compoundType_ || subpredicates_.size() != that->subpredicates_.size()) return false;
      for (std::size_t i = 0; i < subpredicates_.size(); ++i)
        if (!subpredicates_[i]->isEqualToObject(*that->subpredicates_[i])) return false;
      return true;
  }
  return false;
}

}  // namespace quorvel
