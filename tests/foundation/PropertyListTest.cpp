#include "foundation/PropertyList.h"

#include <gtest/gtest.h>

#include <cerrno>

#include <cmath>
#include <limits>

#include "support/TestSupport.h"

namespace quorvel {

void PrintTo(const Value& value, std::ostream* out) { *out << value.description(); }

namespace {

using PropertyList::Format;

class Opaque : public Object {
 public:
  std::string className() const override { return "Opaque"; }
};

// One value of every kind a property list holds, with the edge cases of each.
Value Sample() {
  Dictionary inner{{"zero", 0}, {"empty", ""}};
  return Value(Dictionary{
      {"bool", true},
      {"false", false},
      {"small", 7},
      {"byte", 255},
      {"short", 65535},
      {"int", 4294967295ll},
      {"large", 4294967296ll},
      {"negative", -1},
      {"int64Min", static_cast<long long>(INT64_MIN)},
      {"int64Max", static_cast<long long>(INT64_MAX)},
      {"uint64Max", static_cast<unsigned long long>(UINT64_MAX)},
      {"aboveInt64", static_cast<unsigned long long>(INT64_MAX) + 1},
      {"real", 3.25},
      {"tiny", 1e-300},
      {"negativeReal", -0.1},
      {"ascii", "plain text"},
      {"unicode", "Gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac \xf0\x9f\x98\x80"},  // "Grüße € 😀"
      {"escapes", "<a & b> \"c\" 'd'\n\ttabbed"},
      {"long", std::string(300, 'x')},
      {"data", Data{0, 1, 2, 0xFE, 0xFF}},
      {"emptyData", Data{}},
      {"bigData", Data(1000, 0xA5)},
      {"date", Date(123456789.0)},
      {"dateBefore2001", Date(-978307200.0)},
      {"emptyArray", Array{}},
      {"emptyDictionary", Dictionary{}},
      {"array", Array{Value(1), Value("two"), Value(Array{Value(3.0)}), Value(inner)}},
      {"uid", Uid{42}},
      {"bigUid", Uid{70000}},
      {"nested", Dictionary{{"inner", inner}, {"list", Array{Value(Uid{0}), Value(Uid{255})}}}},
  });
}

std::string Describe(const Data& data) { return HexStringFromData(data); }

TEST(PropertyListRoundTrip, EveryValueTypeSurvivesBothForms) {
  for (Format format : {Format::Binary, Format::Xml}) {
    Expected<Data> data = PropertyList::write(Sample(), format);
    ASSERT_TRUE(data) << data.status().message();
    Format found;
    auto back = PropertyList::read(*data, &found);
    ASSERT_TRUE(back) << back.status().message();
    EXPECT_EQ(found, format);
    EXPECT_EQ(*back, Sample()) << back->description();
  }
}

TEST(PropertyListRoundTrip, IntegerEdgesKeepTheirSignedness) {
  for (Format format : {Format::Binary, Format::Xml}) {
    auto back = PropertyList::read(*PropertyList::write(Sample(), format));
    ASSERT_TRUE(back);
    const Value& max = (*back)["uint64Max"];
    EXPECT_EQ(max.type(), Value::Type::Unsigned);
    EXPECT_EQ(max.asUInt(), UINT64_MAX);
    EXPECT_EQ((*back)["negative"].type(), Value::Type::Integer);
    EXPECT_EQ((*back)["negative"].asInt(), -1);
    EXPECT_EQ((*back)["int64Min"].asInt(), INT64_MIN);
    EXPECT_EQ((*back)["int64Max"].asInt(), INT64_MAX);
  }
}

TEST(PropertyListRoundTrip, KeysKeepTheirOrder) {
  Dictionary d;
  for (const char* key : {"zeta", "alpha", "mid", "$top", "0"}) d.set(key, key);
  for (Format format : {Format::Binary, Format::Xml}) {
    auto back = PropertyList::read(*PropertyList::write(Value(d), format));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->asDictionary().keys(), d.keys());
  }
}

TEST(PropertyListRoundTrip, SpecialRealsSurviveBothForms) {
  const double infinity = std::numeric_limits<double>::infinity();
  for (Format format : {Format::Binary, Format::Xml}) {
    Value list(Array{Value(std::nan("")), Value(infinity), Value(-infinity), Value(-0.0),
                     Value(std::numeric_limits<double>::denorm_min()), Value(0.1)});
    auto back = PropertyList::read(*PropertyList::write(list, format));
    ASSERT_TRUE(back);
    const Array& items = back->asArray();
    ASSERT_EQ(items.size(), 6u);
    EXPECT_TRUE(std::isnan(items[0].asDouble()));
    EXPECT_EQ(items[1].asDouble(), infinity);
    EXPECT_EQ(items[2].asDouble(), -infinity);
    EXPECT_TRUE(std::signbit(items[3].asDouble()));
    EXPECT_EQ(items[4].asDouble(), std::numeric_limits<double>::denorm_min());
    EXPECT_EQ(items[5].asDouble(), 0.1);
  }
}

TEST(PropertyListRoundTrip, BinaryKeepsFractionalDatesAndXmlKeepsWholeSeconds) {
  Value fractional(Date(1000.75));
  EXPECT_EQ(*PropertyList::readBinary(*PropertyList::writeBinary(fractional)), fractional);
  EXPECT_EQ(*PropertyList::readXml(*PropertyList::writeXml(fractional)), Value(Date(1000.0)));
  Value early(Date(-1000.25));  // before 2001: rounds down
  EXPECT_EQ(*PropertyList::readXml(*PropertyList::writeXml(early)), Value(Date(-1001.0)));
}

TEST(PropertyListRoundTrip, XmlDatesBeforeYearOneKeepFourYearDigits) {
  // Found by the property-list fuzz target: year -500 was written "-500",
  // which the reader (four digits at least) refused.
  const std::string text = "<plist version=\"1.0\"><date>-0500-01-01T00:16:40Z</date></plist>";
  auto value = PropertyList::readXml(Data(text.begin(), text.end()));
  ASSERT_TRUE(value);
  Data written = *PropertyList::writeXml(*value);
  EXPECT_NE(std::string(written.begin(), written.end()).find("<date>-0500-01-01T00:16:40Z</date>"), std::string::npos);
  auto again = PropertyList::readXml(written);
  ASSERT_TRUE(again);
  EXPECT_EQ(*again, *value);
}

TEST(PropertyListRoundTrip, TextThatIsNotUtf8SurvivesTheBinaryForm) {
  Value name("caf\xe9 \xff\xfe.txt");
  auto back = PropertyList::readBinary(*PropertyList::writeBinary(name));
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, name);
  auto xml = PropertyList::readXml(*PropertyList::writeXml(name));
  ASSERT_TRUE(xml);
  EXPECT_EQ(xml->asString(), "caf\xef\xbf\xbd \xef\xbf\xbd\xef\xbf\xbd.txt");
}

