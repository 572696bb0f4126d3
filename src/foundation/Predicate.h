// Predicates: boolean conditions over values, with the platform's predicate
// format syntax ("$PATH IN[c] \"Docs/Old\" AND NOT (size > 10)").
//
// A predicate is an immutable tree: comparisons of two expressions, compounds
// (AND, OR, NOT) over other predicates, and the constants TRUEPREDICATE and
// FALSEPREDICATE. Expressions are constants, key paths into the evaluated
// object, substitution variables ($NAME), the evaluated object itself (SELF)
// and aggregates ({a, b}). Both derive from Object so that they can be held by
// a Value and archived; the numbering of every enumeration below is the
// platform's, because the keyed archive stores those numbers.
//
// Nodes are shared and never change after construction, so one predicate may
// be evaluated by any number of threads at once.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/Value.h"

namespace quorvel {

class Expression;
class Predicate;
class ComparisonMatcher;
using ExpressionPtr = std::shared_ptr<Expression>;
using PredicatePtr = std::shared_ptr<Predicate>;

// The comparison performed by a comparison predicate.
enum class PredicateOperatorType : std::uint32_t {
  LessThan = 0,
  LessThanOrEqualTo = 1,
  GreaterThan = 2,
  GreaterThanOrEqualTo = 3,
  EqualTo = 4,
  NotEqualTo = 5,
  Matches = 6,   // regular expression, whole text
  Like = 7,      // wildcards * and ?, whole text
  BeginsWith = 8,
  EndsWith = 9,
  In = 10,       // left contained in right: substring of a text, member of an array
  CustomSelector = 11,  // never built or evaluated here; known for archives only
  Contains = 99,  // right contained in left
  Between = 100,  // right is a two-element array {low, high}, both inclusive
};

// Bits of a comparison's options ([c], [d], [n] in the format syntax).
enum ComparisonPredicateOptions : std::uint32_t {
  CaseInsensitivePredicateOption = 1,
  DiacriticInsensitivePredicateOption = 2,
  NormalizedPredicateOption = 4,  // texts are already normalized: compare them as they are
};

// How a comparison treats a collection on its left side.
enum class ComparisonPredicateModifier : std::uint32_t {
  Direct = 0,  // compare the left value itself
  All = 1,     // every element must satisfy the comparison (true for no elements)
  Any = 2,     // at least one element must
};

enum class CompoundPredicateType : std::uint32_t { Not = 0, And = 1, Or = 2 };

enum class ExpressionType : std::uint32_t {
  ConstantValue = 0,
  EvaluatedObject = 1,
  Variable = 2,
  KeyPath = 3,
  Function = 4,
  UnionSet = 5,
  IntersectSet = 6,
  MinusSet = 7,
  Subquery = 13,
  Aggregate = 14,
  AnyKey = 15,
  Block = 19,
  Conditional = 20,
};
// Only ConstantValue, EvaluatedObject, Variable, KeyPath and Aggregate
// expressions can be built; the other numbers exist for archive readers.

class Expression : public Object, public std::enable_shared_from_this<Expression> {
 public:
  // Builders. They never fail except keyPath("") and variable(""), which
  // throw InternalInconsistency (an empty name is a programming error).
  static ExpressionPtr constant(Value value);
  static ExpressionPtr evaluatedObject();  // SELF
  static ExpressionPtr variable(std::string name);
  static ExpressionPtr keyPath(std::string path);  // dotted: "a.b.c"
  static ExpressionPtr aggregate(std::vector<ExpressionPtr> elements);  // no null elements

  // Parses one expression in the format syntax ("$PATH", "'x'", "{1, 2}").
  // Null with a message in *error (when given) on malformed text.
  static ExpressionPtr expressionWithFormat(std::string_view text, std::string* error = nullptr);

  ExpressionType expressionType() const { return type_; }
  // The constant; null for other kinds.
  const Value& constantValue() const;
  // The variable name (without "$") of a Variable expression, else empty.
  const std::string& variable() const { return type_ == ExpressionType::Variable ? name_ : empty(); }
  // The dotted key path of a KeyPath expression, else empty.
  const std::string& keyPath() const { return type_ == ExpressionType::KeyPath ? name_ : empty(); }
  // The elements of an Aggregate expression, else empty.
  const std::vector<ExpressionPtr>& collection() const { return elements_; }

  // The value for one evaluation. A key path looks into the object: a
  // dictionary gives the value of the key, an array gives the array of every
  // element's value, anything else null; "@count", "@sum", "@avg", "@min",
  // "@max" aggregate an array. A variable missing from the dictionary is null.
  Value expressionValueWithObject(const Value& object, const Dictionary& substitutionVariables) const;

  // This expression with every variable found in the dictionary replaced by a
  // constant; variables not in the dictionary stay. Returns this same
  // expression when nothing changes.
  ExpressionPtr expressionWithSubstitutionVariables(const Dictionary& substitutionVariables) const;

  // The expression in the format syntax; parsing it gives an equal expression.
  std::string format() const;

  // Object
  std::string className() const override { return "NSExpression"; }
  // Structural equality. A constant array and an aggregate of constants with
  // equal values are equal (the format syntax writes both as "{...}").
  bool isEqualToObject(const Object& other) const override;
  std::string description() const override { return format(); }

  // Evaluation without copying where possible: the result refers into the
  // expression, the object or the dictionary, or into *storage.
  const Value& evaluate(const Value& object, const Dictionary& substitutionVariables, Value& storage) const;

  struct Passkey {
   private:
    friend class Expression;
    Passkey() = default;
  };
  Expression(Passkey, ExpressionType type, Value constant, std::string name, std::vector<ExpressionPtr> elements);

