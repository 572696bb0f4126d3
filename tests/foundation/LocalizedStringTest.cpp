#include "foundation/LocalizedString.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

#include "foundation/PropertyList.h"
#include "foundation/SystemLog.h"
#include "support/TestSupport.h"

namespace quorvel {
namespace {

TEST(StringsFile, ParsesEntriesCommentsAndEscapes) {
  auto table = ParseStringsFile(R"strings(/* A table
   with a comment over lines */
"plain" = "Plain text";
// a line comment
"Failed deleting file \"%@\" (%s)" = "Could not delete \"%@\" (%s)";
unquoted_key.name = "from an unquoted key";
"escapes" = "tab\there\nnew line \\ backslash \U00e9\u20AC \UD83D\UDE00 \101";
"same";
"empty" = "";
"utf8" = "Grüße";
"spaced"     =
   "across lines"   ;
"plain" = "Replaced";
)strings");
  ASSERT_TRUE(table) << table.status().message();
  const StringTable& t = *table;
  EXPECT_EQ(t.size(), 8u);
  EXPECT_EQ(t.at("plain"), "Replaced");
  EXPECT_EQ(t.at("Failed deleting file \"%@\" (%s)"), "Could not delete \"%@\" (%s)");
  EXPECT_EQ(t.at("unquoted_key.name"), "from an unquoted key");
  EXPECT_EQ(t.at("escapes"), "tab\there\nnew line \\ backslash \xc3\xa9\xe2\x82\xac \xf0\x9f\x98\x80 A");
  EXPECT_EQ(t.at("same"), "same");
  EXPECT_EQ(t.at("empty"), "");
  EXPECT_EQ(t.at("utf8"), "Grüße");
  EXPECT_EQ(t.at("spaced"), "across lines");
}

TEST(StringsFile, ReportsSyntaxErrorsWithTheirLine) {
  struct Case {
    const char* text;
    const char* reason;
  };
  for (const Case& c : {Case{"\"a\" = \"b\"\n\"c\" = \"d\";", "line 2"}, Case{"\"a\" = \"b", "unterminated"},
                        Case{"/* open", "unterminated comment"}, Case{"\"a\" \"b\";", "expected"},
                        Case{"\"a\" = ;", "expected"}, Case{"= \"b\";", "expected"}, Case{"\"a\" = \"\\U\";", "\\U"}}) {
    Expected<StringTable> table = ParseStringsFile(c.text);
    EXPECT_FALSE(table) << c.text;
    const std::string& error = table.status().message();
    EXPECT_NE(error.find(c.reason), std::string::npos) << c.text << " -> " << error;
  }
  EXPECT_TRUE(ParseStringsFile(""));
  EXPECT_TRUE(ParseStringsFile("  // only a comment"));
}

TEST(StringsFile, ReadsUtf16AndPropertyListTables) {
  std::u16string text = u"\"k\" = \"v\u00e9\";";
  Data little{0xFF, 0xFE}, big{0xFE, 0xFF};
  for (char16_t unit : text) {
    little.push_back(static_cast<std::uint8_t>(unit & 0xFF));
    little.push_back(static_cast<std::uint8_t>(unit >> 8));
    big.push_back(static_cast<std::uint8_t>(unit >> 8));
    big.push_back(static_cast<std::uint8_t>(unit & 0xFF));
  }
  EXPECT_EQ(ParseStringsData(little)->at("k"), "v\xc3\xa9");
  EXPECT_EQ(ParseStringsData(big)->at("k"), "v\xc3\xa9");
  Data bom{0xEF, 0xBB, 0xBF};
  Data plain = DataFromString("\"k\" = \"u\";");
  bom.insert(bom.end(), plain.begin(), plain.end());
  EXPECT_EQ(ParseStringsData(bom)->at("k"), "u");
  Value dictionary(Dictionary{{"k", "xml"}, {"n", 1}});
  EXPECT_EQ(ParseStringsData(*PropertyList::writeXml(dictionary))->at("k"), "xml");
  auto binary = ParseStringsData(*PropertyList::writeBinary(dictionary));
  ASSERT_TRUE(binary);
  EXPECT_EQ(binary->at("k"), "xml");
  EXPECT_FALSE(binary->count("n"));
  EXPECT_FALSE(ParseStringsData(*PropertyList::writeXml(Value(Array{}))));
}

class LocalizedStringTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::WriteFile(dir_ / "Messages.strings", std::string("\"hello\" = \"Hallo\";\n\"bye\" = \"Tsch\xc3\xbcss\";\n"));
    test::WriteFile(dir_ / "Broken.strings", std::string("\"hello\" = "));
    ::setenv("QUORVEL_RESOURCES_DIR", dir_.path().c_str(), 1);
    ClearLocalizedStringCache();
  }
  void TearDown() override {
    ::unsetenv("QUORVEL_RESOURCES_DIR");
    ClearLocalizedStringCache();
  }
  test::TempDir dir_;
};

