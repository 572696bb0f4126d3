// Random mutations of valid predicate texts: whatever the parser accepts
// must print, parse back to an equal predicate and evaluate; whatever it
// refuses must come with a message. Nothing may crash (this file also runs
// under AddressSanitizer). The seed is fixed, so every run tries the same
// texts.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <random>

#include "foundation/Predicate.h"

namespace quorvel {
namespace {

const char* const kSeeds[] = {
    R"($PATH IN[c] "Docs/Old" AND "Docs/Old" IN[c] $PATH)",
    R"(name ==[cd] 'x')",
    R"(NOT (a > 1 OR b BEGINSWITH "q"))",
    R"(size BETWEEN {1, 10})",
    R"(ANY tags == "x" AND ALL sizes >= -3.5e2)",
    R"($NAME LIKE[c] "*.t?p" OR $NAME MATCHES "^[a-z]+\\d*$")",
    R"(text == "esc \" \' \\ \n \t \u00e9 \uD83D\uDE00")",
    R"(n == 0x1F OR n == -0o17 OR n == 0b1 OR n == 18446744073709551615)",
    R"($DATE_MODIFIED < CAST(725846400.5, "NSDate") AND $FILE_SIZE != CAST("nan", "NSNumber"))",
    R"(owner.address.#in ==[n] "oslo" && items.@count > 2 || !(SELF == nil))",
    R"($X IN {1, "two", {3, $Y}, TRUE, NO, NULL})",
    R"(TRUEPREDICATE AND NOT FALSEPREDICATE OR NONE a CONTAINS 'z')",
    R"(($TYPE == 1 AND $FILE_SIZE > 1048576) OR $WEEK_DAY = 0 OR $POWER_SOURCE <> 1)",
};

const std::string_view kInsertions[] = {
    "(", ")", "{", "}", ",", "'", "\"", "\\", "$", "#", "@", ".", "-", "e", "0x", "\\u", "\\uD800",
    "NOT ", " AND ", " OR ", "&&", "||", "!", "==", "=", "<", ">", "<>", "=<", "[c]", "[", "]", "[cdn]",
    " IN ", " LIKE ", " MATCHES ", " BETWEEN ", "ANY ", "ALL ", "NONE ", "SELF", "nil", "TRUE",
    "CAST(", ", \"NSDate\")", "%@", "%K", "\xC3", "\xA9", "\xFF", std::string_view("\0", 1), " ",
    "*", "?", "(a|a)*", "9999999999999999999999", "1e999", ".5", "$PATH", "'x'",
};

class Mutator {
 public:
  explicit Mutator(std::uint32_t seed) : random_(seed) {}

  std::string mutate(std::string text) {
    int count = 1 + below(2);
    for (int i = 0; i < count; ++i) {
      switch (below(6)) {
        case 0:  // delete a short span
          if (!text.empty()) {
            std::size_t at = below(text.size());
            text.erase(at, 1 + below(3));
          }
          break;
        case 1:  // insert a token
        case 2: {
          std::string_view token = kInsertions[below(std::size(kInsertions))];
          text.insert(below(text.size() + 1), token);
          break;
        }
        case 3:  // duplicate a span
          if (!text.empty()) {
            std::size_t at = below(text.size());
            std::string span = text.substr(at, 1 + below(12));
            text.insert(below(text.size() + 1), span);
          }
          break;
        case 4:  // swap two characters
          if (text.size() > 1) std::swap(text[below(text.size())], text[below(text.size())]);
          break;
        case 5:  // replace one byte
          if (!text.empty()) text[below(text.size())] = static_cast<char>(below(256));
          break;
      }
    }
    return text;
  }

 private:
  std::size_t below(std::size_t n) { return n == 0 ? 0 : static_cast<std::size_t>(random_() % n); }
  std::mt19937 random_;
};

TEST(PredicateMutation, MutatedTextsParseConsistentlyOrFailCleanly) {
  Mutator mutator(20240611);
  const Dictionary variables{{"PATH", "docs/old"}, {"NAME", "a.tmp"},   {"TYPE", 1},
                             {"FILE_SIZE", 2000000}, {"X", 1},          {"Y", "two"},
                             {"WEEK_DAY", 0},        {"DATE_MODIFIED", Date(0)},
                             {"POWER_SOURCE", std::nan("")}};
  const Value object = Dictionary{{"a", 2},
                                  {"b", "quux"},
                                  {"tags", Array{"x", "y"}},
                                  {"sizes", Array{1, 2.5}},
                                  {"items", Array{Dictionary{{"price", 1}}}},
                                  {"owner", Dictionary{{"address", Dictionary{{"in", "Oslo"}}}}}};
  int parsed = 0, refused = 0;
  // PREDICATE_MUTATION_ROUNDS runs a longer search by hand.
  const char* rounds = std::getenv("PREDICATE_MUTATION_ROUNDS");
  const int kRounds = rounds ? std::atoi(rounds) : 4000;
  for (int round = 0; round < kRounds; ++round) {
    std::string text = mutator.mutate(kSeeds[static_cast<std::size_t>(round) % std::size(kSeeds)]);
    std::string error;
    PredicatePtr predicate = Predicate::predicateWithFormat(text, {"arg", 1}, &error);
    if (!predicate) {
      EXPECT_FALSE(error.empty()) << text;
      ++refused;
      continue;
    }
    ++parsed;
    std::string printed = predicate->predicateFormat();
    PredicatePtr again = Predicate::predicateWithFormat(printed, &error);
    ASSERT_TRUE(again) << "text: " << text << "\nprinted: " << printed << "\nerror: " << error;
    EXPECT_TRUE(predicate->isEqualToObject(*again)) << "text: " << text << "\nprinted: " << printed;
    bool direct = predicate->evaluateWithObject(object, variables);
    bool substituted = predicate->predicateWithSubstitutionVariables(variables)->evaluateWithObject(object);
    EXPECT_EQ(direct, substituted) << text;
  }
  // Both outcomes must have been exercised for the test to mean anything.
  RecordProperty("parsed", parsed);
  RecordProperty("refused", refused);
  EXPECT_GT(parsed, 500);
  EXPECT_GT(refused, 2000);
}

}  // namespace
}  // namespace quorvel
