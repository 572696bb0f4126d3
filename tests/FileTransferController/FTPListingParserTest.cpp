#include "FileTransferController/FTPListingParser.h"

#include <gtest/gtest.h>

#include <time.h>

namespace quorvel {
namespace {

Date Utc(int year, int month, int day, int hour = 0, int minute = 0) {
  struct tm parts {};
  parts.tm_year = year - 1900;
  parts.tm_mon = month - 1;
  parts.tm_mday = day;
  parts.tm_hour = hour;
  parts.tm_min = minute;
  return Date::fromUnixTime(static_cast<double>(timegm(&parts)));
}

// "Now" for every case: 8 December 2026, 12:00 UTC.
const Date kNow = Utc(2026, 12, 8, 12, 0);

TEST(FTPListingParser, ReadsTheLinesServersWrite) {
  using Kind = FTPListingLineKind;
  using Type = FTPResourceType;
  struct Case {
    const char* line;
    Kind kind;
    const char* name;
    Type type;
    std::optional<std::uint64_t> size;
    std::optional<Date> date;
  };
  const Case cases[] = {
      // vsftpd: numeric owners, time of day for recent dates, the year for older ones.
      {"drwxr-xr-x    3 1002     1002         4096 Dec 08 03:15 a", Kind::Entry, "a", Type::Directory, 4096,
       Utc(2026, 12, 8, 3, 15)},
      {"-rw-r--r--    1 1002     1002            3 Jan 02  2020 old.txt", Kind::Entry, "old.txt", Type::RegularFile, 3,
       Utc(2020, 1, 2)},
      {"-rw-r--r--    1 1002     1002           12 Dec 08 03:22 name with  two spaces ", Kind::Entry,
       "name with  two spaces ", Type::RegularFile, 12, Utc(2026, 12, 8, 3, 22)},
      {"-rw-r--r--    1 1002     1002            2 Dec 08 03:22 ünï cödé.txt", Kind::Entry, "ünï cödé.txt",
       Type::RegularFile, 2, Utc(2026, 12, 8, 3, 22)},
      // A time-of-day date ahead of now is last year's.
      {"-rw-r--r--    1 ann      staff      1234 Dec 20 23:59 last-year", Kind::Entry, "last-year",
       Type::RegularFile, 1234, Utc(2025, 12, 20, 23, 59)},
      {"-rw-r--r--    1 ann      staff      1234 Dec 09 01:00 within a day", Kind::Entry, "within a day",
       Type::RegularFile, 1234, Utc(2026, 12, 9, 1, 0)},
      // No group column; a large size; a link with its target; other item kinds.
      {"-rw-------   1 owner  98765432109 Jun  5  2019 big.bin", Kind::Entry, "big.bin", Type::RegularFile,
       98765432109ull, Utc(2019, 6, 5)},
      {"lrwxrwxrwx    1 0        0               9 Dec 08 03:15 link name -> target", Kind::Entry, "link name",
       Type::SymbolicLink, 9, Utc(2026, 12, 8, 3, 15)},
      {"prw-r--r--    1 0        0               0 Dec 08 03:15 fifo", Kind::Entry, "fifo", Type::Unknown, 0,
       Utc(2026, 12, 8, 3, 15)},
      {"-rw-r--r--+   1 0        0               5 Dec 08 03:15 with-acl", Kind::Entry, "with-acl",
       Type::RegularFile, 5, Utc(2026, 12, 8, 3, 15)},
      // DOS / IIS: 12-hour and 24-hour clocks, two- and four-digit years.
      {"12-08-26  03:15PM       <DIR>          folder name", Kind::Entry, "folder name", Type::Directory,
       std::nullopt, Utc(2026, 12, 8, 15, 15)},
      {"01-02-98  12:05AM                 1024 old file.txt", Kind::Entry, "old file.txt", Type::RegularFile, 1024,
       Utc(1998, 1, 2, 0, 5)},
      {"06-30-2021  17:45             12345 data.bin", Kind::Entry, "data.bin", Type::RegularFile, 12345,
       Utc(2021, 6, 30, 17, 45)},
      // Lines without an entry.
      {"total 12", Kind::Ignored, "", Type::Unknown, std::nullopt, std::nullopt},
      {"   ", Kind::Ignored, "", Type::Unknown, std::nullopt, std::nullopt},
      {"", Kind::Ignored, "", Type::Unknown, std::nullopt, std::nullopt},
      {"230 Login successful.", Kind::Unrecognised, "", Type::Unknown, std::nullopt, std::nullopt},
      {"-rw-r--r--    1 0        0               5 Foo 08 03:15 bad-month", Kind::Unrecognised, "", Type::Unknown,
       std::nullopt, std::nullopt},
      {"-rw-r--r--    1 0        0               5 Dec 08 25:15 bad-clock", Kind::Unrecognised, "", Type::Unknown,
       std::nullopt, std::nullopt},
      {"-rw-r--r--    1 0        0               5 Dec 08 03:15", Kind::Unrecognised, "", Type::Unknown,
       std::nullopt, std::nullopt},
      {"13-45-26  03:15PM       <DIR>          bad date", Kind::Unrecognised, "", Type::Unknown, std::nullopt,
       std::nullopt},
      {"12-08-26  13:15PM       <DIR>          bad clock", Kind::Unrecognised, "", Type::Unknown, std::nullopt,
       std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    // With either line end a following line is left alone; without one the
    // text is the last line.
    for (const char* end : {"\r\n", "\n", ""}) {
      std::string text = std::string(c.line) + end;
      FTPListingLine line;
      if (text.empty()) {
        EXPECT_EQ(ParseFTPListingLine(text, kNow, line), 0u);
        continue;
      }
      std::string following = *end ? "next line\n" : "";
      EXPECT_EQ(ParseFTPListingLine(text + following, kNow, line), text.size());
      EXPECT_EQ(line.kind, c.kind);
      EXPECT_EQ(line.name, c.name);
      EXPECT_EQ(line.type, c.type);
      EXPECT_EQ(line.size, c.size);
      EXPECT_EQ(line.modificationDate, c.date);
    }
  }
}

}  // namespace
}  // namespace quorvel
