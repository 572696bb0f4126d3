#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <thread>
#include <vector>

#include "foundation/InternalInconsistency.h"
#include "foundation/Predicate.h"

namespace quorvel {
namespace {

using Op = PredicateOperatorType;
constexpr std::uint32_t kC = CaseInsensitivePredicateOption;
constexpr std::uint32_t kD = DiacriticInsensitivePredicateOption;
const double kNaN = std::numeric_limits<double>::quiet_NaN();

// Evaluates the comparison "lhs <op>[options] rhs" of two constants.
bool Compare(Value lhs, Op op, Value rhs, std::uint32_t options = 0) {
  return Predicate::comparison(Expression::constant(std::move(lhs)), op, Expression::constant(std::move(rhs)), options)
      ->evaluateWithObject(Value());
}

// Parses and evaluates against an object and variables; a parse failure fails the test.
bool Eval(const std::string& format, const Value& object = Value(), const Dictionary& variables = {}) {
  std::string error;
  PredicatePtr predicate = Predicate::predicateWithFormat(format, &error);
  EXPECT_TRUE(predicate) << format << ": " << error;
  return predicate && predicate->evaluateWithObject(object, variables);
}

// The exclusion of one subpath: both texts contain each other, ignoring case.
PredicatePtr SubpathExclusion(const std::string& path) {
  return Predicate::andPredicate(
      {Predicate::comparison(Expression::variable("PATH"), Op::In, Expression::constant(path), kC),
       Predicate::comparison(Expression::constant(path), Op::In, Expression::variable("PATH"), kC)});
}

TEST(PredicateExclusion, SubpathPairMatchesTheSamePathIgnoringCaseOnly) {
  PredicatePtr built = SubpathExclusion("Docs/Old");
  PredicatePtr parsed = Predicate::predicateWithFormat(R"($PATH IN[c] "Docs/Old" AND "Docs/Old" IN[c] $PATH)");
  ASSERT_TRUE(parsed);
  EXPECT_TRUE(built->isEqualToObject(*parsed));
  for (const PredicatePtr& predicate : {built, parsed}) {
    EXPECT_TRUE(predicate->evaluateWithObject(Value(), {{"PATH", "docs/old"}}));
    EXPECT_TRUE(predicate->evaluateWithObject(Value(), {{"PATH", "Docs/Old"}}));
    EXPECT_TRUE(predicate->evaluateWithObject(Value(), {{"PATH", "DOCS/OLD"}}));
    EXPECT_FALSE(predicate->evaluateWithObject(Value(), {{"PATH", "Docs/Older"}}));
    EXPECT_FALSE(predicate->evaluateWithObject(Value(), {{"PATH", "Docs"}}));
    EXPECT_FALSE(predicate->evaluateWithObject(Value(), {{"PATH", "My Docs/Old"}}));
    EXPECT_FALSE(predicate->evaluateWithObject(Value(), {}));  // no PATH at all
  }
}

TEST(PredicateExclusion, KeyPathFormOfThePairReadsTheEvaluatedDictionary) {
  PredicatePtr parsed = Predicate::predicateWithFormat(R"(PATH IN[c] "Docs/Old" AND "Docs/Old" IN[c] PATH)");
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->subpredicates()[0]->leftExpression()->expressionType(), ExpressionType::KeyPath);
  EXPECT_TRUE(parsed->evaluateWithObject(Dictionary{{"PATH", "docs/old"}}));
  EXPECT_FALSE(parsed->evaluateWithObject(Dictionary{{"PATH", "Docs/Older"}}));
  // The same predicate with the key path turned into a variable, as a rule
  // editor's predicate is prepared for the scanner.
  auto toVariable = [](const PredicatePtr& comparison) {
    auto swap = [](const ExpressionPtr& e) {
      return e->expressionType() == ExpressionType::KeyPath ? Expression::variable(e->keyPath()) : e;
    };
    return Predicate::comparison(swap(comparison->leftExpression()), comparison->predicateOperatorType(),
                                 swap(comparison->rightExpression()), comparison->options(),
                                 comparison->comparisonPredicateModifier());
  };
  PredicatePtr prepared =
      Predicate::andPredicate({toVariable(parsed->subpredicates()[0]), toVariable(parsed->subpredicates()[1])});
  EXPECT_TRUE(prepared->isEqualToObject(*SubpathExclusion("Docs/Old")));
}

TEST(PredicateExclusion, DisjunctionOfManyPathsExcludesEachOfThem) {
  PredicatePtr exclusion = Predicate::orPredicate(
      {SubpathExclusion("Library/Caches"), SubpathExclusion("tmp"), SubpathExclusion("Ünïcode/Dir")});
  auto excluded = [&](const char* path) { return exclusion->evaluateWithObject(Value(), {{"PATH", path}}); };
  EXPECT_TRUE(excluded("library/caches"));
  EXPECT_TRUE(excluded("TMP"));
  EXPECT_TRUE(excluded("üNÏCODE/dir"));
  EXPECT_FALSE(excluded("unicode/dir"));  // diacritics still count without [d]
  EXPECT_FALSE(excluded("Library"));
  EXPECT_FALSE(excluded("Library/Caches/x"));
}

TEST(PredicateExclusion, ConcurrentEvaluationsDoNotDisturbEachOther) {
  PredicatePtr exclusion = Predicate::orPredicate(
      {SubpathExclusion("Library/Caches"), SubpathExclusion("Bibliothèque/Résumé"), SubpathExclusion("tmp")});
  const char* const paths[] = {"library/caches", "LIBRARY/CACHES/x", "BIBLIOTHÈQUE/RÉSUMÉ", "Bibliotheque/Resume",
                               "Tmp", "tmp2"};
  const bool expected[] = {true, false, true, false, true, false};
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 2000; ++round) {
        std::size_t i = static_cast<std::size_t>(round + t) % 6;
        if (exclusion->evaluateWithObject(Value(), {{"PATH", paths[i]}}) != expected[i]) ++failures[t];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures, std::vector<int>(4, 0));
}

