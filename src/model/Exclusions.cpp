#include "model/Exclusions.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>

#include "foundation/LocalizedString.h"
#include "foundation/PropertyList.h"
#include "foundation/SystemLog.h"

namespace quorvel {

namespace {

std::vector<std::string> TextsOf(const Value& value) {
  std::vector<std::string> texts;
  for (const Value& element : value.asArray()) {
    if (element.isString()) texts.push_back(element.asString());
  }
  return texts;
}

std::string ExpandUID(std::string text) {
  const std::string uid = std::to_string(::getuid());
  for (std::size_t at = text.find("$UID"); at != std::string::npos; at = text.find("$UID", at + uid.size())) {
    text.replace(at, 4, uid);
  }
  return text;
}

std::string Join(const std::string& base, const std::string& relative) {
  if (base.empty() || base.back() != '/') return base + "/" + relative;
  return base + relative;
}

// The part of `path` after `source` and its separator, or nothing when the
// path does not name an item strictly inside the source.
std::optional<std::string> RelativeToSource(const std::string& path, const std::string& source) {
  if (!IsSubpathOfPath(path, source)) return std::nullopt;
  const std::size_t skip = source == "/" ? 1 : source.size() + 1;
  if (path.size() <= skip) return std::nullopt;
  return path.substr(skip);
}

std::string DecodeMountField(const std::string& field) {
  std::string text;
  for (std::size_t i = 0; i < field.size(); ++i) {
    const bool escape = field[i] == '\\' && i + 3 < field.size() &&
                        std::all_of(field.begin() + static_cast<long>(i) + 1, field.begin() + static_cast<long>(i) + 4,
                                    [](char c) { return c >= '0' && c <= '7'; });
    if (escape) {
      text.push_back(static_cast<char>(std::stoi(field.substr(i + 1, 3), nullptr, 8)));
      i += 3;
    } else {
      text.push_back(field[i]);
    }
  }
  return text;
}

}  // namespace

std::optional<ExclusionList> ApplicationExclusionList() {
  static std::mutex mutex;
  static std::optional<ExclusionList> loaded;
  std::lock_guard<std::mutex> lock(mutex);
  if (loaded) return loaded;
  const std::string path = ResourcesDirectory() + "/" + kExclusionsResource;
  Expected<Value> list = PropertyList::readFile(path);
  if (!list || !list->isDictionary()) {
    SystemLog("%s: Failed loading extra exclusion plist from \"%@\"", __func__, path);
    return std::nullopt;
  }
  ExclusionList exclusions;
  exclusions.root = TextsOf(list->asDictionary().get("root"));
  exclusions.user = TextsOf(list->asDictionary().get("user"));
  exclusions.volumes = TextsOf(list->asDictionary().get("Volumes"));
  loaded = exclusions;
  return loaded;
}

ExclusionEnvironment ExclusionEnvironment::current() {
  ExclusionEnvironment environment;
  const char* home = std::getenv("HOME");
  const passwd* entry = getpwuid(::getuid());
  if (home && *home) environment.home = home;
  else if (entry && entry->pw_dir) environment.home = entry->pw_dir;
  environment.mountPoints = MountPointsFromMountInfo("/proc/self/mountinfo");
  environment.volumeRoots = {"/media", "/mnt"};
  if (entry && entry->pw_name) environment.volumeRoots.push_back(std::string("/run/media/") + entry->pw_name);
  return environment;
}

std::vector<std::string> MountPointsFromMountInfo(const std::string& path) {
  std::vector<std::string> points;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    std::string field;
    for (int i = 0; i < 5 && fields >> field; ++i) {
      if (i == 4) points.push_back(DecodeMountField(field));
    }
  }
  return points;
}

bool IsSubpathOfPath(const std::string& path, const std::string& base) {
  if (path.size() < base.size() || path.compare(0, base.size(), base) != 0) return false;
  return path.size() == base.size() || base == "/" || (!base.empty() && base.back() == '/') ||
         path[base.size()] == '/';
}

std::vector<std::string> CoreExcludedPaths(const std::string& source, const ExclusionList& list,
                                           const ExclusionEnvironment& environment) {
  std::vector<std::string> absolute = list.root;
  for (const std::string& mountPoint : environment.mountPoints) {
    for (const std::string& element : list.volumes) absolute.push_back(Join(mountPoint, ExpandUID(element)));
    for (const std::string& root : environment.volumeRoots) {
      if (mountPoint != root && IsSubpathOfPath(mountPoint, root)) absolute.push_back(mountPoint);
    }
  }
  std::sort(absolute.begin(), absolute.end());
  std::vector<std::string> core;
  std::set<std::string> seen;
  auto add = [&](const std::string& path) {
    if (std::optional<std::string> relative = RelativeToSource(path, source)) {
      if (seen.insert(*relative).second) core.push_back(*relative);
    }
  };
  for (const std::string& path : absolute) add(path);
  if (!environment.home.empty() && !list.user.empty() && IsSubpathOfPath(source, environment.home)) {
    std::vector<std::string> user = list.user;
    std::sort(user.begin(), user.end());
    for (const std::string& relative : user) add(Join(environment.home, relative));
  }
  return core;
}

}  // namespace quorvel
