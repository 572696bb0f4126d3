#include "snapshot/PathOrder.h"

#include <cstdlib>
#include <vector>

namespace quorvel {

namespace {

// Next code point of a UTF-8 text; a byte that does not start a well-formed
// sequence stands for itself as U+DC00 + byte.
char32_t NextCodePoint(std::string_view text, std::size_t& pos) {
  unsigned char lead = static_cast<unsigned char>(text[pos]);
  if (lead < 0x80) {
    ++pos;
    return lead;
  }
  int length = lead >= 0xF0 && lead < 0xF5 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 && lead < 0xE0 ? 2 : 0;
  if (length == 0 || pos + length > text.size()) {
    ++pos;
    return 0xDC00 + lead;
  }
  char32_t c = lead & (0x7F >> length);
  for (int i = 1; i < length; ++i) {
    unsigned char next = static_cast<unsigned char>(text[pos + i]);
    if ((next & 0xC0) != 0x80) {
      ++pos;
      return 0xDC00 + lead;
    }
    c = (c << 6) | (next & 0x3F);
  }
  pos += length;
  return c;
}

// Simple lower-case folding for the scripts file names commonly use.
char32_t FoldCase(char32_t c) {
  if (c < 0x80) return c >= 'A' && c <= 'Z' ? c + 32 : c;
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 32;
  if (c >= 0x100 && c <= 0x137) return c | 1;
  if (c >= 0x139 && c <= 0x148) return (c & 1) ? c + 1 : c;
  if (c >= 0x14A && c <= 0x177) return c | 1;
  if (c == 0x178) return 0xFF;
  if (c >= 0x179 && c <= 0x17E) return (c & 1) ? c + 1 : c;
  if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return c + 32;
  if (c >= 0x410 && c <= 0x42F) return c + 32;
  if (c >= 0x400 && c <= 0x40F) return c + 80;
  return c;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// One pass of the comparison: numeric, with or without case folding.
int CompareOnce(std::string_view a, std::string_view b, bool foldCase) {
  std::size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (IsDigit(a[i]) && IsDigit(b[j])) {
      std::size_t endA = i, endB = j;
      while (endA < a.size() && IsDigit(a[endA])) ++endA;
      while (endB < b.size() && IsDigit(b[endB])) ++endB;
      std::size_t startA = i, startB = j;
      while (startA + 1 < endA && a[startA] == '0') ++startA;
      while (startB + 1 < endB && b[startB] == '0') ++startB;
      std::size_t lengthA = endA - startA, lengthB = endB - startB;
      if (lengthA != lengthB) return lengthA < lengthB ? -1 : 1;
      int digits = a.substr(startA, lengthA).compare(b.substr(startB, lengthB));
      if (digits != 0) return digits < 0 ? -1 : 1;
      i = endA;
      j = endB;
      continue;
    }
    char32_t ca = NextCodePoint(a, i);
    char32_t cb = NextCodePoint(b, j);
    if (foldCase) {
      ca = FoldCase(ca);
      cb = FoldCase(cb);
    }
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  if (i < a.size()) return 1;
  if (j < b.size()) return -1;
  return 0;
}

}  // namespace

int ComparePaths(std::string_view a, std::string_view b) {
  if (int result = CompareOnce(a, b, true)) return result;
  if (int result = CompareOnce(a, b, false)) return result;
  int bytes = a.compare(b);
  return bytes < 0 ? -1 : bytes > 0 ? 1 : 0;
}

std::string StandardizePath(std::string_view path) {
  std::string expanded;
  if (!path.empty() && path[0] == '~' && (path.size() == 1 || path[1] == '/')) {
    const char* home = std::getenv("HOME");
    if (home && *home) {
      expanded = home;
      expanded.append(path.substr(1));
      path = expanded;
    }
  }
  if (path.empty()) return std::string();
  bool absolute = path[0] == '/';
  std::vector<std::string_view> components;
  std::size_t pos = 0;
  while (pos <= path.size()) {
    std::size_t end = path.find('/', pos);
    if (end == std::string_view::npos) end = path.size();
    std::string_view component = path.substr(pos, end - pos);
    pos = end + 1;
    if (component.empty() || component == ".") continue;
    if (component == ".." && absolute) {
      if (!components.empty()) components.pop_back();
      continue;
    }
    components.push_back(component);
  }
  std::string result;
  if (absolute) result = "/";
  for (std::size_t k = 0; k < components.size(); ++k) {
    if (k > 0) result += '/';
    result.append(components[k]);
  }
  return result;
}

std::string JoinPath(const std::string& directory, const std::string& subpath) {
  if (subpath.empty()) return directory;
  if (directory.empty()) return subpath;
  return directory.back() == '/' ? directory + subpath : directory + "/" + subpath;
}

}  // namespace quorvel