TEST(PredicateEquality, NumbersCompareByValueAcrossIntegerRealAndBool) {
  EXPECT_TRUE(Compare(1, Op::EqualTo, 1.0));
  EXPECT_TRUE(Compare(true, Op::EqualTo, 1));
  EXPECT_TRUE(Compare(Value(UINT64_MAX), Op::EqualTo, Value(UINT64_MAX)));
  EXPECT_FALSE(Compare(-1, Op::EqualTo, Value(UINT64_MAX)));
  EXPECT_TRUE(Compare(-1, Op::LessThan, Value(UINT64_MAX)));
  EXPECT_TRUE(Compare(Value(INT64_MAX), Op::LessThan, Value(static_cast<unsigned long long>(INT64_MAX) + 1)));
  EXPECT_TRUE(Compare(2, Op::GreaterThan, 1.5));
  EXPECT_TRUE(Compare(1.5, Op::LessThanOrEqualTo, 1.5));
  EXPECT_TRUE(Compare(3, Op::GreaterThanOrEqualTo, 3));
  EXPECT_TRUE(Compare(3, Op::NotEqualTo, 4));
  EXPECT_FALSE(Compare(3, Op::NotEqualTo, 3.0));
  // Large integers are not rounded through double.
  EXPECT_FALSE(Compare(Value(9007199254740993LL), Op::EqualTo, Value(9007199254740992LL)));
  EXPECT_TRUE(Compare(Value(9007199254740993LL), Op::GreaterThan, 9007199254740992.0));
}

TEST(PredicateEquality, DifferentKindsOfValueAreNeitherEqualNorOrdered) {
  EXPECT_FALSE(Compare("1", Op::EqualTo, 1));
  EXPECT_TRUE(Compare("1", Op::NotEqualTo, 1));
  EXPECT_FALSE(Compare("1", Op::LessThan, 2));
  EXPECT_FALSE(Compare("1", Op::GreaterThanOrEqualTo, 0));
  EXPECT_FALSE(Compare(Date(5), Op::EqualTo, 5));
  EXPECT_FALSE(Compare(Date(5), Op::LessThan, 6));
}

TEST(PredicateEquality, NullEqualsOnlyNullAndOrdersNothing) {
  EXPECT_TRUE(Eval("nil == NULL"));
  EXPECT_FALSE(Eval("nil != nil"));
  EXPECT_TRUE(Eval("$MISSING == nil"));
  EXPECT_FALSE(Eval("$MISSING == 0"));
  EXPECT_TRUE(Eval("$MISSING != 0"));
  EXPECT_TRUE(Eval("0 != $MISSING"));
  EXPECT_FALSE(Eval("$MISSING < 1"));
  EXPECT_FALSE(Eval("$MISSING >= 1"));
  EXPECT_FALSE(Eval("$MISSING <= nil"));
  EXPECT_FALSE(Eval("$MISSING BETWEEN {0, 10}"));
  EXPECT_FALSE(Eval("$MISSING IN 'abc'"));
  EXPECT_FALSE(Eval("$MISSING CONTAINS 'a'"));
  EXPECT_FALSE(Eval("$MISSING BEGINSWITH ''"));
  EXPECT_FALSE(Eval("$MISSING LIKE '*'"));
  EXPECT_FALSE(Eval("$MISSING MATCHES '.*'"));
  EXPECT_FALSE(Eval("'a' IN $MISSING"));
  EXPECT_TRUE(Eval("nil IN {1, nil}"));
}