TEST(PropertyListRoundTrip, ControlCharactersSurviveXml) {
  Value text(std::string("a\x01" "b\x1f" "c\r\n", 7));
  auto back = PropertyList::readXml(*PropertyList::writeXml(text));
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, text);
}

TEST(PropertyListRoundTrip, NullOnlyInBinary) {
  Value list(Array{Value(), Value(1)});
  auto back = PropertyList::readBinary(*PropertyList::writeBinary(list));
  ASSERT_TRUE(back);
  EXPECT_TRUE(back->asArray()[0].isNull());
  Expected<Data> written = PropertyList::writeXml(list);
  EXPECT_FALSE(written);
  EXPECT_NE(written.status().message().find("null"), std::string::npos);
}

TEST(PropertyListWrite, ObjectsCannotBeStored) {
  Value value(Dictionary{{"object", Value(std::make_shared<Opaque>())}});
  for (const Expected<Data>& written : {PropertyList::writeBinary(value), PropertyList::writeXml(value)}) {
    EXPECT_FALSE(written);
    EXPECT_EQ(written.status().domain(), kPropertyListDomain);
    EXPECT_TRUE(written.status().isPermanent());
    EXPECT_NE(written.status().message().find("Opaque"), std::string::npos) << written.status().message();
  }
}

