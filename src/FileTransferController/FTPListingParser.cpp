#include "FileTransferController/FTPListingParser.h"

#include <time.h>

#include <array>
#include <cctype>
#include <vector>

namespace quorvel {

namespace {

struct Token {
  std::string_view text;
  std::size_t end = 0;  // offset just past the token in the line
};

std::vector<Token> Tokens(std::string_view line, std::size_t limit) {
  std::vector<Token> tokens;
  std::size_t i = 0;
  while (i < line.size() && tokens.size() < limit) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i == line.size()) break;
    std::size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    tokens.push_back({line.substr(start, i - start), i});
  }
  return tokens;
}

bool AllDigits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

// A decimal number of at most 19 digits.
std::optional<std::uint64_t> Number(std::string_view text) {
  if (!AllDigits(text) || text.size() > 19) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) value = value * 10 + static_cast<std::uint64_t>(c - '0');
  return value;
}

// 1 to 12 for an English month abbreviation (any letter case), else 0.
int MonthNumber(std::string_view text) {
  static constexpr std::array<const char*, 12> kMonths = {"jan", "feb", "mar", "apr", "may", "jun",
                                                          "jul", "aug", "sep", "oct", "nov", "dec"};
  if (text.size() != 3) return 0;
  for (std::size_t m = 0; m < kMonths.size(); ++m) {
    bool same = true;
    for (std::size_t i = 0; i < 3; ++i) {
      if (std::tolower(static_cast<unsigned char>(text[i])) != kMonths[m][i]) same = false;
    }
    if (same) return static_cast<int>(m) + 1;
  }
  return 0;
}

// "H:MM" or "HH:MM".
bool ParseClock(std::string_view text, int& hour, int& minute) {
  std::size_t colon = text.find(':');
  if (colon == std::string_view::npos || colon == 0 || colon > 2 || text.size() != colon + 3) return false;
  std::optional<std::uint64_t> h = Number(text.substr(0, colon));
  std::optional<std::uint64_t> m = Number(text.substr(colon + 1));
  if (!h || !m || *h > 23 || *m > 59) return false;
  hour = static_cast<int>(*h);
  minute = static_cast<int>(*m);
  return true;
}

std::optional<Date> UtcDate(int year, int month, int day, int hour, int minute) {
  if (month < 1 || month > 12 || day < 1 || day > 31) return std::nullopt;
  struct tm parts {};
  parts.tm_year = year - 1900;
  parts.tm_mon = month - 1;
  parts.tm_mday = day;
  parts.tm_hour = hour;
  parts.tm_min = minute;
  time_t seconds = timegm(&parts);
  if (seconds == static_cast<time_t>(-1)) return std::nullopt;
  return Date::fromUnixTime(static_cast<double>(seconds));
}

int UtcYear(Date date) {
  time_t seconds = static_cast<time_t>(date.timeIntervalSince1970());
  struct tm parts {};
  gmtime_r(&seconds, &parts);
  return parts.tm_year + 1900;
}

bool IsPermissionText(std::string_view text) {
  if (text.size() < 10) return false;
  if (std::string_view("-dlbcpsD").find(text[0]) == std::string_view::npos) return false;
  for (std::size_t i = 1; i < 10; ++i) {
    if (std::string_view("rwxsStTlL-").find(text[i]) == std::string_view::npos) return false;
  }
  return true;
}

// Unix long format: permissions, then (links, owner, group) in any number,
// then size, month, day, time or year, and the name.
bool ParseUnixLine(std::string_view text, Date now, FTPListingLine& line) {
  std::vector<Token> tokens = Tokens(text, 9);
  if (tokens.size() < 6 || !IsPermissionText(tokens[0].text)) return false;
  for (std::size_t m = 2; m + 2 < tokens.size(); ++m) {
    int month = MonthNumber(tokens[m].text);
    std::optional<std::uint64_t> day = Number(tokens[m + 1].text);
    std::optional<std::uint64_t> size = Number(tokens[m - 1].text);
    if (month == 0 || !day || *day < 1 || *day > 31 || !size) continue;
    std::string_view when = tokens[m + 2].text;
    int hour = 0, minute = 0;
    std::optional<Date> date;
    if (ParseClock(when, hour, minute)) {
      int year = UtcYear(now);
      date = UtcDate(year, month, static_cast<int>(*day), hour, minute);
      // A date without a year lies in the past half year: one that would be
      // ahead of now (beyond clock differences) belongs to the year before.
      if (date && date->timeIntervalSinceDate(now) > 86400.0) {
        date = UtcDate(year - 1, month, static_cast<int>(*day), hour, minute);
      }
    } else if (when.size() == 4 && AllDigits(when)) {
      date = UtcDate(static_cast<int>(*Number(when)), month, static_cast<int>(*day), 0, 0);
    } else {
      continue;
    }
    if (!date) continue;
    // One space separates the date from the name, which may hold spaces.
    std::size_t nameStart = tokens[m + 2].end + 1;
    if (nameStart >= text.size()) return false;
    std::string_view name = text.substr(nameStart);
    switch (tokens[0].text[0]) {
      case 'd':
        line.type = FTPResourceType::Directory;
        break;
      case '-':
        line.type = FTPResourceType::RegularFile;
        break;
      case 'l': {
        line.type = FTPResourceType::SymbolicLink;
        std::size_t arrow = name.find(" -> ");
        if (arrow != std::string_view::npos) name = name.substr(0, arrow);
        break;
      }
      default:
        line.type = FTPResourceType::Unknown;
        break;
    }
    if (name.empty()) return false;
    line.kind = FTPListingLineKind::Entry;
    line.name = std::string(name);
    line.size = size;
    line.modificationDate = date;
    return true;
  }
  return false;
}