TEST(PredicateEquality, NaNMakesEveryComparisonFalse) {
  Dictionary variables{{"FILE_SIZE", kNaN}, {"TYPE", 0}};
  for (const char* format : {"$FILE_SIZE == 0", "$FILE_SIZE != 0", "$FILE_SIZE < 1e300", "$FILE_SIZE > -1e300",
                             "$FILE_SIZE <= 0", "$FILE_SIZE >= 0", "$FILE_SIZE BETWEEN {-1e300, 1e300}",
                             "$FILE_SIZE IN {0, 1}", "$FILE_SIZE == $FILE_SIZE", "$FILE_SIZE != $FILE_SIZE"})
    EXPECT_FALSE(Eval(format, Value(), variables)) << format;
  EXPECT_TRUE(Eval("NOT $FILE_SIZE > 1000", Value(), variables));
  EXPECT_FALSE(Compare(Date(kNaN), Op::LessThan, Date(0)));
  EXPECT_FALSE(Compare(Date(kNaN), Op::EqualTo, Date(kNaN)));
  // A size rule prepared for the scanner never excludes a directory.
  EXPECT_FALSE(Eval("$TYPE == 1 AND $FILE_SIZE > 100", Value(), variables));
  EXPECT_TRUE(Eval("$TYPE == 1 AND $FILE_SIZE > 100", Value(), {{"TYPE", 1}, {"FILE_SIZE", 101ull}}));
}

TEST(PredicateEquality, DatesCompareByTime) {
  EXPECT_TRUE(Compare(Date(10), Op::EqualTo, Date(10)));
  EXPECT_TRUE(Compare(Date(10), Op::LessThan, Date(10.5)));
  EXPECT_TRUE(Compare(Date(11), Op::GreaterThan, Date(10.5)));
  EXPECT_TRUE(Compare(Date(10), Op::Between, Array{Date(0), Date(10)}));
  EXPECT_TRUE(Eval("$DATE_MODIFIED > CAST(100.0, \"NSDate\")", Value(), {{"DATE_MODIFIED", Date(100.5)}}));
  EXPECT_FALSE(Eval("$DATE_MODIFIED > CAST(100.0, \"NSDate\")", Value(), {{"DATE_MODIFIED", Date(99)}}));
}

TEST(PredicateEquality, ArraysCompareElementByElementWithTheOptions) {
  EXPECT_TRUE(Compare(Array{1, "a"}, Op::EqualTo, Array{1.0, "a"}));
  EXPECT_FALSE(Compare(Array{1, "a"}, Op::EqualTo, Array{1, "A"}));
  EXPECT_TRUE(Compare(Array{1, "a"}, Op::EqualTo, Array{1, "A"}, kC));
  EXPECT_FALSE(Compare(Array{1}, Op::EqualTo, Array{1, 1}));
}

TEST(PredicateText, OrderingAndEqualityOfTexts) {
  EXPECT_TRUE(Compare("abc", Op::EqualTo, "abc"));
  EXPECT_FALSE(Compare("abc", Op::EqualTo, "ABC"));
  EXPECT_TRUE(Compare("abc", Op::EqualTo, "ABC", kC));
  EXPECT_TRUE(Compare("abc", Op::LessThan, "abd"));
  EXPECT_TRUE(Compare("B", Op::LessThan, "a"));       // code point order
  EXPECT_FALSE(Compare("B", Op::LessThan, "a", kC));  // "b" > "a" once folded
  EXPECT_TRUE(Compare("b", Op::Between, Array{"A", "C"}, kC));
  EXPECT_FALSE(Compare("b", Op::Between, Array{"A", "C"}));
  EXPECT_TRUE(Compare("é", Op::GreaterThan, "z"));  // U+00E9 sorts after z
}

TEST(PredicateText, CaseInsensitivityCoversLatinGreekAndCyrillic) {
  EXPECT_TRUE(Compare("ÄÖÜÉÈÇÑ", Op::EqualTo, "äöüéèçñ", kC));
  EXPECT_TRUE(Compare("ŁÓDŹ", Op::EqualTo, "łódź", kC));
  EXPECT_TRUE(Compare("ŒUVRE Ÿ", Op::EqualTo, "œuvre ÿ", kC));
  EXPECT_TRUE(Compare("ΣΟΦΊΑ", Op::EqualTo, "σοφία", kC));
  EXPECT_TRUE(Compare("ΟΔΟΣ", Op::EqualTo, "οδος", kC));  // final sigma folds like sigma
  EXPECT_TRUE(Compare("ПРИВЕТ ЁЖ", Op::EqualTo, "привет ёж", kC));
  EXPECT_FALSE(Compare("ÄÖÜ", Op::EqualTo, "aou", kC));
  EXPECT_FALSE(Compare("ÄÖÜ", Op::EqualTo, "äöü"));
}

