#include "foundation/ExtendedACLText.h"

#include <grp.h>
#include <pwd.h>

#include <algorithm>
#include <charconv>
#include <map>

namespace quorvel {

namespace {

constexpr std::string_view kHeader = "!#acl ";

std::vector<std::string_view> Split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
}

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t' || text.front() == '\r')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.remove_suffix(1);
  return text;
}

std::optional<std::uint32_t> Number(std::string_view text) {
  std::uint32_t value = 0;
  if (text.empty()) return std::nullopt;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::string Join(const std::vector<std::string_view>& words) {
  std::string joined;
  for (std::string_view word : words) {
    if (!joined.empty()) joined += ",";
    joined += word;
  }
  return joined;
}

// POSIX bits of an extended-ACL permission; 0 for one without a counterpart.
unsigned PosixBits(std::string_view permission) {
  if (permission == "read" || permission == "list") return 4;
  if (permission == "write" || permission == "append" || permission == "add_file" ||
      permission == "add_subdirectory")
    return 2;
  if (permission == "execute" || permission == "search") return 1;
  return 0;
}

bool IsInheritanceFlag(std::string_view word) {
  return word == "file_inherit" || word == "directory_inherit" || word == "limit_inherit" || word == "only_inherit";
}

std::string Permissions(unsigned bits) {
  std::string text = "---";
  if (bits & 4) text[0] = 'r';
  if (bits & 2) text[1] = 'w';
  if (bits & 1) text[2] = 'x';
  return text;
}

std::optional<unsigned> PermissionsOf(std::string_view text) {
  if (text.size() != 3) return std::nullopt;
  unsigned bits = 0;
  const char letters[] = {'r', 'w', 'x'};
  for (int i = 0; i < 3; ++i) {
    if (text[i] == letters[i]) bits |= 4u >> i;
    else if (text[i] != '-') return std::nullopt;
  }
  return bits;
}

}  // namespace

bool IsExtendedACLText(std::string_view text) { return text.substr(0, kHeader.size()) == kHeader; }

std::optional<ExtendedACLMapping> MapExtendedACLText(std::string_view text) {
  std::vector<std::string_view> lines = Split(text, '\n');
  std::vector<std::string_view> header = Split(Trimmed(lines.front()), ' ');
  if (header.size() < 2 || header[0] != "!#acl" || header[1] != "1") return std::nullopt;

  ExtendedACLMapping mapping;
  for (std::size_t i = 2; i < header.size(); ++i) {
    if (!header[i].empty()) mapping.unmapped.push_back("ACL flag " + std::string(header[i]));
  }
  std::map<std::pair<int, std::uint32_t>, unsigned> joined;
  for (std::size_t n = 1; n < lines.size(); ++n) {
    std::string_view line = Trimmed(lines[n]);
    if (line.empty()) continue;
    std::vector<std::string_view> fields = Split(line, ':');
    if (fields.size() != 6 || (fields[0] != "user" && fields[0] != "group")) {
      mapping.unmapped.push_back("entry \"" + std::string(line) + "\" (not understood)");
      continue;
    }
    const bool isUser = fields[0] == "user";
    std::optional<std::uint32_t> id = Number(fields[3]);
    std::string who = std::string(fields[0]) + " " +
                      std::string(fields[2].empty() ? (fields[3].empty() ? fields[1] : fields[3]) : fields[2]);
    if (id) who += " (" + std::string(fields[3]) + ")";
    if (fields[4] != "allow") {
      mapping.unmapped.push_back(std::string(fields[4]) + " entry for " + who + ": " + std::string(fields[5]));
      continue;
    }
    if (!id) {
      mapping.unmapped.push_back("entry for " + who + " without a user or group ID: " + std::string(fields[5]));
      continue;
    }
    unsigned bits = 0;
    bool onlyInherit = false;
    std::vector<std::string_view> flags;
    std::vector<std::string_view> dropped;
    for (std::string_view word : Split(fields[5], ',')) {
      word = Trimmed(word);
      if (word.empty() || word == "inherited") continue;
      if (IsInheritanceFlag(word)) {
        flags.push_back(word);
        onlyInherit = onlyInherit || word == "only_inherit";
      } else if (unsigned b = PosixBits(word)) {
        bits |= b;
      } else {
        dropped.push_back(word);
      }
    }
    if (onlyInherit) {
      mapping.unmapped.push_back("entry for " + who + " that only passes on to new items: " + std::string(fields[5]));
      continue;
    }
    if (!flags.empty()) mapping.unmapped.push_back("inheritance " + Join(flags) + " of the entry for " + who);
    if (!dropped.empty()) mapping.unmapped.push_back("permissions " + Join(dropped) + " of the entry for " + who);
    if (bits == 0) continue;
    joined[{isUser ? 0 : 1, *id}] |= bits;
  }
  for (const auto& [key, bits] : joined) {
    mapping.entries.push_back(
        {key.first == 0 ? PosixACLEntry::Tag::User : PosixACLEntry::Tag::Group, key.second, bits});
  }
  return mapping;
}

