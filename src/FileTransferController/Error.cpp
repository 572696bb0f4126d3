#include "FileTransferController/Error.h"

#include <cstring>

namespace quorvel {

Error Error::posixError(int errorNumber, const std::string& what, const std::string& path) {
  Dictionary userInfo;
  if (!path.empty()) userInfo.set(kErrorFilePathKey, path);
  std::string description = what.empty() ? std::string(std::strerror(errorNumber))
                                         : what + ": " + std::strerror(errorNumber);
  return Error(kPOSIXErrorDomain, errorNumber, std::move(description), std::move(userInfo));
}

std::string Error::localizedFailureReason() const {
  const Value* reason = userInfo_.find(kErrorFailureReasonKey);
  return reason ? reason->asString() : std::string();
}

}  // namespace quorvel