TEST(PropertyListWrite, XmlLooksLikeThePlatformsXml) {
  Value value(Dictionary{{"flag", true}, {"uid", Uid{3}}, {"list", Array{}}, {"name", "a<b"}});
  std::string xml = StringFromData(*PropertyList::writeXml(value));
  EXPECT_EQ(xml,
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
            "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
            "<plist version=\"1.0\">\n"
            "<dict>\n"
            "\t<key>flag</key>\n"
            "\t<true/>\n"
            "\t<key>uid</key>\n"
            "\t<dict>\n"
            "\t\t<key>CF$UID</key>\n"
            "\t\t<integer>3</integer>\n"
            "\t</dict>\n"
            "\t<key>list</key>\n"
            "\t<array/>\n"
            "\t<key>name</key>\n"
            "\t<string>a&lt;b</string>\n"
            "</dict>\n"
            "</plist>\n");
}

TEST(PropertyListWrite, BinaryLayoutOfASmallList) {
  // ["a", "a", 1]: the equal strings are stored once.
  Data data = *PropertyList::writeBinary(Value(Array{Value("a"), Value("a"), Value(1)}));
  EXPECT_EQ(Describe(data),
            "62706c6973743030"  // bplist00
            "a3010102"          // array of 3: refs 1, 1, 2
            "5161"              // "a"
            "1001"              // 1
            "080c0e"            // offsets
            "000000000000"
            "0101"  // offset size, ref size
            "0000000000000003"
            "0000000000000000"
            "0000000000000010");
}

TEST(PropertyListWrite, LongContainersUseCountObjectsAndWideReferences) {
  // 300 and 70000 distinct numbers need two- and four-byte references.
  for (int count : {300, 70000}) {
    Array many;
    for (int i = 0; i < count; ++i) many.push_back(Value(i * 1000));
    Data data = *PropertyList::writeBinary(Value(many));
    ASSERT_GT(data.size(), 32u);
    EXPECT_EQ(data[data.size() - 32 + 7], count < 65535 ? 2 : 4) << count;  // reference size in the trailer
    auto back = PropertyList::readBinary(data);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, Value(many));
  }
}

TEST(PropertyListReadBinary, ALongTextSharedManyTimesIsAccepted) {
  // Equal texts are stored once and referenced from every place they occur.
  Array copies(20000, Value(std::string(1000, 'p')));
  Data data = *PropertyList::writeBinary(Value(copies));
  EXPECT_LT(data.size(), 60000u);
  auto back = PropertyList::readBinary(data);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->asArray().size(), 20000u);
  EXPECT_EQ(back->asArray().back().asString().size(), 1000u);
}

// ---- Reading what others wrote

Data Bytes(std::initializer_list<int> bytes) {
  Data data;
  for (int b : bytes) data.push_back(static_cast<std::uint8_t>(b));
  return data;
}

// A binary list of one object given as its bytes.
Data SingleObjectList(const Data& object) {
  Data data = DataFromString("bplist00");
  data.insert(data.end(), object.begin(), object.end());
  data.push_back(8);  // offset of the object
  Data trailer(32, 0);
  trailer[6] = 1;
  trailer[7] = 1;
  trailer[15] = 1;                                             // one object
  trailer[31] = static_cast<std::uint8_t>(8 + object.size());  // table offset
  data.insert(data.end(), trailer.begin(), trailer.end());
  return data;
}