// DOS / IIS format: MM-DD-YY[YY], HH:MM[AM|PM], "<DIR>" or a size, name.
bool ParseDosLine(std::string_view text, FTPListingLine& line) {
  std::vector<Token> tokens = Tokens(text, 3);
  if (tokens.size() < 3) return false;
  std::string_view day = tokens[0].text;
  if (day.size() != 8 && day.size() != 10) return false;
  if ((day[2] != '-' && day[2] != '/') || day[5] != day[2]) return false;
  std::optional<std::uint64_t> month = Number(day.substr(0, 2));
  std::optional<std::uint64_t> dayOfMonth = Number(day.substr(3, 2));
  std::optional<std::uint64_t> year = Number(day.substr(6));
  if (!month || !dayOfMonth || !year) return false;
  int fullYear = static_cast<int>(*year);
  if (day.size() == 8) fullYear += fullYear < 70 ? 2000 : 1900;

  std::string_view clock = tokens[1].text;
  bool pm = false, am = false;
  if (clock.size() > 2) {
    std::string_view suffix = clock.substr(clock.size() - 2);
    pm = suffix == "PM" || suffix == "pm";
    am = suffix == "AM" || suffix == "am";
    if (pm || am) clock = clock.substr(0, clock.size() - 2);
  }
  int hour = 0, minute = 0;
  if (!ParseClock(clock, hour, minute)) return false;
  if (am || pm) {
    if (hour < 1 || hour > 12) return false;
    hour = hour % 12 + (pm ? 12 : 0);
  }

  std::optional<Date> date =
      UtcDate(fullYear, static_cast<int>(*month), static_cast<int>(*dayOfMonth), hour, minute);
  if (!date) return false;

  std::string_view sizeOrDir = tokens[2].text;
  std::optional<std::uint64_t> size;
  if (sizeOrDir == "<DIR>" || sizeOrDir == "<dir>") {
    line.type = FTPResourceType::Directory;
  } else if ((size = Number(sizeOrDir))) {
    line.type = FTPResourceType::RegularFile;
  } else {
    return false;
  }
  std::size_t nameStart = tokens[2].end;
  while (nameStart < text.size() && (text[nameStart] == ' ' || text[nameStart] == '\t')) ++nameStart;
  if (nameStart >= text.size()) return false;
  line.kind = FTPListingLineKind::Entry;
  line.name = std::string(text.substr(nameStart));
  line.size = size;
  line.modificationDate = date;
  return true;
}

bool IsTotalLine(std::string_view text) {
  std::vector<Token> tokens = Tokens(text, 3);
  return tokens.size() == 2 && (tokens[0].text == "total" || tokens[0].text == "Total") &&
         std::isdigit(static_cast<unsigned char>(tokens[1].text[0]));
}

}  // namespace

std::size_t ParseFTPListingLine(std::string_view text, Date now, FTPListingLine& line) {
  line = FTPListingLine();
  if (text.empty()) return 0;
  std::size_t newline = text.find('\n');
  std::size_t consumed = newline == std::string_view::npos ? text.size() : newline + 1;
  std::string_view content = text.substr(0, newline == std::string_view::npos ? text.size() : newline);
  if (!content.empty() && content.back() == '\r') content.remove_suffix(1);

  if (content.find_first_not_of(" \t") == std::string_view::npos || IsTotalLine(content)) {
    line.kind = FTPListingLineKind::Ignored;
  } else if (!ParseUnixLine(content, now, line) && !ParseDosLine(content, line)) {
    line = FTPListingLine();
  }
  return consumed;
}

}  // namespace quorvel
