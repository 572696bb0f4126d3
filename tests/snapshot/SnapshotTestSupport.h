// Helpers shared by the snapshot tests: small trees on disk and readable
// views of scan results.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "foundation/Value.h"
#include "snapshot/DirectoryItem.h"
#include "support/TestSupport.h"

namespace quorvel::test {

inline void MakeDirectory(const std::string& path, mode_t mode = 0755) {
  if (mkdir(path.c_str(), mode) != 0 && errno != EEXIST) throw std::runtime_error("mkdir failed: " + path);
  chmod(path.c_str(), mode);
}

// Sets a path's modification (and access) time without following links.
inline void SetModificationTime(const std::string& path, std::int64_t seconds, long nanoseconds) {
  struct timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
  if (utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
    throw std::runtime_error("utimensat failed: " + path);
}

inline void SetAttribute(const std::string& path, const std::string& name, const std::string& value) {
  if (lsetxattr(path.c_str(), name.c_str(), value.data(), value.size(), 0) != 0)
    throw std::runtime_error("setxattr failed: " + path + " " + name);
}

// The paths of the DirectoryItem objects (or texts) listed under a key of a
// result, in list order; empty when the key is absent.
inline std::vector<std::string> PathsUnder(const Dictionary& result, const char* key) {
  std::vector<std::string> paths;
  for (const Value& value : result.get(key).asArray()) {
    if (value.isString()) paths.push_back(value.asString());
    else if (auto item = value.object<DirectoryItem>()) paths.push_back(item->path());
    else paths.push_back("<not an item>");
  }
  return paths;
}

inline std::vector<std::string> Sorted(std::vector<std::string> paths) {
  std::sort(paths.begin(), paths.end());
  return paths;
}

inline DirectoryItemPtr ItemUnder(const Dictionary& result, const char* key, const std::string& path) {
  for (const Value& value : result.get(key).asArray()) {
    auto item = value.object<DirectoryItem>();
    if (item && item->path() == path) return item;
  }
  return nullptr;
}

// Runs `body` in a child process that switched to the unprivileged user
// nobody (65534:65534). Answers the child's exit status; 77 when the switch
// was impossible.
inline int RunAsNobody(const std::function<int()>& body) {
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    if (setgroups(0, nullptr) != 0 && geteuid() == 0) _exit(77);
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(77);
    _exit(body());
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

}  // namespace quorvel::test