TEST(PredicateText, DiacriticInsensitivityRemovesAccentsAndCombiningMarks) {
  EXPECT_TRUE(Compare("Crème Brûlée", Op::EqualTo, "Creme Brulee", kD));
  EXPECT_FALSE(Compare("Crème Brûlée", Op::EqualTo, "creme brulee", kD));
  EXPECT_TRUE(Compare("Crème Brûlée", Op::EqualTo, "creme brulee", kC | kD));
  EXPECT_TRUE(Compare("Cre\xCC\x80me", Op::EqualTo, "Crème", kD));  // e + combining grave
  EXPECT_TRUE(Compare("Škoda Ŕ", Op::EqualTo, "Skoda R", kD));
  EXPECT_TRUE(Compare("άέήίόύώ", Op::EqualTo, "αεηιουω", kD));
  EXPECT_FALSE(Compare("Ø", Op::EqualTo, "O", kD));  // no decomposition: a letter of its own
  EXPECT_TRUE(Eval("name ==[cd] 'CAFE'", Dictionary{{"name", "café"}}));
  EXPECT_FALSE(Eval("name ==[c] 'CAFE'", Dictionary{{"name", "café"}}));
  EXPECT_FALSE(Eval("name ==[d] 'CAFE'", Dictionary{{"name", "café"}}));
}

TEST(PredicateText, NormalizedOptionComparesTextsAsTheyAre) {
  EXPECT_FALSE(Compare("ABC", Op::EqualTo, "abc", kC | NormalizedPredicateOption));
  EXPECT_TRUE(Compare("abc", Op::EqualTo, "abc", NormalizedPredicateOption));
}

TEST(PredicateText, InvalidUtf8StillComparesConsistently) {
  std::string broken = "a\xFF" "b";
  EXPECT_TRUE(Compare(broken, Op::EqualTo, broken, kC | kD));
  EXPECT_FALSE(Compare(broken, Op::EqualTo, "ab", kC | kD));
  EXPECT_TRUE(Compare("xA\xFF" "Bx", Op::Contains, broken, kC));
}

TEST(PredicateOperators, InAndContainsOnTextsAreSubstringTests) {
  EXPECT_TRUE(Compare("ell", Op::In, "Hello"));
  EXPECT_FALSE(Compare("ELL", Op::In, "Hello"));
  EXPECT_TRUE(Compare("ELL", Op::In, "Hello", kC));
  EXPECT_TRUE(Compare("", Op::In, "Hello"));
  EXPECT_FALSE(Compare("Hello!", Op::In, "Hello"));
  EXPECT_TRUE(Compare("Hello", Op::Contains, "ell"));
  EXPECT_FALSE(Compare("Hello", Op::Contains, "ELL"));
  EXPECT_TRUE(Compare("Hello", Op::Contains, "ELL", kC));
  EXPECT_TRUE(Compare("Hélène", Op::Contains, "LEN", kC | kD));
  EXPECT_FALSE(Compare(5, Op::In, "5"));
}

TEST(PredicateOperators, InAndContainsOnCollectionsAreMembershipTests) {
  EXPECT_TRUE(Eval("'b' IN {'a', 'b'}"));
  EXPECT_FALSE(Eval("'B' IN {'a', 'b'}"));
  EXPECT_TRUE(Eval("'B' IN[c] {'a', 'b'}"));
  EXPECT_TRUE(Eval("2 IN {1, 2.0, 3}"));
  EXPECT_FALSE(Eval("'b' IN {'abc'}"));  // membership, not substring
  EXPECT_TRUE(Eval("tags CONTAINS 'x'", Dictionary{{"tags", Array{"w", "x"}}}));
  EXPECT_TRUE(Eval("tags CONTAINS[c] 'X'", Dictionary{{"tags", Array{"w", "x"}}}));
  EXPECT_FALSE(Eval("tags CONTAINS 'y'", Dictionary{{"tags", Array{"w", "x"}}}));
  EXPECT_TRUE(Eval("'v' IN attributes", Dictionary{{"attributes", Dictionary{{"k", "v"}}}}));
  EXPECT_TRUE(Eval("$NAME IN[c] $NAMES", Value(), {{"NAME", "B"}, {"NAMES", Array{"a", "b"}}}));
}

TEST(PredicateOperators, BeginsWithAndEndsWith) {
  EXPECT_TRUE(Compare("Documents", Op::BeginsWith, "Doc"));
  EXPECT_FALSE(Compare("Documents", Op::BeginsWith, "doc"));
  EXPECT_TRUE(Compare("Documents", Op::BeginsWith, "doc", kC));
  EXPECT_TRUE(Compare("Documents", Op::EndsWith, "ents"));
  EXPECT_TRUE(Compare("Résumé.pdf", Op::EndsWith, "E.PDF", kC | kD));
  EXPECT_FALSE(Compare("Doc", Op::BeginsWith, "Documents"));
  EXPECT_TRUE(Compare("x", Op::BeginsWith, ""));
  EXPECT_FALSE(Compare(12, Op::BeginsWith, "1"));
}

