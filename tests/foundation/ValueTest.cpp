#include "foundation/Value.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace quorvel {
namespace {

TEST(Value, IntegersCompareByNumericValueWhateverTheirSignedness) {
  EXPECT_EQ(Value(5), Value(5ull));
  EXPECT_EQ(Value(UINT64_MAX).type(), Value::Type::Unsigned);
  EXPECT_EQ(Value(static_cast<unsigned long long>(INT64_MAX)).type(), Value::Type::Integer);
  EXPECT_FALSE(Value(-1) == Value(UINT64_MAX));
  EXPECT_EQ(Value(UINT64_MAX).asUInt(), UINT64_MAX);
  EXPECT_FALSE(Value(1) == Value(1.0));  // a real is not an integer
}

TEST(Value, NumericAccessorsConvertAndFallBack) {
  EXPECT_EQ(Value(true).asInt(), 1);
  EXPECT_EQ(Value(3.9).asInt(), 3);
  EXPECT_EQ(Value(std::nan("")).asInt(7), 7);
  EXPECT_EQ(Value("12").asInt(9), 9);
  EXPECT_DOUBLE_EQ(Value(-2).asDouble(), -2.0);
  EXPECT_TRUE(Value(0.5).asBool());
  EXPECT_EQ(Value(42).asString(), "");
}

TEST(Value, NaNIsNotEqualToItself) {
  Value nan(std::numeric_limits<double>::quiet_NaN());
  EXPECT_FALSE(nan == nan);
}

TEST(Value, DictionaryKeepsInsertionOrderAndReplacesInPlace) {
  Dictionary d;
  d.set("b", 1);
  d.set("a", 2);
  d.set("c", 3);
  d.set("a", 4);
  EXPECT_EQ(d.keys(), (std::vector<std::string>{"b", "a", "c"}));
  EXPECT_EQ(d["a"], Value(4));
  EXPECT_TRUE(d.erase("b"));
  EXPECT_FALSE(d.erase("b"));
  EXPECT_EQ(d.keys(), (std::vector<std::string>{"a", "c"}));
  EXPECT_EQ(d["c"], Value(3));
  EXPECT_TRUE(d["missing"].isNull());
}

TEST(Value, DictionariesAreEqualRegardlessOfOrder) {
  Dictionary a{{"x", 1}, {"y", Array{Value("t"), Value(Data{1, 2})}}};
  Dictionary b{{"y", Array{Value("t"), Value(Data{1, 2})}}, {"x", 1}};
  EXPECT_EQ(Value(a), Value(b));
  b.set("x", 2);
  EXPECT_FALSE(Value(a) == Value(b));
}

TEST(Value, CopiesAreDeep) {
  Value a(Dictionary{{"list", Array{Value(1)}}});
  Value b = a;
  b.mutableDictionary()["list"].mutableArray().push_back(2);
  EXPECT_EQ(a["list"].asArray().size(), 1u);
  EXPECT_EQ(b["list"].asArray().size(), 2u);
}

TEST(Date, ConvertsBetweenTheTwoEpochs) {
  Date d = Date::fromUnixTime(978307200.0);
  EXPECT_DOUBLE_EQ(d.timeIntervalSinceReferenceDate(), 0.0);
  EXPECT_DOUBLE_EQ(Date(1.5).timeIntervalSince1970(), 978307201.5);
  EXPECT_LT(std::abs(Date::now().timeIntervalSinceNow()), 5.0);
}

}  // namespace
}  // namespace quorvel
