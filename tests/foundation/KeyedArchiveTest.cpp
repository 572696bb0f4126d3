#include "foundation/KeyedArchiver.h"
#include "foundation/KeyedUnarchiver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "foundation/KeyedArchiveFormat.h"
#include "foundation/Predicate.h"
#include "foundation/PropertyList.h"
#include "foundation/Url.h"
#include "support/TestSupport.h"

namespace quorvel {
namespace {

Data Fixture(const std::string& name) { return test::ReadTestData("keyedarchive/" + name); }

// One of our own classes: every kind of keyed value, and a child record.
class Record : public Object, public KeyedCoding {
 public:
  std::int64_t count = 0;
  bool flag = false;
  double ratio = 0.0;
  Data bytes;
  Value payload;
  std::shared_ptr<Record> child;

  std::string className() const override { return "QuorvelTestRecord"; }
  std::vector<std::string> keyedArchiveClassChain() const override {
    return {"QuorvelTestRecord", "QuorvelTestBase", "NSObject"};
  }
  void encodeWithCoder(KeyedArchiver& archiver) const override {
    archiver.encodeInt(1, "version");
    archiver.encodeInt(count, "count");
    archiver.encodeBool(flag, "flag");
    archiver.encodeDouble(ratio, "ratio");
    archiver.encodeBytes(bytes, "bytes");
    archiver.encodeObject(payload, "payload");
    if (child) archiver.encodeObject(Value(child), "child");
  }
  bool isEqualToObject(const Object& other) const override {
    const auto* r = dynamic_cast<const Record*>(&other);
    if (!r || r->count != count || r->flag != flag || r->ratio != ratio || r->bytes != bytes || !(r->payload == payload)) {
      return false;
    }
    if (!child || !r->child) return !child && !r->child;
    return child == r->child || child->isEqualToObject(*r->child);
  }