 private:
  static const std::string& empty();
  ExpressionType type_;
  // The constant, or for an aggregate of constants the array of their values
  // (computed once, so that evaluating such an aggregate copies nothing).
  Value constant_;
  bool constantAggregate_ = false;
  std::string name_;                    // variable name or key path
  std::vector<std::string> components_;  // key path components
  std::vector<ExpressionPtr> elements_;
};

class Predicate : public Object, public std::enable_shared_from_this<Predicate> {
 public:
  enum class Kind { True, False, Comparison, Compound };

  // Builders. Programming errors (a null expression or subpredicate, NOT with
  // other than one subpredicate, the CustomSelector operator) throw
  // InternalInconsistency.
  static PredicatePtr truePredicate();
  static PredicatePtr falsePredicate();
  static PredicatePtr comparison(ExpressionPtr left, PredicateOperatorType type, ExpressionPtr right,
                                 std::uint32_t options = 0,
                                 ComparisonPredicateModifier modifier = ComparisonPredicateModifier::Direct);
  static PredicatePtr compound(CompoundPredicateType type, std::vector<PredicatePtr> subpredicates);
  static PredicatePtr andPredicate(std::vector<PredicatePtr> subpredicates);  // none: true
  static PredicatePtr orPredicate(std::vector<PredicatePtr> subpredicates);   // none: false
  static PredicatePtr notPredicate(PredicatePtr subpredicate);

  // Parses the format syntax. Null with a message in *error (when given) on
  // malformed text; never throws, and nesting deeper than
  // kMaximumFormatDepth is refused. With arguments, "%@" takes the next
  // argument as a constant and "%K" the next text argument as a key path.
  static PredicatePtr predicateWithFormat(std::string_view format, std::string* error = nullptr);
  static PredicatePtr predicateWithFormat(std::string_view format, const Array& arguments,
                                          std::string* error = nullptr);
  static constexpr int kMaximumFormatDepth = 200;

  // The predicate in the format syntax. Parsing it gives an equal predicate,
  // except for compounds of fewer than two subpredicates (AND and OR of none
  // print as TRUEPREDICATE and FALSEPREDICATE, of one as that one), for
  // constants the syntax cannot write (data, dictionaries, objects) and for
  // key paths or variable names that are not identifiers ("my key", "a..b").
  // Everything the parser produces prints back exactly.
  std::string predicateFormat() const;

  Kind kind() const { return kind_; }
  bool isComparison() const { return kind_ == Kind::Comparison; }
  bool isCompound() const { return kind_ == Kind::Compound; }

  // Comparison parts (defaults for other kinds).
  PredicateOperatorType predicateOperatorType() const { return operator_; }
  std::uint32_t options() const { return options_; }
  ComparisonPredicateModifier comparisonPredicateModifier() const { return modifier_; }
  const ExpressionPtr& leftExpression() const { return left_; }
  const ExpressionPtr& rightExpression() const { return right_; }

  // Compound parts (defaults for other kinds).
  CompoundPredicateType compoundPredicateType() const { return compoundType_; }
  const std::vector<PredicatePtr>& subpredicates() const { return subpredicates_; }

  // Evaluation. Semantics:
  // - == and != compare numbers by value (integers, reals and booleans
  //   alike), texts with the options, dates by time, arrays element by
  //   element; null equals only null, and != holds when exactly one side is
  //   null. A NaN on either side makes every comparison false, != included.
  // - <, <=, >, >=, BETWEEN order numbers, dates and texts (by code point,
  //   after the options' folding); anything else, null included, is false.
  // - IN: a text in a text is substring containment (left within right);
  //   otherwise membership of an array (or a dictionary's values).
  //   CONTAINS is the same with the sides swapped.
  // - BEGINSWITH, ENDSWITH, LIKE, MATCHES need two texts; MATCHES is an
  //   ICU regular expression that must match the whole text (one that runs
  //   past the matcher's memory or time bound does not match).
  // - [c] folds case (ASCII, Latin-1, Latin Extended-A, Greek, Cyrillic and
  //   whatever the C library's UTF-8 locale knows), [d] removes diacritics
  //   (precomposed Latin and Greek letters, combining marks).
  // - ANY / ALL need an array (or dictionary) on the left; otherwise false.
  bool evaluateWithObject(const Value& object) const;
  bool evaluateWithObject(const Value& object, const Dictionary& substitutionVariables) const;

  // This predicate with variables replaced by constants (see Expression);
  // this same predicate when nothing changes.
  PredicatePtr predicateWithSubstitutionVariables(const Dictionary& substitutionVariables) const;

  // Object: "NSComparisonPredicate", "NSCompoundPredicate", "NSTruePredicate"
  // or "NSFalsePredicate".
  std::string className() const override;
  bool isEqualToObject(const Object& other) const override;
  std::string description() const override { return predicateFormat(); }

  struct Passkey {
   private:
    friend class Predicate;
    Passkey() = default;
  };
  explicit Predicate(Passkey, Kind kind);
  ~Predicate() override;

 private:
  Kind kind_;
  PredicateOperatorType operator_ = PredicateOperatorType::EqualTo;
  std::uint32_t options_ = 0;
  ComparisonPredicateModifier modifier_ = ComparisonPredicateModifier::Direct;
  ExpressionPtr left_;
  ExpressionPtr right_;
  CompoundPredicateType compoundType_ = CompoundPredicateType::And;
  std::vector<PredicatePtr> subpredicates_;
  // Prepared state of a comparison: folded constant texts, compiled patterns.
  std::unique_ptr<ComparisonMatcher> matcher_;
};

// The format-syntax names of the enumerations ("IN", "BEGINSWITH", "[cd]").
std::string PredicateOperatorName(PredicateOperatorType type);
std::string PredicateOptionsText(std::uint32_t options);

}  // namespace quorvel
