// Path texts of a snapshot: the order reported path lists are sorted in, and
// path standardization.
#pragma once

#include <string>
#include <string_view>

namespace quorvel {

// The order of reported path lists: case-insensitive, numeric (runs of
// digits compare by value, so "file9" < "file10"), and forced (two different
// texts never compare equal: ties are broken by the case-sensitive, then the
// byte order). Answers <0, 0 (identical texts only) or >0.
int ComparePaths(std::string_view a, std::string_view b);

struct PathLess {
  bool operator()(std::string_view a, std::string_view b) const { return ComparePaths(a, b) < 0; }
};

// A path with empty and "." components removed and no trailing separator;
// a leading "~" becomes $HOME. In absolute paths ".." removes the component
// before it (lexically, without resolving links); relative paths keep "..".
// The empty path stays empty; "/" stays "/".
std::string StandardizePath(std::string_view path);

// `subpath` below `directory`: either alone when the other is empty, one
// separator between them otherwise.
std::string JoinPath(const std::string& directory, const std::string& subpath);

}  // namespace quorvel
