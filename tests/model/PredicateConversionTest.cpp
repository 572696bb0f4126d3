// Rule-editor predicates prepared for evaluation, and old stored ones fixed.
#include "model/PredicateConversion.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace quorvel {
namespace {

TEST(PreparePredicate, TurnsKeyPathsIntoTheEvaluatedForm) {
  const Dictionary services{{"eth0", true}, {"wlan0", false}, {"usb0", true}};
  struct Case {
    const char* rule;
    const char* prepared;  // nullptr: none
  };
  const Case cases[] = {
      {"FILE_SIZE > 100", "$TYPE == 1 AND $FILE_SIZE > 100"},
      {"WEEK_DAY == \"0\"", "$WEEK_DAY == 0"},
      {"TYPE != \"2\"", "$TYPE != 2"},
      {"NAME BEGINSWITH[c] \"tmp\"", "$NAME BEGINSWITH[c] \"tmp\""},
      {"NETWORK_SERVICE ==[c] \"eth0\"", "\"eth0\" ==[c] \"eth0\" OR \"usb0\" ==[c] \"eth0\""},
      {"NOT (NAME == \"a\" OR FILE_SIZE < 5)", "NOT ($NAME == \"a\" OR ($TYPE == 1 AND $FILE_SIZE < 5))"},
      {"TRUEPREDICATE", nullptr},
  };
  for (const Case& c : cases) {
    PredicatePtr prepared = PreparePredicate(Predicate::predicateWithFormat(c.rule), services);
    EXPECT_EQ(prepared ? prepared->predicateFormat() : std::string("none"), c.prepared ? c.prepared : "none")
        << c.rule;
  }
  // No active service, or no table: nothing; inside a compound that is false.
  const PredicatePtr network = Predicate::predicateWithFormat("NETWORK_SERVICE == \"eth0\"");
  EXPECT_FALSE(PreparePredicate(network, Dictionary{{"eth0", false}}));
  EXPECT_FALSE(PreparePredicate(network, std::nullopt));
  PredicatePtr both = PreparePredicate(Predicate::predicateWithFormat("NETWORK_SERVICE == \"eth0\" AND NAME == \"a\""),
                                       std::nullopt);
  ASSERT_TRUE(both);
  EXPECT_FALSE(both->evaluateWithObject(Value(), Dictionary{{"NAME", "a"}}));
}

TEST(PreparePredicate, AFileSizeRuleNeverExcludesADirectory) {
  PredicatePtr prepared = PreparePredicate(Predicate::predicateWithFormat("FILE_SIZE >= 0"), std::nullopt);
  ASSERT_TRUE(prepared);
  const double none = std::numeric_limits<double>::quiet_NaN();
  EXPECT_FALSE(prepared->evaluateWithObject(Value(), Dictionary{{"TYPE", 0}, {"FILE_SIZE", none}}));
  EXPECT_TRUE(prepared->evaluateWithObject(Value(), Dictionary{{"TYPE", 1}, {"FILE_SIZE", 7}}));
}

TEST(FixPredicate, RenamesOldKeysAndChoices) {
  PredicatePtr old = Predicate::predicateWithFormat("%K == %@ AND %K > 5",
                                                    Array{Value("Week day"), Value("Monday"), Value("File size")});
  PredicatePtr fixed = FixPredicate(old);
  ASSERT_TRUE(fixed);
  EXPECT_EQ(fixed->predicateFormat(), "WEEK_DAY == \"1\" AND FILE_SIZE > 5");
  EXPECT_EQ(PreparePredicate(fixed, std::nullopt)->predicateFormat(),
            "$WEEK_DAY == 1 AND ($TYPE == 1 AND $FILE_SIZE > 5)");
  EXPECT_EQ(FixPredicate(Predicate::predicateWithFormat("Unknown == 3"))->predicateFormat(), "Unknown == 3");
  EXPECT_FALSE(FixPredicate(Predicate::predicateWithFormat("TRUEPREDICATE")));
}

}  // namespace
}  // namespace quorvel