TEST(PropertyListReadBinary, SixteenByteIntegers) {
  auto max = PropertyList::readBinary(SingleObjectList(
      Bytes({0x14, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})));
  ASSERT_TRUE(max);
  EXPECT_EQ(max->type(), Value::Type::Unsigned);
  EXPECT_EQ(max->asUInt(), UINT64_MAX);
  auto minusTwo = PropertyList::readBinary(SingleObjectList(Bytes(
      {0x14, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE})));
  ASSERT_TRUE(minusTwo);
  EXPECT_EQ(minusTwo->asInt(), -2);
  EXPECT_FALSE(PropertyList::readBinary(
      SingleObjectList(Bytes({0x14, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0}))));
}

TEST(PropertyListReadBinary, SmallIntegersAreUnsignedAndEightByteOnesSigned) {
  EXPECT_EQ(PropertyList::readBinary(SingleObjectList(Bytes({0x10, 0xFF})))->asInt(), 255);
  EXPECT_EQ(PropertyList::readBinary(SingleObjectList(Bytes({0x12, 0xFF, 0xFF, 0xFF, 0xFF})))->asInt(),
            4294967295ll);
  EXPECT_EQ(PropertyList::readBinary(
                SingleObjectList(Bytes({0x13, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})))
                ->asInt(),
            -1);
}

TEST(PropertyListReadBinary, FloatsUidsAndUtf16) {
  auto single = PropertyList::readBinary(SingleObjectList(Bytes({0x22, 0x3F, 0xC0, 0, 0})));
  ASSERT_TRUE(single);
  EXPECT_EQ(single->asDouble(), 1.5);
  auto uid = PropertyList::readBinary(SingleObjectList(Bytes({0x81, 0x01, 0x02})));
  ASSERT_TRUE(uid);
  EXPECT_EQ(uid->asUid().value, 0x0102u);
  // "é😀" as UTF-16BE: three units with a surrogate pair.
  auto text = PropertyList::readBinary(SingleObjectList(Bytes({0x63, 0x00, 0xE9, 0xD8, 0x3D, 0xDE, 0x00})));
  ASSERT_TRUE(text);
  EXPECT_EQ(text->asString(), "\xc3\xa9\xf0\x9f\x98\x80");
}

TEST(PropertyListReadBinary, RefusesBrokenInput) {
  Data valid = *PropertyList::writeBinary(Sample());
  // Truncations of every length.
  for (std::size_t length = 0; length < valid.size(); length += 7) {
    Data truncated(valid.begin(), valid.begin() + static_cast<std::ptrdiff_t>(length));
    EXPECT_FALSE(PropertyList::readBinary(truncated)) << length;
  }
  Expected<Value> header = PropertyList::readBinary(DataFromString("bplist00"));
  EXPECT_FALSE(header);
  EXPECT_FALSE(header.status().message().empty());
  // A non-ASCII byte in an ASCII string, a count beyond the end, a non-string key.
  EXPECT_FALSE(PropertyList::readBinary(SingleObjectList(Bytes({0x51, 0xE9}))));
  EXPECT_FALSE(PropertyList::readBinary(SingleObjectList(Bytes({0x4F, 0x13, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                                                0xFF, 0xFF}))));
}

// Builds a list from object byte strings whose references are one byte.
Data ListOf(const std::vector<Data>& objects, std::uint8_t top = 0) {
  Data data = DataFromString("bplist00");
  Data offsets;
  for (const Data& object : objects) {
    offsets.push_back(static_cast<std::uint8_t>(data.size()));
    data.insert(data.end(), object.begin(), object.end());
  }
  auto table = static_cast<std::uint8_t>(data.size());
  data.insert(data.end(), offsets.begin(), offsets.end());
  Data trailer(32, 0);
  trailer[6] = 1;
  trailer[7] = 1;
  trailer[15] = static_cast<std::uint8_t>(objects.size());
  trailer[23] = top;
  trailer[31] = table;
  data.insert(data.end(), trailer.begin(), trailer.end());
  return data;
}

