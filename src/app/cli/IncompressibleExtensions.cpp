#include "app/cli/IncompressibleExtensions.h"

#include <algorithm>
#include <cctype>
#include <set>
#include <sstream>

#include "foundation/LocalizedString.h"
#include "foundation/PropertyList.h"

namespace quorvel {

std::optional<std::vector<std::string>> ReadIncompressibleExtensions(const std::string& path, std::string* error) {
  Expected<Value> list = PropertyList::readFile(path);
  if (!list) {
    if (error) *error = "cannot read \"" + path + "\": " + list.status().message();
    return std::nullopt;
  }
  if (!list->isArray()) {
    if (error) *error = "\"" + path + "\" does not hold an array";
    return std::nullopt;
  }
  std::vector<std::string> extensions;
  std::set<std::string> seen;
  for (const Value& element : list->asArray()) {
    if (!element.isString()) {
      if (error) *error = "\"" + path + "\" holds an entry that is not a text";
      return std::nullopt;
    }
    std::istringstream words(element.asString());
    std::string extension;
    while (words >> extension) {
      std::transform(extension.begin(), extension.end(), extension.begin(),
                     [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
      if (seen.insert(extension).second) extensions.push_back(extension);
    }
  }
  return extensions;
}

std::optional<std::vector<std::string>> LoadIncompressibleExtensions(std::string* error) {
  return ReadIncompressibleExtensions(ResourcesDirectory() + "/" + kIncompressibleResource, error);
}

}  // namespace quorvel
