#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "foundation/Predicate.h"

namespace quorvel {
namespace {

using Op = PredicateOperatorType;

PredicatePtr Parse(const std::string& format) {
  std::string error;
  PredicatePtr predicate = Predicate::predicateWithFormat(format, &error);
  EXPECT_TRUE(predicate) << format << ": " << error;
  return predicate;
}

// The error message for text that must not parse.
std::string ParseError(const std::string& format) {
  std::string error;
  PredicatePtr predicate = Predicate::predicateWithFormat(format, &error);
  EXPECT_FALSE(predicate) << format << " parsed as " << (predicate ? predicate->predicateFormat() : "");
  EXPECT_FALSE(error.empty()) << format;
  return error;
}

// The constant on the right of a parsed comparison "x == <text>".
Value RightConstant(const std::string& text) {
  PredicatePtr predicate = Parse("x == " + text);
  if (!predicate) return Value("<unparsed>");
  EXPECT_EQ(predicate->rightExpression()->expressionType(), ExpressionType::ConstantValue) << text;
  return predicate->rightExpression()->constantValue();
}

const char* const kRoundTripFormats[] = {
    R"($PATH IN[c] "Docs/Old" AND "Docs/Old" IN[c] $PATH)",
    R"(PATH IN[c] "Docs/Old" AND "Docs/Old" IN[c] PATH)",
    R"(name ==[cd] 'x')",
    R"(NOT (a > 1 OR b BEGINSWITH "q"))",
    R"(size BETWEEN {1, 10})",
    R"(ANY tags == "x")",
    R"(ALL sizes >= -3)",
    R"(NONE tags CONTAINS[c] "tmp")",
    R"(name == "say \"hi\"")",
    R"(name == 'it\'s')",
    R"(path == "C:\\Temp\\x")",
    R"(text == "line1\nline2\ttab\r")",
    R"(text == "\u00e9t\u00E9 \u20AC \uD83D\uDE00")",
    R"(text == "ctrl \u0001 \u001F del \u007F")",
    R"(text == "")",
    R"(n == 0 OR n == -0 OR n == 42 OR n == -17)",
    R"(n == 1.5 OR n == -0.25 OR n == 1e300 OR n == 2.5E-8 OR n == .5 OR n == 3.)",
    R"(n == 0x1F OR n == -0x10 OR n == 0o17 OR n == 0b1011)",
    R"(n == 9223372036854775807 OR n == -9223372036854775808 OR n == 18446744073709551615)",
    R"(n == 123456789012345678901234567890)",
    R"(flag == TRUE AND other == FALSE AND y == YES AND z == NO)",
    R"(value == nil OR value == NULL OR value != NIL)",
    R"($WEEK_DAY == 0 OR $WEEK_DAY == 6)",
    R"($TYPE == 1 AND $FILE_SIZE > 1048576)",
    R"($DATE_MODIFIED < CAST(725846400.5, "NSDate"))",
    R"(n == CAST("nan", "NSNumber") OR n == CAST("inf", "NSNumber") OR n == CAST("-inf", "NSNumber"))",
    R"(owner.address.city ==[c] "oslo")",
    R"(#AND == 1 AND a.#in == 2 AND #self.x == 3)",
    R"(items.@count > 2 AND items.@sum.price < 10)",
    R"(SELF BEGINSWITH "x" AND SELF.name == "y")",
    R"($NAME LIKE[cd] "*.tmp" OR $NAME MATCHES "^[A-Z]\\d+$")",
    R"(a == 1 AND (b == 2 OR c == 3) AND NOT d == 4)",
    R"((a == 1 AND b == 2) OR (c == 3 AND (d == 4 OR NOT (e == 5 AND f == 6))))",
    R"(a == 1 AND (b == 2 AND c == 3))",
    R"(NOT NOT a == 1)",
    R"(TRUEPREDICATE AND NOT FALSEPREDICATE)",
    R"($X IN {1, "two", 3.0, {4, $Y}, nil, TRUE})",
    R"(x IN {})",
    R"(name ENDSWITH[n] "a" AND name ENDSWITH[cdn] "b")",
    R"(a < 1 OR a <= 2 OR a > 3 OR a >= 4 OR a != 5 OR a == 6)",
    R"(x == "ünïcödé ключ 鍵")",
    R"(Über == 1)",
};

TEST(PredicateFormat, PrintingThenParsingGivesAnEqualPredicate) {
  std::size_t count = 0;
  for (const char* format : kRoundTripFormats) {
    PredicatePtr parsed = Parse(format);
    if (!parsed) continue;
    std::string printed = parsed->predicateFormat();
    PredicatePtr reparsed = Parse(printed);
    if (!reparsed) continue;
    EXPECT_TRUE(parsed->isEqualToObject(*reparsed)) << format << "\nprinted: " << printed;
    EXPECT_EQ(reparsed->predicateFormat(), printed) << format;  // printing is stable
    ++count;
  }
  EXPECT_GE(count, 30u);
}

TEST(PredicateFormat, PrintsTheCanonicalSpelling) {
  EXPECT_EQ(Parse("$PATH in[C] 'Docs/Old' && 'Docs/Old' in[c] $PATH")->predicateFormat(),
            R"($PATH IN[c] "Docs/Old" AND "Docs/Old" IN[c] $PATH)");
  EXPECT_EQ(Parse("not (a > 1 || b beginswith \"q\")")->predicateFormat(), R"(NOT (a > 1 OR b BEGINSWITH "q"))");
  EXPECT_EQ(Parse("size between {1,10}")->predicateFormat(), "size BETWEEN {1, 10}");
  EXPECT_EQ(Parse("any tags = 'x'")->predicateFormat(), R"(ANY tags == "x")");
  EXPECT_EQ(Parse("a = 1 && ! b <> 2")->predicateFormat(), "a == 1 AND NOT b != 2");
  EXPECT_EQ(Parse("a =< 1 OR a => 2")->predicateFormat(), "a <= 1 OR a >= 2");
  EXPECT_EQ(Parse("x == 2.0")->predicateFormat(), "x == 2.0");
  EXPECT_EQ(Parse("x == 'a\"b'")->predicateFormat(), R"(x == "a\"b")");
  EXPECT_EQ(Parse("x == CAST(10, 'NSDate')")->predicateFormat(), R"(x == CAST(10.0, "NSDate"))");
  EXPECT_EQ(Parse("x == nil")->predicateFormat(), "x == nil");
  EXPECT_EQ(Parse("truepredicate")->predicateFormat(), "TRUEPREDICATE");
}

TEST(PredicateFormat, BuiltPredicatesPrintAndParseBack) {
  PredicatePtr built = Predicate::orPredicate({
      Predicate::andPredicate(
          {Predicate::comparison(Expression::variable("PATH"), Op::In, Expression::constant("Docs/\"Old\""),
                                 CaseInsensitivePredicateOption),
           Predicate::comparison(Expression::constant("Docs/\"Old\""), Op::In, Expression::variable("PATH"),
                                 CaseInsensitivePredicateOption)}),
      Predicate::notPredicate(Predicate::comparison(Expression::keyPath("size"), Op::Between,
                                                    Expression::constant(Array{1, 2.5}))),
      Predicate::comparison(Expression::keyPath("tags"), Op::EqualTo, Expression::constant(Value()), 0,
                            ComparisonPredicateModifier::All),
      Predicate::comparison(Expression::evaluatedObject(), Op::GreaterThan, Expression::constant(Date(-1.25))),
      Predicate::comparison(Expression::keyPath("in"), Op::Contains,
                            Expression::aggregate({Expression::variable("V"), Expression::constant(true)})),
  });
  std::string printed = built->predicateFormat();
  EXPECT_EQ(printed,
            R"(($PATH IN[c] "Docs/\"Old\"" AND "Docs/\"Old\"" IN[c] $PATH) OR NOT size BETWEEN {1, 2.5} OR )"
            R"(ALL tags == nil OR SELF > CAST(-1.25, "NSDate") OR #in CONTAINS {$V, TRUE})");
  PredicatePtr parsed = Parse(printed);
  ASSERT_TRUE(parsed);
  EXPECT_TRUE(built->isEqualToObject(*parsed));
  // The constant array of the builder and the parsed aggregate are equal
  // expressions, but stay what they were built as.
  EXPECT_EQ(parsed->subpredicates()[1]->subpredicates()[0]->rightExpression()->expressionType(),
            ExpressionType::Aggregate);
}