TEST(PropertyListReadBinary, RefusesReferenceCycles) {
  // An array that contains itself, and two arrays that contain each other.
  EXPECT_FALSE(PropertyList::readBinary(ListOf({Bytes({0xA1, 0x00})})));
  Expected<Value> cycle = PropertyList::readBinary(ListOf({Bytes({0xA1, 0x01}), Bytes({0xA1, 0x00})}));
  EXPECT_FALSE(cycle);
  EXPECT_NE(cycle.status().message().find("cycle"), std::string::npos) << cycle.status().message();
}

TEST(PropertyListReadBinary, ASharedContainerMayAppearTwice) {
  auto value = PropertyList::readBinary(ListOf({Bytes({0xA2, 0x01, 0x01}), Bytes({0xA1, 0x02}), Bytes({0x10, 5})}));
  ASSERT_TRUE(value);
  EXPECT_EQ(*value, Value(Array{Value(Array{Value(5)}), Value(Array{Value(5)})}));
}

TEST(PropertyListReadBinary, ExponentialSharingIsRefused) {
  // Each array refers twice to the next: 2^40 leaves if expanded.
  std::vector<Data> objects;
  for (int i = 0; i < 40; ++i) objects.push_back(Bytes({0xA2, i + 1, i + 1}));
  objects.push_back(Bytes({0x10, 1}));
  Expected<Value> expanded = PropertyList::readBinary(ListOf(objects));
  EXPECT_FALSE(expanded);
  EXPECT_NE(expanded.status().message().find("expands"), std::string::npos) << expanded.status().message();
}

TEST(PropertyListReadBinary, SetsReadAsArrays) {
  auto value = PropertyList::readBinary(ListOf({Bytes({0xC2, 0x01, 0x02}), Bytes({0x10, 1}), Bytes({0x10, 2})}));
  ASSERT_TRUE(value);
  EXPECT_EQ(*value, Value(Array{Value(1), Value(2)}));
}

TEST(PropertyListReadBinary, DeepNestingIsRefusedWithoutCrashing) {
  std::vector<Data> objects;
  for (int i = 0; i < 250; ++i) objects.push_back(Bytes({0xA1, i + 1}));
  objects.push_back(Bytes({0x10, 1}));
  EXPECT_TRUE(PropertyList::readBinary(ListOf(objects)));  // 250 levels are fine
  Value deep(1);
  for (int i = 0; i < 600; ++i) deep = Value(Array{deep});
  EXPECT_FALSE(PropertyList::writeBinary(deep));
  EXPECT_FALSE(PropertyList::writeXml(deep));
  std::string xml;
  for (int i = 0; i < 100000; ++i) xml += "<array>";
  for (int i = 0; i < 100000; ++i) xml += "</array>";
  EXPECT_FALSE(PropertyList::readXml(DataFromString(xml)));
}

