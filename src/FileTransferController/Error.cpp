#include "FileTransferController/Error.h"

#include "foundation/Posix.h"
#include "foundation/Status.h"

#include <cstring>

namespace quorvel {

Error Error::posixError(int errorNumber, const std::string& what, const std::string& path) {
  Dictionary userInfo;
  if (!path.empty()) userInfo.set(kErrorFilePathKey, path);
  std::string description = what.empty() ? ErrnoText(errorNumber) : what + ": " + ErrnoText(errorNumber);
  Error error(kPOSIXErrorDomain, errorNumber, std::move(description), std::move(userInfo));
  if (IsPermanentErrno(errorNumber)) error.markPermanent();
  return error;
}

std::string Error::localizedFailureReason() const {
  const Value* reason = userInfo_.find(kErrorFailureReasonKey);
  return reason ? reason->asString() : std::string();
}

}  // namespace quorvel