std::string PosixACLTextForEntries(const std::vector<PosixACLEntry>& entries, unsigned mode) {
  if (entries.empty()) return {};
  std::string text = "user::" + Permissions((mode >> 6) & 7) + "\n";
  for (const PosixACLEntry& entry : entries) {
    if (entry.tag == PosixACLEntry::Tag::User)
      text += "user:" + std::to_string(entry.id) + ":" + Permissions(entry.permissions) + "\n";
  }
  text += "group::" + Permissions((mode >> 3) & 7) + "\n";
  for (const PosixACLEntry& entry : entries) {
    if (entry.tag == PosixACLEntry::Tag::Group)
      text += "group:" + std::to_string(entry.id) + ":" + Permissions(entry.permissions) + "\n";
  }
  text += "other::" + Permissions(mode & 7) + "\n";
  return text;
}

std::optional<std::vector<PosixACLEntry>> NamedEntriesOfPosixACLText(std::string_view text) {
  std::map<std::pair<int, std::uint32_t>, unsigned> named;
  for (std::string_view line : Split(text, '\n')) {
    // An effective-rights comment may follow the entry.
    line = Trimmed(line.substr(0, line.find('#')));
    if (line.empty() || line.substr(0, 8) == "default:") continue;
    std::vector<std::string_view> fields = Split(line, ':');
    if (fields.size() != 3) return std::nullopt;
    if (fields[1].empty()) continue;  // owner, owning group, mask, other
    const bool isUser = fields[0] == "user" || fields[0] == "u";
    if (!isUser && fields[0] != "group" && fields[0] != "g") return std::nullopt;
    std::optional<std::uint32_t> id = Number(fields[1]);
    if (!id) {
      std::string name(fields[1]);
      if (isUser) {
        if (const passwd* user = getpwnam(name.c_str())) id = user->pw_uid;
      } else if (const group* found = getgrnam(name.c_str())) {
        id = found->gr_gid;
      }
    }
    std::optional<unsigned> bits = PermissionsOf(fields[2]);
    if (!id || !bits) return std::nullopt;
    named[{isUser ? 0 : 1, *id}] |= *bits;
  }
  std::vector<PosixACLEntry> entries;
  for (const auto& [key, bits] : named) {
    entries.push_back({key.first == 0 ? PosixACLEntry::Tag::User : PosixACLEntry::Tag::Group, key.second, bits});
  }
  return entries;
}

bool ACLTextsMatch(const std::optional<std::string>& recorded, const std::optional<std::string>& restored) {
  if (recorded && IsExtendedACLText(*recorded)) {
    std::optional<ExtendedACLMapping> mapping = MapExtendedACLText(*recorded);
    if (!mapping) return false;
    if (!restored) return mapping->entries.empty();
    std::optional<std::vector<PosixACLEntry>> named = NamedEntriesOfPosixACLText(*restored);
    return named && *named == mapping->entries;
  }
  if (static_cast<bool>(recorded) != static_cast<bool>(restored)) return false;
  return !recorded || *recorded == *restored;
}

}  // namespace quorvel
