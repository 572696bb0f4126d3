#include "foundation/ExtendedAttributeNames.h"

namespace quorvel {

namespace {
constexpr std::string_view kUserNamespace = "user.";
}

bool HasLinuxNamespace(std::string_view name) {
  for (std::string_view prefix : {kUserNamespace, std::string_view("trusted."), std::string_view("security."),
                                  std::string_view("system.")}) {
    if (name.substr(0, prefix.size()) == prefix) return true;
  }
  return false;
}

std::string LinuxAttributeName(std::string_view recorded) {
  if (HasLinuxNamespace(recorded)) return std::string(recorded);
  return std::string(kUserNamespace).append(recorded);
}

std::string RecordedAttributeName(std::string_view linuxName) {
  if (linuxName.substr(0, kUserNamespace.size()) != kUserNamespace) return std::string(linuxName);
  std::string_view rest = linuxName.substr(kUserNamespace.size());
  if (rest.empty() || HasLinuxNamespace(rest)) return std::string(linuxName);
  return std::string(rest);
}

}  // namespace quorvel
