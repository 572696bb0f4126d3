// Error objects: what a transfer client hands its delegate when an operation
// fails, and what a stream answers when asked why it stopped.
//
// An error has a domain, an integer code and a human-readable description;
// extra entries (a failure reason, the path involved) go into userInfo.
#pragma once

#include <string>
#include <utility>

#include "foundation/Value.h"

namespace quorvel {

// Errors made by the transfer clients themselves.
inline constexpr const char* kFileTransferControllerErrorDomain = "FileTransferController";
// Errors of DataReadStream and DataWriteStream.
inline constexpr const char* kDataStreamErrorDomain = "DataStreamErrorDomain";
// Failed libcurl calls (FTP, FTPS, HTTP, WebDAV); the code is the CURLcode.
inline constexpr const char* kCurlErrorDomain = "curl";
// errno values of the operating system.
inline constexpr const char* kPOSIXErrorDomain = "NSPOSIXErrorDomain";

// userInfo keys.
inline constexpr const char* kErrorFailureReasonKey = "NSLocalizedFailureReason";
inline constexpr const char* kErrorFilePathKey = "NSFilePath";

class Error {
 public:
  Error() = default;
  Error(std::string domain, long code, std::string localizedDescription, Dictionary userInfo = {})
      : domain_(std::move(domain)),
        code_(code),
        localizedDescription_(std::move(localizedDescription)),
        userInfo_(std::move(userInfo)) {}

  // An error of the transfer clients' own domain with code -1.
  static Error transferError(std::string message) {
    return Error(kFileTransferControllerErrorDomain, -1, std::move(message));
  }
  // An errno error: "<what>: <strerror text>", with the path (when given)
  // under kErrorFilePathKey; permanent when no retry can fix it (a full disk,
  // a denied permission: see IsPermanentErrno).
  static Error posixError(int errorNumber, const std::string& what, const std::string& path = {});

  // A permanent error: repeating the operation cannot succeed until someone
  // changes something (frees space, fixes a permission, the password), so the
  // network retry policy must not be asked about it.
  bool isPermanent() const { return permanent_; }
  Error& markPermanent() {
    permanent_ = true;
    return *this;
  }

  const std::string& domain() const { return domain_; }
  long code() const { return code_; }
  const std::string& localizedDescription() const { return localizedDescription_; }
  const Dictionary& userInfo() const { return userInfo_; }
  // The failure reason entry, or an empty text.
  std::string localizedFailureReason() const;

  bool operator==(const Error& other) const {
    return domain_ == other.domain_ && code_ == other.code_ &&
           localizedDescription_ == other.localizedDescription_;
  }

 private:
  std::string domain_;
  long code_ = 0;
  std::string localizedDescription_;
  Dictionary userInfo_;
  bool permanent_ = false;
};

}  // namespace quorvel
