#include "model/PredicateConversion.h"

#include <string>
#include <vector>

#include "foundation/LocalizedString.h"

namespace quorvel {

namespace {

std::string TableText(const std::string& text) { return LocalizedString(kPredicateEditorStringTable, text); }

bool IsChoiceKey(const std::string& key) { return key == "TYPE" || key == "WEEK_DAY" || key == "POWER_SOURCE"; }

PredicatePtr FixComparison(const Predicate& comparison) {
  const ExpressionPtr& left = comparison.leftExpression();
  if (left->expressionType() != ExpressionType::KeyPath) return nullptr;
  const std::string key = TableText(left->keyPath());
  ExpressionPtr right = comparison.rightExpression();
  if (IsChoiceKey(key) && right->expressionType() == ExpressionType::ConstantValue &&
      right->constantValue().isString()) {
    right = Expression::constant(Value(TableText(right->constantValue().asString())));
  }
  return Predicate::comparison(Expression::keyPath(key), comparison.predicateOperatorType(), right,
                               comparison.options(), comparison.comparisonPredicateModifier());
}

PredicatePtr Compare(ExpressionPtr left, const Predicate& like, ExpressionPtr right) {
  return Predicate::comparison(std::move(left), like.predicateOperatorType(), std::move(right), like.options(),
                               like.comparisonPredicateModifier());
}

ExpressionPtr IntegerConstant(const ExpressionPtr& expression) {
  if (expression->expressionType() != ExpressionType::ConstantValue) return expression;
  const Value& value = expression->constantValue();
  if (value.isString()) {
    try {
      return Expression::constant(Value(static_cast<long long>(std::stoll(value.asString()))));
    } catch (const std::exception&) {
      return Expression::constant(Value(0));
    }
  }
  return Expression::constant(Value(static_cast<long long>(value.asInt())));
}

PredicatePtr PrepareComparison(const Predicate& comparison, const std::optional<Dictionary>& networkServices) {
  if (comparison.leftExpression()->expressionType() != ExpressionType::KeyPath) return nullptr;
  const std::string& key = comparison.leftExpression()->keyPath();
  const ExpressionPtr& right = comparison.rightExpression();
  if (key == "NETWORK_SERVICE") {
    if (!networkServices) return nullptr;
    std::vector<PredicatePtr> alternatives;
    for (const auto& [service, active] : *networkServices) {
      if (active.asBool()) alternatives.push_back(Compare(Expression::constant(Value(service)), comparison, right));
    }
    if (alternatives.empty()) return nullptr;
    return alternatives.size() == 1 ? alternatives.front() : Predicate::orPredicate(std::move(alternatives));
  }
  if (key == "FILE_SIZE") {
    return Predicate::andPredicate(
        {Predicate::comparison(Expression::variable("TYPE"), PredicateOperatorType::EqualTo,
                               Expression::constant(Value(1))),
         Compare(Expression::variable(key), comparison, right)});
  }
  if (IsChoiceKey(key)) return Compare(Expression::variable(key), comparison, IntegerConstant(right));
  return Compare(Expression::variable(key), comparison, right);
}

}  // namespace

PredicatePtr PreparePredicate(const PredicatePtr& predicate, const std::optional<Dictionary>& networkServices) {
  if (!predicate) return nullptr;
  if (predicate->isComparison()) return PrepareComparison(*predicate, networkServices);
  if (!predicate->isCompound()) return nullptr;
  std::vector<PredicatePtr> members;
  for (const PredicatePtr& member : predicate->subpredicates()) {
    PredicatePtr prepared = PreparePredicate(member, networkServices);
    members.push_back(prepared ? prepared : Predicate::falsePredicate());
  }
  return Predicate::compound(predicate->compoundPredicateType(), std::move(members));
}

PredicatePtr FixPredicate(const PredicatePtr& predicate) {
  if (!predicate) return nullptr;
  if (predicate->isComparison()) return FixComparison(*predicate);
  if (!predicate->isCompound()) return nullptr;
  std::vector<PredicatePtr> members;
  for (const PredicatePtr& member : predicate->subpredicates()) {
    PredicatePtr fixed = FixPredicate(member);
    if (!fixed) return nullptr;
    members.push_back(std::move(fixed));
  }
  return Predicate::compound(predicate->compoundPredicateType(), std::move(members));
}

}  // namespace quorvel