TEST(PredicateOperators, LikeMatchesWholeTextWithWildcards) {
  EXPECT_TRUE(Compare("report.txt", Op::Like, "*.txt"));
  EXPECT_FALSE(Compare("report.txt.bak", Op::Like, "*.txt"));
  EXPECT_TRUE(Compare("a", Op::Like, "?"));
  EXPECT_FALSE(Compare("ab", Op::Like, "?"));
  EXPECT_TRUE(Compare("é", Op::Like, "?"));  // one character, two bytes
  EXPECT_TRUE(Compare("aXbYc", Op::Like, "a*b*c"));
  EXPECT_TRUE(Compare("abcbc", Op::Like, "a*bc"));
  EXPECT_FALSE(Compare("abcbd", Op::Like, "a*bc"));
  EXPECT_TRUE(Compare("", Op::Like, "***"));
  EXPECT_TRUE(Compare("REPORT.TXT", Op::Like, "*.txt", kC));
  EXPECT_FALSE(Compare("REPORT.TXT", Op::Like, "*.txt"));
  EXPECT_TRUE(Compare("a*b", Op::Like, "a\\*b"));
  EXPECT_FALSE(Compare("aXb", Op::Like, "a\\*b"));
  EXPECT_TRUE(Compare("what?", Op::Like, "what\\?"));
  EXPECT_TRUE(Eval("$NAME LIKE[cd] 'cafe*'", Value(), {{"NAME", "Café au lait"}}));
  // A pattern from a variable is compiled at evaluation.
  EXPECT_TRUE(Eval("'abc' LIKE $P", Value(), {{"P", "a?c"}}));
  // Many stars on a long text stay fast (no exponential backtracking).
  EXPECT_FALSE(Compare(std::string(5000, 'a'), Op::Like, "*a*a*a*a*a*a*a*a*b"));
}

// One MATCHES comparison: the subject, the pattern, the options, the answer.
struct MatchesCase {
  std::string subject;
  std::string pattern;
  std::uint32_t options;
  bool matches;
  const char* why;
};

// Runs every case and checks that none takes long: the matcher's bounds must
// end a hostile pattern well within the test's patience, sanitizers included.
void ExpectMatches(const std::vector<MatchesCase>& cases) {
  for (const MatchesCase& c : cases) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Compare(c.subject, Op::Matches, c.pattern, c.options), c.matches)
        << c.why << ": /" << c.pattern << "/ on " << c.subject.size() << " bytes";
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15)) << c.why;
  }
}

TEST(PredicateOperators, MatchesIsAWholeTextRegularExpression) {
  ExpectMatches({
      {"abc123", "[a-z]+\\d+", 0, true, "letters then digits"},
      {"abc123x", "[a-z]+\\d+", 0, false, "a trailing character is not matched"},
      {"1abc123", "[a-z]+\\d+", 0, false, "a leading character is not matched"},
      {"abc123x", "[a-z]+\\d+.", 0, true, "the whole text, with its last character"},
      {"ABC123", "[a-z]+\\d+", kC, true, "[c] ignores case"},
      {"ABC123", "[a-z]+\\d+", 0, false, "without [c] case counts"},
      {"ABC", "\\D+", kC, true, "escapes keep their case"},
      {"123", "\\D+", kC, false, "\\D is still not-a-digit under [c]"},
      {"ÉCOLE", "école", kC, true, "[c] folds Latin-1 letters"},
      {"ÉCOLE", "école", 0, false, "without [c] É is not é"},
      {"école", "ecole", kD, true, "[d] removes the subject's accent"},
      {"ecole", "école", kD, true, "[d] removes the pattern's accent"},
      {"ÉCOLE", "ecole", kC | kD, true, "[cd] does both"},
      {"é", ".", 0, true, "one character, two bytes"},
      {"😀", ".", 0, true, "one character outside the basic plane"},
      {"a\xff" "b", "a.b", 0, true, "an invalid byte is one character"},
      {"a\nb", "a.b", 0, false, "a dot does not match a line break"},
      {"", "", 0, true, "the empty pattern matches the empty text"},
      {"", "x?", 0, true, "an optional character on the empty text"},
      {"anything", "(unclosed", 0, false, "an invalid pattern matches nothing"},
      {"anything", "a{2,1}", 0, false, "an invalid repetition matches nothing"},
      {"aaaa", "(a+)+", 0, true, "nested quantifiers that can match do"},
  });
  EXPECT_TRUE(Eval(R"('a.b' MATCHES 'a\\.b')"));
  EXPECT_FALSE(Eval(R"('axb' MATCHES 'a\\.b')"));
  EXPECT_TRUE(Eval("'x9' MATCHES $RE", Value(), {{"RE", "x[0-9]"}}));
  EXPECT_FALSE(Eval("'x9' MATCHES $RE", Value(), {{"RE", "x[0-9"}}));
  EXPECT_TRUE(Eval("'RÉSUMÉ.PDF' MATCHES[cd] $RE", Value(), {{"RE", "resume\\.pdf"}}));
}

