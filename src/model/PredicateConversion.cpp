#include "model/PredicateConversion.h"

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

}  // namespace

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