TEST(PropertyListReadXml, AcceptsThePlatformsSpellings) {
  std::string xml = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
  <key>negative</key><integer> -42 </integer>
  <key>max</key><integer>18446744073709551615</integer>
  <key>hex</key><integer>0x1F</integer>
  <key>nan</key><real>nan</real>
  <key>inf</key><real>+infinity</real>
  <key>minusInf</key><real>-inf</real>
  <key>exp</key><real>1.5e3</real>
  <key>date</key><date>2001-01-01T00:01:40Z</date>
  <key>data</key><data>
    AAEC
    /w==
  </data>
  <key>spaces</key><string>  two  </string>
  <key>cdata</key><string><![CDATA[<raw & text>]]></string>
  <key>entity</key><string>&#x263A;&amp;&quot;</string>
  <key>uid</key><dict><key>CF$UID</key><integer>7</integer></dict>
  <key>notUid</key><dict><key>CF$UID</key><string>7</string></dict>
  <key>empty</key><dict></dict>
</dict>
</plist>)";
  auto value = PropertyList::readXml(DataFromString(xml));
  ASSERT_TRUE(value) << value.status().message();
  const Value& v = *value;
  EXPECT_EQ(v["negative"].asInt(), -42);
  EXPECT_EQ(v["max"].asUInt(), UINT64_MAX);
  EXPECT_EQ(v["hex"].asInt(), 31);
  EXPECT_TRUE(std::isnan(v["nan"].asDouble()));
  EXPECT_EQ(v["inf"].asDouble(), HUGE_VAL);
  EXPECT_EQ(v["minusInf"].asDouble(), -HUGE_VAL);
  EXPECT_EQ(v["exp"].asDouble(), 1500.0);
  EXPECT_EQ(v["date"].asDate(), Date(100.0));
  EXPECT_EQ(v["data"].asData(), Bytes({0, 1, 2, 0xFF}));
  EXPECT_EQ(v["spaces"].asString(), "  two  ");
  EXPECT_EQ(v["cdata"].asString(), "<raw & text>");
  EXPECT_EQ(v["entity"].asString(), "\xe2\x98\xba&\"");
  EXPECT_EQ(v["uid"], Value(Uid{7}));
  EXPECT_TRUE(v["notUid"].isDictionary());
  EXPECT_TRUE(v["empty"].isDictionary());
}

TEST(PropertyListReadXml, DatesAcrossTheCalendar) {
  auto read = [](const std::string& text) {
    return PropertyList::readXml(DataFromString("<plist><date>" + text + "</date></plist>"));
  };
  EXPECT_EQ(read("1970-01-01T00:00:00Z")->asDate(), Date::fromUnixTime(0));
  EXPECT_EQ(read("2000-02-29T12:00:00Z")->asDate(), Date::fromUnixTime(951825600));
  EXPECT_EQ(read("0001-01-01T00:00:00Z")->asDate(), Date::fromUnixTime(-62135596800.0));
  EXPECT_FALSE(read("2001-13-01T00:00:00Z"));
  EXPECT_FALSE(read("yesterday"));
  for (double seconds : {0.0, -1.0, 86399.0, 1e9, -6e10, 6e10}) {
    Value date{Date(seconds)};
    EXPECT_EQ(*PropertyList::readXml(*PropertyList::writeXml(date)), date) << seconds;
  }
}

TEST(PropertyListReadXml, RefusesMalformedDocuments) {
  for (const char* text :
       {"", "<plist>", "<plist><integer>12a</integer></plist>", "<plist><integer>-9223372036854775809</integer></plist>",
        "<plist><integer>18446744073709551616</integer></plist>", "<plist><real>one</real></plist>",
        "<plist><data>!!!</data></plist>", "<plist><dict><key>a</key></dict></plist>",
        "<plist><dict><string>a</string><true/></dict></plist>", "<plist><banana/></plist>",
        "<plist></plist>"}) {
    Expected<Value> value = PropertyList::readXml(DataFromString(text));
    EXPECT_FALSE(value) << text;
    EXPECT_FALSE(value.status().message().empty()) << text;
  }
}

TEST(PropertyListReadXml, TextThatIsNotUtf8ReadsAsTheWriterWouldWriteIt) {
  // Two keys that differ only in bytes that are not UTF-8 are one key once
  // read, and what is read writes back and reads again to the same bytes.
  const std::string xml =
      "<plist><dict><key>a\xFF</key><integer>1</integer><key>a\xFE</key><integer>2</integer></dict></plist>";
  Expected<Value> value = PropertyList::readXml(DataFromString(xml));
  ASSERT_TRUE(value) << value.status().message();
  ASSERT_EQ(value->asDictionary().keys(), std::vector<std::string>{"a\xEF\xBF\xBD"});
  Data written = *PropertyList::writeXml(*value);
  EXPECT_EQ(*PropertyList::writeXml(*PropertyList::readXml(written)), written);
}

