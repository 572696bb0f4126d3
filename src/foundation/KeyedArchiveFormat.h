// Names of the platform's keyed archive (NSKeyedArchiver): the top-level
// keys, the keys and class names of the classes we store, and those of the
// predicate and expression classes.
//
// An archive is a property list (we write the binary form):
//   "$archiver" = "NSKeyedArchiver", "$version" = 100000,
//   "$top"      = { "root": UID of the root object },
//   "$objects"  = [ "$null", object 1, object 2, ... ].
// Texts and numbers are stored as plain property-list values, immutable
// data as plain data; every other object is a dictionary of its keys plus
// "$class", the UID of { "$classname": name, "$classes": [name, superclass,
// ..., "NSObject"] }. Values encoded with encodeInt/encodeBool/encodeDouble/
// encodeBytes sit in the object's dictionary itself; objects are UIDs.
//
// Predicate class names and keys follow the public descriptions of the
// platform's archives (GNUstep's predicate archiving tests, Cappuccino's
// nib2cib NSExpression/NSPredicate readers) and the class descriptions of
// the platform's Foundation (NSPredicateOperator's subclasses and the
// expression classes with their encoded keys).
#pragma once

#include <cstdint>
#include <string_view>

namespace quorvel::keyedarchive {

inline constexpr std::string_view kArchiverKey = "$archiver";
inline constexpr std::string_view kArchiverName = "NSKeyedArchiver";
inline constexpr std::string_view kVersionKey = "$version";
inline constexpr std::int64_t kVersion = 100000;
inline constexpr std::string_view kTopKey = "$top";
inline constexpr std::string_view kObjectsKey = "$objects";
inline constexpr std::string_view kNull = "$null";
inline constexpr std::string_view kClassKey = "$class";
inline constexpr std::string_view kClassNameKey = "$classname";
inline constexpr std::string_view kClassesKey = "$classes";
inline constexpr std::string_view kRootKey = "root";

// Foundation classes.
inline constexpr std::string_view kKeysKey = "NS.keys";
inline constexpr std::string_view kObjectsListKey = "NS.objects";
inline constexpr std::string_view kStringKey = "NS.string";
inline constexpr std::string_view kBytesKey = "NS.bytes";
inline constexpr std::string_view kDataKey = "NS.data";
inline constexpr std::string_view kTimeKey = "NS.time";
inline constexpr std::string_view kUrlBaseKey = "NS.base";
inline constexpr std::string_view kUrlRelativeKey = "NS.relative";

// Predicates (NSPredicate subclasses).
inline constexpr std::string_view kComparisonPredicateClass = "NSComparisonPredicate";
inline constexpr std::string_view kCompoundPredicateClass = "NSCompoundPredicate";
inline constexpr std::string_view kTruePredicateClass = "NSTruePredicate";
inline constexpr std::string_view kFalsePredicateClass = "NSFalsePredicate";
inline constexpr std::string_view kPredicateClass = "NSPredicate";
inline constexpr std::string_view kLeftExpressionKey = "NSLeftExpression";
inline constexpr std::string_view kRightExpressionKey = "NSRightExpression";
inline constexpr std::string_view kPredicateOperatorKey = "NSPredicateOperator";
inline constexpr std::string_view kCompoundPredicateTypeKey = "NSCompoundPredicateType";
inline constexpr std::string_view kSubpredicatesKey = "NSSubpredicates";

// The operator object of a comparison (NSPredicateOperator subclasses).
inline constexpr std::string_view kPredicateOperatorClass = "NSPredicateOperator";
inline constexpr std::string_view kComparisonOperatorClass = "NSComparisonPredicateOperator";  // < <= > >=
inline constexpr std::string_view kEqualityOperatorClass = "NSEqualityPredicateOperator";      // == !=
inline constexpr std::string_view kStringOperatorClass = "NSStringPredicateOperator";
inline constexpr std::string_view kMatchingOperatorClass = "NSMatchingPredicateOperator";  // MATCHES
inline constexpr std::string_view kLikeOperatorClass = "NSLikePredicateOperator";          // LIKE
inline constexpr std::string_view kSubstringOperatorClass = "NSSubstringPredicateOperator";  // BEGINSWITH ENDSWITH
inline constexpr std::string_view kInOperatorClass = "NSInPredicateOperator";                // IN CONTAINS
inline constexpr std::string_view kBetweenOperatorClass = "NSBetweenPredicateOperator";      // BETWEEN
inline constexpr std::string_view kCustomOperatorClass = "NSCustomPredicateOperator";
inline constexpr std::string_view kOperatorTypeKey = "NSOperatorType";
inline constexpr std::string_view kModifierKey = "NSModifier";
inline constexpr std::string_view kOptionsKey = "NSOptions";    // comparison and equality operators
inline constexpr std::string_view kFlagsKey = "NSFlags";        // string and IN operators
inline constexpr std::string_view kVariantKey = "NSVariant";    // comparison operators: the operator type
inline constexpr std::string_view kNegateKey = "NSNegate";      // equality operators: true for !=
inline constexpr std::string_view kPositionKey = "NSPosition";  // substring operators: 0 begins, 1 ends

// Expressions (NSExpression subclasses).
inline constexpr std::string_view kExpressionClass = "NSExpression";
inline constexpr std::string_view kConstantValueExpressionClass = "NSConstantValueExpression";
inline constexpr std::string_view kSelfExpressionClass = "NSSelfExpression";
inline constexpr std::string_view kVariableExpressionClass = "NSVariableExpression";
inline constexpr std::string_view kKeyPathExpressionClass = "NSKeyPathExpression";
inline constexpr std::string_view kFunctionExpressionClass = "NSFunctionExpression";
inline constexpr std::string_view kKeyPathSpecifierExpressionClass = "NSKeyPathSpecifierExpression";
inline constexpr std::string_view kAggregateExpressionClass = "NSAggregateExpression";
inline constexpr std::string_view kExpressionTypeKey = "NSExpressionType";
inline constexpr std::string_view kConstantValueKey = "NSConstantValue";
inline constexpr std::string_view kVariableKey = "NSVariable";
inline constexpr std::string_view kKeyPathKey = "NSKeyPath";
inline constexpr std::string_view kOperandKey = "NSOperand";
inline constexpr std::string_view kSelectorNameKey = "NSSelectorName";
inline constexpr std::string_view kArgumentsKey = "NSArguments";
inline constexpr std::string_view kCollectionKey = "NSCollection";
inline constexpr std::string_view kValueForKeyPathSelector = "valueForKeyPath:";
inline constexpr std::string_view kValueForKeySelector = "valueForKey:";
// The expression type of a key-path specifier (the argument of a key-path
// function expression); not one of the public expression types.
inline constexpr std::int64_t kKeyPathSpecifierExpressionType = 10;

}  // namespace quorvel::keyedarchive