TEST(PredicateFormat, DegenerateCompoundsPrintAsTheirMeaning) {
  EXPECT_EQ(Predicate::andPredicate({})->predicateFormat(), "TRUEPREDICATE");
  EXPECT_EQ(Predicate::orPredicate({})->predicateFormat(), "FALSEPREDICATE");
  PredicatePtr single = Predicate::andPredicate({Parse("a == 1")});
  EXPECT_EQ(single->predicateFormat(), "a == 1");
  EXPECT_EQ(Predicate::notPredicate(single)->predicateFormat(), "NOT (a == 1)");
}

TEST(PredicateFormat, EqualityIsStructural) {
  EXPECT_TRUE(Parse("a == 1")->isEqualToObject(*Parse("a = 1")));
  EXPECT_FALSE(Parse("a == 1")->isEqualToObject(*Parse("a == 1.0")));
  EXPECT_FALSE(Parse("a == 1")->isEqualToObject(*Parse("a == '1'")));
  EXPECT_FALSE(Parse("a == 1")->isEqualToObject(*Parse("a ==[c] 1")));
  EXPECT_FALSE(Parse("a == 1")->isEqualToObject(*Parse("ANY a == 1")));
  EXPECT_FALSE(Parse("a == 1")->isEqualToObject(*Parse("$a == 1")));
  EXPECT_FALSE(Parse("a == 1")->isEqualToObject(*Parse("1 == a")));
  EXPECT_FALSE(Parse("a == 1 AND b == 2")->isEqualToObject(*Parse("b == 2 AND a == 1")));
  EXPECT_FALSE(Parse("a == 1 AND b == 2")->isEqualToObject(*Parse("a == 1 OR b == 2")));
  EXPECT_FALSE(Parse("a == 1 AND b == 2 AND c == 3")->isEqualToObject(*Parse("a == 1 AND (b == 2 AND c == 3)")));
  EXPECT_TRUE(Parse("x == CAST('nan', 'NSNumber')")->isEqualToObject(*Parse("x == CAST(\"nan\", \"NSNumber\")")));
  EXPECT_FALSE(Parse("x IN {1, 2}")->isEqualToObject(*Parse("x IN {1, 2, 3}")));
  EXPECT_FALSE(Parse("TRUEPREDICATE")->isEqualToObject(*Expression::constant(1)));
}

