#include "support/TreeComparison.h"

#include <acl/libacl.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/acl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <string>

namespace quorvel::test {

namespace {

using Attributes = std::map<std::string, std::string>;

std::string Full(const std::string& root, const std::string& relative) {
  return relative == "." ? root : root + "/" + relative;
}

// Relative paths of everything below root (links not followed).
void ListTree(const std::string& root, const std::string& relative, std::set<std::string>& paths,
              std::vector<std::string>& problems) {
  std::string folder = Full(root, relative);
  DIR* directory = opendir(folder.c_str());
  if (!directory) {
    problems.push_back(relative + ": cannot be read (" + std::strerror(errno) + ")");
    return;
  }
  std::vector<std::string> subfolders;
  while (dirent* entry = readdir(directory)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    std::string path = relative == "." ? name : relative + "/" + name;
    paths.insert(path);
    struct stat status;
    if (lstat(Full(root, path).c_str(), &status) == 0 && S_ISDIR(status.st_mode)) subfolders.push_back(path);
  }
  closedir(directory);
  for (const std::string& path : subfolders) ListTree(root, path, paths, problems);
}

std::optional<std::string> FileContents(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string contents;
  char buffer[65536];
  ssize_t got;
  while ((got = read(fd, buffer, sizeof buffer)) > 0) contents.append(buffer, static_cast<std::size_t>(got));
  close(fd);
  if (got < 0) return std::nullopt;
  return contents;
}

std::string LinkTarget(const std::string& path) {
  char buffer[4096];
  ssize_t length = readlink(path.c_str(), buffer, sizeof buffer);
  return length < 0 ? std::string("<unreadable>") : std::string(buffer, static_cast<std::size_t>(length));
}

Attributes ExtendedAttributesOf(const std::string& path) {
  Attributes attributes;
  ssize_t size = llistxattr(path.c_str(), nullptr, 0);
  if (size <= 0) return attributes;
  std::string names(static_cast<std::size_t>(size), '\0');
  size = llistxattr(path.c_str(), names.data(), names.size());
  if (size <= 0) return attributes;
  names.resize(static_cast<std::size_t>(size));
  for (std::size_t start = 0; start < names.size();) {
    std::string name = names.c_str() + start;
    start += name.size() + 1;
    if (name.empty() || name == "system.posix_acl_access" || name == "system.posix_acl_default") continue;
    ssize_t length = lgetxattr(path.c_str(), name.c_str(), nullptr, 0);
    std::string value(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
    if (length > 0) {
      length = lgetxattr(path.c_str(), name.c_str(), value.data(), value.size());
      value.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
    }
    attributes[name] = value;
  }
  return attributes;
}

// The ACL of one kind as text; empty when there is none beyond the mode
// bits (access) or none at all (default).
std::string ACLTextOf(const std::string& path, acl_type_t type) {
  acl_t acl = acl_get_file(path.c_str(), type);
  if (!acl) return std::string();
  std::string text;
  bool extended = type == ACL_TYPE_DEFAULT ? acl_entries(acl) > 0 : acl_equiv_mode(acl, nullptr) != 0;
  if (extended) {
    if (char* chars = acl_to_any_text(acl, nullptr, ',', TEXT_NUMERIC_IDS)) {
      text = chars;
      acl_free(chars);
    }
  }
  acl_free(acl);
  return text;
}

std::string Printable(const std::string& bytes) {
  std::string text;
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7F) {
      text += static_cast<char>(c);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      text += escaped;
    }
  }
  return text.size() > 80 ? text.substr(0, 80) + "..." : text;
}

std::string Octal(unsigned value) {
  char text[16];
  std::snprintf(text, sizeof text, "%04o", value);
  return text;
}

std::string TimeText(const struct timespec& time) {
  char text[48];
  std::snprintf(text, sizeof text, "%lld.%09ld", static_cast<long long>(time.tv_sec), time.tv_nsec);
  return text;
}

const char* TypeName(mode_t mode) {
  switch (mode & S_IFMT) {
    case S_IFREG: return "file";
    case S_IFDIR: return "folder";
    case S_IFLNK: return "link";
    case S_IFIFO: return "fifo";
    case S_IFSOCK: return "socket";
    case S_IFCHR: return "character device";
    case S_IFBLK: return "block device";
    default: return "unknown";
  }
}

class Comparer {
 public:
  Comparer(const std::string& expectedRoot, const std::string& actualRoot, const TreeComparisonOptions& options)
      : expectedRoot_(expectedRoot), actualRoot_(actualRoot), options_(options) {}