  static void Register() {
    KeyedUnarchiver::registerClass("QuorvelTestRecord", [](KeyedUnarchiver& u) -> Value {
      if (u.decodeIntForKey("version") != 1) return Value();  // refuses other versions
      auto record = std::make_shared<Record>();
      record->count = u.decodeIntForKey("count");
      record->flag = u.decodeBoolForKey("flag");
      record->ratio = u.decodeDoubleForKey("ratio");
      record->bytes = u.decodeBytesForKey("bytes");
      record->payload = u.decodeObjectForKey("payload");
      if (u.containsValueForKey("child")) {
        record->child = u.decodeObjectForKey("child").object<Record>();
        if (!record->child) u.failWithError("child is not a record");
      }
      return Value(record);
    });
  }
};

std::shared_ptr<Record> MakeRecord(std::int64_t count, const std::string& text) {
  auto record = std::make_shared<Record>();
  record->count = count;
  record->flag = count % 2 == 1;
  record->ratio = static_cast<double>(count) / 4.0;
  record->bytes = DataFromString(text);
  record->payload = Value(Array{Value(text), Value(count)});
  return record;
}

Value RoundTrip(const Value& value) {
  std::string error;
  auto data = KeyedArchiver::archivedDataWithRootObject(value, &error);
  EXPECT_TRUE(data) << error;
  if (!data) return Value("archiving failed");
  auto back = KeyedUnarchiver::unarchiveObjectWithData(*data, &error);
  EXPECT_TRUE(back) << error;
  return back ? *back : Value("unarchiving failed");
}

// ---- the archive as other readers see it

TEST(KeyedArchiver, PythonsPlistlibReadsANestedGraphWithTheArchiveStructure) {
  Record::Register();
  auto shared = MakeRecord(7, "shared");
  auto url = Url::URLWithString("https://user@example.com:8443/a%20b/c?x=1");
  ASSERT_TRUE(url);
  auto predicate = Predicate::predicateWithFormat("name BEGINSWITH[c] 'tmp' AND NOT size > 10");
  ASSERT_TRUE(predicate);
  Value graph(Dictionary{
      {"text", Value("héllo")},
      {"integer", Value(-42)},
      {"real", Value(2.5)},
      {"bool", Value(true)},
      {"date", Value(Date(1000.5))},
      {"data", Value(Data{0, 1, 0xfe})},
      {"url", Value(std::make_shared<Url>(*url))},
      {"predicate", Value(predicate)},
      {"array", Value(Array{Value("a"), Value(1), Value(Dictionary{{"deep", Value(Array{})}})})},
      {"dictionary", Value(Dictionary{{"k", Value("v")}, {"null", Value()}})},
      {"shared1", Value(shared)},
      {"shared2", Value(shared)},
  });
  std::string error;
  auto data = KeyedArchiver::archivedDataWithRootObject(graph, &error);
  ASSERT_TRUE(data) << error;
  ASSERT_EQ(std::string(data->begin(), data->begin() + 8), "bplist00");

  test::TempDir dir;
  test::WriteFile(dir / "archive", *data);
  test::WriteFile(dir / "check.py", R"PY(
import json, plistlib, sys
p = plistlib.load(open(sys.argv[1], 'rb'))
assert type(p) is dict, 'not a dictionary'
assert p['$archiver'] == 'NSKeyedArchiver'
assert p['$version'] == 100000
objs = p['$objects']
assert objs[0] == '$null'
root = p['$top']['root']
assert isinstance(root, plistlib.UID)

def resolve(v):
    if isinstance(v, plistlib.UID):
        if v.data == 0:
            return None
        o = objs[v.data]
        if isinstance(o, dict) and '$class' in o:
            c = objs[o['$class'].data]
            name = c['$classname']
            assert c['$classes'][0] == name and c['$classes'][-1] == 'NSObject', c
            if name == 'NSDictionary':
                return {resolve(k): resolve(x) for k, x in zip(o['NS.keys'], o['NS.objects'])}
            if name in ('NSArray', 'NSSet'):
                return [resolve(x) for x in o['NS.objects']]
            if name == 'NSDate':
                return {'date': o['NS.time']}
            if name == 'NSURL':
                return {'base': resolve(o['NS.base']), 'relative': resolve(o['NS.relative'])}
            out = {'$classname': name}
            for k, x in o.items():
                if k != '$class':
                    out[k] = resolve(x)
            return out
        return plain(o)
    if isinstance(v, list):
        return [resolve(x) for x in v]
    return plain(v)

def plain(o):
    if isinstance(o, bytes):
        return {'hex': o.hex()}
    return o

top = objs[root.data]
entries = dict(zip([objs[k.data] for k in top['NS.keys']], top['NS.objects']))
assert entries['shared1'] == entries['shared2'], 'shared object stored twice'
print(json.dumps(resolve(root), sort_keys=True, ensure_ascii=True))
)PY");
  std::string output;
  int status = test::RunShell(test::Python() + " '" + (dir / "check.py") + "' '" + (dir / "archive") + "'", &output);
  ASSERT_EQ(status, 0) << output;
  const char* expected =
      R"({"array": ["a", 1, {"deep": []}], "bool": true, "data": {"hex": "0001fe"}, "date": {"date": 1000.5}, )"
      R"("dictionary": {"k": "v", "null": null}, "integer": -42, )"
      R"("predicate": {"$classname": "NSCompoundPredicate", "NSCompoundPredicateType": 1, "NSSubpredicates": [)"
      R"({"$classname": "NSComparisonPredicate", "NSLeftExpression": {"$classname": "NSKeyPathExpression", )"
      R"("NSArguments": [{"$classname": "NSKeyPathSpecifierExpression", "NSExpressionType": 10, "NSKeyPath": "name"}], )"
      R"("NSExpressionType": 3, "NSOperand": {"$classname": "NSSelfExpression", "NSExpressionType": 1}, )"
      R"("NSSelectorName": "valueForKeyPath:"}, "NSPredicateOperator": {"$classname": "NSSubstringPredicateOperator", )"
      R"("NSFlags": 1, "NSModifier": 0, "NSOperatorType": 8, "NSPosition": 0}, )"
      R"("NSRightExpression": {"$classname": "NSConstantValueExpression", "NSConstantValue": "tmp", "NSExpressionType": 0}}, )"
      R"({"$classname": "NSCompoundPredicate", "NSCompoundPredicateType": 0, "NSSubpredicates": [)"
      R"({"$classname": "NSComparisonPredicate", "NSLeftExpression": {"$classname": "NSKeyPathExpression", )"
      R"("NSArguments": [{"$classname": "NSKeyPathSpecifierExpression", "NSExpressionType": 10, "NSKeyPath": "size"}], )"
      R"("NSExpressionType": 3, "NSOperand": {"$classname": "NSSelfExpression", "NSExpressionType": 1}, )"
      R"("NSSelectorName": "valueForKeyPath:"}, "NSPredicateOperator": {"$classname": "NSComparisonPredicateOperator", )"
      R"("NSModifier": 0, "NSOperatorType": 2, "NSOptions": 0, "NSVariant": 2}, )"
      R"("NSRightExpression": {"$classname": "NSConstantValueExpression", "NSConstantValue": 10, "NSExpressionType": 0}}]}]}, )"
      R"("real": 2.5, )"
      R"("shared1": {"$classname": "QuorvelTestRecord", "bytes": {"hex": "736861726564"}, "count": 7, "flag": true, )"
      R"("payload": ["shared", 7], "ratio": 1.75, "version": 1}, )"
      R"("shared2": {"$classname": "QuorvelTestRecord", "bytes": {"hex": "736861726564"}, "count": 7, "flag": true, )"
      R"("payload": ["shared", 7], "ratio": 1.75, "version": 1}, )"
      R"("text": "h\u00e9llo", "url": {"base": null, "relative": "https://user@example.com:8443/a%20b/c?x=1"}})"
      "\n";
  EXPECT_EQ(output, expected);

  auto back = KeyedUnarchiver::unarchiveObjectWithData(*data, &error);
  ASSERT_TRUE(back) << error;
  EXPECT_EQ(*back, graph) << back->description();
  // The shared object is one object again.
  EXPECT_EQ((*back)["shared1"].asObject(), (*back)["shared2"].asObject());
}

// ---- round trips

TEST(KeyedArchive, EveryValueKindRoundTrips) {
  EXPECT_EQ(RoundTrip(Value()), Value());
  EXPECT_EQ(RoundTrip(Value("")), Value(""));
  EXPECT_EQ(RoundTrip(Value("$null")), Value("$null"));  // only UID 0 means null
  EXPECT_EQ(RoundTrip(Value(0)), Value(0));
  EXPECT_EQ(RoundTrip(Value(INT64_MIN)), Value(INT64_MIN));
  EXPECT_EQ(RoundTrip(Value(UINT64_MAX)), Value(UINT64_MAX));
  EXPECT_EQ(RoundTrip(Value(-0.125)), Value(-0.125));
  EXPECT_EQ(RoundTrip(Value(false)), Value(false));
  EXPECT_EQ(RoundTrip(Value(Data())), Value(Data()));
  EXPECT_EQ(RoundTrip(Value(Date::distantPast())), Value(Date::distantPast()));
  EXPECT_EQ(RoundTrip(Value(Array{})), Value(Array{}));
  EXPECT_EQ(RoundTrip(Value(Dictionary{})), Value(Dictionary{}));
  Value mixed(Array{Value(1), Value(1.0), Value(true), Value("1"), Value(Array{Value(1)}), Value()});
  EXPECT_EQ(RoundTrip(mixed), mixed);  // equal-looking scalars stay apart
  auto url = Url::URLWithString("file:///Users/me/My%20Folder/");
  ASSERT_TRUE(url);
  Value urlValue(std::make_shared<Url>(*url));
  EXPECT_EQ(RoundTrip(urlValue), urlValue);
}

TEST(KeyedArchive, SetsAreStoredAsNSSetAndReadAsArrays) {
  KeyedArchiver archiver;
  archiver.encodeSet(Array{Value(1), Value("two")}, "root");
  auto data = archiver.finishEncoding();
  ASSERT_TRUE(data) << archiver.error();
  auto plist = PropertyList::readBinary(*data);
  ASSERT_TRUE(plist);
  const Array& objects = (*plist)["$objects"].asArray();
  bool found = false;
  for (const auto& object : objects) found |= object["$classname"] == Value("NSSet");
  EXPECT_TRUE(found);
  EXPECT_EQ(KeyedUnarchiver::unarchiveObjectWithData(*data), Value(Array{Value(1), Value("two")}));
}

TEST(KeyedArchive, PredicatesOfEveryOperatorAndExpressionKindRoundTrip) {
  const char* formats[] = {
      "a < 1", "a <= 1.5", "a > -2", "a >= 3", "a == 'x'", "a != 'x'", "a ==[c] 'X'", "a !=[cd] 'x'",
      "a MATCHES '^b.*'", "a MATCHES[c] 'q'", "a LIKE[cd] 'a*?'", "a BEGINSWITH 'p'", "a ENDSWITH[c] 's'",
      "a IN {1, 2, 3}", "'b' IN a", "a CONTAINS[c] 'z'", "a BETWEEN {1, 5}", "ANY tags == 'x'", "ALL sizes > 2",
      "NONE names == 'y'", "a.b.c == SELF", "$VAR == a", "SELF IN $LIST", "TRUEPREDICATE", "FALSEPREDICATE",
      "NOT a == 1", "a == 1 AND b == 2 AND c == 3", "(a == 1 OR b == 2) AND NOT (c == 3 OR d == nil)",
      "a == {1, 'two', {3}}", "a == 1.25e3", "a == TRUE",
  };
  for (const char* format : formats) {
    std::string error;
    auto predicate = Predicate::predicateWithFormat(format, &error);
    ASSERT_TRUE(predicate) << format << ": " << error;
    Value value(predicate);
    Value back = RoundTrip(value);
    ASSERT_TRUE(back.object<Predicate>()) << format << ": " << back.description();
    EXPECT_EQ(back, value) << format << " came back as " << back.description();
    EXPECT_EQ(back.object<Predicate>()->predicateFormat(), predicate->predicateFormat());
  }
  // Expressions on their own, and a predicate with a date and data constant.
  Value expression(Expression::keyPath("x.y"));
  EXPECT_EQ(RoundTrip(expression), expression);
  auto withConstants = Predicate::comparison(Expression::keyPath("when"), PredicateOperatorType::GreaterThan,
                                             Expression::constant(Value(Date(5.0))));
  EXPECT_EQ(RoundTrip(Value(withConstants)), Value(withConstants));
}

TEST(KeyedArchive, OurClassesRoundTripWithEveryKindOfKeyedValue) {
  Record::Register();
  auto record = MakeRecord(3, "three");
  record->child = MakeRecord(4, "four");
  record->payload = Value(Dictionary{{"nested", Value(Array{Value(Date(1.0)), Value(Data{9})})}});
  Value back = RoundTrip(Value(record));
  auto decoded = back.object<Record>();
  ASSERT_TRUE(decoded) << back.description();
  EXPECT_TRUE(decoded->isEqualToObject(*record));
  EXPECT_EQ(decoded->child->bytes, DataFromString("four"));
}

TEST(KeyedUnarchiver, ADecoderSeesItsKeysAndClassAndFindsSuperclassDecoders) {
  KeyedUnarchiver::registerClass("QuorvelTestBase", [](KeyedUnarchiver& u) -> Value {
    Dictionary seen;
    seen.set("class", Value(u.className()));
    Array chain;
    for (const auto& name : u.classChain()) chain.emplace_back(name);
    seen.set("chain", Value(chain));
    seen.set("has count", Value(u.containsValueForKey("count")));
    seen.set("has nothing", Value(u.containsValueForKey("nothing")));
    seen.set("missing int", Value(u.decodeIntForKey("nothing")));
    seen.set("missing object", u.decodeObjectForKey("nothing"));
    Array keys;
    for (const auto& key : u.allKeys()) keys.emplace_back(key);
    seen.set("keys", Value(keys));
    return Value(seen);
  });
  struct Sub : Record {
    std::vector<std::string> keyedArchiveClassChain() const override {
      return {"QuorvelTestSub", "QuorvelTestBase", "NSObject"};
    }
  };
  auto sub = std::make_shared<Sub>();
  sub->count = 5;
  Value back = RoundTrip(Value(sub));
  EXPECT_EQ(back["class"], Value("QuorvelTestSub"));
  EXPECT_EQ(back["chain"], Value(Array{Value("QuorvelTestSub"), Value("QuorvelTestBase"), Value("NSObject")}));
  EXPECT_EQ(back["has count"], Value(true));
  EXPECT_EQ(back["has nothing"], Value(false));
  EXPECT_EQ(back["missing int"], Value(0));
  EXPECT_TRUE(back["missing object"].isNull());
  EXPECT_EQ(back["keys"], Value(Array{Value("version"), Value("count"), Value("flag"), Value("ratio"),
                                      Value("bytes"), Value("payload")}));
}

TEST(KeyedUnarchiver, ADecoderThatRefusesItsObjectMakesItNullNotAnError) {
  Record::Register();
  struct Refused : Record {
    void encodeWithCoder(KeyedArchiver& archiver) const override { archiver.encodeInt(2, "version"); }
  };
  std::string error;
  auto data = KeyedArchiver::archivedDataWithRootObject(Value(Array{Value(std::make_shared<Refused>()), Value(1)}));
  ASSERT_TRUE(data);
  auto back = KeyedUnarchiver::unarchiveObjectWithData(*data, &error);
  ASSERT_TRUE(back) << error;
  EXPECT_EQ(*back, Value(Array{Value(), Value(1)}));
}

TEST(KeyedArchive, CyclesAreArchivedButRefusedWhenReading) {
  Record::Register();
  auto record = MakeRecord(1, "loop");
  record->child = record;
  std::string error;
  auto data = KeyedArchiver::archivedDataWithRootObject(Value(record), &error);
  record->child.reset();  // break the cycle for the test's own sake
  ASSERT_TRUE(data) << error;
  EXPECT_FALSE(KeyedUnarchiver::unarchiveObjectWithData(*data, &error));
  EXPECT_NE(error.find("cycle"), std::string::npos) << error;
}

TEST(KeyedArchiver, RefusesWhatCannotBeArchived) {
  struct Plain : Object {
    std::string className() const override { return "Plain"; }
  };
  std::string error;
  EXPECT_FALSE(KeyedArchiver::archivedDataWithRootObject(Value(Array{Value(std::make_shared<Plain>())}), &error));
  EXPECT_NE(error.find("Plain"), std::string::npos) << error;
  EXPECT_FALSE(KeyedArchiver::archivedDataWithRootObject(Value(Uid{1}), &error));
}

// ---- archives the platform wrote

TEST(KeyedUnarchiver, ReadsTheSetOfNumbersThePlatformWrote) {
  std::string error;
  auto value = KeyedUnarchiver::unarchiveObjectWithData(Fixture("NSSet-Numbers.archive"), &error);
  ASSERT_TRUE(value) << error;
  ASSERT_TRUE(value->isArray());
  std::vector<std::int64_t> numbers;
  for (const auto& element : value->asArray()) numbers.push_back(element.asInt());
  std::sort(numbers.begin(), numbers.end());
  EXPECT_EQ(numbers, (std::vector<std::int64_t>{1, 2, 3, 4, 5}));
}

TEST(KeyedUnarchiver, ReportsTheUnknownRootOfAnAttributedStringAndStillShowsItsParts) {
  const Data infoBytes{0x01, 0x00, 0x01, 0x01, 0x04, 0x02, 0x02, 0x01, 0x01, 0x03, 0x01, 0x00};
  for (std::string name : {"NSAttributedString", "NSMutableAttributedString"}) {
    Data data = Fixture(name + ".archive");
    std::string error;
    EXPECT_FALSE(KeyedUnarchiver::unarchiveObjectWithData(data, &error));
    EXPECT_NE(error.find("unknown class \"" + name + "\""), std::string::npos) << error;

    auto raw = KeyedUnarchiver::unarchiveRawGraph(data, &error);
    ASSERT_TRUE(raw) << error;
    EXPECT_EQ((*raw)["$classname"], Value(name));
    EXPECT_EQ((*raw)["$classes"].asArray().back(), Value("NSObject"));
    EXPECT_EQ((*raw)["NSString"], Value("0123456789"));
    Dictionary helvetica{{"Font", Value("Helvetica")}, {"Size", Value(123)}};
    Dictionary times{{"Size", Value(456)}, {"Font", Value("Times")}};
    EXPECT_EQ((*raw)["NSAttributes"],
              Value(Array{Value(Dictionary{}), Value(helvetica), Value(times), Value(times)}));
    EXPECT_EQ((*raw)["NSAttributeInfo"], Value(infoBytes));
  }
}

// ---- damaged archives

Data ArchiveFromPlist(const Value& plist) { return *PropertyList::writeBinary(plist); }

Value ArchivePlist(Array objects, Dictionary top = Dictionary{{"root", Value(Uid{1})}}) {
  return Value(Dictionary{{"$version", Value(100000)},
                          {"$objects", Value(std::move(objects))},
                          {"$archiver", Value("NSKeyedArchiver")},
                          {"$top", Value(std::move(top))}});
}

Value ClassEntry(const std::string& name) {
  return Value(Dictionary{{"$classname", Value(name)}, {"$classes", Value(Array{Value(name), Value("NSObject")})}});
}

TEST(KeyedUnarchiver, RefusesMalformedArchivesWithAReason) {
  struct Case {
    const char* what;
    Data data;
    const char* reason;
  };
  std::vector<Case> cases = {
      {"not a property list", DataFromString("hello"), "not a keyed archive"},
      {"another property list", ArchiveFromPlist(Value(Array{Value(1)})), "not a keyed archive"},
      {"no root", ArchiveFromPlist(ArchivePlist({Value("$null"), Value("x")}, Dictionary{})), "no root"},
      {"reference out of range", ArchiveFromPlist(ArchivePlist({Value("$null")})), "reference to object 1"},
      {"object without class",
       ArchiveFromPlist(ArchivePlist({Value("$null"), Value(Dictionary{{"NS.objects", Value(Array{})}})})),
       "has no class"},
      {"class not a dictionary",
       ArchiveFromPlist(ArchivePlist({Value("$null"), Value(Dictionary{{"$class", Value(Uid{0})}})})),
       "malformed class"},
      {"unknown class",
       ArchiveFromPlist(ArchivePlist({Value("$null"), Value(Dictionary{{"$class", Value(Uid{2})}}), ClassEntry("Gizmo")})),
       "unknown class \"Gizmo\""},
      {"keys and objects differ",
       ArchiveFromPlist(ArchivePlist({Value("$null"),
                                      Value(Dictionary{{"NS.keys", Value(Array{Value(Uid{3})})},
                                                       {"NS.objects", Value(Array{})},
                                                       {"$class", Value(Uid{2})}}),
                                      ClassEntry("NSDictionary"), Value("k")})),
       "do not pair up"},
      {"self-containing array",
       ArchiveFromPlist(ArchivePlist({Value("$null"),
                                      Value(Dictionary{{"NS.objects", Value(Array{Value(Uid{1})})},
                                                       {"$class", Value(Uid{2})}}),
                                      ClassEntry("NSArray")})),
       "cycle"},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_FALSE(KeyedUnarchiver::unarchiveObjectWithData(c.data, &error)) << c.what;
    EXPECT_NE(error.find(c.reason), std::string::npos) << c.what << ": " << error;
  }
}

TEST(KeyedUnarchiver, BoundsNestingAndExpansion) {
  Value deep("bottom");
  for (int i = 0; i < 700; ++i) deep = Value(Array{deep});
  auto data = KeyedArchiver::archivedDataWithRootObject(deep);
  ASSERT_TRUE(data);
  std::string error;
  EXPECT_FALSE(KeyedUnarchiver::unarchiveObjectWithData(*data, &error));
  EXPECT_NE(error.find("nested too deeply"), std::string::npos) << error;
  KeyedUnarchiver generous(*data);
  generous.setMaxDepth(1000);
  EXPECT_EQ(generous.decodeObjectForKey("root"), deep);

  // Forty arrays each holding the next one twice: 2^40 elements when expanded.
  Array objects{Value("$null"), ClassEntry("NSArray")};
  for (int level = 0; level < 40; ++level) {
    std::uint64_t next = objects.size() + 1;
    objects.push_back(Value(Dictionary{{"NS.objects", Value(Array{Value(Uid{next}), Value(Uid{next})})},
                                       {"$class", Value(Uid{1})}}));
  }
  objects.push_back(Value("leaf"));
  auto bomb = ArchiveFromPlist(ArchivePlist(objects, Dictionary{{"root", Value(Uid{2})}}));
  EXPECT_FALSE(KeyedUnarchiver::unarchiveObjectWithData(bomb, &error));
  EXPECT_NE(error.find("expands"), std::string::npos) << error;
}

// Objects chained through references, each holding its reference inside
// `inlineLevels` arrays: no single object is deep, the chain as a whole is.
Data ChainedNesting(int objects, int inlineLevels, bool bareArrays) {
  Array chain{Value("$null"), ClassEntry("NSArray")};
  for (int i = 0; i < objects; ++i) {
    Value inner(Uid{chain.size() + 1});
    for (int level = 0; level < inlineLevels; ++level) {
      Array wrapper;
      wrapper.push_back(std::move(inner));
      inner = Value(std::move(wrapper));
    }
    if (bareArrays) chain.push_back(Value(Array{inner}));
    else chain.push_back(Value(Dictionary{{"NS.objects", Value(Array{inner})}, {"$class", Value(Uid{1})}}));
  }
  chain.push_back(Value("leaf"));
  return ArchiveFromPlist(ArchivePlist(chain, Dictionary{{"root", Value(Uid{2})}}));
}

TEST(KeyedUnarchiver, NestingCountsAcrossReferences) {
  struct Case {
    const char* what;
    int objects;
    int inlineLevels;
    bool raw;
  };
  const std::vector<Case> cases = {
      {"arrays 300 deep in each of 100 chained objects", 100, 300, false},
      {"20000 bare arrays referring to the next", 20000, 0, true},
      {"bare arrays 100 deep in each of 200 chained objects", 200, 100, true},
  };
  for (const auto& c : cases) {
    Data data = ChainedNesting(c.objects, c.inlineLevels, c.raw);
    EXPECT_LT(data.size(), 1u << 20) << c.what;
    std::string error;
    auto decoded = c.raw ? KeyedUnarchiver::unarchiveRawGraph(data, &error)
                         : KeyedUnarchiver::unarchiveObjectWithData(data, &error);
    EXPECT_FALSE(decoded) << c.what;
    EXPECT_NE(error.find("nested too deeply"), std::string::npos) << c.what << ": " << error;
  }
  // The same shape within the limit still decodes.
  std::string error;
  EXPECT_TRUE(KeyedUnarchiver::unarchiveObjectWithData(ChainedNesting(20, 10, false), &error)) << error;
}

TEST(KeyedUnarchiver, SharedReferencesAreChargedForEveryCopy) {
  // A 16 KB text referred to 128 times by one array, which a second array
  // refers to 128 times: 256 MB of text from a 17 KB archive.
  Array objects{Value("$null"), ClassEntry("NSArray"), Value(std::string(16 << 10, 'x'))};
  auto fanOut = [&objects](std::uint64_t target) {
    Array references(128, Value(Uid{target}));
    objects.push_back(Value(Dictionary{{"NS.objects", Value(std::move(references))}, {"$class", Value(Uid{1})}}));
    return objects.size() - 1;
  };
  std::uint64_t inner = fanOut(2);
  std::uint64_t outer = fanOut(inner);
  Data data = ArchiveFromPlist(ArchivePlist(objects, Dictionary{{"root", Value(Uid{outer})}}));
  EXPECT_LT(data.size(), 20u << 10);
  std::string error;
  EXPECT_FALSE(KeyedUnarchiver::unarchiveObjectWithData(data, &error));
  EXPECT_NE(error.find("expands"), std::string::npos) << error;

  // One level of the same sharing (2 MB) is an ordinary archive.
  Data modest = ArchiveFromPlist(ArchivePlist(objects, Dictionary{{"root", Value(Uid{inner})}}));
  auto decoded = KeyedUnarchiver::unarchiveObjectWithData(modest, &error);
  ASSERT_TRUE(decoded) << error;
  EXPECT_EQ(decoded->asArray().size(), 128u);
}

// Changes one random part of a decoded archive: a reference, a class name,
// a key, a type.
void MutatePlist(Value& value, std::mt19937& random, int depth = 0) {
  if (value.isDictionary() && !value.asDictionary().empty() && depth < 8) {
    auto& dictionary = value.mutableDictionary();
    auto keys = dictionary.keys();
    const std::string& key = keys[random() % keys.size()];
    switch (random() % 6) {
      case 0: dictionary.erase(key); return;
      case 1: dictionary.set(key, Value(Uid{random() % 40})); return;
      case 2: dictionary.set(key, Value(static_cast<int>(random() % 300) - 100)); return;
      case 3: dictionary.set(key, Value("NSDictionary")); return;
      default: MutatePlist(*dictionary.find(key), random, depth + 1); return;
    }
  }
  if (value.isArray() && !value.asArray().empty() && depth < 8) {
    auto& array = value.mutableArray();
    auto& element = array[random() % array.size()];
    switch (random() % 5) {
      case 0: element = Value(Uid{random() % 40}); return;
      case 1: array.pop_back(); return;
      case 2: element = Value(Array{Value(Uid{random() % 40})}); return;
      default: MutatePlist(element, random, depth + 1); return;
    }
  }
  if (value.isString()) value = Value(random() % 2 ? "NSSet" : "NSURL");
  else if (value.isUid()) value = Value(Uid{random() % 40});
  else value = Value(Uid{random() % 3});
}

TEST(KeyedUnarchiver, SurvivesThousandsOfRandomMutations) {
  Record::Register();
  auto record = MakeRecord(2, "r");
  record->child = MakeRecord(3, "c");
  auto predicate = Predicate::predicateWithFormat("a.b BEGINSWITH[cd] 'x' OR $V IN {1, 2} OR NOT c BETWEEN {1, 2}");
  Value graph(Dictionary{{"r", Value(record)},
                         {"p", Value(predicate)},
                         {"u", Value(std::make_shared<Url>(*Url::URLWithString("smb://h/s")))},
                         {"l", Value(Array{Value(Date(3.0)), Value(Data{1, 2}), Value(record), Value(1.5)})}});
  auto archive = KeyedArchiver::archivedDataWithRootObject(graph);
  ASSERT_TRUE(archive);
  std::vector<Data> seeds{*archive};
  for (const char* name : {"NSSet-Numbers.archive", "NSMutableAttributedString.archive"}) {
    seeds.push_back(Fixture(name));
    ASSERT_FALSE(seeds.back().empty()) << name;
  }
  std::mt19937 random(7331);
  int refused = 0;
  int total = 0;
  for (int round = 0; round < 1500; ++round) {
    const Data& seed = seeds[round % seeds.size()];
    // Structural damage that still parses as a property list.
    std::optional<Value> parsed = PropertyList::readBinary(seed);
    ASSERT_TRUE(parsed) << "seed " << round % seeds.size() << " is not a property list";
    Value plist = *parsed;
    for (int edits = 1 + static_cast<int>(random() % 3); edits > 0; --edits) MutatePlist(plist, random);
    Data damaged = *PropertyList::writeBinary(plist);
    // Byte damage of the property list itself.
    Data bytes = seed;
    for (int edits = 1 + static_cast<int>(random() % 3); edits > 0; --edits) {
      bytes[8 + random() % (bytes.size() - 8)] = static_cast<std::uint8_t>(random());
    }
    for (const Data* data : {&damaged, &bytes}) {
      if (data->empty()) continue;
      ++total;
      std::string error;
      bool read = KeyedUnarchiver::unarchiveObjectWithData(*data, &error).has_value();
      KeyedUnarchiver::unarchiveRawGraph(*data, &error);
      if (!read) ++refused;
    }
  }
  EXPECT_GT(refused, total / 10);  // damage is noticed often; it never crashes
}

}  // namespace
}  // namespace quorvel