TEST_F(LocalizedStringTest, LooksUpEntriesAndFallsBackToTheKey) {
  EXPECT_EQ(ResourcesDirectory(), dir_.path());
  EXPECT_EQ(LocalizedString("Messages", "hello"), "Hallo");
  EXPECT_EQ(LookupLocalizedString("Messages", "bye"), "Tsch\xc3\xbcss");
  EXPECT_EQ(LocalizedString("Messages", "missing key"), "missing key");
  EXPECT_FALSE(LookupLocalizedString("Messages", "missing key"));
  EXPECT_FALSE(LookupLocalizedString("NoSuchTable", "hello"));
  EXPECT_EQ(LocalizedString("NoSuchTable", "hello"), "hello");
}

TEST_F(LocalizedStringTest, TablesAreCachedUntilCleared) {
  EXPECT_EQ(LocalizedString("Messages", "hello"), "Hallo");
  test::WriteFile(dir_ / "Messages.strings", std::string("\"hello\" = \"Bonjour\";"));
  EXPECT_EQ(LocalizedString("Messages", "hello"), "Hallo");
  ClearLocalizedStringCache();
  EXPECT_EQ(LocalizedString("Messages", "hello"), "Bonjour");
}

TEST_F(LocalizedStringTest, ABrokenTableIsLoggedAndTreatedAsEmpty) {
  SystemLogCapture capture;
  EXPECT_FALSE(LookupLocalizedString("Broken", "hello"));
  EXPECT_TRUE(capture.contains("Broken.strings")) << ::testing::PrintToString(capture.lines());
}

TEST_F(LocalizedStringTest, ConcurrentLookupsAgree) {
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&wrong, t] {
      for (int i = 0; i < 200; ++i) {
        if (t == 0 && i % 50 == 0) ClearLocalizedStringCache();
        if (LocalizedString("Messages", "hello") != "Hallo") ++wrong;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
}

// An installed program (PREFIX/bin/quorvel) reads PREFIX/share/quorvel; one
// run where it was built reads the folder built in; the variable overrides both.
TEST(LocalizedStringResources, TheFolderFollowsTheVariableThenTheInstallationThenTheBuild) {
  test::TempDir root;
  std::filesystem::create_directories(root / "usr/share/quorvel");
  std::filesystem::create_directories(root / "opt/bin");
  std::filesystem::create_directories(root / "odd/share");
  test::WriteFile(root / "odd/share/quorvel", std::string("a file, not a folder"));
  const std::string installed = root / "usr/share/quorvel";
  const struct {
    const char* environment;
    std::string executable;
    std::string expected;
  } cases[] = {
      {nullptr, root / "usr/bin/quorvel", installed},
      {nullptr, root / "usr/bin/quorvel-gui", installed},
      {"", root / "usr/bin/quorvel", installed},
      {"/elsewhere", root / "usr/bin/quorvel", "/elsewhere"},
      {"/elsewhere", "", "/elsewhere"},
      {nullptr, root / "opt/bin/quorvel", "/built-in"},
      {nullptr, root / "odd/bin/quorvel", "/built-in"},
      {nullptr, root / "usr/quorvel", "/built-in"},
      {nullptr, "", "/built-in"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ResourcesDirectoryFor(c.environment, c.executable, "/built-in"), c.expected)
        << (c.environment ? c.environment : "(unset)") << ", " << c.executable;
  }
}

TEST(LocalizedStringResources, TheShippedTablesParse) {
  ::unsetenv("QUORVEL_RESOURCES_DIR");
  ClearLocalizedStringCache();
  EXPECT_EQ(ResourcesDirectory(), QUORVEL_RESOURCES_DIR);
  auto table = ParseStringsData(test::ReadFile(std::string(QUORVEL_RESOURCES_DIR) + "/BackupController.strings"));
  ASSERT_TRUE(table) << table.status().message();
  EXPECT_FALSE(table->empty());
  EXPECT_EQ(LookupLocalizedString("BackupController", table->begin()->first), table->begin()->second);
}

}  // namespace
}  // namespace quorvel