TEST(PredicateOperators, MatchesHandlesSubjectsLongerThanTheInlineLimit) {
  const std::string path = std::string(30000, 'a') + ".txt";
  const std::string megabyte = std::string(1 << 20, 'a') + ".txt";
  const std::string upperMegabyte = std::string(1 << 20, 'A') + ".TXT";
  ExpectMatches({
      {path, "(a|b)*\\.txt", 0, true, "an alternation repeated per character"},
      {path, "(a|b)*\\.doc", 0, false, "the same failing at the end"},
      {megabyte, "a*\\.txt", 0, true, "one megabyte"},
      {megabyte, "[ab]+\\.(txt|doc)", 0, true, "one megabyte, a class and a group"},
      {megabyte, "a*\\.doc", 0, false, "one megabyte failing at the end"},
      {upperMegabyte, "a+\\.txt", kC, true, "one megabyte folded by [c]"},
      {megabyte, ".*z.*", 0, false, "backtracking over one megabyte"},
  });
}

TEST(PredicateOperators, MatchesStopsCatastrophicBacktracking) {
  const std::string as(40, 'a');
  ExpectMatches({
      {as, "(a+)+b", 0, false, "exponential in the number of a's"},
      {as, "(a|a)*b", 0, false, "exponential alternation"},
      {as, "(a*)*b", 0, false, "nested stars"},
      {std::string(1 << 20, 'a'), "(a|aa)*c", 0, false, "exponential on one megabyte"},
      {as + "b", "(a+)+b", 0, true, "the same pattern still matches where it can"},
  });
}

TEST(PredicateOperators, OneMatchesPatternServesManyThreads) {
  PredicatePtr predicate = Predicate::predicateWithFormat(R"($NAME MATCHES[c] "(report|draft)-\\d{4}\\.txt")");
  ASSERT_TRUE(predicate);
  const char* const names[] = {"Report-2024.txt", "draft-1999.TXT", "report-24.txt", "notes-2024.txt"};
  const bool expected[] = {true, true, false, false};
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 500; ++round) {
        std::size_t i = static_cast<std::size_t>(round + t) % 4;
        if (predicate->evaluateWithObject(Value(), {{"NAME", names[i]}}) != expected[i]) ++failures[t];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures, std::vector<int>(4, 0));
}

TEST(PredicateOperators, BetweenIsInclusiveAndNeedsTwoBounds) {
  EXPECT_TRUE(Eval("size BETWEEN {1, 10}", Dictionary{{"size", 1}}));
  EXPECT_TRUE(Eval("size BETWEEN {1, 10}", Dictionary{{"size", 10}}));
  EXPECT_TRUE(Eval("size BETWEEN {1, 10}", Dictionary{{"size", 5.5}}));
  EXPECT_FALSE(Eval("size BETWEEN {1, 10}", Dictionary{{"size", 0}}));
  EXPECT_FALSE(Eval("size BETWEEN {1, 10}", Dictionary{{"size", 10.01}}));
  EXPECT_FALSE(Eval("size BETWEEN {1}", Dictionary{{"size", 1}}));
  EXPECT_FALSE(Eval("size BETWEEN {1, 2, 3}", Dictionary{{"size", 1}}));
  EXPECT_FALSE(Eval("size BETWEEN 5", Dictionary{{"size", 5}}));
  EXPECT_TRUE(Eval("size BETWEEN {$LOW, $HIGH}", Dictionary{{"size", 5}}, {{"LOW", 5}, {"HIGH", 6}}));
}

TEST(PredicateModifiers, AnyAndAllApplyTheComparisonToEveryElement) {
  Dictionary object{{"tags", Array{"red", "Green"}}, {"sizes", Array{3, 4, 5}}, {"empty", Array{}}};
  EXPECT_TRUE(Eval("ANY tags == 'red'", object));
  EXPECT_FALSE(Eval("ANY tags == 'green'", object));
  EXPECT_TRUE(Eval("ANY tags ==[c] 'green'", object));
  EXPECT_TRUE(Eval("SOME tags BEGINSWITH 'G'", object));
  EXPECT_TRUE(Eval("ALL sizes > 2", object));
  EXPECT_FALSE(Eval("ALL sizes > 3", object));
  EXPECT_TRUE(Eval("NONE sizes > 5", object));
  EXPECT_FALSE(Eval("NONE sizes > 4", object));
  EXPECT_TRUE(Eval("ALL empty == 1", object));   // vacuously true
  EXPECT_FALSE(Eval("ANY empty == 1", object));
  EXPECT_TRUE(Eval("ANY sizes IN {5, 6}", object));
  EXPECT_FALSE(Eval("ANY missing == 1", object));  // no collection
  EXPECT_FALSE(Eval("ALL missing == 1", object));
  EXPECT_FALSE(Eval("ALL $X == 1", Value(), {{"X", 1}}));  // not a collection
}

