#include "foundation/KeyedArchiver.h"

#include <cstring>

#include "foundation/KeyedArchiveFormat.h"
#include "foundation/Predicate.h"
#include "foundation/PropertyList.h"
#include "foundation/Url.h"

namespace quorvel {

using namespace keyedarchive;

namespace {

// Deeper nesting is refused rather than risking the stack.
constexpr int kMaxEncodeDepth = 2000;

std::vector<std::string> Chain(std::initializer_list<std::string_view> names) {
  std::vector<std::string> chain;
  for (auto name : names) chain.emplace_back(name);
  return chain;
}

std::vector<std::string> PredicateClassChain(const Predicate& predicate) {
  switch (predicate.kind()) {
    case Predicate::Kind::True: return Chain({kTruePredicateClass, kPredicateClass, "NSObject"});
    case Predicate::Kind::False: return Chain({kFalsePredicateClass, kPredicateClass, "NSObject"});
    case Predicate::Kind::Comparison: return Chain({kComparisonPredicateClass, kPredicateClass, "NSObject"});
    case Predicate::Kind::Compound: return Chain({kCompoundPredicateClass, kPredicateClass, "NSObject"});
  }
  return {};
}

std::vector<std::string> ExpressionClassChain(const Expression& expression) {
  switch (expression.expressionType()) {
    case ExpressionType::ConstantValue: return Chain({kConstantValueExpressionClass, kExpressionClass, "NSObject"});
    case ExpressionType::EvaluatedObject: return Chain({kSelfExpressionClass, kExpressionClass, "NSObject"});
    case ExpressionType::Variable: return Chain({kVariableExpressionClass, kExpressionClass, "NSObject"});
    case ExpressionType::KeyPath:
      return Chain({kKeyPathExpressionClass, kFunctionExpressionClass, kExpressionClass, "NSObject"});
    case ExpressionType::Aggregate: return Chain({kAggregateExpressionClass, kExpressionClass, "NSObject"});
    default: return {};
  }
}

std::vector<std::string> OperatorClassChain(PredicateOperatorType type) {
  switch (type) {
    case PredicateOperatorType::LessThan:
    case PredicateOperatorType::LessThanOrEqualTo:
    case PredicateOperatorType::GreaterThan:
    case PredicateOperatorType::GreaterThanOrEqualTo:
      return Chain({kComparisonOperatorClass, kPredicateOperatorClass, "NSObject"});
    case PredicateOperatorType::EqualTo:
    case PredicateOperatorType::NotEqualTo:
      return Chain({kEqualityOperatorClass, kPredicateOperatorClass, "NSObject"});
    case PredicateOperatorType::Matches:
      return Chain({kMatchingOperatorClass, kStringOperatorClass, kPredicateOperatorClass, "NSObject"});
    case PredicateOperatorType::Like:
      return Chain({kLikeOperatorClass, kStringOperatorClass, kPredicateOperatorClass, "NSObject"});
    case PredicateOperatorType::BeginsWith:
    case PredicateOperatorType::EndsWith:
      return Chain({kSubstringOperatorClass, kStringOperatorClass, kPredicateOperatorClass, "NSObject"});
    case PredicateOperatorType::In:
    case PredicateOperatorType::Contains:
      return Chain({kInOperatorClass, kPredicateOperatorClass, "NSObject"});
    case PredicateOperatorType::Between:
      return Chain({kBetweenOperatorClass, kPredicateOperatorClass, "NSObject"});
    default: return {};
  }
}

}  // namespace

std::vector<std::string> KeyedCoding::keyedArchiveClassChain() const {
  std::vector<std::string> chain;
  if (const auto* object = dynamic_cast<const Object*>(this)) chain.push_back(object->className());
  chain.emplace_back("NSObject");
  return chain;
}

KeyedArchiver::KeyedArchiver() { objects_.emplace_back(std::string(kNull)); }

std::optional<Data> KeyedArchiver::archivedDataWithRootObject(const Value& root, std::string* error) {
  KeyedArchiver archiver;
  archiver.encodeRootObject(root);
  auto data = archiver.finishEncoding();
  if (!data && error) *error = archiver.error();
  return data;
}

void KeyedArchiver::failWithError(const std::string& message) {
  if (error_.empty()) error_ = message.empty() ? std::string("keyed archiving failed") : message;
}

std::optional<Data> KeyedArchiver::finishEncoding() {
  if (!scopes_.empty()) failWithError("finishEncoding called while an object is being encoded");
  if (!ok()) return std::nullopt;
  Dictionary archive;
  archive.set(kVersionKey, Value(kVersion));
  archive.set(kObjectsKey, Value(std::move(objects_)));
  archive.set(kArchiverKey, Value(kArchiverName));
  archive.set(kTopKey, Value(std::move(top_)));
  objects_.clear();
  objects_.emplace_back(std::string(kNull));
  top_.clear();
  stringUids_.clear();
  numberUids_.clear();
  classUids_.clear();
  objectUids_.clear();
  retained_.clear();
  Expected<Data> data = PropertyList::writeBinary(Value(std::move(archive)));
  if (!data) {
    failWithError("property list writer failed: " + data.status().message());
    return std::nullopt;
  }
  return std::move(*data);
}

Dictionary& KeyedArchiver::scope() { return scopes_.empty() ? top_ : scopes_.back(); }

void KeyedArchiver::setInScope(std::string_view key, Value value) { scope().set(key, std::move(value)); }

void KeyedArchiver::encodeObject(const Value& value, std::string_view key) {
  Uid uid = uidFor(value);  // may open and close scopes: look up the scope afterwards
  setInScope(key, Value(uid));
}

void KeyedArchiver::encodeBool(bool value, std::string_view key) { setInScope(key, Value(value)); }
void KeyedArchiver::encodeInt(std::int64_t value, std::string_view key) { setInScope(key, Value(static_cast<long long>(value))); }
void KeyedArchiver::encodeDouble(double value, std::string_view key) { setInScope(key, Value(value)); }

void KeyedArchiver::encodeBytes(const void* bytes, std::size_t length, std::string_view key) {
  const auto* p = static_cast<const std::uint8_t*>(bytes);
  setInScope(key, Value(Data(p, p + length)));
}

void KeyedArchiver::encodeSet(const Array& elements, std::string_view key) {
  Uid uid = uidForArray(elements, "NSSet");
  setInScope(key, Value(uid));
}

Uid KeyedArchiver::uidForString(const std::string& text) {
  auto it = stringUids_.find(text);
  if (it != stringUids_.end()) return Uid{it->second};
  std::uint64_t uid = objects_.size();
  objects_.emplace_back(text);
  stringUids_.emplace(text, uid);
  return Uid{uid};
}

Uid KeyedArchiver::uidForScalar(const Value& value) {
  std::pair<int, std::uint64_t> key;
  switch (value.type()) {
    case Value::Type::Bool: key = {0, value.asBool() ? 1u : 0u}; break;
    case Value::Type::Integer: key = {1, static_cast<std::uint64_t>(value.asInt())}; break;
    case Value::Type::Unsigned: key = {2, value.asUInt()}; break;
    default: {
      double d = value.asDouble();
      std::uint64_t bits;
      std::memcpy(&bits, &d, sizeof bits);
      key = {3, bits};
      break;
    }
  }
  auto it = numberUids_.find(key);
  if (it != numberUids_.end()) return Uid{it->second};
  std::uint64_t uid = objects_.size();
  objects_.push_back(value);
  numberUids_.emplace(key, uid);
  return Uid{uid};
}

Uid KeyedArchiver::uidForClass(const std::vector<std::string>& classChain) {
  if (classChain.empty()) {
    failWithError("object without a class name");
    return Uid{0};
  }
  std::string key;
  for (const auto& name : classChain) key += name + '\n';
  auto it = classUids_.find(key);
  if (it != classUids_.end()) return Uid{it->second};
  Array classes;
  for (const auto& name : classChain) classes.emplace_back(name);
  Dictionary cls;
  cls.set(kClassesKey, Value(std::move(classes)));
  cls.set(kClassNameKey, Value(classChain.front()));
  std::uint64_t uid = objects_.size();
  objects_.emplace_back(std::move(cls));
  classUids_.emplace(std::move(key), uid);
  return Uid{uid};
}

Uid KeyedArchiver::encodeClassObject(const std::vector<std::string>& classChain,
                                     const std::shared_ptr<Object>& identity, const std::function<void()>& contents) {
  if (depth_ >= kMaxEncodeDepth) {
    failWithError("objects nested too deeply to archive");
    return Uid{0};
  }
  ++depth_;
  std::uint64_t uid = objects_.size();
  objects_.emplace_back();
  if (identity) {
    objectUids_.emplace(identity.get(), uid);
    retained_.push_back(identity);
  }
  scopes_.emplace_back();
  contents();
  Dictionary dictionary = std::move(scopes_.back());
  scopes_.pop_back();
  dictionary.set(kClassKey, Value(uidForClass(classChain)));
  objects_[uid] = Value(std::move(dictionary));
  --depth_;
  return Uid{uid};
}

Uid KeyedArchiver::uidForArray(const Array& elements, std::string_view className) {
  return encodeClassObject(Chain({className, "NSObject"}), nullptr, [&] {
    Array uids;
    uids.reserve(elements.size());
    for (const auto& element : elements) uids.emplace_back(uidFor(element));
    setInScope(kObjectsListKey, Value(std::move(uids)));
  });
}

Uid KeyedArchiver::uidFor(const Value& value) {
  switch (value.type()) {
    case Value::Type::Null: return Uid{0};
    case Value::Type::String: return uidForString(value.asString());
    case Value::Type::Bool:
    case Value::Type::Integer:
    case Value::Type::Unsigned:
    case Value::Type::Real: return uidForScalar(value);
    case Value::Type::Data: {
      std::uint64_t uid = objects_.size();
      objects_.push_back(value);
      return Uid{uid};
    }
    case Value::Type::Date:
      return encodeClassObject(Chain({"NSDate", "NSObject"}), nullptr, [&] {
        setInScope(kTimeKey, Value(value.asDate().timeIntervalSinceReferenceDate()));
      });
    case Value::Type::Array: return uidForArray(value.asArray(), "NSArray");
    case Value::Type::Dictionary:
      return encodeClassObject(Chain({"NSDictionary", "NSObject"}), nullptr, [&] {
        Array keys;
        Array objects;
        keys.reserve(value.asDictionary().size());
        objects.reserve(value.asDictionary().size());
        for (const auto& [key, element] : value.asDictionary()) {
          keys.emplace_back(uidForString(key));
          objects.emplace_back(uidFor(element));
        }
        setInScope(kKeysKey, Value(std::move(keys)));
        setInScope(kObjectsListKey, Value(std::move(objects)));
      });
    case Value::Type::Uid: failWithError("a UID cannot be archived as an object"); return Uid{0};
    case Value::Type::Object: return uidForObject(value.asObject());
  }
  return Uid{0};
}

Uid KeyedArchiver::uidForObject(const std::shared_ptr<Object>& object) {
  auto known = objectUids_.find(object.get());
  if (known != objectUids_.end()) return Uid{known->second};
  if (auto url = std::dynamic_pointer_cast<Url>(object)) {
    return encodeClassObject(Chain({"NSURL", "NSObject"}), object, [&] {
      setInScope(kUrlBaseKey, Value(Uid{0}));
      setInScope(kUrlRelativeKey, Value(uidForString(url->absoluteString())));
    });
  }
  if (auto predicate = std::dynamic_pointer_cast<Predicate>(object)) {
    return encodeClassObject(PredicateClassChain(*predicate), object, [&] { encodePredicate(*predicate); });
  }
  if (auto expression = std::dynamic_pointer_cast<Expression>(object)) {
    auto chain = ExpressionClassChain(*expression);
    if (chain.empty()) {
      failWithError("expressions of type " + std::to_string(static_cast<int>(expression->expressionType())) +
                    " cannot be archived");
      return Uid{0};
    }
    return encodeClassObject(chain, object, [&] { encodeExpression(*expression); });
  }
  if (const auto* coding = dynamic_cast<const KeyedCoding*>(object.get())) {
    return encodeClassObject(coding->keyedArchiveClassChain(), object, [&] { coding->encodeWithCoder(*this); });
  }
  failWithError("cannot archive an object of class \"" + object->className() + "\"");
  return Uid{0};
}

void KeyedArchiver::encodePredicate(const Predicate& predicate) {
  switch (predicate.kind()) {
    case Predicate::Kind::True:
    case Predicate::Kind::False: return;
    case Predicate::Kind::Compound: {
      encodeInt(static_cast<std::int64_t>(predicate.compoundPredicateType()), kCompoundPredicateTypeKey);
      Array subpredicates;
      for (const auto& sub : predicate.subpredicates()) subpredicates.emplace_back(sub);
      Uid uid = uidForArray(subpredicates, "NSArray");
      setInScope(kSubpredicatesKey, Value(uid));
      return;
    }
    case Predicate::Kind::Comparison: break;
  }
  encodeObject(Value(predicate.leftExpression()), kLeftExpressionKey);
  encodeObject(Value(predicate.rightExpression()), kRightExpressionKey);
  PredicateOperatorType type = predicate.predicateOperatorType();
  auto chain = OperatorClassChain(type);
  if (chain.empty()) {
    failWithError("comparisons with operator " + std::to_string(static_cast<int>(type)) + " cannot be archived");
    return;
  }
  auto options = static_cast<std::int64_t>(predicate.options());
  Uid op = encodeClassObject(chain, nullptr, [&] {
    encodeInt(static_cast<std::int64_t>(type), kOperatorTypeKey);
    encodeInt(static_cast<std::int64_t>(predicate.comparisonPredicateModifier()), kModifierKey);
    switch (type) {
      case PredicateOperatorType::LessThan:
      case PredicateOperatorType::LessThanOrEqualTo:
      case PredicateOperatorType::GreaterThan:
      case PredicateOperatorType::GreaterThanOrEqualTo:
        encodeInt(static_cast<std::int64_t>(type), kVariantKey);
        encodeInt(options, kOptionsKey);
        break;
      case PredicateOperatorType::EqualTo:
      case PredicateOperatorType::NotEqualTo:
        encodeBool(type == PredicateOperatorType::NotEqualTo, kNegateKey);
        encodeInt(options, kOptionsKey);
        break;
      case PredicateOperatorType::BeginsWith:
      case PredicateOperatorType::EndsWith:
        encodeInt(options, kFlagsKey);
        encodeInt(type == PredicateOperatorType::EndsWith ? 1 : 0, kPositionKey);
        break;
      case PredicateOperatorType::Between:
        if (options != 0) encodeInt(options, kOptionsKey);
        break;
      default: encodeInt(options, kFlagsKey); break;
    }
  });
  setInScope(kPredicateOperatorKey, Value(op));
}

void KeyedArchiver::encodeExpression(const Expression& expression) {
  encodeInt(static_cast<std::int64_t>(expression.expressionType()), kExpressionTypeKey);
  switch (expression.expressionType()) {
    case ExpressionType::ConstantValue: encodeObject(expression.constantValue(), kConstantValueKey); return;
    case ExpressionType::Variable: encodeObject(Value(expression.variable()), kVariableKey); return;
    case ExpressionType::Aggregate: {
      Array elements;
      for (const auto& element : expression.collection()) elements.emplace_back(element);
      Uid uid = uidForArray(elements, "NSArray");
      setInScope(kCollectionKey, Value(uid));
      return;
    }
    case ExpressionType::KeyPath: {
      // A key path is a function expression: valueForKeyPath: sent to SELF
      // with a key-path specifier as its argument.
      Uid operand = encodeClassObject(Chain({kSelfExpressionClass, kExpressionClass, "NSObject"}), nullptr, [&] {
        encodeInt(static_cast<std::int64_t>(ExpressionType::EvaluatedObject), kExpressionTypeKey);
      });
      setInScope(kOperandKey, Value(operand));
      encodeObject(Value(std::string(kValueForKeyPathSelector)), kSelectorNameKey);
      const std::string& path = expression.keyPath();
      Uid arguments = encodeClassObject(Chain({"NSArray", "NSObject"}), nullptr, [&] {
        Uid specifier = encodeClassObject(
            Chain({kKeyPathSpecifierExpressionClass, kExpressionClass, "NSObject"}), nullptr, [&] {
              encodeInt(kKeyPathSpecifierExpressionType, kExpressionTypeKey);
              encodeObject(Value(path), kKeyPathKey);
            });
        setInScope(kObjectsListKey, Value(Array{Value(specifier)}));
      });
      setInScope(kArgumentsKey, Value(arguments));
      return;
    }
    default: return;
  }
}

}  // namespace quorvel