TEST(PropertyListFile, WritesAtomicallyAndReadsEitherForm) {
  test::TempDir dir;
  std::string path = dir / "settings.plist";
  Status written = PropertyList::writeFile(path, Sample(), Format::Xml);
  ASSERT_TRUE(written.ok()) << written.message();
  Format format;
  auto back = PropertyList::readFile(path, &format);
  ASSERT_TRUE(back) << back.status().message();
  EXPECT_EQ(format, Format::Xml);
  EXPECT_EQ(*back, Sample());
  ASSERT_TRUE(PropertyList::writeFile(path, Value(1), Format::Binary).ok());
  EXPECT_EQ(*PropertyList::readFile(path, &format), Value(1));
  EXPECT_EQ(format, Format::Binary);
  EXPECT_EQ(PropertyList::writeFile(dir / "missing/x.plist", Value(1), Format::Xml).code(), ENOENT);
  Expected<Value> absent = PropertyList::readFile(dir / "absent.plist");
  EXPECT_FALSE(absent);
  EXPECT_EQ(absent.status().domain(), kPosixDomain);
  EXPECT_NE(absent.status().message().find("absent.plist"), std::string::npos);
}

// ---- Python's plistlib as an independent reader and writer

bool HavePlistlib() {
  return test::RunShell(test::Python() + " -c 'import plistlib' 2>/dev/null") == 0;
}

TEST(PropertyListInterop, PlistlibReadsOurBinaryLists) {
  if (!HavePlistlib()) GTEST_SKIP() << "Python with plistlib is not available";
  test::TempDir dir;
  test::WriteFile(dir / "ours.plist", *PropertyList::writeBinary(Sample()));
  test::WriteFile(dir / "check.py", R"(
import plistlib, sys, datetime
p = plistlib.load(open(sys.argv[1], 'rb'))
inner = {'zero': 0, 'empty': ''}
expected = {
  'bool': True, 'false': False, 'small': 7, 'byte': 255, 'short': 65535, 'int': 4294967295,
  'large': 4294967296, 'negative': -1, 'int64Min': -2**63, 'int64Max': 2**63 - 1,
  'uint64Max': 2**64 - 1, 'aboveInt64': 2**63, 'real': 3.25, 'tiny': 1e-300, 'negativeReal': -0.1,
  'ascii': 'plain text', 'unicode': 'Gr\u00fc\u00dfe \u20ac \U0001F600',
  'escapes': '<a & b> "c" \'d\'\n\ttabbed', 'long': 'x' * 300,
  'data': bytes([0, 1, 2, 0xFE, 0xFF]), 'emptyData': b'', 'bigData': bytes([0xA5]) * 1000,
  'date': datetime.datetime(2001, 1, 1) + datetime.timedelta(seconds=123456789),
  'dateBefore2001': datetime.datetime(1970, 1, 1),
  'emptyArray': [], 'emptyDictionary': {},
  'array': [1, 'two', [3.0], inner],
  'uid': plistlib.UID(42), 'bigUid': plistlib.UID(70000),
  'nested': {'inner': inner, 'list': [plistlib.UID(0), plistlib.UID(255)]},
}
for key in expected:
    if p.get(key) != expected[key] or type(p.get(key)) != type(expected[key]):
        print('mismatch', key, repr(p.get(key)), repr(expected[key]))
if list(p.keys()) != list(expected.keys()):
    print('order', list(p.keys()))
print('done')
)");
  std::string output;
  int status = test::RunShell(test::Python() + " " + (dir / "check.py") + " " + (dir / "ours.plist") + " 2>&1",
                              &output);
  EXPECT_EQ(status, 0) << output;
  EXPECT_EQ(output, "done\n");
}