TEST(PredicateCompound, AndOrNotFollowBooleanLogic) {
  Dictionary object{{"a", 2}, {"b", "quux"}};
  EXPECT_TRUE(Eval("a > 1 AND b BEGINSWITH 'q'", object));
  EXPECT_FALSE(Eval("a > 2 AND b BEGINSWITH 'q'", object));
  EXPECT_TRUE(Eval("a > 2 OR b BEGINSWITH 'q'", object));
  EXPECT_FALSE(Eval("NOT (a > 1 OR b BEGINSWITH 'q')", object));
  EXPECT_TRUE(Eval("NOT a > 2", object));
  EXPECT_TRUE(Eval("! (a > 2) && (a == 2 || a == 3)", object));
  EXPECT_TRUE(Eval("a == 1 OR a == 2 AND b == 'quux'", object));  // AND binds tighter
  EXPECT_FALSE(Eval("(a == 1 OR a == 2) AND b == 'x'", object));
  EXPECT_TRUE(Eval("TRUEPREDICATE"));
  EXPECT_FALSE(Eval("FALSEPREDICATE"));
  EXPECT_TRUE(Predicate::andPredicate({})->evaluateWithObject(Value()));
  EXPECT_FALSE(Predicate::orPredicate({})->evaluateWithObject(Value()));
}

TEST(PredicateExpressions, KeyPathsWalkDictionariesAndArrays) {
  Dictionary object{{"name", "top"},
                    {"owner", Dictionary{{"name", "ann"}, {"address", Dictionary{{"city", "Oslo"}}}}},
                    {"items", Array{Dictionary{{"price", 2}}, Dictionary{{"price", 5.5}}, Dictionary{}}}};
  auto value = [&](const char* path) { return Expression::keyPath(path)->expressionValueWithObject(object, {}); };
  EXPECT_EQ(value("owner.address.city"), Value("Oslo"));
  EXPECT_TRUE(value("owner.phone").isNull());
  EXPECT_TRUE(value("name.length").isNull());
  EXPECT_EQ(value("items.price"), Value(Array{2, 5.5, Value()}));
  EXPECT_EQ(value("items.@count"), Value(3));
  EXPECT_EQ(value("items.@sum.price"), Value(7.5));
  EXPECT_EQ(value("items.@max.price"), Value(5.5));
  EXPECT_EQ(value("items.@min.price"), Value(2));
  EXPECT_EQ(value("items.@avg.price"), Value(3.75));
  EXPECT_TRUE(Eval("owner.address.city ==[c] 'oslo'", object));
  EXPECT_TRUE(Eval("ANY items.price > 5", object));
  EXPECT_TRUE(Eval("items.@count == 3 AND items.@sum.price < 8", object));
  EXPECT_TRUE(Eval("SELF.name == 'top'", object));
}

TEST(PredicateExpressions, SelfIsTheEvaluatedObject) {
  EXPECT_TRUE(Eval("SELF == 'x'", Value("x")));
  EXPECT_TRUE(Eval("SELF BEGINSWITH[c] 'DOC'", Value("docs")));
  EXPECT_TRUE(Eval("SELF > 3", Value(4)));
  EXPECT_TRUE(Eval("ANY SELF == 2", Value(Array{1, 2})));
}

TEST(PredicateExpressions, AggregatesEvaluateTheirElements) {
  auto aggregate = Expression::aggregate({Expression::constant(1), Expression::variable("X"), Expression::keyPath("k")});
  EXPECT_EQ(aggregate->expressionValueWithObject(Dictionary{{"k", "v"}}, {{"X", 2}}), Value(Array{1, 2, "v"}));
  EXPECT_TRUE(Eval("$X IN {1, $Y}", Value(), {{"X", 5}, {"Y", 5}}));
}

TEST(PredicateSubstitution, VariablesBecomeConstants) {
  PredicatePtr predicate = Predicate::predicateWithFormat("$PATH IN[c] 'a' AND $SIZE IN {1, $OTHER} AND name == $N");
  ASSERT_TRUE(predicate);
  PredicatePtr substituted = predicate->predicateWithSubstitutionVariables({{"PATH", "A"}, {"SIZE", 2}, {"OTHER", 2}});
  EXPECT_EQ(substituted->predicateFormat(), R"("A" IN[c] "a" AND 2 IN {1, 2} AND name == $N)");
  EXPECT_TRUE(substituted->subpredicates()[1]->rightExpression()->isEqualToObject(
      *Expression::constant(Array{1, 2})));
  EXPECT_TRUE(substituted->evaluateWithObject(Dictionary{{"name", "n"}}, {{"N", "n"}}));
  // The original is untouched, and an unchanged predicate comes back as itself.
  EXPECT_EQ(predicate->subpredicates()[0]->leftExpression()->expressionType(), ExpressionType::Variable);
  EXPECT_EQ(predicate->predicateWithSubstitutionVariables({{"UNUSED", 1}}), predicate);
}