TEST(PredicateFormat, TextsAndEscapes) {
  EXPECT_EQ(RightConstant(R"("a\"b")"), Value("a\"b"));
  EXPECT_EQ(RightConstant(R"('a\'b')"), Value("a'b"));
  EXPECT_EQ(RightConstant(R"('a"b')"), Value("a\"b"));
  EXPECT_EQ(RightConstant(R"("a'b")"), Value("a'b"));
  EXPECT_EQ(RightConstant(R"("a\\b")"), Value("a\\b"));
  EXPECT_EQ(RightConstant(R"("\n\t\r\/\0x")"), Value(std::string("\n\t\r/\0x", 6)));
  EXPECT_EQ(RightConstant(R"("\u00E9\u00e9")"), Value("éé"));
  EXPECT_EQ(RightConstant(R"("\uD83D\uDE00")"), Value("\xF0\x9F\x98\x80"));
  EXPECT_EQ(RightConstant(R"("\d+")"), Value("\\d+"));  // unknown escapes keep the backslash
  EXPECT_EQ(RightConstant("\"raw ü €\""), Value("raw ü €"));
  EXPECT_EQ(RightConstant(R"("$PATH %@ AND")"), Value("$PATH %@ AND"));  // quoted: no meaning
}

TEST(PredicateFormat, Numbers) {
  EXPECT_EQ(RightConstant("0"), Value(0));
  EXPECT_EQ(RightConstant("-12"), Value(-12));
  EXPECT_EQ(RightConstant("1.5").type(), Value::Type::Real);
  EXPECT_EQ(RightConstant("1.5"), Value(1.5));
  EXPECT_EQ(RightConstant("-.5"), Value(-0.5));
  EXPECT_EQ(RightConstant("3."), Value(3.0));
  EXPECT_EQ(RightConstant("1e3"), Value(1000.0));
  EXPECT_EQ(RightConstant("2.5E-3"), Value(0.0025));
  EXPECT_EQ(RightConstant("0xff"), Value(255));
  EXPECT_EQ(RightConstant("-0x10"), Value(-16));
  EXPECT_EQ(RightConstant("0o17"), Value(15));
  EXPECT_EQ(RightConstant("0b101"), Value(5));
  EXPECT_EQ(RightConstant("18446744073709551615"), Value(UINT64_MAX));
  EXPECT_EQ(RightConstant("-9223372036854775808"), Value(INT64_MIN));
  EXPECT_EQ(RightConstant("1e999"), Value(std::numeric_limits<double>::infinity()));
  EXPECT_TRUE(std::isnan(RightConstant("CAST('nan', 'NSNumber')").asDouble()));
  EXPECT_EQ(RightConstant("CAST('42', 'NSNumber')"), Value(42));
  EXPECT_EQ(RightConstant("CAST(42, 'NSString')"), Value("42"));
  EXPECT_EQ(RightConstant("CAST(1.5, 'NSString')"), Value("1.5"));
  EXPECT_EQ(RightConstant("CAST(12.5, 'NSDate')"), Value(Date(12.5)));
  EXPECT_EQ(RightConstant("TRUE"), Value(true));
  EXPECT_EQ(RightConstant("yes"), Value(true));
  EXPECT_EQ(RightConstant("False"), Value(false));
  EXPECT_EQ(RightConstant("no"), Value(false));
  EXPECT_TRUE(RightConstant("Nil").isNull());
}

TEST(PredicateFormat, KeywordsAreCaseInsensitive) {
  PredicatePtr predicate = Parse("any Tags bEgInSwItH[Cd] 'x' aNd NoT $v In {1} oR FaLsEpReDiCaTe");
  ASSERT_TRUE(predicate);
  EXPECT_EQ(predicate->predicateFormat(), R"((ANY Tags BEGINSWITH[cd] "x" AND NOT $v IN {1}) OR FALSEPREDICATE)");
}

TEST(PredicateFormat, FormatArguments) {
  PredicatePtr predicate = Predicate::predicateWithFormat("$PATH IN[c] %@ AND %K == %@", {"Docs/Old", "size", 5});
  ASSERT_TRUE(predicate);
  EXPECT_EQ(predicate->predicateFormat(), R"($PATH IN[c] "Docs/Old" AND size == 5)");
  std::string error;
  EXPECT_FALSE(Predicate::predicateWithFormat("a == %@", Array{}, &error));
  EXPECT_NE(error.find("missing format argument"), std::string::npos);
  EXPECT_FALSE(Predicate::predicateWithFormat("%K == 1", {5}));
  EXPECT_FALSE(Predicate::predicateWithFormat("a == %d", {5}));
}

TEST(PredicateFormat, ExpressionsParseOnTheirOwn) {
  EXPECT_EQ(Expression::expressionWithFormat("$PATH")->variable(), "PATH");
  EXPECT_EQ(Expression::expressionWithFormat(" a.b ")->keyPath(), "a.b");
  EXPECT_EQ(Expression::expressionWithFormat("{1, 'x'}")->collection().size(), 2u);
  EXPECT_EQ(Expression::expressionWithFormat("SELF")->expressionType(), ExpressionType::EvaluatedObject);
  std::string error;
  EXPECT_FALSE(Expression::expressionWithFormat("a b", &error));
  EXPECT_FALSE(error.empty());
}

TEST(PredicateFormat, MalformedTextIsRefusedWithAMessage) {
  const char* const malformed[] = {
      "",
      "   ",
      "a",
      "a ==",
      "== 1",
      "a == 1 AND",
      "a == 1 OR OR b == 2",
      "(a == 1",
      "a == 1)",
      "a == (1)",
      "a == 'unterminated",
      "a == \"unterminated\\\"",
      "a == 'x\\u12'",
      "a == 'x\\uZZZZ'",
      "a ==[x] 1",
      "a ==[] 1",
      "a ==[c 1",
      "a == 1.2.3",
      "a == 12abc",
      "a == 0x",
      "a == 0xfffffffffffffffff",
      "a == --1",
      "a === 1",
      "a ! 1",
      "$ == 1",
      "a. == 1",
      "# == 1",
      "AND == 1",
      "a == IN",
      "a == {1, 2",
      "a == {1 2}",
      "a == {,}",
      "a IN[c]",
      "ANY == 1",
      "a == CAST(1)",
      "a == CAST(b, 'NSDate')",
      "a == CAST(1, 'NSColor')",
      "a == CAST('x', 'NSNumber')",
      "a == ?",
      "a == 1 b == 2",
      "NOT",
      "a == %@",
      "SUBQUERY(a, $x, $x == 1).@count > 0",
      "a == FUNCTION(b, 'x')",
      "a + 1 == 2",
  };
  for (const char* format : malformed) ParseError(format);
  EXPECT_NE(ParseError("a == 1 b == 2").find("offset 7"), std::string::npos);
}

TEST(PredicateFormat, NestingBeyondTheLimitIsRefusedWithoutRecursingDeeper) {
  const int limit = Predicate::kMaximumFormatDepth;
  auto parens = [](int depth) { return std::string(depth, '(') + "a == 1" + std::string(depth, ')'); };
  EXPECT_TRUE(Parse(parens(limit - 1)));
  EXPECT_NE(ParseError(parens(limit + 1)).find("nesting too deep"), std::string::npos);
  EXPECT_NE(ParseError(parens(1000000)).find("nesting too deep"), std::string::npos);

  std::string nots;
  for (int i = 0; i < 1000000; ++i) nots += "NOT ";
  EXPECT_NE(ParseError(nots + "a == 1").find("nesting too deep"), std::string::npos);
  EXPECT_NE(ParseError(std::string(1000000, '!') + "a == 1").find("nesting too deep"), std::string::npos);
  EXPECT_NE(ParseError("a IN " + std::string(1000000, '{')).find("nesting too deep"), std::string::npos);

  // Long flat chains are not nesting: they parse into one compound.
  std::string chain = "a == 0";
  for (int i = 1; i < 20000; ++i) chain += " OR a == " + std::to_string(i);
  PredicatePtr predicate = Parse(chain);
  ASSERT_TRUE(predicate);
  EXPECT_EQ(predicate->subpredicates().size(), 20000u);
  EXPECT_TRUE(predicate->evaluateWithObject(Dictionary{{"a", 19999}}));
}

}  // namespace
}  // namespace quorvel
