#include "foundation/KeyedUnarchiver.h"

#include <exception>
#include <mutex>
#include <unordered_map>

#include "foundation/KeyedArchiveFormat.h"
#include "foundation/Mutex.h"
#include "foundation/Predicate.h"
#include "foundation/PropertyList.h"
#include "foundation/Url.h"

namespace quorvel {

using namespace keyedarchive;

namespace {

struct Registry {
  Mutex mutex;
  std::unordered_map<std::string, std::shared_ptr<const KeyedUnarchiver::ClassDecoder>> decoders GUARDED_BY(mutex);
};

Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

std::once_flag builtInsRegistered;

void AddDecoder(std::string_view name, KeyedUnarchiver::ClassDecoder decoder) {
  auto& registry = TheRegistry();
  MutexLock lock(registry.mutex);
  registry.decoders[std::string(name)] = std::make_shared<const KeyedUnarchiver::ClassDecoder>(std::move(decoder));
}

void CountReferences(const Value& value, std::vector<std::uint32_t>& counts, int depth) {
  if (depth > 64) return;  // deeper inline nesting is refused while decoding
  switch (value.type()) {
    case Value::Type::Uid:
      if (value.asUid().value < counts.size() && counts[value.asUid().value] < UINT32_MAX) ++counts[value.asUid().value];
      return;
    case Value::Type::Array:
      for (const auto& element : value.asArray()) CountReferences(element, counts, depth + 1);
      return;
    case Value::Type::Dictionary:
      for (const auto& [key, element] : value.asDictionary()) {
        if (key != kClassKey) CountReferences(element, counts, depth + 1);
      }
      return;
    default: return;
  }
}

Value DecodeString(KeyedUnarchiver& u) {
  if (u.containsValueForKey(kStringKey)) {
    Value text = u.decodeObjectForKey(kStringKey);
    if (text.isString()) return text;
  } else if (u.containsValueForKey(kBytesKey)) {
    return Value(StringFromData(u.decodeBytesForKey(kBytesKey)));
  }
  u.failWithError("object of class \"" + u.className() + "\" holds no text");
  return Value();
}

Value DecodeArray(KeyedUnarchiver& u) {
  if (!u.containsValueForKey(kObjectsListKey)) return Value(Array{});
  Value elements = u.decodeObjectForKey(kObjectsListKey);
  if (!elements.isArray()) {
    u.failWithError("object of class \"" + u.className() + "\" has no element list");
    return Value();
  }
  return elements;
}

Value DecodeDictionary(KeyedUnarchiver& u) {
  Value keys = u.containsValueForKey(kKeysKey) ? u.decodeObjectForKey(kKeysKey) : Value(Array{});
  Value objects = u.containsValueForKey(kObjectsListKey) ? u.decodeObjectForKey(kObjectsListKey) : Value(Array{});
  if (!u.ok()) return Value();
  if (!keys.isArray() || !objects.isArray() || keys.asArray().size() != objects.asArray().size()) {
    u.failWithError("dictionary keys and objects do not pair up");
    return Value();
  }
  Dictionary dictionary;
  for (std::size_t i = 0; i < keys.asArray().size(); ++i) {
    if (!keys.asArray()[i].isString()) {
      u.failWithError("dictionary key is not text: " + keys.asArray()[i].description());
      return Value();
    }
    dictionary.set(keys.asArray()[i].asString(), objects.asArray()[i]);
  }
  return Value(std::move(dictionary));
}

Value DecodeDate(KeyedUnarchiver& u) { return Value(Date(u.decodeDoubleForKey(kTimeKey))); }

Value DecodeData(KeyedUnarchiver& u) {
  if (u.containsValueForKey(kDataKey)) return Value(u.decodeBytesForKey(kDataKey));
  return Value(u.decodeBytesForKey(kBytesKey));
}

Value DecodeUrl(KeyedUnarchiver& u) {
  Value base = u.decodeObjectForKey(kUrlBaseKey);
  Value relative = u.decodeObjectForKey(kUrlRelativeKey);
  if (!u.ok()) return Value();
  if (!relative.isString()) {
    u.failWithError("URL without text");
    return Value();
  }
  std::optional<Url> url;
  if (auto baseUrl = base.object<Url>()) url = Url::URLWithString(relative.asString(), *baseUrl);
  else url = Url::URLWithString(relative.asString());
  if (!url) {
    u.failWithError("malformed URL \"" + relative.asString() + "\"");
    return Value();
  }
  return Value(std::make_shared<Url>(std::move(*url)));
}

// Bytes of text or data a value carries (what copying it costs beyond the
// value itself).
std::uint64_t PayloadBytes(const Value& value) {
  if (value.isString()) return value.asString().size();
  if (value.isData()) return value.asData().size();
  return 0;
}

bool IsContainer(const Value& value) { return value.isArray() || value.isDictionary(); }

bool IsKnownOperator(std::int64_t type) {
  return (type >= 0 && type <= 10) || type == 99 || type == 100;
}

}  // namespace

// ---- registry

void KeyedUnarchiver::registerBuiltInClasses() {
  for (auto name : {"NSString", "NSMutableString"}) AddDecoder(name, DecodeString);
  for (auto name : {"NSArray", "NSMutableArray", "NSSet", "NSMutableSet", "NSOrderedSet", "NSMutableOrderedSet"}) {
    AddDecoder(name, DecodeArray);
  }
  for (auto name : {"NSDictionary", "NSMutableDictionary"}) AddDecoder(name, DecodeDictionary);
  for (auto name : {"NSData", "NSMutableData"}) AddDecoder(name, DecodeData);
  AddDecoder("NSDate", DecodeDate);
  AddDecoder("NSNull", [](KeyedUnarchiver&) { return Value(); });
  AddDecoder("NSURL", DecodeUrl);
  AddDecoder(kComparisonPredicateClass, decodeComparisonPredicate);
  AddDecoder(kCompoundPredicateClass, decodeCompoundPredicate);
  AddDecoder(kTruePredicateClass, [](KeyedUnarchiver&) { return Value(Predicate::truePredicate()); });
  AddDecoder(kFalsePredicateClass, [](KeyedUnarchiver&) { return Value(Predicate::falsePredicate()); });
  for (auto name : {kConstantValueExpressionClass, kSelfExpressionClass, kVariableExpressionClass,
                    kKeyPathExpressionClass, kFunctionExpressionClass, kKeyPathSpecifierExpressionClass,
                    kAggregateExpressionClass}) {
    AddDecoder(name, decodeExpression);
  }
}

void KeyedUnarchiver::registerClass(const std::string& className, ClassDecoder decoder) {
  std::call_once(builtInsRegistered, registerBuiltInClasses);
  AddDecoder(className, std::move(decoder));
}

std::shared_ptr<const KeyedUnarchiver::ClassDecoder> KeyedUnarchiver::findDecoder(const std::string& className) {
  std::call_once(builtInsRegistered, registerBuiltInClasses);
  auto& registry = TheRegistry();
  MutexLock lock(registry.mutex);
  auto it = registry.decoders.find(className);
  return it == registry.decoders.end() ? nullptr : it->second;
}

// ---- archive

KeyedUnarchiver::KeyedUnarchiver(const Data& data) : KeyedUnarchiver(data, DecodeBudget::forInput(data.size())) {}

KeyedUnarchiver::KeyedUnarchiver(const Data& data, DecodeBudget budget) {
  // The property list is read within the budget too; the objects get what
  // it leaves.
  Expected<Value> plist = PropertyList::read(data, budget);
  budget_ = budget;
  if (!plist) {
    failWithError("not a keyed archive: " + plist.status().message());
    return;
  }
  archive_ = std::move(*plist);
  if (!archive_.isDictionary()) {
    failWithError("not a keyed archive: the property list is not a dictionary");
    return;
  }
  const Dictionary& archive = archive_.asDictionary();
  const Value& archiver = archive.get(kArchiverKey);
  if (!archiver.isString() || archiver.asString() != kArchiverName) {
    failWithError("not a keyed archive: \"$archiver\" is not \"NSKeyedArchiver\"");
    return;
  }
  const Value& objects = archive.get(kObjectsKey);
  const Value& top = archive.get(kTopKey);
  if (!objects.isArray() || objects.asArray().empty() || !top.isDictionary()) {
    failWithError("not a keyed archive: \"$objects\" or \"$top\" missing");
    return;
  }
  objects_ = &objects.asArray();
  top_ = &top.asDictionary();
  std::size_t count = objects_->size();
  references_.assign(count, 0);
  inProgress_.assign(count, 0);
  cache_.resize(count);
  sizes_.assign(count, Cost{});
  for (const auto& object : *objects_) CountReferences(object, references_, 0);
  CountReferences(top, references_, 0);
}

void KeyedUnarchiver::failWithError(const std::string& message) {
  if (error_.empty()) error_ = message.empty() ? std::string("malformed keyed archive") : message;
}

namespace {

// The archive's root object, decoded by a fresh unarchiver; unknown classes
// become dictionaries when asked for.
std::optional<Value> DecodeRoot(const Data& data, DecodeBudget budget, bool unknownClassesAsDictionaries,
                                std::string* error) {
  KeyedUnarchiver unarchiver(data, budget);
  unarchiver.setDecodesUnknownClassesAsDictionaries(unknownClassesAsDictionaries);
  if (unarchiver.ok() && !unarchiver.containsValueForKey(kRootKey)) unarchiver.failWithError("archive has no root object");
  Value root = unarchiver.ok() ? unarchiver.decodeObjectForKey(kRootKey) : Value();
  if (!unarchiver.ok()) {
    if (error) *error = unarchiver.error();
    return std::nullopt;
  }
  return root;
}

}  // namespace

std::optional<Value> KeyedUnarchiver::unarchiveObjectWithData(const Data& data, std::string* error) {
  return DecodeRoot(data, DecodeBudget::forInput(data.size()), false, error);
}

std::optional<Value> KeyedUnarchiver::unarchiveObjectWithData(const Data& data, DecodeBudget budget,
                                                              std::string* error) {
  return DecodeRoot(data, budget, false, error);
}

std::optional<Value> KeyedUnarchiver::unarchiveRawGraph(const Data& data, std::string* error) {
  return DecodeRoot(data, DecodeBudget::forInput(data.size()), true, error);
}

// ---- keyed access

const Value* KeyedUnarchiver::lookUp(std::string_view key) const {
  if (!ok()) return nullptr;
  const Dictionary* keys = scopes_.empty() ? top_ : scopes_.back().keys;
  if (!keys || key == kClassKey) return nullptr;
  return keys->find(key);
}

bool KeyedUnarchiver::containsValueForKey(std::string_view key) const { return lookUp(key) != nullptr; }

std::vector<std::string> KeyedUnarchiver::allKeys() const {
  std::vector<std::string> keys;
  const Dictionary* dictionary = scopes_.empty() ? top_ : scopes_.back().keys;
  if (!ok() || !dictionary) return keys;
  for (const auto& [key, value] : *dictionary) {
    if (key != kClassKey) keys.push_back(key);
  }
  return keys;
}

const std::string& KeyedUnarchiver::className() const {
  static const std::string empty;
  return scopes_.empty() ? empty : scopes_.back().className;
}

const std::vector<std::string>& KeyedUnarchiver::classChain() const {
  static const std::vector<std::string> empty;
  return scopes_.empty() ? empty : scopes_.back().classChain;
}

Value KeyedUnarchiver::decodeObjectForKey(std::string_view key) {
  const Value* stored = lookUp(key);
  return stored ? decodeInline(*stored) : Value();
}

bool KeyedUnarchiver::decodeBoolForKey(std::string_view key) {
  const Value* stored = lookUp(key);
  if (!stored) return false;
  return (stored->isUid() ? decodeUid(stored->asUid().value) : *stored).asBool();
}

std::int64_t KeyedUnarchiver::decodeIntForKey(std::string_view key) {
  const Value* stored = lookUp(key);
  if (!stored) return 0;
  return (stored->isUid() ? decodeUid(stored->asUid().value) : *stored).asInt();
}

double KeyedUnarchiver::decodeDoubleForKey(std::string_view key) {
  const Value* stored = lookUp(key);
  if (!stored) return 0.0;
  return (stored->isUid() ? decodeUid(stored->asUid().value) : *stored).asDouble();
}

Data KeyedUnarchiver::decodeBytesForKey(std::string_view key) {
  const Value* stored = lookUp(key);
  if (!stored) return {};
  if (!stored->isUid()) {
    if (!stored->isData() || !charge(1, stored->asData().size())) return {};
    return stored->asData();
  }
  Value value = decodeUid(stored->asUid().value);
  return value.isData() ? value.asData() : Data();
}

// ---- decoding

bool KeyedUnarchiver::enterLevel() {
  if (depth_ >= maxDepth_) {
    failWithError("values nested too deeply");
    return false;
  }
  ++depth_;
  return true;
}

bool KeyedUnarchiver::charge(std::uint64_t nodes, std::uint64_t bytes) {
  if (budget_.charge(nodes, bytes)) return true;
  failWithError("archive expands beyond any reasonable size");
  return false;
}

Value KeyedUnarchiver::decodeInline(const Value& stored) {
  if (!ok()) return Value();
  // A container inside a container is one level deeper; an object reached
  // through a reference counts in decodeUid.
  auto element = [this](const Value& inner) {
    if (!IsContainer(inner)) return decodeInline(inner);
    if (!enterLevel()) return Value();
    Value decoded = decodeInline(inner);
    leaveLevel();
    return decoded;
  };
  switch (stored.type()) {
    case Value::Type::Uid: return decodeUid(stored.asUid().value);
    case Value::Type::Array: {
      if (!charge(1, 0)) return Value();
      Array elements;
      elements.reserve(stored.asArray().size());
      for (const auto& inner : stored.asArray()) {
        elements.push_back(element(inner));
        if (!ok()) return Value();
      }
      return Value(std::move(elements));
    }
    case Value::Type::Dictionary: {
      if (!charge(1, 0)) return Value();
      Dictionary entries;
      for (const auto& [key, inner] : stored.asDictionary()) {
        if (key == kClassKey) continue;
        if (!charge(0, key.size())) return Value();
        entries.set(key, element(inner));
        if (!ok()) return Value();
      }
      return Value(std::move(entries));
    }
    default:
      if (!charge(1, PayloadBytes(stored))) return Value();
      return stored;
  }
}

Value KeyedUnarchiver::decodeUid(std::uint64_t uid) {
  if (!ok() || uid == 0) return Value();
  if (uid >= objects_->size()) {
    failWithError("reference to object " + std::to_string(uid) + " of " + std::to_string(objects_->size()));
    return Value();
  }
  if (cache_[uid]) {
    if (!charge(sizes_[uid].nodes, sizes_[uid].bytes)) return Value();
    return *cache_[uid];
  }
  if (inProgress_[uid]) {
    failWithError("reference cycle through object " + std::to_string(uid));
    return Value();
  }
  if (!charge(1, 0) || !enterLevel()) return Value();
  std::uint64_t nodesBefore = budget_.nodesUsed();
  std::uint64_t bytesBefore = budget_.bytesUsed();
  inProgress_[uid] = 1;
  const Value& stored = (*objects_)[uid];
  Value result;
  switch (stored.type()) {
    case Value::Type::Dictionary:
      if (stored.asDictionary().contains(kClassKey)) {
        result = decodeClassObject(uid, stored.asDictionary());
      } else if (rawUnknownClasses_) {
        result = decodeInline(stored);
      } else {
        failWithError("object " + std::to_string(uid) + " has no class");
      }
      break;
    case Value::Type::Array:
      if (rawUnknownClasses_) result = decodeInline(stored);
      else failWithError("object " + std::to_string(uid) + " is a bare array");
      break;
    case Value::Type::Uid: failWithError("object " + std::to_string(uid) + " is a bare reference"); break;
    default:
      if (charge(0, PayloadBytes(stored))) result = stored;
      break;
  }
  inProgress_[uid] = 0;
  leaveLevel();
  if (!ok()) return Value();
  // A shared object (an Object pointer) costs nothing to copy.
  sizes_[uid] = result.isObject() ? Cost{1, 0}
                                  : Cost{budget_.nodesUsed() - nodesBefore + 1, budget_.bytesUsed() - bytesBefore};
  if (references_[uid] > 1) cache_[uid] = result;
  return result;
}

Value KeyedUnarchiver::decodeClassObject(std::uint64_t uid, const Dictionary& object) {
  if (static_cast<int>(scopes_.size()) >= maxDepth_) {
    failWithError("objects nested too deeply");
    return Value();
  }
  const Value& classRef = object.get(kClassKey);
  const Value* cls = nullptr;
  if (classRef.isUid() && classRef.asUid().value != 0 && classRef.asUid().value < objects_->size()) {
    cls = &(*objects_)[classRef.asUid().value];
  }
  if (!cls || !cls->isDictionary() || !cls->asDictionary().get(kClassNameKey).isString()) {
    failWithError("object " + std::to_string(uid) + " has a malformed class");
    return Value();
  }
  const std::string& name = cls->asDictionary().get(kClassNameKey).asString();
  const Value& classesValue = cls->asDictionary().get(kClassesKey);
  std::vector<std::string> chain;
  Array classes;
  if (classesValue.isArray()) {
    for (const auto& entry : classesValue.asArray()) {
      if (entry.isString()) {
        chain.push_back(entry.asString());
        classes.push_back(entry);
      }
    }
  }
  if (chain.empty()) {
    chain.push_back(name);
    classes.emplace_back(name);
  }

  auto decoder = findDecoder(name);
  for (std::size_t i = 0; !decoder && i < chain.size(); ++i) decoder = findDecoder(chain[i]);
  if (!decoder && !rawUnknownClasses_) {
    std::string list;
    for (const auto& entry : chain) list += (list.empty() ? "" : ", ") + entry;
    failWithError("unknown class \"" + name + "\" (classes " + list + ")");
    return Value();
  }

  scopes_.push_back(Scope{&object, name, chain});
  Value result;
  try {
    if (decoder) {
      result = (*decoder)(*this);
    } else {
      Dictionary raw;
      raw.set(kClassNameKey, Value(name));
      raw.set(kClassesKey, Value(std::move(classes)));
      for (const auto& [key, element] : object) {
        if (key == kClassKey) continue;
        raw.set(key, decodeInline(element));
        if (!ok()) break;
      }
      result = Value(std::move(raw));
    }
  } catch (const std::exception& exception) {
    failWithError("decoding an object of class \"" + name + "\" failed: " + exception.what());
  }
  scopes_.pop_back();
  if (!ok()) return Value();
  return result;
}

const Dictionary* KeyedUnarchiver::objectDictionaryForKey(std::string_view key, std::string* className) {
  const Value* stored = lookUp(key);
  if (!stored || !stored->isUid()) return nullptr;
  std::uint64_t uid = stored->asUid().value;
  if (uid == 0 || uid >= objects_->size() || !(*objects_)[uid].isDictionary()) return nullptr;
  const Dictionary& object = (*objects_)[uid].asDictionary();
  const Value& classRef = object.get(kClassKey);
  if (!classRef.isUid() || classRef.asUid().value >= objects_->size()) return nullptr;
  const Value& cls = (*objects_)[classRef.asUid().value];
  if (!cls.isDictionary() || !cls.asDictionary().get(kClassNameKey).isString()) return nullptr;
  *className = cls.asDictionary().get(kClassNameKey).asString();
  return &object;
}

// ---- predicates and expressions

Value KeyedUnarchiver::decodeComparisonPredicate(KeyedUnarchiver& u) {
  auto left = u.decodeObjectForKey(kLeftExpressionKey).object<Expression>();
  auto right = u.decodeObjectForKey(kRightExpressionKey).object<Expression>();
  if (!u.ok()) return Value();
  if (!left || !right) {
    u.failWithError("comparison predicate without both expressions");
    return Value();
  }
  std::string operatorClass;
  const Dictionary* op = u.objectDictionaryForKey(kPredicateOperatorKey, &operatorClass);
  if (!op) {
    u.failWithError("comparison predicate without an operator");
    return Value();
  }
  if (operatorClass == kCustomOperatorClass) {
    u.failWithError("comparisons with a custom selector are not supported");
    return Value();
  }
  u.scopes_.push_back(Scope{op, operatorClass, {}});
  std::int64_t type = u.decodeIntForKey(kOperatorTypeKey);
  std::int64_t modifier = u.decodeIntForKey(kModifierKey);
  std::int64_t options = u.containsValueForKey(kOptionsKey) ? u.decodeIntForKey(kOptionsKey) : u.decodeIntForKey(kFlagsKey);
  bool negate = u.decodeBoolForKey(kNegateKey);
  u.scopes_.pop_back();
  if (!u.ok()) return Value();
  if (type == static_cast<std::int64_t>(PredicateOperatorType::EqualTo) && negate) {
    type = static_cast<std::int64_t>(PredicateOperatorType::NotEqualTo);
  }
  if (!IsKnownOperator(type)) {
    u.failWithError("unsupported predicate operator " + std::to_string(type));
    return Value();
  }
  if (modifier < 0 || modifier > 2 || options < 0 || options > 0xffffffffll) {
    u.failWithError("malformed predicate operator");
    return Value();
  }
  return Value(Predicate::comparison(left, static_cast<PredicateOperatorType>(type), right,
                                     static_cast<std::uint32_t>(options),
                                     static_cast<ComparisonPredicateModifier>(modifier)));
}

Value KeyedUnarchiver::decodeCompoundPredicate(KeyedUnarchiver& u) {
  std::int64_t type = u.decodeIntForKey(kCompoundPredicateTypeKey);
  Value subpredicates = u.decodeObjectForKey(kSubpredicatesKey);
  if (!u.ok()) return Value();
  if (type < 0 || type > 2 || !subpredicates.isArray()) {
    u.failWithError("malformed compound predicate");
    return Value();
  }
  std::vector<PredicatePtr> predicates;
  for (const auto& element : subpredicates.asArray()) {
    auto predicate = element.object<Predicate>();
    if (!predicate) {
      u.failWithError("compound predicate holds something other than predicates");
      return Value();
    }
    predicates.push_back(std::move(predicate));
  }
  auto compoundType = static_cast<CompoundPredicateType>(type);
  if (compoundType == CompoundPredicateType::Not && predicates.size() != 1) {
    u.failWithError("NOT predicate with " + std::to_string(predicates.size()) + " subpredicates");
    return Value();
  }
  return Value(Predicate::compound(compoundType, std::move(predicates)));
}

Value KeyedUnarchiver::decodeExpression(KeyedUnarchiver& u) {
  std::int64_t type = u.decodeIntForKey(kExpressionTypeKey);
  auto failed = [&u](const std::string& message) {
    u.failWithError(message + " (class \"" + u.className() + "\")");
    return Value();
  };
  if (u.containsValueForKey(kKeyPathKey)) {
    Value path = u.decodeObjectForKey(kKeyPathKey);
    if (!path.isString() || path.asString().empty()) return failed("key path expression without a key path");
    return Value(Expression::keyPath(path.asString()));
  }
  switch (type) {
    case static_cast<std::int64_t>(ExpressionType::ConstantValue):
      return Value(Expression::constant(u.decodeObjectForKey(kConstantValueKey)));
    case static_cast<std::int64_t>(ExpressionType::EvaluatedObject): return Value(Expression::evaluatedObject());
    case static_cast<std::int64_t>(ExpressionType::Variable): {
      Value name = u.decodeObjectForKey(kVariableKey);
      if (!name.isString() || name.asString().empty()) return failed("variable expression without a name");
      return Value(Expression::variable(name.asString()));
    }
    case static_cast<std::int64_t>(ExpressionType::KeyPath):
    case static_cast<std::int64_t>(ExpressionType::Function): {
      // valueForKeyPath: (or valueForKey:) sent to SELF or to another key
      // path, with the key path as its one argument.
      Value selector = u.decodeObjectForKey(kSelectorNameKey);
      auto operand = u.decodeObjectForKey(kOperandKey).object<Expression>();
      Value arguments = u.decodeObjectForKey(kArgumentsKey);
      if (!u.ok()) return Value();
      if (!selector.isString() ||
          (selector.asString() != kValueForKeyPathSelector && selector.asString() != kValueForKeySelector)) {
        return failed("unsupported function expression \"" + selector.asString() + "\"");
      }
      if (!arguments.isArray() || arguments.asArray().size() != 1) return failed("key path expression without a key path");
      std::string path;
      if (auto argument = arguments.asArray()[0].object<Expression>()) {
        if (argument->expressionType() == ExpressionType::KeyPath) path = argument->keyPath();
        else if (argument->expressionType() == ExpressionType::ConstantValue && argument->constantValue().isString())
          path = argument->constantValue().asString();
      }
      if (path.empty()) return failed("key path expression without a key path");
      if (operand && operand->expressionType() == ExpressionType::KeyPath) path = operand->keyPath() + "." + path;
      else if (!operand || operand->expressionType() != ExpressionType::EvaluatedObject) {
        return failed("key path applied to something other than the evaluated object");
      }
      return Value(Expression::keyPath(path));
    }
    case static_cast<std::int64_t>(ExpressionType::Aggregate): {
      Value collection = u.decodeObjectForKey(kCollectionKey);
      if (!u.ok()) return Value();
      if (!collection.isArray()) return failed("aggregate expression without elements");
      std::vector<ExpressionPtr> elements;
      for (const auto& element : collection.asArray()) {
        auto expression = element.object<Expression>();
        if (!expression) return failed("aggregate expression holds something other than expressions");
        elements.push_back(std::move(expression));
      }
      return Value(Expression::aggregate(std::move(elements)));
    }
    default: return failed("unsupported expression type " + std::to_string(type));
  }
}

}  // namespace quorvel
