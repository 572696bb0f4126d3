#include "model/IncompressibleExtensions.h"

#include <algorithm>
#include <cctype>
#include <set>
#include <sstream>

#include "foundation/LocalizedString.h"
#include "foundation/PropertyList.h"

namespace quorvel {

Expected<std::vector<std::string>> ReadIncompressibleExtensions(const std::string& path) {
  Expected<Value> list = PropertyList::readFile(path);
  if (!list) return list.status().withContext("cannot read \"" + path + "\"");
  if (!list->isArray()) return Status::invalid(kFormatDomain, "\"" + path + "\" does not hold an array");
  std::vector<std::string> extensions;
  std::set<std::string> seen;
  for (const Value& element : list->asArray()) {
    if (!element.isString()) {
      return Status::invalid(kFormatDomain, "\"" + path + "\" holds an entry that is not a text");
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

Expected<std::vector<std::string>> LoadIncompressibleExtensions() {
  return ReadIncompressibleExtensions(ResourcesDirectory() + "/" + kIncompressibleResource);
}

}  // namespace quorvel
