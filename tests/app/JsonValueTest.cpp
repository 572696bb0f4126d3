#include <gtest/gtest.h>

#include "app/cli/JsonValue.h"

namespace quorvel {
namespace {

TEST(JsonValue, ConvertsEveryValueKindKeepingDictionaryOrder) {
  Dictionary dictionary;
  dictionary.set("zeta", 1);
  dictionary.set("alpha", Value(18446744073709551615ull));
  dictionary.set("flag", true);
  dictionary.set("ratio", 0.5);
  dictionary.set("text", "caf\xC3\xA9");
  dictionary.set("bytes", Data{0x00, 0xFF, 0x10});
  dictionary.set("when", Date::fromUnixTime(1714564800.25));
  dictionary.set("list", Array{Value(), Value(-3)});
  std::string text = JsonFromValue(Value(dictionary)).dump();
  EXPECT_EQ(text,
            "{\"zeta\":1,\"alpha\":18446744073709551615,\"flag\":true,\"ratio\":0.5,\"text\":\"caf\xC3\xA9\","
            "\"bytes\":\"AP8Q\",\"when\":\"2024-05-01T12:00:00.250Z\",\"list\":[null,-3]}");
}

TEST(JsonValue, IsoTextOfTheReferenceDateAndBefore1970) {
  EXPECT_EQ(IsoTextFromDate(Date(0)), "2001-01-01T00:00:00.000Z");
  EXPECT_EQ(IsoTextFromDate(Date::fromUnixTime(-0.5)), "1969-12-31T23:59:59.500Z");
  EXPECT_EQ(IsoTextFromDate(Date::fromUnixTime(59.9996)), "1970-01-01T00:01:00.000Z");
}

TEST(JsonValue, NonFiniteNumbersBecomeNull) {
  EXPECT_TRUE(JsonFromValue(Value(std::numeric_limits<double>::infinity())).is_null());
}

}  // namespace
}  // namespace quorvel