  void compare(const std::string& path) {
    std::string expectedPath = Full(expectedRoot_, path);
    std::string actualPath = Full(actualRoot_, path);
    struct stat expected;
    struct stat actual;
    if (lstat(expectedPath.c_str(), &expected) != 0) {
      add(path, std::string("cannot be examined in the expected tree (") + std::strerror(errno) + ")");
      return;
    }
    if (lstat(actualPath.c_str(), &actual) != 0) {
      add(path, "missing");
      return;
    }
    if ((expected.st_mode & S_IFMT) != (actual.st_mode & S_IFMT)) {
      differs(path, "type", TypeName(expected.st_mode), TypeName(actual.st_mode));
      return;
    }
    const bool isLink = S_ISLNK(expected.st_mode);
    const bool isFolder = S_ISDIR(expected.st_mode);
    if (S_ISREG(expected.st_mode)) {
      std::optional<std::string> expectedBytes = FileContents(expectedPath);
      std::optional<std::string> actualBytes = FileContents(actualPath);
      if (!expectedBytes || !actualBytes) {
        add(path, "contents cannot be read");
      } else if (*expectedBytes != *actualBytes) {
        differs(path, "contents", std::to_string(expectedBytes->size()) + " bytes",
                std::to_string(actualBytes->size()) + " bytes" +
                    (expectedBytes->size() == actualBytes->size() ? " of other content" : ""));
      }
    }
    if (isLink) {
      std::string expectedTarget = LinkTarget(expectedPath);
      std::string actualTarget = LinkTarget(actualPath);
      if (expectedTarget != actualTarget) differs(path, "link target", expectedTarget, actualTarget);
    }
    if (!isLink && (expected.st_mode & 07777) != (actual.st_mode & 07777)) {
      differs(path, "permissions", Octal(expected.st_mode & 07777), Octal(actual.st_mode & 07777));
    }
    bool compareTime = isFolder ? options_.compareDirectoryModificationTimes : options_.compareModificationTimes;
    long double difference =
        (static_cast<long double>(expected.st_mtim.tv_sec) - static_cast<long double>(actual.st_mtim.tv_sec)) * 1e9L +
        static_cast<long double>(expected.st_mtim.tv_nsec - actual.st_mtim.tv_nsec);
    if (compareTime && (difference > options_.modificationTimeToleranceNanoseconds ||
                        -difference > options_.modificationTimeToleranceNanoseconds)) {
      differs(path, "modification time", TimeText(expected.st_mtim), TimeText(actual.st_mtim));
    }
    if (options_.compareOwners) {
      if (expected.st_uid != actual.st_uid) {
        differs(path, "owner", std::to_string(expected.st_uid), std::to_string(actual.st_uid));
      }
      if (expected.st_gid != actual.st_gid) {
        differs(path, "group", std::to_string(expected.st_gid), std::to_string(actual.st_gid));
      }
    }
    Attributes expectedAttributes = ExtendedAttributesOf(expectedPath);
    Attributes actualAttributes = ExtendedAttributesOf(actualPath);
    for (const auto& [name, value] : expectedAttributes) {
      auto found = actualAttributes.find(name);
      if (found == actualAttributes.end()) differs(path, "extended attribute " + name, Printable(value), "none");
      else if (found->second != value) differs(path, "extended attribute " + name, Printable(value), Printable(found->second));
    }
    for (const auto& [name, value] : actualAttributes) {
      if (!expectedAttributes.count(name)) differs(path, "extended attribute " + name, "none", Printable(value));
    }
    if (!isLink) {
      std::string expectedACL = ACLTextOf(expectedPath, ACL_TYPE_ACCESS);
      std::string actualACL = ACLTextOf(actualPath, ACL_TYPE_ACCESS);
      if (expectedACL != actualACL) differs(path, "access ACL", expectedACL, actualACL);
      if (isFolder) {
        expectedACL = ACLTextOf(expectedPath, ACL_TYPE_DEFAULT);
        actualACL = ACLTextOf(actualPath, ACL_TYPE_DEFAULT);
        if (expectedACL != actualACL) differs(path, "default ACL", expectedACL, actualACL);
      }
    }
  }

  void add(const std::string& path, const std::string& what) { lines_.push_back(path + ": " + what); }
  void differs(const std::string& path, const std::string& what, const std::string& expected,
               const std::string& actual) {
    add(path, what + " differs (expected " + expected + ", got " + actual + ")");
  }
  std::vector<std::string>& lines() { return lines_; }

 private:
  const std::string& expectedRoot_;
  const std::string& actualRoot_;
  const TreeComparisonOptions& options_;
  std::vector<std::string> lines_;
};

}  // namespace

TreeComparisonOptions::TreeComparisonOptions() : compareOwners(geteuid() == 0) {}

std::vector<std::string> CompareTrees(const std::string& expectedRoot, const std::string& actualRoot,
                                      const TreeComparisonOptions& options) {
  std::set<std::string> expectedPaths;
  std::set<std::string> actualPaths;
  std::vector<std::string> problems;
  if (options.descend) {
    ListTree(expectedRoot, ".", expectedPaths, problems);
    ListTree(actualRoot, ".", actualPaths, problems);
  }

  Comparer comparer(expectedRoot, actualRoot, options);
  if (options.compareRoots) comparer.compare(".");
  for (const std::string& path : expectedPaths) {
    if (actualPaths.count(path)) comparer.compare(path);
    else comparer.add(path, "missing");
  }
  for (const std::string& path : actualPaths) {
    if (!expectedPaths.count(path)) comparer.add(path, "unexpected");
  }
  std::vector<std::string> lines = std::move(comparer.lines());
  lines.insert(lines.end(), problems.begin(), problems.end());
  return lines;
}

std::string JoinLines(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

}  // namespace quorvel::test