TEST(PropertyListInterop, WeReadPlistlibsBinaryAndXmlLists) {
  if (!HavePlistlib()) GTEST_SKIP() << "Python with plistlib is not available";
  test::TempDir dir;
  test::WriteFile(dir / "make.py", R"(
import plistlib, sys, datetime
value = {
  'max': 2**64 - 1, 'min': -2**63, 'negative': -5, 'real': 2.5, 'inf': float('inf'),
  'text': 'Gr\u00fc\u00dfe \U0001F600', 'data': b'\x00\x01\xff', 'flag': False,
  'date': datetime.datetime(2010, 6, 1, 12, 30, 15),
  'list': [1, [2, {'deep': 'x'}], {}], 'shared': 'Gr\u00fc\u00dfe \U0001F600',
  'uid': plistlib.UID(300),
  'many': list(range(40)),
}
plistlib.dump(value, open(sys.argv[1] + '/binary.plist', 'wb'), fmt=plistlib.FMT_BINARY, sort_keys=False)
del value['uid']
del value['inf']
plistlib.dump(value, open(sys.argv[1] + '/xml.plist', 'wb'), fmt=plistlib.FMT_XML, sort_keys=False)
)");
  ASSERT_EQ(test::RunShell(test::Python() + " " + (dir / "make.py") + " " + dir.path()), 0);

  Array many;
  for (int i = 0; i < 40; ++i) many.push_back(Value(i));
  Dictionary expected{
      {"max", static_cast<unsigned long long>(UINT64_MAX)},
      {"min", static_cast<long long>(INT64_MIN)},
      {"negative", -5},
      {"real", 2.5},
      {"inf", std::numeric_limits<double>::infinity()},
      {"text", "Gr\xc3\xbc\xc3\x9f" "e \xf0\x9f\x98\x80"},
      {"data", Bytes({0, 1, 0xFF})},
      {"flag", false},
      {"date", Date::fromUnixTime(1275395415)},
      {"list", Array{Value(1), Value(Array{Value(2), Value(Dictionary{{"deep", "x"}})}), Value(Dictionary{})}},
      {"shared", "Gr\xc3\xbc\xc3\x9f" "e \xf0\x9f\x98\x80"},
      {"uid", Uid{300}},
      {"many", many},
  };
  auto binary = PropertyList::readBinary(test::ReadFile(dir / "binary.plist"));
  ASSERT_TRUE(binary) << binary.status().message();
  EXPECT_EQ(*binary, Value(expected)) << binary->description();
  EXPECT_EQ(binary->asDictionary().keys(), expected.keys());

  expected.erase("uid");
  expected.erase("inf");
  auto xml = PropertyList::readXml(test::ReadFile(dir / "xml.plist"));
  ASSERT_TRUE(xml) << xml.status().message();
  EXPECT_EQ(*xml, Value(expected)) << xml->description();
}

TEST(PropertyListInterop, PlistlibReadsOurXmlLists) {
  if (!HavePlistlib()) GTEST_SKIP() << "Python with plistlib is not available";
  test::TempDir dir;
  Value value(Dictionary{{"max", static_cast<unsigned long long>(UINT64_MAX)},
                         {"text", "a < b & \xc3\xa9"},
                         {"date", Date(0)},
                         {"data", Data(100, 7)},
                         {"list", Array{Value(true), Value(-3), Value(0.5)}}});
  test::WriteFile(dir / "ours.plist", *PropertyList::writeXml(value));
  std::string output;
  int status = test::RunShell(test::Python() + " -c \"import plistlib, sys; p = plistlib.load(open(sys.argv[1], 'rb'));"
                                  " print(p['max'], p['text'], p['date'], len(p['data']), p['list'])\" " +
                                  (dir / "ours.plist") + " 2>&1",
                              &output);
  EXPECT_EQ(status, 0) << output;
  EXPECT_EQ(output, "18446744073709551615 a < b & \xc3\xa9 2001-01-01 00:00:00 100 [True, -3, 0.5]\n");
}

}  // namespace
}  // namespace quorvel
