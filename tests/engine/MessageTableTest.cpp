// Every message format the program logs through logErrorMessage must be in
// the "BackupController" string table, or users would see "<NOT LOCALIZED>".
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/LocalizedString.h"

namespace quorvel {
namespace {

struct LoggedFormat {
  std::string format;
  std::string where;
};

// Decodes the C++ string literal starting at text[pos] (pos at the opening
// quote); adjacent literals are joined. Answers false when there is none.
bool ReadStringLiterals(const std::string& text, std::size_t& pos, std::string& value) {
  bool found = false;
  while (true) {
    while (pos < text.size() && std::isspace(static_cast<unsigned char>(text[pos]))) ++pos;
    if (pos >= text.size() || text[pos] != '"') return found;
    found = true;
    ++pos;
    while (pos < text.size() && text[pos] != '"') {
      char c = text[pos++];
      if (c != '\\') {
        value += c;
        continue;
      }
      char escaped = text[pos++];
      switch (escaped) {
        case 'n': value += '\n'; break;
        case 't': value += '\t'; break;
        case 'r': value += '\r'; break;
        case '0': value += '\0'; break;
        default: value += escaped; break;
      }
    }
    ++pos;  // closing quote
  }
}

std::vector<LoggedFormat> LoggedFormatsIn(const std::filesystem::path& file, int* nonLiteralCalls) {
  std::ifstream stream(file);
  std::stringstream buffer;
  buffer << stream.rdbuf();
  std::string text = buffer.str();
  std::vector<LoggedFormat> formats;
  const std::string call = "logErrorMessage(";
  for (std::size_t at = text.find(call); at != std::string::npos; at = text.find(call, at + 1)) {
    std::size_t pos = at + call.size();
    std::string format;
    if (ReadStringLiterals(text, pos, format)) {
      std::size_t line = 1 + std::count(text.begin(), text.begin() + static_cast<long>(at), '\n');
      formats.push_back({format, file.string() + ":" + std::to_string(line)});
    } else {
      ++*nonLiteralCalls;
    }
  }
  return formats;
}

TEST(MessageTable, EveryLoggedFormatIsInTheBackupControllerTable) {
  std::filesystem::path sources = std::filesystem::path(QUORVEL_SOURCE_DIR) / "src";
  std::vector<LoggedFormat> formats;
  int nonLiteralCalls = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(sources)) {
    if (!entry.is_regular_file()) continue;
    std::string extension = entry.path().extension().string();
    if (extension != ".cpp" && extension != ".h") continue;
    auto found = LoggedFormatsIn(entry.path(), &nonLiteralCalls);
    formats.insert(formats.end(), found.begin(), found.end());
  }
  // The frame alone logs more than a handful of formats; finding fewer
  // means the scan itself is broken.
  ASSERT_GE(formats.size(), 8u);
  for (const auto& logged : formats) {
    EXPECT_TRUE(LookupLocalizedString("BackupController", logged.format))
        << "missing from resources/BackupController.strings: \"" << logged.format << "\" (" << logged.where << ")";
  }
  // Only the declaration of logErrorMessage itself takes a format that is
  // not a literal.
  EXPECT_LE(nonLiteralCalls, 1);
}

TEST(MessageTable, DevelopmentLanguageTextsAreTheFormatsThemselves) {
  for (const char* format : {"Source directory \"%@\" is not accessible", "Destination URL is not defined",
                             "[User Cancellation]", "[Internal Error] An exception occured: %@",
                             "Executable \"%@\" exited with non-zero status (%i - %s)",
                             "Failed extracting archive #%i with \"%@\" (exit status %i <%s>)\n%@"}) {
    EXPECT_EQ(LookupLocalizedString("BackupController", format), std::optional<std::string>(format));
  }
  EXPECT_FALSE(LookupLocalizedString("BackupController", "No such message"));
}

}  // namespace
}  // namespace quorvel