TEST(PredicateSubstitution, SubstitutedAndDirectEvaluationAgree) {
  PredicatePtr predicate =
      Predicate::predicateWithFormat("$NAME LIKE[c] '*.TMP' OR ($TYPE == 1 AND $FILE_SIZE > 1000) OR $PATH ==[cd] 'x'");
  ASSERT_TRUE(predicate);
  const Dictionary cases[] = {
      {{"NAME", "a.tmp"}, {"TYPE", 1}, {"FILE_SIZE", 10}, {"PATH", "a.tmp"}},
      {{"NAME", "a.txt"}, {"TYPE", 1}, {"FILE_SIZE", 5000}, {"PATH", "a.txt"}},
      {{"NAME", "a.txt"}, {"TYPE", 0}, {"FILE_SIZE", kNaN}, {"PATH", "X"}},
      {{"NAME", "a.txt"}, {"TYPE", 0}, {"FILE_SIZE", kNaN}, {"PATH", "y"}},
  };
  const bool expected[] = {true, true, true, false};
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(predicate->evaluateWithObject(Value(), cases[i]), expected[i]) << i;
    EXPECT_EQ(predicate->predicateWithSubstitutionVariables(cases[i])->evaluateWithObject(Value()), expected[i]) << i;
  }
}

TEST(PredicateStructure, BuildersExposeThePlatformNumbering) {
  EXPECT_EQ(static_cast<int>(Op::LessThan), 0);
  EXPECT_EQ(static_cast<int>(Op::EqualTo), 4);
  EXPECT_EQ(static_cast<int>(Op::In), 10);
  EXPECT_EQ(static_cast<int>(Op::Contains), 99);
  EXPECT_EQ(static_cast<int>(Op::Between), 100);
  EXPECT_EQ(static_cast<int>(ExpressionType::Aggregate), 14);
  EXPECT_EQ(static_cast<int>(ComparisonPredicateModifier::Any), 2);
  EXPECT_EQ(static_cast<int>(CompoundPredicateType::Or), 2);

  PredicatePtr predicate = Predicate::predicateWithFormat("ANY tags LIKE[cd] 'x*' OR NOT $A == SELF");
  ASSERT_TRUE(predicate);
  EXPECT_EQ(predicate->kind(), Predicate::Kind::Compound);
  EXPECT_EQ(predicate->className(), "NSCompoundPredicate");
  EXPECT_EQ(predicate->compoundPredicateType(), CompoundPredicateType::Or);
  const PredicatePtr& like = predicate->subpredicates()[0];
  EXPECT_EQ(like->className(), "NSComparisonPredicate");
  EXPECT_EQ(like->predicateOperatorType(), Op::Like);
  EXPECT_EQ(like->options(), kC | kD);
  EXPECT_EQ(like->comparisonPredicateModifier(), ComparisonPredicateModifier::Any);
  EXPECT_EQ(like->leftExpression()->keyPath(), "tags");
  EXPECT_EQ(like->rightExpression()->constantValue(), Value("x*"));
  const PredicatePtr& negation = predicate->subpredicates()[1];
  EXPECT_EQ(negation->compoundPredicateType(), CompoundPredicateType::Not);
  EXPECT_EQ(negation->subpredicates()[0]->leftExpression()->variable(), "A");
  EXPECT_EQ(negation->subpredicates()[0]->rightExpression()->expressionType(), ExpressionType::EvaluatedObject);
  EXPECT_EQ(Predicate::truePredicate()->className(), "NSTruePredicate");
  EXPECT_EQ(Predicate::falsePredicate()->className(), "NSFalsePredicate");
  EXPECT_EQ(Expression::constant(1)->className(), "NSExpression");
}

TEST(PredicateStructure, PredicatesLiveInValues) {
  PredicatePtr predicate = SubpathExclusion("a");
  Value held(predicate);
  ASSERT_TRUE(held.isObject());
  EXPECT_EQ(held.object<Predicate>(), predicate);
  EXPECT_EQ(held, Value(SubpathExclusion("a")));
  EXPECT_FALSE(held == Value(SubpathExclusion("b")));
  Dictionary settings{{"exclusionPredicate", held}};
  EXPECT_TRUE(settings["exclusionPredicate"].object<Predicate>()->evaluateWithObject(Value(), {{"PATH", "A"}}));
}

TEST(PredicateStructure, ProgrammingErrorsThrow) {
  EXPECT_THROW(Predicate::comparison(nullptr, Op::EqualTo, Expression::constant(1)), InternalInconsistency);
  EXPECT_THROW(Predicate::compound(CompoundPredicateType::Not, {}), InternalInconsistency);
  EXPECT_THROW(Predicate::andPredicate({nullptr}), InternalInconsistency);
  EXPECT_THROW(Expression::variable(""), InternalInconsistency);
  EXPECT_THROW(Expression::keyPath(""), InternalInconsistency);
  EXPECT_THROW(Predicate::comparison(Expression::constant(1), Op::CustomSelector, Expression::constant(1)),
               InternalInconsistency);
}

}  // namespace
}  // namespace quorvel
