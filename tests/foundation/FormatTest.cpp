#include "foundation/Format.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdio>

#include "foundation/Url.h"

namespace quorvel {
namespace {

class Named : public Object {
 public:
  std::string className() const override { return "Named"; }
  std::string description() const override { return "<Named 7>"; }
};

TEST(FormatObject, PrintsEachKindOfValue) {
  EXPECT_EQ(Format("[%@]", "text"), "[text]");
  EXPECT_EQ(Format("%@ %@ %@", 42, -7, 2.5), "42 -7 2.5");
  EXPECT_EQ(Format("%@", static_cast<unsigned long long>(UINT64_MAX)), "18446744073709551615");
  EXPECT_EQ(Format("%@", 0.1), "0.1");
  EXPECT_EQ(Format("%@ %@", true, false), "1 0");
  EXPECT_EQ(Format("%@", Value()), "(null)");
  EXPECT_EQ(Format("%@", Date(0)), "2001-01-01 00:00:00 +0000");
  EXPECT_EQ(Format("%@", Date::fromUnixTime(86399.5)), "1970-01-01 23:59:59 +0000");
  EXPECT_EQ(Format("%@", Data{0x0a, 0x1b, 0x2c, 0x3d, 0x4e}), "<0a1b2c3d 4e>");
  EXPECT_EQ(Format("%@", Value(std::make_shared<Named>())), "<Named 7>");
  EXPECT_EQ(Format("%@", Named()), "<Named 7>");
  EXPECT_EQ(Format("%@", *Url::URLWithString("http://h/p")), "http://h/p");
  EXPECT_EQ(Format("%@", Value(Array{Value(1), Value("a")})), "(1, \"a\")");
  EXPECT_EQ(Format("%@", std::string("std")), "std");
  EXPECT_EQ(Format("%@", std::string_view("view")), "view");
}

TEST(FormatInteger, TheCommonSpecifiers) {
  EXPECT_EQ(Format("%i %d %u", 1, -2, 3u), "1 -2 3");
  EXPECT_EQ(Format("%qu %lu %llu", 1ull << 40, 5ul, static_cast<unsigned long long>(UINT64_MAX)),
            "1099511627776 5 18446744073709551615");
  EXPECT_EQ(Format("%02X", 10), "0A");
  EXPECT_EQ(Format("%02X%02X", 255, 0), "FF00");
  EXPECT_EQ(Format("%04i", 7), "0007");
  EXPECT_EQ(Format("%04i", -7), "-007");
  EXPECT_EQ(Format("%04i.data", 12345), "12345.data");
  EXPECT_EQ(Format("%x %#x %o %#o", 255, 255, 8, 8), "ff 0xff 10 010");
  EXPECT_EQ(Format("%qu:%i", 9ull, 4), "9:4");
}

TEST(FormatInteger, LengthModifiersTruncateLikeC) {
  EXPECT_EQ(Format("%u", -1), "4294967295");
  EXPECT_EQ(Format("%lu", -1), "18446744073709551615");
  EXPECT_EQ(Format("%X", -1), "FFFFFFFF");
  EXPECT_EQ(Format("%hhu", 257), "1");
  EXPECT_EQ(Format("%hd", 65535), "-1");
  EXPECT_EQ(Format("%lld", static_cast<long long>(INT64_MIN)), "-9223372036854775808");
  EXPECT_EQ(Format("%d", 1ll << 32), "0");
  EXPECT_EQ(Format("%lld", static_cast<unsigned long long>(UINT64_MAX)), "-1");
}

TEST(FormatInteger, FlagsWidthAndPrecision) {
  EXPECT_EQ(Format("[%5d|%-5d|%+d|% d|%.3d|%5.3d|%-+6d]", 42, 42, 42, 42, 7, 7, 9), "[   42|42   |+42| 42|007|  007|+9    ]");
  EXPECT_EQ(Format("[%*d|%-*d]", 4, 1, 3, 2), "[   1|2  ]");
  EXPECT_EQ(Format("[%.0d]", 0), "[]");
  EXPECT_EQ(Format("%d", "12"), "12");
  EXPECT_EQ(Format("%d", 3.9), "3");
  EXPECT_EQ(Format("%p", reinterpret_cast<void*>(0x1234)), "0x1234");
}

TEST(FormatReal, FixedScientificAndGeneral) {
  EXPECT_EQ(Format("%f", 1.5), "1.500000");
  EXPECT_EQ(Format("%.1f", 2.25), "2.2");  // round half to even on the binary value
  EXPECT_EQ(Format("%.2f %.0f", 3.14159, 2.5), "3.14 2");
  EXPECT_EQ(Format("%8.3f|%-8.1f|%08.2f", 3.14159, -1.25, -3.5), "   3.142|-1.2    |-0003.50");
  EXPECT_EQ(Format("%e %E", 12345.678, 0.5), "1.234568e+04 5.000000E-01");
  EXPECT_EQ(Format("%g %g %G", 0.0001, 1e20, 1e-10), "0.0001 1e+20 1E-10");
  EXPECT_EQ(Format("%f %f %5.1f", std::nan(""), -HUGE_VAL, HUGE_VAL), "nan -inf   inf");
  EXPECT_EQ(Format("%.2f", 7), "7.00");
}

TEST(FormatReal, IgnoresTheProcessLocale) {
  const char* previous = std::setlocale(LC_NUMERIC, nullptr);
  std::string saved = previous ? previous : "C";
  bool commaLocale = false;
  for (const char* name : {"de_DE.UTF-8", "fr_FR.UTF-8", "de_DE", "fr_FR", "ru_RU.UTF-8"}) {
    if (std::setlocale(LC_NUMERIC, name)) {
      commaLocale = true;
      break;
    }
  }
  if (!commaLocale) GTEST_SKIP() << "no locale with a decimal comma is installed";
  char probe[16];
  std::snprintf(probe, sizeof probe, "%.1f", 1.5);
  EXPECT_STREQ(probe, "1,5");  // the locale is really in effect
  EXPECT_EQ(Format("%.1f %@", 1.5, 0.25), "1.5 0.25");
  std::setlocale(LC_NUMERIC, saved.c_str());
}

TEST(FormatText, StringsCharactersAndPercent) {
  EXPECT_EQ(Format("%s: lstat() on \"%s\" failed with error \"%s\"", "Capture", "/a b", "No such file"),
            "Capture: lstat() on \"/a b\" failed with error \"No such file\"");
  EXPECT_EQ(Format("[%5s|%-5s|%.2s]", "ab", "ab", "abcdef"), "[   ab|ab   |ab]");
  EXPECT_EQ(Format("%.1s", "\xc3\xa9t\xc3\xa9"), "");  // never splits a character
  EXPECT_EQ(Format("%.2s", "\xc3\xa9t\xc3\xa9"), "\xc3\xa9");
  EXPECT_EQ(Format("%c%c", 'o', "k!"), "ok");
  EXPECT_EQ(Format("%c", 0x20AC), "\xe2\x82\xac");
  EXPECT_EQ(Format("100%% of %@", "it"), "100% of it");
  EXPECT_EQ(Format("%s", Value()), "(null)");
}

TEST(FormatRobustness, MissingArgumentsPrintNothing) {
  EXPECT_EQ(Format("a %@ b %i c %s d %f e"), "a  b  c  d  e");
  EXPECT_EQ(Format("%@ and %@", "one"), "one and ");
  EXPECT_EQ(Format("%*d", 5), "");
  EXPECT_EQ(Format("%3$@", "a", "b"), "");
}

TEST(FormatRobustness, OddFormatsAreCopied) {
  EXPECT_EQ(Format("trailing %"), "trailing %");
  EXPECT_EQ(Format("%k %y", 1), "%k %y");
  EXPECT_EQ(Format("%l"), "%l");
  EXPECT_EQ(Format("%99999999999d", 1).size(), 100000u);
  EXPECT_EQ(Format("%.99999999999f", 1.0).size(), 402u);
}

TEST(FormatPositions, ArgumentsMayBeReordered) {
  EXPECT_EQ(Format("%2$@ %1$@", "world", "hello"), "hello world");
  EXPECT_EQ(Format("%1$@%1$@", "x"), "xx");
}

TEST(FormatVector, TakesPreparedArguments) {
  std::vector<Value> arguments{Value("a"), Value(2)};
  EXPECT_EQ(Format("%@-%i", arguments), "a-2");
  const std::vector<Value>& constArguments = arguments;
  EXPECT_EQ(Format("%@-%i", constArguments), "a-2");
}

TEST(EscapeControlCharacters, LeavesTextAndShowsControlsAsEscapes) {
  struct Case {
    std::string in;
    std::string out;
  };
  const Case cases[] = {
      {"plain name.txt", "plain name.txt"},
      {"Gr\xC3\xBC\xC3\x9F\x65", "Gr\xC3\xBC\xC3\x9F\x65"},  // UTF-8 letters stay
      {"\x1b[2Jgone\x07", "\\x1b[2Jgone\\x07"},
      {"a\tb\nc\rd", "a\\tb\\nc\\rd"},
      {std::string("nul\0x", 5), "nul\\x00x"},
      {"del\x7f", "del\\x7f"},
      {"csi\xC2\x9B" "31m", "csi\\u009b31m"},  // the one-character CSI
      {"nbsp\xC2\xA0", "nbsp\xC2\xA0"},
      {"bad\xFF\xC2", "bad\xFF\xC2"},  // invalid UTF-8 passes as it is
  };
  for (const Case& c : cases) EXPECT_EQ(EscapeControlCharacters(c.in), c.out) << c.in;
}

}  // namespace
}  // namespace quorvel
