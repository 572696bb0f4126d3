// FTPListingParser: reads the lines of an FTP directory listing (the LIST
// command's answer), one line at a time.
//
// Two formats are understood, as servers write them:
//   Unix long format   drwxr-xr-x  3 1002 1002  4096 Dec 08 03:15 a folder
//                      -rw-r--r--  1 owner grp     3 Jan 02  2020 old.txt
//                      lrwxrwxrwx  1 owner grp     9 Dec 08 03:15 link -> target
//                      (the group may be missing; a recent date gives the
//                      time of day, an older one the year instead)
//   DOS / IIS format   12-08-26  03:15PM       <DIR>          a folder
//                      12-08-2026  15:15             12345 file.txt
// A "total N" header line and blank lines are recognised and carry no entry.
//
// Dates carry no time zone in either format; they are read as UTC (what
// vsftpd and most servers write unless told otherwise). A Unix date without
// a year is the latest such date that is not more than a day after `now`.
//
// Pure functions of their input; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "foundation/Date.h"

namespace quorvel {

enum class FTPListingLineKind {
  Entry,         // a file, folder, link or other item
  Ignored,       // a blank line or a "total" header
  Unrecognised,  // anything else
};

enum class FTPResourceType { Unknown, Directory, RegularFile, SymbolicLink };

struct FTPListingLine {
  FTPListingLineKind kind = FTPListingLineKind::Unrecognised;
  std::string name;
  FTPResourceType type = FTPResourceType::Unknown;
  std::optional<std::uint64_t> size;
  std::optional<Date> modificationDate;
};

// Parses the first line of `text` (text decoded to UTF-8) into `line`.
// Answers the bytes it took: the line and its line end ("\n" or "\r\n"), the
// whole text when no line end follows; 0 only for an empty text.
std::size_t ParseFTPListingLine(std::string_view text, Date now, FTPListingLine& line);

}  // namespace quorvel
